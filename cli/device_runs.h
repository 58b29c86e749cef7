#pragma once
// Sends one decoded file to several devices at once: each device gets a
// thread, a link and a session of its own, so one device's failure never
// stops or slows another. The command line and the station both run here.

#include "targets.h"
#include "update_session.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <vector>

namespace j4::cli {

// What happens on each device, called from that device's thread.
class DeviceListener {
public:
    virtual ~DeviceListener() = default;
    virtual void started(std::size_t /*device*/, std::size_t /*totalBytes*/) {}
    virtual void sending(std::size_t /*device*/, const TransferState&) {}
    virtual void answered(std::size_t /*device*/, const TransferState&,
                          std::chrono::steady_clock::duration /*sinceSent*/) {}
    virtual void finished(std::size_t /*device*/, const UpdateReport&) {}
    // Something the operator must know about the run as a whole, said once.
    virtual void notice(const std::string& /*text*/) {}
};

// The link for a device (a real one, or a test's).
using LinkMaker = std::function<std::unique_ptr<SerialLink>(const std::string& device)>;

// Every device's report, in the order of `targets`; returns when all ended.
// A stop ends every transfer at its next frame boundary.
std::vector<UpdateReport> runOnDevices(std::shared_ptr<const DecodedFile> decoded,
                                       const std::vector<Target>& targets,
                                       const LinkMaker& makeLink, DeviceListener& listener,
                                       const std::atomic<bool>& stop);

} // namespace j4::cli
