#include "core/audit_log.h"

#include <cxxabi.h>
#include <execinfo.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sstream>

#include "core/atomic_write.h"
#include "core/printable.h"

namespace housetone {

namespace {

std::string formatMs(double ms) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.0f", ms);
    return buf;
}

std::string utcTimestamp() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

// Appends without ever tearing an earlier entry: O_APPEND puts each write() at the end in one
// step, and the entry goes out in one write. A log that does not exist yet is created whole.
void appendWhole(const std::filesystem::path& path, const std::string& entry) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0) {
        // Only a missing file (or directory) is replaced by a new one; a log we merely cannot
        // open is left alone rather than overwritten.
        if (errno == ENOENT) writeFileAtomically(path, entry);
        return;
    }
    const char* p = entry.data();
    std::size_t left = entry.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    ::close(fd);
}

}  // namespace

// glibc prints "image(symbol+offset) [address]", with the symbol mangled and present only for
// exported functions (the program is linked with its symbols exported for this); that becomes
// "function + offset". A platform that prints "index image address symbol + offset" gives the
// pieces from the fourth on.
std::string auditFrameText(const char* line) {
    const std::string text(line);
    const auto open = text.find('(');
    const auto plus = text.rfind('+');
    const auto close = text.find(')', open);
    if (open != std::string::npos && close != std::string::npos && plus > open && plus < close &&
        plus > open + 1) {
        const std::string mangled = text.substr(open + 1, plus - open - 1);
        int status = -1;
        char* name = abi::__cxa_demangle(mangled.c_str(), nullptr, nullptr, &status);
        std::string out = (status == 0 && name ? std::string(name) : mangled) + " + " +
                          text.substr(plus + 1, close - plus - 1);
        std::free(name);
        return out;
    }
    std::istringstream in(text);
    std::vector<std::string> pieces;
    for (std::string p; in >> p;)
        pieces.push_back(p);
    if (pieces.size() < 4) return text;
    std::string out;
    for (std::size_t i = 3; i < pieces.size(); ++i) {
        if (i > 3) out += ' ';
        out += pieces[i];
    }
    return out;
}

std::vector<std::string> auditChanges(const Config& before, const Config& after) {
    const auto label = [&](const std::string& uid) {
        const auto it = before.names.find(uid);
        return it != before.names.end() ? it->second : uid;
    };
    std::vector<std::string> changes;
    for (const auto& [uid, ms] : after.offsets) {
        const auto old = before.offsets.find(uid);
        if (old == before.offsets.end()) {
            if (ms != 0) changes.push_back("offset " + label(uid) + " 0 -> " + formatMs(ms));
        } else if (old->second != ms) {
            changes.push_back("offset " + label(uid) + " " + formatMs(old->second) + " -> " +
                              formatMs(ms));
        }
    }
    if (!after.include) return changes;
    for (const auto& [uid, on] : *after.include) {
        std::optional<bool> old;
        if (before.include) {
            if (const auto it = before.include->find(uid); it != before.include->end())
                old = it->second;
        }
        if (old == on) continue;
        const std::string oldText = !old ? "unset" : (*old ? "true" : "false");
        changes.push_back("include " + label(uid) + " " + oldText + " -> " +
                          (on ? "true" : "false"));
    }
    return changes;
}

void AuditLog::append(const std::vector<std::string>& changes) const {
    if (changes.empty()) return;
    std::string entry = "[" + utcTimestamp() + "]\n";
    for (const std::string& c : changes)
        entry += "  " + c + "\n";
    entry += "  stack:\n";

    // Frame 0 is this function and frame 1 the one that asked for the entry; the callers that
    // caused the change follow.
    void* frames[11];
    const int count = ::backtrace(frames, 11);
    char** symbols = count > 2 ? ::backtrace_symbols(frames, count) : nullptr;
    std::vector<std::string> lines;
    for (int i = 2; symbols && i < count; ++i)
        lines.push_back("    " + auditFrameText(symbols[i]));
    std::free(symbols);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i) entry += "\n";
        entry += lines[i];
    }
    entry += "\n\n";
    appendWhole(file_, printableLines(entry));
}

}  // namespace housetone
