#pragma once
// The six port operations the update needs. The transfer uses write and
// readByte; the operator actions open, flush, close and ask for error texts.

#include <cstdint>
#include <span>
#include <string>

namespace j4 {

class SerialLink {
public:
    virtual ~SerialLink() = default;

    // Opens port `portNumber` at 115200 8N1. Returns a negative code on failure.
    virtual int open(int portNumber) = 0;
    // Discards every byte received so far.
    virtual void flushInput() = 0;
    // Sends all of `bytes`; returns the count sent or a negative code.
    virtual int write(std::span<const std::uint8_t> bytes) = 0;
    // The next received byte (0..255), or a negative code after the answer
    // time-out or a port failure.
    virtual int readByte() = 0;
    // Harmless on a port that is not open.
    virtual void close() = 0;
    // A readable sentence for a negative code.
    virtual std::string errorText(int code) const = 0;
};

} // namespace j4
