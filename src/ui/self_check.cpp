#include "ui/self_check.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <string_view>

#include "core/atomic_write.h"
#include "core/printable.h"
#include "core/text.h"

namespace housetone::ui {

namespace {

constexpr double sampleIntervalSeconds = 1.0;
constexpr double tickIntervalSeconds = 2.0;
constexpr double quitDelaySeconds = 0.5;

const char* flag(bool b) {
    return b ? "true" : "false";
}

}  // namespace

// ---- Log lines ----------------------------------------------------------------------------------

std::string shortestDecimal(double value) {
    // Fixed notation keeps every value readable as a plain decimal ("0.0001", never "1e-04").
    char buffer[400];
    const auto [end, ec] =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
    if (ec != std::errc()) return "nan";
    std::string text(buffer, end);
    const bool finite = text.find_first_of("0123456789") != std::string::npos;
    if (finite && text.find('.') == std::string::npos) text += ".0";
    return text;
}

std::string offsetsLine(const std::map<std::string, double>& offsets) {
    if (offsets.empty()) return "offsets: [:]";
    std::vector<std::string> entries;
    for (const auto& [uid, ms] : offsets)
        entries.push_back("\"" + uid + "\": " + shortestDecimal(ms));
    return "offsets: [" + joined(entries, ", ") + "]";
}

std::string tapRmsLine(const std::vector<double>& rms) {
    std::vector<std::string> items;
    for (const double r : rms) {
        char buffer[64];
        std::snprintf(buffer, sizeof buffer, "%.5f", r);
        items.emplace_back(buffer);
    }
    return "tap rms per second: " + joined(items, " ");
}

std::string tapFramesLine(const std::vector<std::int64_t>& frames) {
    std::vector<std::string> items;
    for (const std::int64_t f : frames)
        items.push_back(std::to_string(f));
    return "tap input frames per second: " + joined(items, " ");
}

std::string delaysLine(const TapEngine& engine) {
    const std::vector<Dev> targets = engine.targets();
    std::vector<std::string> items;
    for (std::size_t i = 0; i < targets.size(); ++i) {
        items.push_back(targets[i].name + "=" +
                        std::to_string(engine.delayFrames(static_cast<int>(i))) + "smp");
    }
    return "delays: " + joined(items, " ");
}

std::vector<std::string> tunePhaseLines(const std::map<std::string, std::string>& phases,
                                        const std::vector<Dev>& devices) {
    std::vector<std::string> lines;
    for (const auto& [uid, text] : phases) {
        const auto it = std::find_if(devices.begin(), devices.end(),
                                     [&](const Dev& d) { return d.uid == uid; });
        lines.push_back((it == devices.end() ? uid : it->name) + ": " + text);
    }
    return lines;
}

std::string joinLines(const std::vector<std::string>& lines) {
    return joined(lines, "\n");
}

// ---- Runs ---------------------------------------------------------------------------------------

std::shared_ptr<SelfCheck> SelfCheck::create(std::shared_ptr<Controller> controller,
                                             MainQueue& main, Terminate terminate) {
    return std::shared_ptr<SelfCheck>(
        new SelfCheck(std::move(controller), main, std::move(terminate)));
}

SelfCheck::SelfCheck(std::shared_ptr<Controller> controller, MainQueue& main, Terminate terminate)
    : controller_(std::move(controller)), main_(main), terminate_(std::move(terminate)) {}

bool SelfCheck::startAligned(void (SelfCheck::*started)(bool)) {
    std::weak_ptr<SelfCheck> weak = weak_from_this();
    controller_->setAlignedStartCompleted([weak, started](bool ok) {
        if (const auto self = weak.lock()) (self.get()->*started)(ok);
    });
    controller_->chooseMode(Mode::aligned);
    if (controller_->mode() == Mode::aligned) return true;
    // Refused on the spot (no speaker included): no start will report back, so the run ends
    // here rather than waiting for ever.
    controller_->setAlignedStartCompleted(nullptr);
    return false;
}

void SelfCheck::runEngineSelfCheck() {
    lines_.clear();
    if (startAligned(&SelfCheck::engineStarted)) return;
    lines_.push_back(std::string("engineStarted: ") + flag(false));
    lines_.push_back("status: " + controller_->status());
    lines_.push_back("engineError: " + controller_->engine().lastError().value_or("none"));
    lines_.push_back(noSpeakerLine);
    finish(engineLogName, 1);
}

void SelfCheck::engineStarted(bool ok) {
    Controller& c = *controller_;
    lines_.push_back(std::string("engineStarted: ") + flag(ok));
    lines_.push_back("status: " + c.status());
    lines_.push_back("engineError: " + c.engine().lastError().value_or("none"));
    if (!ok) {
        finish(engineLogName);
        return;
    }
    // The click loop plays through the tap, so the meter has something to measure even when the
    // room's own music is silent.
    c.toggleClickTest();
    rms_.clear();
    frames_.clear();
    // All six are scheduled from one moment, so a slow sample does not push the later ones back.
    for (int i = 0; i < meterSamples; ++i) {
        main_.postAfter(sampleIntervalSeconds * (i + 1), [weak = weak_from_this(), i] {
            if (const auto self = weak.lock()) self->takeMeterSample(i);
        });
    }
}

void SelfCheck::takeMeterSample(int index) {
    Controller& c = *controller_;
    const TapEngine::Meter meter = c.readEngineMeter();
    rms_.push_back(meter.rms);
    frames_.push_back(meter.frames);
    if (index + 1 < meterSamples) return;

    c.toggleClickTest();
    lines_.push_back(tapRmsLine(rms_));
    lines_.push_back(tapFramesLine(frames_));
    lines_.push_back(std::string("tapBlocked: ") + flag(c.tapBlocked()));
    lines_.push_back(delaysLine(c.engine()));
    c.chooseMode(Mode::single);
    lines_.push_back("back to: " + c.status());
    finish(engineLogName);
}

void SelfCheck::runAutoTuneSelfCheck() {
    lines_.clear();
    ticks_ = 0;
    controller_->toggleAutoTune();
    std::weak_ptr<SelfCheck> weak = weak_from_this();
    timer_ = main_.addTimer(tickIntervalSeconds, [this, weak] {
        if (const auto self = weak.lock()) main_.post([self] { self->autoTuneTick(); });
    });
}

void SelfCheck::autoTuneTick() {
    // Ticks posted before the timer was cancelled still arrive.
    if (finished_) return;
    ++ticks_;
    const Controller& c = *controller_;
    const bool done = c.tuneOverall().has_value() && !c.tuning() && ticks_ >= 3;
    if (!done && ticks_ < lastAutoTuneTick) return;

    if (timer_) main_.cancelTimer(*timer_);
    timer_.reset();
    lines_.push_back("overall: " + c.tuneOverall().value_or("nil"));
    for (std::string& line : tunePhaseLines(c.tunePhases(), c.devices()))
        lines_.push_back(std::move(line));
    lines_.push_back(offsetsLine(c.offsets()));
    finish(autoTuneLogName);
}

void SelfCheck::runKeepInStepSelfCheck(double seconds) {
    lines_.clear();
    listenSeconds_ = seconds;
    switchBefore_ = controller_->keepInStep();
    if (startAligned(&SelfCheck::keepInStepStarted)) return;
    lines_.push_back("status: " + controller_->status());
    lines_.push_back(noSpeakerLine);
    finish(keepInStepLogName, 1);
}

void SelfCheck::keepInStepStarted(bool ok) {
    Controller& c = *controller_;
    if (!ok) {
        lines_.push_back("engineStarted: no");
        lines_.push_back("status: " + c.status());
        finish(keepInStepLogName, 1);
        return;
    }
    lines_.push_back(offsetsLine(c.offsets()));
    c.setKeepInStep(true);
    if (!c.listening()) {
        lines_.push_back("listening: no");
        lines_.push_back("status: " + c.status());
        c.setKeepInStep(switchBefore_);
        finish(keepInStepLogName, 1);
        return;
    }
    std::weak_ptr<SelfCheck> weak = weak_from_this();
    timer_ = main_.addTimer(0.1, [this, weak] {
        if (const auto self = weak.lock()) main_.post([self] { self->keepInStepTick(); });
    });
}

void SelfCheck::keepInStepTick() {
    if (finished_) return;
    Controller& c = *controller_;
    // Listening that stopped by itself (the microphone went, the engine failed) ends the run too.
    if (c.listenedSeconds() < listenSeconds_ && c.listening()) return;
    if (timer_) main_.cancelTimer(*timer_);
    timer_.reset();
    for (const std::string& line : c.listenLog())
        lines_.push_back(line);
    if (!c.listening()) lines_.push_back("listening stopped: " + c.status());
    c.setKeepInStep(switchBefore_);
    lines_.push_back(offsetsLine(c.offsets()));
    c.save();
    c.chooseMode(Mode::single);
    finish(keepInStepLogName);
}

void SelfCheck::finish(const char* logName, int status) {
    finished_ = true;
    // The log is what the run is for: one that cannot be written makes the run a failure. Lines
    // quote names and the status, which come from outside.
    const auto path = controller_->stateFile(logName);
    std::string why;
    if (!writeFileAtomically(path, printableLines(joinLines(lines_)), &why)) {
        std::fprintf(stderr, "housetone: cannot write the self-check log \"%s\" (%s)\n",
                     path.c_str(), why.c_str());
        status = logNotWritten;
    }
    main_.postAfter(quitDelaySeconds, [terminate = terminate_, status] { terminate(status); });
}

}  // namespace housetone::ui
