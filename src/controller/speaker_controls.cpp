// Per-speaker controls: volume and mute read-back, offsets and the shift-all nudges, group
// membership, the sound options and their engine settings, and the measuring microphone. Main
// thread only.
#include <algorithm>
#include <cmath>

#include "audio/device_access.h"
#include "controller/controller.h"
#include "core/printable.h"
#include "core/text.h"
#include "engine/tone_chain.h"

namespace housetone {

namespace {

// Hz; used when a speaker does not report its nominal rate.
constexpr double fallbackRate = 44100.0;

std::string volumeBoostLabel(int percent) {
    if (percent >= 20) return "+6 dB";
    if (percent >= 10) return "+3 dB";
    return "off";
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
    Offsets offsets = offsets_;
    // Refused where it enters: no settings file can hold a value that is not finite.
    if (!offsets.set(speaker.uid, ms)) return;
    // The engine can only hold a speaker back; a negative offset plays as early as it can.
    changeOffsets(std::move(offsets));
}

void Controller::slideOffset(const Dev& speaker, double ms, bool held) {
    setOffset(speaker, ms);
    if (!held) rebaseOffsets();
}

void Controller::endOffsetDrag() {
    rebaseOffsets();
}

void Controller::nudgeOffset(const Dev& speaker, double deltaMs) {
    setOffset(speaker, offsets_.of(speaker.uid) + deltaMs);
    // A step below 0 moves this speaker earlier: everyone else moves later instead.
    rebaseOffsets();
}

void Controller::shiftAll(double deltaMs) {
    const std::optional<Dev> reference = referenceSpeaker();
    if (!reference) return;
    std::vector<std::string> others;
    for (const Dev& d : includedDevices())
        if (d.uid != reference->uid) others.push_back(d.uid);
    Offsets offsets = offsets_;
    const Offsets::Shift shift = offsets.shiftAll(others, deltaMs);
    if (!shift.moved) return;
    changeOffsets(std::move(offsets));
    if (shift.reachedZero) {
        setStatus("Reached 0 ms — the reference may be the wrong speaker. Re-run Auto-tune.");
    } else {
        const auto whole = static_cast<long long>(std::trunc(deltaMs));
        setStatus("Shifted all except the reference by " + std::to_string(whole) + " ms.");
    }
    save();
}

void Controller::rebaseOffsets() {
    Offsets offsets = offsets_;
    if (const double moved = offsets.rebase(uidsOf(devices_)); moved > 0) {
        changeOffsets(std::move(offsets));
        setStatus("Moved earlier — the others shifted +" +
                  std::to_string(static_cast<long long>(moved)) +
                  " ms to match. Reference unchanged.");
    }
    save();
}

void Controller::setInclude(const Dev& speaker, bool on) {
    auto include = include_;
    include[speaker.uid] = on;
    publish(include_, std::move(include), Field::include);
    takeBackTuneRefusal();
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
    // The settings reader refuses anything outside 0–100, so nothing outside is ever saved.
    publish(volBoostPct_, std::clamp(pct, 0, 100), Field::volBoostPct);
    applyBoosts();
}

void Controller::applyGains() {
    const float g = volumeBoostGain(volBoostPct_);
    const auto targets = engine_->targets();
    for (std::size_t k = 0; k < targets.size() && k < ToneStores::maxDevices; ++k) {
        const bool leftOut = std::any_of(guidedLeftOut_.begin(), guidedLeftOut_.end(),
                                         [&](const Dev& d) { return d.uid == targets[k].uid; });
        engine_->setGain(static_cast<int>(k), leftOut ? 0.f : g);
    }
}

void Controller::applyBoosts() {
    const float g = volumeBoostGain(volBoostPct_);
    const auto targets = engine_->targets();
    int crispOn = 0;
    for (std::size_t k = 0; k < targets.size(); ++k) {
        const Dev& t = targets[k];
        const int i = static_cast<int>(k);
        const bool inStores = i < ToneStores::maxDevices;
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

    applyGains();

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
                      "changes its latency. A built-in or wired mic gives better measurements.");
            return;
        }
    }
}

}  // namespace housetone
