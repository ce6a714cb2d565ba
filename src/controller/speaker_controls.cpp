// Per-speaker controls: volume and mute read-back, offsets and the shift-all nudges, group
// membership, the sound options and their engine settings, the measuring microphone, and the audit
// log of offset and membership changes. Main thread only.
#include <cxxabi.h>
#include <execinfo.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sstream>

#include "audio/device_access.h"
#include "controller/controller.h"
#include "core/printable.h"
#include "engine/tone_chain.h"

namespace housetone {

namespace {

constexpr const char* auditLogName = "offsets-audit.log";

// Hz; used when a speaker does not report its nominal rate.
constexpr double fallbackRate = 44100.0;

std::string volumeBoostLabel(int percent) {
    if (percent >= 20) return "+6 dB";
    if (percent >= 10) return "+3 dB";
    return "off";
}

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

// A caller frame as a readable function name. glibc prints "image(symbol+offset) [address]",
// with the symbol mangled and present only for exported functions (the program is linked with
// its symbols exported for this); that becomes "function + offset". A platform that prints
// "index image address symbol + offset" gives the pieces from the fourth on. Anything else is
// kept whole.
std::string frameText(const char* line) {
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

// Appends without ever tearing an earlier entry: O_APPEND puts each write() at the end in one
// step, and the entry goes out in one write. A log that does not exist yet is created whole.
void appendAuditEntry(const std::filesystem::path& path, const std::string& entry) {
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

// ---- Volume and mute ----------------------------------------------------------------------------

void Controller::refreshVolumes() {
    auto volumes = volumes_;
    auto muted = muted_;
    for (const Dev& d : devices_) {
        if (const auto v = readVolume(s_.hw, d.id)) volumes[d.uid] = *v;
        if (const auto m = readMute(s_.hw, d.id)) muted[d.uid] = *m;
    }
    publish(volumes_, std::move(volumes), Field::volumes);
    publish(muted_, std::move(muted), Field::muted);
}

void Controller::setVolume(AudioObjectID device, const std::string& uid, float value) {
    auto volumes = volumes_;
    volumes[uid] = value;
    publish(volumes_, std::move(volumes), Field::volumes);
    writeVolume(s_.hw, device, value);
}

void Controller::setMute(const Dev& speaker, bool on) {
    auto muted = muted_;
    muted[speaker.uid] = on;
    publish(muted_, std::move(muted), Field::muted);
    writeMute(s_.hw, speaker.id, on);
}

// ---- Offsets and membership ---------------------------------------------------------------------

void Controller::setOffset(const Dev& speaker, double ms) {
    // NaN passes std::clamp and no settings file can hold it: refused here, where it enters.
    if (!std::isfinite(ms)) return;
    const double v = std::clamp(ms, -offsetLimitMs, offsetLimitMs);
    auto offsets = offsets_;
    offsets[speaker.uid] = v;
    // The engine can only hold a speaker back; a negative offset plays as early as it can.
    changeOffsets(std::move(offsets));
}

void Controller::nudgeOffset(const Dev& speaker, double deltaMs) {
    const auto it = offsets_.find(speaker.uid);
    setOffset(speaker, (it == offsets_.end() ? 0.0 : it->second) + deltaMs);
    // A step below 0 moves this speaker earlier: everyone else moves later instead.
    rebaseOffsets();
}

void Controller::shiftAll(double deltaMs) {
    const std::optional<Dev> reference = referenceSpeaker();
    if (!reference || !std::isfinite(deltaMs)) return;
    auto offsets = offsets_;
    bool reachedZero = false;
    for (const Dev& d : includedDevices()) {
        if (d.uid == reference->uid) continue;
        const auto it = offsets.find(d.uid);
        double v = (it != offsets.end() ? it->second : 0.0) + deltaMs;
        if (v < 0) {
            reachedZero = true;
            v = 0;
        }
        if (v > offsetLimitMs) v = offsetLimitMs;
        offsets[d.uid] = v;
    }
    changeOffsets(std::move(offsets));
    if (reachedZero) {
        setStatus("Reached 0 ms — the reference may be the wrong speaker. Re-run Auto-tune.");
    } else {
        const auto whole = static_cast<long long>(std::trunc(deltaMs));
        setStatus("Shifted all except the reference by " + std::to_string(whole) + " ms.");
    }
    save();
}

void Controller::setInclude(const Dev& speaker, bool on) {
    auto include = include_;
    include[speaker.uid] = on;
    publish(include_, std::move(include), Field::include);
    save();
    if (mode_ != Mode::single) applyMode(mode_);
}

// ---- Sound options ------------------------------------------------------------------------------

void Controller::setCrispAmount(const std::string& uid, double amount) {
    const double a = std::clamp(amount, 0.0, 1.0);
    auto crisp = crisp_;
    crisp[uid] = a;
    publish(crisp_, std::move(crisp), Field::crisp);

    const int i = targetIndex(uid);
    if (i < 0) return;
    const auto targets = engine_->targets();
    if (static_cast<std::size_t>(i) >= targets.size()) return;
    const double rate =
        nominalRate(s_.hw, targets[static_cast<std::size_t>(i)].id).value_or(fallbackRate);
    engine_->setCrisp(i, uid, rate, static_cast<float>(a));
    if (i < ToneStores::maxDevices) {
        const bool on =
            limiterWanted(static_cast<float>(a), bassBoost_, volumeBoostGain(volBoostPct_));
        engine_->setLimiter(i, on, rate);
    }
}

void Controller::saveCrisp() {
    Config c = record_;
    c.crisp = crisp_;
    writeRecord(c);
}

void Controller::setBassBoost(bool on) {
    publish(bassBoost_, on, Field::bassBoost);
    applyBoosts();
}

void Controller::setVolBoostPct(int pct) {
    publish(volBoostPct_, pct, Field::volBoostPct);
    applyBoosts();
}

void Controller::applyBoosts() {
    const float g = volumeBoostGain(volBoostPct_);
    const auto targets = engine_->targets();
    int crispOn = 0;
    for (std::size_t k = 0; k < targets.size(); ++k) {
        const Dev& t = targets[k];
        const int i = static_cast<int>(k);
        const bool inStores = i < ToneStores::maxDevices;
        if (inStores) engine_->setGain(i, g);
        const double rate = nominalRate(s_.hw, t.id).value_or(fallbackRate);
        const BassCorners corners = bassCorners(t.transport);
        engine_->setBass(i, rate, bassBoostDB(bassBoost_), corners.shelfHz, corners.highPassHz,
                         corners.lowPassHz);
        const auto it = crisp_.find(t.uid);
        const double c = it != crisp_.end() ? it->second : 0.0;
        engine_->setCrisp(i, t.uid, rate, static_cast<float>(c));
        if (c > 0.01) ++crispOn;
        // After setBass, which switches the limiter with the bass stage: this is the final word.
        if (inStores)
            engine_->setLimiter(i, limiterWanted(static_cast<float>(c), bassBoost_, g), rate);
    }

    Config record = record_;
    record.bassBoost = bassBoost_;
    record.volBoostPct = volBoostPct_;
    record.crisp = crisp_;
    writeRecord(record);

    // A stopped engine keeps its last targets; only a running one plays the boost.
    if (engine_->installedRun() == 0) {
        setStatus(
            "Boost not applied — the aligned engine is not running (no speakers routed through "
            "it).");
        return;
    }
    std::string names;
    for (std::size_t k = 0; k < targets.size(); ++k) {
        if (k) names += ", ";
        names += targets[k].name;
    }
    setStatus("Boost " + volumeBoostLabel(volBoostPct_) + ", bass " + (bassBoost_ ? "on" : "off") +
              (crispOn >= 1 ? ", crisp on " + std::to_string(crispOn) : std::string{}) + " -> " +
              names);
}

// ---- Measuring microphone -----------------------------------------------------------------------

void Controller::setMic(const std::optional<std::string>& uid) {
    publish(micUID_, uid, Field::micUID);
    Config record = record_;
    record.micUID = uid;
    writeRecord(record);
    if (!uid) return;
    for (const Dev& d : inputs_) {
        if (d.uid == *uid && d.isBluetooth()) {
            setStatus(d.name +
                      " is a Bluetooth mic — using it drops that speaker to 16 kHz phone mode and "
                      "changes its latency. The built-in mic gives better measurements.");
            return;
        }
    }
}

// ---- Audit log ----------------------------------------------------------------------------------

void Controller::auditOffsets(const Config& previous) {
    const auto label = [&](const std::string& uid) {
        const auto it = previous.names.find(uid);
        return it != previous.names.end() ? it->second : uid;
    };

    std::vector<std::string> changes;
    for (const auto& [uid, ms] : offsets_) {
        const auto old = previous.offsets.find(uid);
        if (old == previous.offsets.end()) {
            if (ms != 0) changes.push_back("offset " + label(uid) + " 0 -> " + formatMs(ms));
        } else if (old->second != ms) {
            changes.push_back("offset " + label(uid) + " " + formatMs(old->second) + " -> " +
                              formatMs(ms));
        }
    }
    for (const auto& [uid, on] : include_) {
        std::optional<bool> old;
        if (previous.include) {
            if (const auto it = previous.include->find(uid); it != previous.include->end())
                old = it->second;
        }
        if (old == on) continue;
        const std::string oldText = !old ? "unset" : (*old ? "true" : "false");
        changes.push_back("include " + label(uid) + " " + oldText + " -> " +
                          (on ? "true" : "false"));
    }
    if (changes.empty()) return;

    std::string entry = "[" + utcTimestamp() + "]\n";
    for (const std::string& c : changes)
        entry += "  " + c + "\n";
    entry += "  stack:\n";

    // Frame 0 is this function and frame 1 save(); the callers that caused the change follow.
    void* frames[11];
    const int count = ::backtrace(frames, 11);
    char** symbols = count > 2 ? ::backtrace_symbols(frames, count) : nullptr;
    std::vector<std::string> lines;
    for (int i = 2; symbols && i < count; ++i)
        lines.push_back("    " + frameText(symbols[i]));
    std::free(symbols);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i) entry += "\n";
        entry += lines[i];
    }
    entry += "\n\n";

    // Names come from the devices and the settings file, neither of them ours.
    appendAuditEntry(s_.store.fileURL(auditLogName), printableLines(entry));
}

}  // namespace housetone
