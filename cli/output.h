#pragma once
// j4_flash's lines on its streams: errors start with its name, and a usage
// error says how to learn more.

#include "device_options.h"

#include <cstdio>
#include <string>

namespace j4::cli {

class JsonEvents;

class Output {
public:
    // `json`: with --json, where the events go (the lines for people then
    // go to standard error).
    Output(std::FILE* out, std::FILE* err, JsonEvents* json = nullptr)
        : out_(out), err_(err), json_(json) {}
    void say(const std::string& text) const { line(out_, text); }
    void error(const std::string& text) const { line(err_, "j4_flash: " + text); }
    void usageError(const std::string& reason) const {
        std::fputs(options::usageError("j4_flash", reason).c_str(), err_);
        std::fflush(err_);
    }
    std::FILE* out() const { return out_; }
    std::FILE* err() const { return err_; }
    JsonEvents* json() const { return json_; }

private:
    static void line(std::FILE* to, const std::string& text) {
        std::fprintf(to, "%s\n", text.c_str());
        std::fflush(to);
    }
    std::FILE* out_;
    std::FILE* err_;
    JsonEvents* json_;
};

} // namespace j4::cli
