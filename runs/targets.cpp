#include "targets.h"

#include <cctype>

#include "link_factory.h"
#include "port_names.h"

#include <QString>
#include <QStringList>

#include <map>

namespace j4::runs {
namespace {

// Adds the ports of "N" or "N-M"; false when `value` is neither.
bool addPortRange(const std::string& value, const std::string& file, std::vector<Target>& targets) {
    const QStringList bounds = QString::fromStdString(value).split(QLatin1Char('-'));
    bool okFirst = false;
    bool okLast = true;
    const int first = bounds.value(0).toInt(&okFirst);
    const int last = bounds.size() == 2 ? bounds[1].toInt(&okLast) : first;
    if (bounds.size() > 2 || !okFirst || !okLast || first < kFirstPortNumber ||
        last > kLastPortNumber || last < first)
        return false;
    for (int number = first; number <= last; ++number) {
        UpdateRequest request = requestForPort(file, number);
        std::string label =
            request.device.empty() ? "port " + std::to_string(number) : request.device;
        targets.push_back({std::move(request), std::move(label)});
    }
    return true;
}

std::string presentSerials() {
    std::string serials;
    for (const PortDescription& port : listPorts())
        if (!port.serialNumber.isEmpty())
            serials += (serials.empty() ? "" : ", ") + port.serialNumber.toStdString();
    return serials.empty() ? "none" : serials;
}

} // namespace

std::optional<UpdateRequest> requestForSerial(const std::string& file, const std::string& serial) {
    for (const PortDescription& port : listPorts()) {
        if (port.serialNumber.toStdString() != serial)
            continue;
        UpdateRequest request = requestForPort(file, port.number);
        request.device = port.device.toStdString();
        return request;
    }
    return std::nullopt;
}

Result<std::vector<Target>, TargetError> resolveTargets(const std::vector<TargetName>& names,
                                                        const std::string& file) {
    std::vector<Target> targets;
    for (const TargetName& name : names) {
        if (name.kind == TargetName::Kind::Device) {
            targets.push_back({requestForDevice(file, name.value), name.value});
        } else if (name.kind == TargetName::Kind::Serial) {
            auto request = requestForSerial(file, name.value);
            if (!request)
                return fail(TargetError{"No adapter with the serial number " + name.value +
                                            " is plugged in (present: " + presentSerials() + ").",
                                        false});
            targets.push_back({std::move(*request), "serial " + name.value});
        } else if (!addPortRange(name.value, file, targets)) {
            std::string text = "--port takes a number from 1 to 255, or a range such as 1-8";
            // avrdude's and esptool's --port takes the device itself.
            if (!name.value.empty() && !std::isdigit(static_cast<unsigned char>(name.value[0])))
                text += "; use --device for a path such as " + name.value;
            return fail(TargetError{std::move(text)});
        }
    }
    // The same device twice would be two transfers fighting over one line.
    std::map<std::string, std::string> seen;
    for (const Target& target : targets) {
        if (target.request.device.empty())
            continue;
        const auto [at, fresh] = seen.emplace(deviceKey(target.request.device), target.label);
        if (!fresh)
            return fail(TargetError{at->second + " and " + target.label + " are the same device"});
    }
    return targets;
}

} // namespace j4::runs
