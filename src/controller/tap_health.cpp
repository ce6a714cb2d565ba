#include "controller/tap_health.h"

#include <algorithm>
#include <cstdio>

#include "audio/device_access.h"
#include "core/printable.h"

namespace housetone {

namespace {

// Meter RMS at or below this is silence (about -140 dBFS); exactly 0 means no sound at all.
constexpr double silenceLevel = 1.0e-7;
constexpr int silentAfterTicks = 3;
// A missing system-audio permission shows as an engine that runs but never hears anything; the
// click loop guarantees sound, so with it playing two ticks are proof enough.
constexpr int blockedAfterTicks = 8;
constexpr int blockedAfterTicksWithClicks = 2;

}  // namespace

TapHealth::Verdict TapHealth::observe(const TapEngine::Meter& meter, bool clicking) {
    Verdict v;
    if (meter.rms > 0.0) sawTapEnergy_ = true;
    if (meter.rms > 0.0 || clicking) {
        bool silent = false;
        if (meter.rms <= silenceLevel) {
            ++silentTicks_;
            silent = silentTicks_ >= silentAfterTicks;
        } else {
            silentTicks_ = 0;
        }
        v.silent = silent;
    }

    const int threshold = clicking ? blockedAfterTicksWithClicks : blockedAfterTicks;
    if ((meter.cycles > 0 || meter.frames > 0) && !sawTapEnergy_) {
        ++deadTapTicks_;
    } else {
        deadTapTicks_ = 0;
    }
    v.blocked = deadTapTicks_ >= threshold;
    return v;
}

std::optional<std::string> OutputPin::keep(AudioHardware& hw, const Dev& reference,
                                           const std::vector<Dev>& listed) {
    const auto out = defaultOutput(hw);
    const bool isListed = std::any_of(listed.begin(), listed.end(),
                                      [&](const Dev& d) { return d.uid == reference.uid; });
    if (out && *out != 0 && *out != reference.id && isListed) {
        const OSStatus st = hw.setPropertyData(systemObject, {sel::defaultOutput, scope::global}, 0,
                                               nullptr, sizeof(AudioObjectID), &reference.id);
        ++misses_;
        if ((st != noErr || misses_ > 2) && !warned_) {
            warned_ = true;
            // The status code is for the log; the user needs what it means.
            if (st != noErr)
                std::fprintf(stderr, "housetone: setting the default output to %s failed (%d)\n",
                             printable(reference.name).c_str(), static_cast<int>(st));
            return "Could not keep the system output on " + reference.name +
                   "; other programs' sound may bypass the aligned speakers.";
        }
    } else if (out && *out == reference.id) {
        misses_ = 0;
    }
    return std::nullopt;
}

}  // namespace housetone
