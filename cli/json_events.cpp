#include "json_events.h"

#include "exit_status.h"
#include "update_log.h"

namespace j4::cli {

using nlohmann::json;

void JsonEvents::write(const std::string& name, json event) {
    event["schema"] = kJsonSchema;
    event["event"] = name;
    event["time"] = utcTimestamp(std::chrono::system_clock::now());
    const std::string line = event.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
    const std::lock_guard lock(mutex_);
    std::fputs(line.c_str(), out_);
    std::fflush(out_);
}

JsonListener::JsonListener(JsonEvents& events, std::vector<std::string> labels, bool station,
                           runs::DeviceListener& next, runs::LogOrigin origin)
    : PassingListener(next), events_(events), origin_(std::move(origin)),
      labels_(std::move(labels)), station_(station), lastProgress_(labels_.size()) {}

json JsonListener::where(std::size_t device) const {
    if (station_)
        return {{"slot", device + 1}};
    return {{"index", device}, {"target", labels_[device]}};
}

void JsonListener::deviceSeen(std::size_t slot, const std::string& device) {
    json event = where(slot);
    event["device"] = device;
    events_.write("device", event);
    next_.deviceSeen(slot, device);
}

void JsonListener::waitingForUnit(std::size_t slot) {
    events_.write("unit_wanted", where(slot));
    next_.waitingForUnit(slot);
}

void JsonListener::devicePulled(std::size_t slot) {
    events_.write("pulled", where(slot));
    next_.devicePulled(slot);
}

void JsonListener::started(std::size_t device, std::size_t totalBytes) {
    json event = where(device);
    event["bytes"] = totalBytes;
    events_.write("started", event);
    next_.started(device, totalBytes);
}

void JsonListener::answered(std::size_t device, const TransferState& state,
                            std::chrono::steady_clock::duration sinceSent) {
    const auto now = std::chrono::steady_clock::now();
    // Told as the answer comes, before the transfer counts the frame it accepts.
    const std::size_t accepted =
        state.acceptedBytes + (state.lastAnswer == kAcceptByte ? state.frameSize : 0);
    const bool last = accepted == state.totalBytes;
    if (last || now - lastProgress_[device] >= std::chrono::milliseconds(250)) {
        lastProgress_[device] = now;
        json event = where(device);
        event["percent"] = state.totalBytes == 0 ? 100 : int(accepted * 100 / state.totalBytes);
        event["bytes_accepted"] = accepted;
        event["bytes"] = state.totalBytes;
        events_.write("progress", event);
    }
    next_.answered(device, state, sinceSent);
}

void JsonListener::finished(std::size_t device, const runs::AttemptReport& report) {
    json event = where(device);
    event.update(resultFields(report, origin_.station, origin_.operatorName));
    events_.write("result", event);
    next_.finished(device, report);
}

void writeScan(JsonEvents& events, const Result<station::ScanHeard>& heard) {
    json event;
    if (heard) {
        event = {{"accepted", true}, {"text", heard->text}};
        if (!heard->unit.empty())
            event["unit"] = heard->unit;
        if (heard->slot)
            event["slot"] = *heard->slot;
        if (!heard->replaced.empty())
            event["replaced"] = heard->replaced;
    } else {
        event = {{"accepted", false}, {"reason", heard.error()}};
    }
    events.write("scan", event);
}

json resultFields(const runs::AttemptReport& report, const std::string& station,
                  const std::string& operatorName) {
    json fields =
        json::parse(runs::logLine(report, {{}, {}, station, operatorName}), nullptr, false);
    for (const char* origin : {"version", "host"})
        fields.erase(origin);
    fields["exit_status"] = runs::exitStatus(report.outcome);
    return fields;
}

} // namespace j4::cli
