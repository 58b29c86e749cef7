#pragma once
// j4_flash's lines on its streams: errors start with its name, and a usage
// error says how to learn more. Under a service each line carries its
// priority for the journal.

#include "device_options.h"
#include "service_manager.h"

#include <cstdio>
#include <string>

namespace j4::cli {

class JsonEvents;

class Output {
public:
    // `json`: with --json, where the events go (the lines for people then
    // go to standard error).
    Output(std::FILE* out, std::FILE* err, JsonEvents* json = nullptr)
        : out_(out), err_(err), json_(json), journal_(writesToJournal(err)) {}
    void say(const std::string& text, Priority priority = Priority::Info) const {
        line(out_, priority, text);
    }
    void error(const std::string& text) const { line(err_, Priority::Error, "j4_flash: " + text); }
    // Something went wrong that does not end the run (a device, a file).
    void warn(const std::string& text) const { line(err_, Priority::Warning, "j4_flash: " + text); }
    // Run as a service: one line per attempt, nothing a terminal needs.
    bool toJournal() const { return journal_; }
    void usageError(const std::string& reason) const {
        std::fputs(options::usageError("j4_flash", reason).c_str(), err_);
        std::fflush(err_);
    }
    std::FILE* out() const { return out_; }
    std::FILE* err() const { return err_; }
    JsonEvents* json() const { return json_; }

private:
    void line(std::FILE* to, Priority priority, const std::string& text) const {
        if (journal_)
            std::fprintf(to, "<%d>", static_cast<int>(priority));
        std::fprintf(to, "%s\n", text.c_str());
        std::fflush(to);
    }
    std::FILE* out_;
    std::FILE* err_;
    JsonEvents* json_;
    bool journal_;
};

} // namespace j4::cli
