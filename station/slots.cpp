#include "slots.h"

#include "link_factory.h"
#include "port_names.h"

#include <QFile>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>

namespace j4::station {

std::string slotLabel(const runs::TargetName& slot) {
    switch (slot.kind) {
    case runs::TargetName::Kind::Port:
        return "port " + slot.value;
    case runs::TargetName::Kind::Serial:
        return "serial " + slot.value;
    case runs::TargetName::Kind::Device:
        break;
    }
    return slot.value;
}

Result<Done> checkSlot(const runs::TargetName& slot) {
    if (slot.value.empty())
        return fail("name a port number, a device path or a serial number");
    const bool range =
        slot.kind == runs::TargetName::Kind::Port && slot.value.find('-') != std::string::npos;
    if (range || isRemoteAddress(slot.value))
        return fail("a station's slot is one local port: no ranges, no remote ports");
    return Done{};
}

std::string slotKey(const runs::TargetName& slot) {
    switch (slot.kind) {
    case runs::TargetName::Kind::Device:
        return "device " + deviceKey(slot.value);
    case runs::TargetName::Kind::Port: {
        // A pinned number leads to its path; another to the system's list.
        const UpdateRequest request = requestForPort({}, std::atoi(slot.value.c_str()));
        return request.device.empty() ? "port " + slot.value
                                      : "device " + deviceKey(request.device);
    }
    case runs::TargetName::Kind::Serial:
        return "serial " + slot.value;
    }
    return {};
}

Result<Done> checkSlots(const std::vector<runs::TargetName>& slotNames) {
    for (const runs::TargetName& slot : slotNames)
        if (auto usable = checkSlot(slot); !usable)
            return usable;
    std::map<std::string, const runs::TargetName*> seen;
    for (const runs::TargetName& slot : slotNames) {
        const auto [at, fresh] = seen.emplace(slotKey(slot), &slot);
        if (!fresh)
            return fail(slotLabel(*at->second) + " and " + slotLabel(slot) +
                        " are the same device: one slot each");
    }
    return Done{};
}

std::string tallyLine(std::size_t index, const runs::TargetName& slot, const runs::SlotTally& tally,
                      const std::string& name) {
    return "slot " + std::to_string(index + 1) + " (" +
           (name.empty() ? slotLabel(slot) : name + ", " + slotLabel(slot)) +
           "): " + std::to_string(tally.completed) + " completed, " + std::to_string(tally.failed) +
           " failed";
}

std::string attemptLine(const runs::AttemptReport& r) {
    std::string line = "slot " + std::to_string(r.slot.value_or(0)) + "  " + r.device + "  " +
                       (r.adapterSerial.empty() ? "-" : r.adapterSerial) + "  " +
                       (r.unit.empty() ? "" : "unit " + r.unit + "  ") + r.text;
    if (!r.completed())
        line += " " + r.detail;
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "  %.1f s",
                  std::chrono::duration<double>(r.duration).count());
    return line + seconds;
}

std::optional<UpdateRequest> deviceInSlot(const runs::TargetName& slot, const std::string& file) {
    switch (slot.kind) {
    case runs::TargetName::Kind::Port: {
        UpdateRequest request = requestForPort(file, std::stoi(slot.value));
        return request.device.empty() ? std::nullopt : std::optional(request);
    }
    case runs::TargetName::Kind::Device:
        return requestForDevice(file, slot.value);
    case runs::TargetName::Kind::Serial:
        return runs::requestForSerial(file, slot.value);
    }
    return std::nullopt;
}

std::vector<QString> slotPaths(const runs::TargetName& slot) {
    if (slot.kind == runs::TargetName::Kind::Device)
        return {QFile::decodeName(slot.value.c_str())};
    if (slot.kind == runs::TargetName::Kind::Port) {
        const UpdateRequest request = requestForPort({}, std::atoi(slot.value.c_str()));
        if (!request.device.empty() && !isRemoteAddress(request.device))
            return {QFile::decodeName(request.device.c_str())};
    }
    return {};
}

} // namespace j4::station
