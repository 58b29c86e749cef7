#pragma once
// The serial layer's failures: every one is a negative code with a text the
// operator can act on.

#include <string>

namespace j4 {

enum class SerialError : int {
    PortNotFound = -1,
    PermissionDenied = -2,
    PortBusy = -3,
    NoAnswer = -4,
    HungUp = -5,
    IoError = -6,
    NotOpen = -7,
    Interrupted = -8,
    SettingsRefused = -9,
};

constexpr int code(SerialError error) {
    return static_cast<int>(error);
}

// `answerTimeoutMs` goes into the text for NoAnswer.
std::string serialErrorText(int code, int answerTimeoutMs);

} // namespace j4
