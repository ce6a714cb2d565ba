// The periodic tick: whether the audio system answers, device poll, volume read-back and, in the
// aligned mode, the tap's health and the default-output pin (tap_health.h). Main thread, every
// 1.5 s.
#include "audio/device_access.h"
#include "controller/controller.h"
#include "core/text.h"

#include <algorithm>
#include <cstdio>

namespace housetone {

bool Controller::audioGone() {
    std::uint32_t listSize = 0;
    const OSStatus answer = s_.hw.getPropertyDataSize(systemObject, {sel::devices, scope::global},
                                                      0, nullptr, listSize);
    if (answer == noErr) return false;
    if (!audioLost_) {
        audioLost_ = true;
        std::fprintf(stderr, "housetone: the audio system stopped answering (%d)\n",
                     static_cast<int>(answer));
        setStatus("The audio system stopped answering. Housetone carries on when it is back.");
    }
    return true;
}

// Aligned plays on through a change that leaves every included speaker it feeds still fed: one
// that left (the others must not lose a moment of sound to a restart; it joins again, with its
// offset, when it is back) or one that is not included (offered, never added by itself).
bool Controller::playsOn() {
    if (mode_ != Mode::aligned || engine_->installedRun() == 0) return false;
    const std::vector<Dev> fed = engine_->targets();
    const std::vector<Dev> included = includedDevices();
    const auto isFed = [&](const Dev& d) {
        return std::any_of(fed.begin(), fed.end(), [&](const Dev& t) { return t.uid == d.uid; });
    };
    if (included.empty() || !std::all_of(included.begin(), included.end(), isFed)) return false;
    std::vector<Dev> left;
    for (const Dev& t : fed)
        if (std::none_of(devices_.begin(), devices_.end(),
                         [&](const Dev& d) { return d.uid == t.uid; }))
            left.push_back(t);
    if (!left.empty() && uidsOf(left) != uidsOf(departed_)) {
        const std::string names = joined(namesOf(left), ", ");
        setStatus(names + (left.size() == 1 ? " left" : " have left") +
                  "; the others play on. Back, " + (left.size() == 1 ? "it joins" : "they join") +
                  " again.");
    }
    publish(departed_, std::move(left), Field::devices);
    return true;
}

// The engine counts every delay in frames of the rate it started at. A graph that now runs at
// another (a program or the user forced one) would play each delay longer or shorter by as much,
// and the speakers would drift apart: start again at the rate it runs at.
bool Controller::followRate() {
    if (tuning_ || engine_->installedRun() == 0) return false;
    const auto now = nominalRate(s_.hw, engine_->aggID());
    if (!now || *now == engine_->rate()) return false;
    std::fprintf(stderr,
                 "housetone: the audio system moved from %.0f to %.0f Hz; aligned starts again\n",
                 engine_->rate(), *now);
    applyMode(mode_);
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
    bool routeAfresh = false;
    if (audioLost_ || restarts != serviceRestarts_) {
        routeAfresh = true;
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
        if (mode_ != Mode::single && (routeAfresh || !playsOn())) applyMode(mode_);
    }
    refreshVolumes();
    updateListening();
    if (mode_ != Mode::aligned) return;
    if (followRate()) return;

    const TapHealth::Verdict health = tapHealth_.observe(engine_->readMeter(), clickLoopActive());
    if (health.silent) publish(tapSilent_, *health.silent, Field::tapSilent);
    publish(tapBlocked_, health.blocked, Field::tapBlocked);

    // The aligned start made the reference the system output; when the user or another program
    // moves it elsewhere (or a restarted session manager chose another), put it back.
    if (const auto reference = referenceSpeaker()) {
        if (const auto line = pin_.keep(s_.hw, *reference, devices_)) setStatus(*line);
    }
}

}  // namespace housetone
