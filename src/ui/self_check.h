#pragma once

// The two unattended diagnostic runs ("--selftest", "--autotune-selftest"): each drives the
// controller through one scenario, writes one log into the state directory and ends the program.
// Main thread only; paced by the main queue in real time.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "controller/controller.h"
#include "platform/main_queue.h"

namespace housetone::ui {

class SelfCheck : public std::enable_shared_from_this<SelfCheck> {
  public:
    static constexpr const char* engineLogName = "app-selftest.log";
    static constexpr const char* autoTuneLogName = "app-autotune-selftest.log";
    static constexpr const char* keepInStepLogName = "app-keep-in-step-selftest.log";
    static constexpr int meterSamples = 6;
    static constexpr int lastAutoTuneTick = 151;
    static constexpr int logNotWritten = 3;

    // `terminate` ends the program with the given exit status (0 unless the check could not run
    // at all, or `logNotWritten`); it runs 0.5 s after the log was written (or failed to be).
    // Scheduled work holds the check weakly, so dropping the last owner ends it.
    using Terminate = std::function<void(int status)>;
    static std::shared_ptr<SelfCheck> create(std::shared_ptr<Controller> controller,
                                             MainQueue& main, Terminate terminate);
    // The last line of the engine log when the engine was refused before it could start.
    static constexpr const char* noSpeakerLine = "Include at least one speaker first";

    void runEngineSelfCheck();
    void runAutoTuneSelfCheck();
    // Plays aligned with every included speaker at its saved offset, listens for `seconds` of
    // audio, logs every check the listening made and saves the offsets it ends with.
    void runKeepInStepSelfCheck(double seconds);

  private:
    SelfCheck(std::shared_ptr<Controller> controller, MainQueue& main, Terminate terminate);
    // Asks for aligned, with `started` told how the start went; false when it was refused on the
    // spot and nothing will be told.
    bool startAligned(void (SelfCheck::*started)(bool));
    void engineStarted(bool ok);
    void takeMeterSample(int index);
    void autoTuneTick();
    void keepInStepStarted(bool ok);
    void keepInStepTick();
    void finish(const char* logName, int status = 0);

    std::shared_ptr<Controller> controller_;
    MainQueue& main_;
    Terminate terminate_;
    std::vector<std::string> lines_;
    std::vector<double> rms_;
    std::vector<std::int64_t> frames_;
    std::optional<MainQueue::TimerId> timer_;
    int ticks_ = 0;
    double listenSeconds_ = 0;
    bool switchBefore_ = false;  // the user's Keep in step switch, given back at the end
    bool finished_ = false;
};

// ---- Log lines ----------------------------------------------------------------------------------

// The shortest decimal that reads back as the same Float64, always with a fractional digit
// ("3.0", "-0.5", "12.345").
std::string shortestDecimal(double value);
// "offsets: [\"a\": 1.0, \"b\": 2.5]"; an empty map prints "offsets: [:]".
std::string offsetsLine(const std::map<std::string, double>& offsets);
// "tap rms per second: 0.01234 0.02000 ..." (%.5f each).
std::string tapRmsLine(const std::vector<double>& rms);
// "tap input frames per second: 48128 48128 ...".
std::string tapFramesLine(const std::vector<std::int64_t>& frames);
// "delays: Name=0smp Other=1440smp"; one item per engine target, in target order.
std::string delaysLine(const TapEngine& engine);
// One line per tune phase, in key order: the device's display name (or the key when no device has
// it), ": " and the text.
std::vector<std::string> tunePhaseLines(const std::map<std::string, std::string>& phases,
                                        const std::vector<Dev>& devices);
std::string joinLines(const std::vector<std::string>& lines);

}  // namespace housetone::ui
