// Guided alignment by ear and the click test. Everything here runs on the main thread except the
// click loop, which runs on clickThread_.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <numbers>
#include <string>
#include <vector>

#include "audio/click_sound.h"
#include "audio/device_access.h"
#include "controller/controller.h"
#include "core/bounded_read.h"

namespace housetone {

namespace {

constexpr const char* clickFileName = "click.wav";

}  // namespace

std::optional<Dev> Controller::currentGuidedTarget() const {
    if (!guidedIndex_ || *guidedIndex_ < 0 ||
        static_cast<std::size_t>(*guidedIndex_) >= guidedTargets_.size())
        return std::nullopt;
    return guidedTargets_[static_cast<std::size_t>(*guidedIndex_)];
}

void Controller::startGuidedAlign() {
    const auto reference = referenceSpeaker();
    if (mode_ != Mode::aligned || !reference) {
        setStatus("Switch to Aligned first — guided align needs the delay engine running.");
        return;
    }
    std::vector<Dev> targets;
    for (const Dev& d : includedDevices())
        if (d.uid != reference->uid) targets.push_back(d);
    if (targets.empty()) {
        setStatus("Nothing to align.");
        return;
    }

    // A speaker that cannot be muted would keep playing over the pair being compared: the walk
    // leaves it out, and the engine holds it silent while the walk runs. The group stays the
    // user's own.
    std::vector<Dev> keep, leftOut;
    std::string excludedNames;
    for (const Dev& d : targets) {
        if (hasMute(s_.hw, d)) {
            keep.push_back(d);
            continue;
        }
        leftOut.push_back(d);
        if (!excludedNames.empty()) excludedNames += ", ";
        excludedNames += d.name;
    }
    guidedNote_.clear();
    if (!excludedNames.empty())
        guidedNote_ = "Excluded " + excludedNames +
                      " — no mute control, it would keep playing during the test.";
    if (keep.empty()) {
        setStatus(guidedNote_);
        return;
    }
    guidedTargets_ = std::move(keep);
    guidedLeftOut_ = std::move(leftOut);
    applyGains();

    // A second start during a walk keeps the first snapshot: the current mutes are the walk's own.
    if (!guidedIndex_) muteBeforeGuided_ = muted_;
    publish(guidedIndex_, std::optional<int>(0), Field::guidedIndex);
    applyStep();
    if (!clickPlaying_) toggleClickTest();
}

void Controller::applyStep() {
    const auto reference = referenceSpeaker();
    const auto current = currentGuidedTarget();
    if (!reference || !current) return;
    auto muted = muted_;
    for (const Dev& d : devices_) {
        const bool audible = d.uid == reference->uid || d.uid == current->uid;
        muted[d.uid] = !audible;
        writeMute(s_.hw, d.id, !audible);  // a refusal leaves `muted` showing the request
    }
    publish(muted_, std::move(muted), Field::muted);
    // Why a speaker is missing from the walk stays readable while the walk goes on.
    setStatus("Aligning " + current->name + " with " + reference->name +
              " — adjust until you hear ONE sound." +
              (guidedNote_.empty() ? std::string() : " " + guidedNote_));
}

void Controller::nudgeGuided(double deltaMs) {
    const auto current = currentGuidedTarget();
    if (!current) return;
    Offsets offsets = offsets_;
    // Never below 0: the walk brings a speaker in line with the reference, which stays put.
    if (!offsets.step(current->uid, deltaMs)) return;
    // Heard at once; the file is written at the next confirmed step or at the end of the walk.
    changeOffsets(std::move(offsets));
}

void Controller::confirmGuidedStep() {
    if (!guidedIndex_) return;
    const int i = *guidedIndex_;
    const auto reference = referenceSpeaker();
    const auto current = currentGuidedTarget();
    if (reference && current) {
        // The by-ear delay minus the microphone's delay is the part of the path the microphone
        // cannot hear (the tap pipeline); each confirmation moves the estimate halfway to it.
        Config config = record_;
        const auto mT = config.measured.find(current->uid);
        const auto mR = config.measured.find(reference->uid);
        if (mT != config.measured.end() && mR != config.measured.end()) {
            const double byEar = offsets_.of(current->uid);
            const double sample = byEar - (mR->second - mT->second);
            config.pipelineMs = 0.5 * sample + 0.5 * config.pipelineMs.value_or(0.0);
            writeRecord(config);
        }
    }
    save();
    const int next = i + 1;
    if (static_cast<std::size_t>(next) < guidedTargets_.size()) {
        publish(guidedIndex_, std::optional<int>(next), Field::guidedIndex);
        applyStep();
        return;
    }
    const std::string against = reference ? reference->name : std::string("the reference");
    if (guidedLeftOut_.empty()) {
        endGuidedAlign("Aligned by ear — all speakers confirmed against " + against + ".");
        return;
    }
    std::string names;
    for (const Dev& d : guidedLeftOut_)
        names += (names.empty() ? "" : ", ") + d.name;
    endGuidedAlign("Aligned by ear against " + against + " — not aligned by ear: " + names +
                   " (no mute control).");
}

void Controller::endGuidedAlign(const std::optional<std::string>& message) {
    auto muted = muted_;
    for (const Dev& d : devices_) {
        const auto it = muteBeforeGuided_.find(d.uid);
        const bool m = it != muteBeforeGuided_.end() && it->second;
        muted[d.uid] = m;
        writeMute(s_.hw, d.id, m);
    }
    publish(muted_, std::move(muted), Field::muted);
    muteBeforeGuided_.clear();
    guidedTargets_.clear();
    guidedNote_.clear();
    if (!guidedLeftOut_.empty()) {
        guidedLeftOut_.clear();
        applyGains();
    }
    publish(guidedIndex_, std::optional<int>(), Field::guidedIndex);
    if (clickPlaying_) toggleClickTest();
    save();
    if (message) setStatus(*message);
}

void Controller::toggleClickTest() {
    if (clickLoopActive_.load(std::memory_order_relaxed)) {
        // Joined before observers hear of it, so one that turns the test on again starts afresh.
        stopClickThread();
        publish(clickPlaying_, false, Field::clickPlaying);
        return;
    }
    ensureClickFile();
    stopClickThread();  // a loop that is still winding down would otherwise be overwritten
    clickLoopActive_.store(true, std::memory_order_relaxed);
    clickLoopDone_.store(false, std::memory_order_relaxed);
    clickThread_ = std::thread([this] {
        clickLoop();
        clickLoopDone_.store(true, std::memory_order_release);
    });
    publish(clickPlaying_, true, Field::clickPlaying);
}

void Controller::clickLoop() {
    // The controller is watched, never owned, from here: if this thread held the last reference
    // it would run the destructor, which joins this very thread. The destructor joins before any
    // member goes away, so reading clickLoopActive_ and s_ while the weak reference is unexpired
    // (or while the destructor waits in stopClickThread) is safe.
    const std::weak_ptr<Controller> weak = weak_from_this();
    Player& player = s_.player;
    const std::string path = stateFile(clickFileName).string();
    for (;;) {
        if (weak.expired() || !clickLoopActive_.load(std::memory_order_relaxed)) return;
        // A failed launch returns at once; the loop tries again while the test stays on.
        player.play(path);
    }
}

void Controller::stopClickThread() {
    clickLoopActive_.store(false, std::memory_order_relaxed);
    if (!clickThread_.joinable()) return;
    if (clickThread_.get_id() == std::this_thread::get_id()) {
        // Never expected (the loop owns no reference), but joining oneself would throw.
        clickThread_.detach();
        return;
    }
    // Repeat terminate() until the loop has returned: one that lands after the loop checked
    // clickLoopActive_ but before play() registered its sound would otherwise leave the thread
    // blocked for a whole pass of the file (4 s).
    while (!clickLoopDone_.load(std::memory_order_acquire)) {
        s_.player.terminate();
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    s_.player.terminate();
    clickThread_.join();
}

void Controller::ensureClickFile() {
    const auto path = stateFile(clickFileName);
    const std::string bytes = clickTrackWav();
    // The file is ours: one cut short or edited would fail every later click test, so anything
    // but the exact bytes is written again.
    std::string existing;
    if (readRegularFile(path, bytes.size(), existing) && existing == bytes) return;
    // A write failure is left for the player to meet: it then fails to play the file.
    writeFileAtomically(path, bytes);
}

}  // namespace housetone
