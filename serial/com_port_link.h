#pragma once
// The serial link on Windows, on the Win32 communications API: a blocking
// stop-and-wait exchange maps directly onto blocking WriteFile and ReadFile,
// and it is the one I/O path shipped and tested there.

#include "buffered_link.h"

#include <string>
#include <vector>

namespace j4 {

// "COM12" -> "\\.\COM12", which every COM number needs from 10 on.
std::wstring windowsDevicePath(const std::string& device);

class ComPortLink final : public BufferedLink {
public:
    explicit ComPortLink(std::chrono::milliseconds answerTimeout);
    ~ComPortLink() override;
    ComPortLink(const ComPortLink&) = delete;
    ComPortLink& operator=(const ComPortLink&) = delete;

    LinkError open(const std::string& device) override;
    void flushInput() override;
    LinkError write(std::span<const std::uint8_t> bytes) override;
    void close() override;

private:
    bool isOpen() const override { return handle_ != nullptr; }
    LinkError receive(std::chrono::milliseconds wait) override;
    std::optional<std::size_t> bytesInDriver() const override;
    // Keeps the system's text for the detail.
    LinkError failed(unsigned long error);

    void* handle_ = nullptr; // a HANDLE; null when closed
};

} // namespace j4
