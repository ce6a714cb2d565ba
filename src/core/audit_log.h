#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "core/settings_store.h"

namespace housetone {

// The audit log of offset and membership changes, beside the settings: one entry per save that
// changed either, with the time, one line per change and the calls that led to it, so that a
// change nobody remembers making can be traced to its caller.
class AuditLog {
  public:
    static constexpr const char* fileName = "offsets-audit.log";

    explicit AuditLog(std::filesystem::path file) : file_(std::move(file)) {}

    // Appends one entry listing `changes`; nothing when there are none. The stack it names starts
    // at the caller of the function that called append (that one asked for the entry; its caller
    // made the change). Names in it come from devices and files, neither ours: the entry is made
    // printable. The entry goes out in one write on an O_APPEND descriptor, so entries never
    // tear; a log that does not exist yet is created whole, and one that exists but cannot be
    // opened is left alone rather than replaced. Says nothing about a failure: the log is a
    // diagnostic, never the reason a change is refused.
    void append(const std::vector<std::string>& changes) const;

  private:
    std::filesystem::path file_;
};

// What the log says changed from `before` to `after`: each offset that moved (a speaker new to
// the record counts from 0) and each include decision that changed, in UID order, each labelled
// by the name `before` knew for it, else by its UID.
std::vector<std::string> auditChanges(const Config& before, const Config& after);

// A caller frame as the backtrace gives it ("image(symbol+offset) [address]", or "index image
// address symbol + offset") as a readable "function + offset"; anything else whole.
std::string auditFrameText(const char* line);

}  // namespace housetone
