// The periodic tick: device poll, volume read-back and, in the aligned mode, the tap health checks
// and the default-output pin. Main thread, every 1.5 s.
#include <algorithm>

#include "audio/device_access.h"
#include "controller/controller.h"
#include "core/text.h"

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

bool Controller::audioGone() {
    std::uint32_t listSize = 0;
    const OSStatus answer = s_.hw.getPropertyDataSize(systemObject, {sel::devices, scope::global},
                                                      0, nullptr, listSize);
    if (answer == noErr) return false;
    if (!audioLost_)
        setStatus("The audio system stopped answering (OSStatus " + std::to_string(answer) +
                  "). Housetone carries on when it is back.");
    audioLost_ = true;
    return true;
}

void Controller::tick() {
    if (shutDown_) return;

    // An audio server that has gone away (its daemon killed, crashed or updated) answers no call
    // at all. Every speaker would look gone and each tick would try to route again into nothing;
    // say what happened once and leave the setup as it was until the server is back.
    if (audioGone()) return;
    // A server that restarted between two ticks was never seen gone, but it has forgotten
    // whatever the program had built in it, and its objects carry new ids.
    const std::uint32_t restarts =
        uint32Property(s_.hw, systemObject, sel::serviceRestarted, scope::global)
            .value_or(serviceRestarts_);
    if (audioLost_ || restarts != serviceRestarts_) {
        audioLost_ = false;
        serviceRestarts_ = restarts;
        setStatus("The audio system is back.");
        // Even an unchanged list is routed afresh: the tap, the aggregates and the callbacks
        // they fed are gone with the old server.
        deviceChangePending_ = true;
    }

    const std::vector<std::string> before = uidsOf(devices_);
    refreshDevices();
    if (uidsOf(devices_) != before) deviceChangePending_ = true;
    // A tune has suspended the engine and plays its own signals: routing again now would bring
    // the music back over them. The change waits for the tune's end (whose resume re-applies the
    // mode and so clears it, else the first tick after it does).
    if (deviceChangePending_ && !tuning_) {
        deviceChangePending_ = false;
        if (mode_ != Mode::single) applyMode(mode_);
    }
    refreshVolumes();
    if (mode_ != Mode::aligned) return;

    const TapEngine::Meter meter = engine_->readMeter();
    if (meter.rms > 0.0) sawTapEnergy_ = true;
    const bool clicking = clickLoopActive();
    if (meter.rms > 0.0 || clicking) {
        bool silent = false;
        if (meter.rms <= silenceLevel) {
            ++silentTicks_;
            silent = silentTicks_ >= silentAfterTicks;
        } else {
            silentTicks_ = 0;
        }
        publish(tapSilent_, silent, Field::tapSilent);
    }

    const int threshold = clicking ? blockedAfterTicksWithClicks : blockedAfterTicks;
    if ((meter.cycles > 0 || meter.frames > 0) && !sawTapEnergy_) {
        ++deadTapTicks_;
    } else {
        deadTapTicks_ = 0;
    }
    publish(tapBlocked_, deadTapTicks_ >= threshold, Field::tapBlocked);

    // The aligned start made the reference the system output; when the user or another program
    // moves it elsewhere (or a restarted session manager chose another), put it back. An output
    // that cannot be put back, or does not stay, means programs play past the engine: said once.
    if (const auto reference = referenceSpeaker()) {
        const auto out = defaultOutput(s_.hw);
        const bool listed = std::any_of(devices_.begin(), devices_.end(),
                                        [&](const Dev& d) { return d.uid == reference->uid; });
        if (out && *out != 0 && *out != reference->id && listed) {
            const OSStatus st =
                s_.hw.setPropertyData(systemObject, {sel::defaultOutput, scope::global}, 0, nullptr,
                                      sizeof(AudioObjectID), &reference->id);
            ++pinMisses_;
            if ((st != noErr || pinMisses_ > 2) && !pinWarned_) {
                pinWarned_ = true;
                setStatus("Could not keep the system output on " + reference->name +
                          (st != noErr ? " (OSStatus " + std::to_string(st) + ")" : "") +
                          "; other programs' sound may bypass the aligned speakers.");
            }
        } else if (out && *out == reference->id) {
            pinMisses_ = 0;
        }
    }
}

}  // namespace housetone
