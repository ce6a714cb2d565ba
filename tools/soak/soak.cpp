// Drives the controller and the aligned engine in the simulated room, as fast as the machine
// allows, through a stretch of simulated time of random operations: mode switches, offsets and
// nudges, volumes and mutes, boosts, speakers unplugged and plugged back, tunes started and
// cancelled, guided walks, click tests, and quitting at random moments (the controller is torn
// down mid-operation and a new one starts from the same settings, as a relaunch does).
//
// After every step it checks that the settings file decodes, that the engine's delays equal the
// model's offsets once an engine start has completed, that no controller callback runs after its
// controller is gone, and that the heap does not grow. Seeded: the same seed takes the same
// decisions (thread timing still differs from run to run).
//
//   housetone-soak [--seed N] [--hours H] [--quiet]
// Exit status 0 when every check held, 1 when any failed (each failing check is reported with
// the step it first failed at), 2 on a bad command line.

#include <malloc.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "audio/sim/sim_audio_system.h"
#include "controller/controller.h"
#include "core/dev.h"
#include "core/fourcc.h"
#include "core/settings_store.h"
#include "platform/manual_main_queue.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizers' allocators keep their own count (GCC ships no header for it); mallinfo would
// not see their heap.
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace housetone {
namespace {

namespace fs = std::filesystem;

std::size_t heapBytes() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return __sanitizer_get_current_allocated_bytes();
#else
    return mallinfo2().uordblks;
#endif
}

// Peak resident set of the process, from the kernel.
long peakRssKiB() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
    }
    return -1;
}

sim::OutputSpec speaker(const std::string& name, const std::string& uid, std::uint32_t transport,
                        double latencyMs, double distanceM) {
    return {.name = name,
            .uid = uid,
            .transport = transport,
            .latencyMs = latencyMs,
            .distanceM = distanceM,
            .level = 0.15};
}

sim::RoomSpec soakRoom(std::uint64_t seed) {
    sim::RoomSpec room;
    room.seed = seed;
    room.outputs = {speaker("Built-in Speakers", "builtin", fourcc("bltn"), 8, 1.0),
                    speaker("Kitchen", "kitchen", fourcc("blue"), 180, 3.5),
                    speaker("Porch", "porch", fourcc("blea"), 250, 4.8),
                    speaker("Desk", "desk", fourcc("usb "), 12, 1.3),
                    speaker("TV", "tv", fourcc("hdmi"), 45, 3.0)};
    room.outputs[4].hasVolume = false;
    room.outputs[3].channels = 6;
    room.inputs = {{"Built-in Microphone", "mic", fourcc("bltn"), 1, 0.0003}};
    room.defaultOutput = "builtin";
    return room;
}

struct Check {
    std::string name;
    long failures = 0;
    std::optional<long> firstStep;
    std::string firstDetail;
};

class Soak {
  public:
    Soak(std::uint64_t seed, double hours, bool quiet)
        : seed_(seed), hours_(hours), quiet_(quiet), rng_(seed), room_(soakRoom(seed)) {
        std::string tmpl = (fs::temp_directory_path() / "housetone-soak-XXXXXX").string();
        if (!::mkdtemp(tmpl.data())) throw std::runtime_error("cannot make a temporary directory");
        dir_ = tmpl;
    }
    ~Soak() {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    int run();

  private:
    void launch();
    void quit();
    void step();
    void checkAll();
    std::string delayMismatch() const;
    void fail(const std::string& check, const std::string& detail);
    void pumpUntilFrame(std::int64_t frame);
    Dev anyDevice();
    // The last few operations, oldest first, for a failure report.
    std::string recentOps() const {
        std::string out;
        for (const std::string& op : recent_)
            out += (out.empty() ? "" : ", ") + op;
        return out;
    }
    int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
    double uniform(double lo, double hi) {
        return std::uniform_real_distribution<double>(lo, hi)(rng_);
    }

    std::uint64_t seed_;
    double hours_;
    bool quiet_;
    std::mt19937_64 rng_;
    sim::RoomSpec room_;
    fs::path dir_;
    std::unique_ptr<sim::SimAudioSystem> sim_;
    std::unique_ptr<ManualMainQueue> main_;
    std::unique_ptr<SettingsStore> store_;
    std::shared_ptr<Controller> ctl_;
    // Cleared before a controller goes; its observers and start completions must not run after.
    std::shared_ptr<std::atomic<bool>> alive_;
    std::shared_ptr<std::atomic<long>> lateCallbacks_ = std::make_shared<std::atomic<long>>(0);
    std::vector<std::string> unplugged_;
    long step_ = 0;
    long operations_ = 0;
    long launches_ = 0;
    std::map<std::string, long> opCounts_;
    std::vector<std::string> recent_;
    std::vector<Check> checks_ = {{"settings file decodes"},
                                  {"engine delays equal the offsets"},
                                  {"no callback after the controller is gone"},
                                  {"heap stays flat"}};
    std::size_t heapBaseline_ = 0;
    std::size_t heapPeak_ = 0;
};

void Soak::fail(const std::string& check, const std::string& detail) {
    for (Check& c : checks_) {
        if (c.name != check) continue;
        if (c.failures++ == 0) {
            c.firstStep = step_;
            c.firstDetail = detail;
            c.firstDetail += " (after " + recentOps() + ")";
            std::fprintf(stderr, "soak: seed %llu step %ld: %s FAILED: %s\n",
                         static_cast<unsigned long long>(seed_), step_, check.c_str(),
                         c.firstDetail.c_str());
        }
    }
}

void Soak::launch() {
    alive_ = std::make_shared<std::atomic<bool>>(true);
    ctl_ = Controller::create(
        Services{*sim_, *main_, *store_, sim_->player(), sim_->micPermission(), nullptr});
    auto alive = alive_;
    auto late = lateCallbacks_;
    ctl_->addObserver([alive, late](Field) {
        if (!alive->load()) late->fetch_add(1);
    });
    ++launches_;
}

void Soak::quit() {
    ctl_->shutdown();
    alive_->store(false);
    ctl_.reset();
    // Whatever the old controller left on the main queue runs now, against nothing.
    main_->runPending();
}

void Soak::pumpUntilFrame(std::int64_t frame) {
    while (sim_->frame() < frame) {
        if (main_->runPending() == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    main_->runPending();
}

Dev Soak::anyDevice() {
    const auto& devices = ctl_->devices();
    if (devices.empty()) return {};
    return devices[static_cast<std::size_t>(pick(static_cast<int>(devices.size())))];
}

void Soak::step() {
    Controller& c = *ctl_;
    const Dev d = anyDevice();
    static const char* const names[] = {"mode",   "offset", "nudge",    "shiftAll", "volume",
                                        "mute",   "bass",   "volBoost", "crisp",    "include",
                                        "unplug", "plug",   "tune",     "guided",   "click",
                                        "rebase", "tick",   "rescan",   "quit"};
    constexpr int count = static_cast<int>(std::size(names));
    // Quitting is rarer than the rest: about one step in 400.
    int op = pick(count - 1);
    if (pick(400) == 0) op = count - 1;
    ++opCounts_[names[op]];
    recent_.push_back(std::to_string(step_) + ":" + names[op]);
    if (recent_.size() > 4) recent_.erase(recent_.begin());
    ++operations_;
    switch (op) {
        case 0: {
            const Mode modes[] = {Mode::single, Mode::together, Mode::aligned, Mode::aligned};
            c.chooseMode(modes[pick(4)]);
            break;
        }
        case 1:
            if (!d.uid.empty()) c.setOffset(d, uniform(-50, 400));
            break;
        case 2:
            if (c.guidedIndex()) {
                const double steps[] = {-25, -5, -1, 1, 5, 25};
                c.nudgeGuided(steps[pick(6)]);
            } else if (!d.uid.empty()) {
                const auto it = c.offsets().find(d.uid);
                c.setOffset(d, (it == c.offsets().end() ? 0 : it->second) + (pick(2) ? 1 : -1));
                c.rebaseOffsets();
            }
            break;
        case 3:
            c.shiftAll(pick(2) ? 1 : -1);
            break;
        case 4:
            if (!d.uid.empty()) c.setVolume(d.id, d.uid, static_cast<float>(uniform(0, 1)));
            break;
        case 5:
            if (!d.uid.empty()) c.setMute(d, pick(2) == 0);
            break;
        case 6:
            c.setBassBoost(pick(2) == 0);
            break;
        case 7:
            c.setVolBoostPct(pick(30));
            break;
        case 8:
            if (!d.uid.empty()) {
                c.setCrispAmount(d.uid, uniform(0, 1));
                if (pick(2)) c.saveCrisp();
            }
            break;
        case 9:
            if (!d.uid.empty()) c.setInclude(d, pick(3) != 0);
            break;
        case 10:
            // Never the last speaker: a room with no output at all is another test.
            if (!d.uid.empty() && c.devices().size() > 2 && sim_->removeDevice(d.uid)) {
                unplugged_.push_back(d.uid);
                if (pick(2))
                    c.rescan();
                else
                    c.refreshDevices();
            }
            break;
        case 11:
            if (!unplugged_.empty()) {
                const auto i = static_cast<std::size_t>(pick(static_cast<int>(unplugged_.size())));
                for (const sim::OutputSpec& o : room_.outputs)
                    if (o.uid == unplugged_[i]) sim_->addOutput(o);
                unplugged_.erase(unplugged_.begin() + static_cast<std::ptrdiff_t>(i));
                if (pick(2))
                    c.rescan();
                else
                    c.refreshDevices();
            }
            break;
        case 12:
            c.toggleAutoTune();  // starts one, or cancels the one running
            break;
        case 13:
            if (!c.guidedIndex())
                c.startGuidedAlign();
            else if (pick(3))
                c.confirmGuidedStep();
            else
                c.endGuidedAlign(std::string("Guided align stopped."));
            break;
        case 14:
            c.toggleClickTest();
            break;
        case 15:
            c.rebaseOffsets();
            break;
        case 16:
            c.tick();
            break;
        case 17:
            c.rescan();
            break;
        default:
            quit();
            launch();
            break;
    }
}

// Empty while the engine plays the model's offsets, or while no engine start of the current run
// has completed (or a tune has it suspended); otherwise the first target that differs. Every
// target plays its offset by the engine's own rounding.
std::string Soak::delayMismatch() const {
    const Controller& c = *ctl_;
    const TapEngine& e = c.engine();
    if (c.mode() != Mode::aligned || c.tuning() || e.installedRun() != c.alignedStartGeneration() ||
        e.aggID() == 0)
        return {};
    const auto targets = e.targets();
    for (std::size_t i = 0; i < targets.size() && i < TapEngine::maxDevices; ++i) {
        const auto it = c.offsets().find(targets[i].uid);
        // A lone speaker has nobody to wait for: it plays at once whatever its offset.
        const double ms = it == c.offsets().end() || targets.size() == 1 ? 0.0 : it->second;
        const double seconds = ms >= TapEngine::maxDelayMs ? 5.0 : (ms > 0 ? ms / 1000 : 0);
        const auto want = static_cast<std::int32_t>(std::lround(seconds * e.rate()));
        const std::int32_t have = e.delayFrames(static_cast<int>(i));
        if (have != want) {
            return targets[i].uid + " plays " + std::to_string(have) + " frames late, its offset " +
                   std::to_string(ms) + " ms is " + std::to_string(want) + " frames";
        }
    }
    return {};
}

void Soak::checkAll() {
    // The settings file, whenever there is one, decodes.
    const fs::path file = store_->fileURL(SettingsStore::fileName);
    std::error_code ec;
    if (fs::exists(file, ec)) {
        std::ifstream in(file, std::ios::binary);
        const std::string text((std::istreambuf_iterator<char>(in)), {});
        if (!decodeConfig(text)) fail("settings file decodes", "offsets.json does not decode");
    }

    if (!ctl_) return;
    // The lifecycle thread marks a start installed just before it posts the start's completion,
    // which re-applies offsets changed while the start ran (the start itself loads those of
    // request time). A difference seen in between is the completion still on its way; only one
    // that outlives it is a fault.
    std::string mismatch = delayMismatch();
    if (!mismatch.empty() &&
        !main_->runUntil([&] { return (mismatch = delayMismatch()).empty(); }, 2.0))
        fail("engine delays equal the offsets", mismatch);

    if (const long late = lateCallbacks_->exchange(0); late > 0)
        fail("no callback after the controller is gone",
             std::to_string(late) + " observer call(s) after shutdown");

    const std::size_t heap = heapBytes();
    heapPeak_ = std::max(heapPeak_, heap);
    constexpr std::size_t allowance = std::size_t{32} << 20;
    if (heapBaseline_ != 0 && heap > heapBaseline_ + allowance) {
        fail("heap stays flat", std::to_string(heap >> 20) + " MiB in use, " +
                                    std::to_string(heapBaseline_ >> 20) + " MiB after warm-up");
    }
}

int Soak::run() {
    // A hundred times real time: fast, yet the main thread gets many operations into each
    // simulated second, as a busy user would (flat out, the world would outrun them).
    sim_ = std::make_unique<sim::SimAudioSystem>(room_, sim::SimOptions{.speed = 100});
    main_ = std::make_unique<ManualMainQueue>();
    store_ = std::make_unique<SettingsStore>(dir_ / "state");
    launch();

    // The stretch counts from the end of the first launch: the world runs on while it starts,
    // and a slow start (sanitizers on a busy machine) must not use up a short soak before its
    // first operation.
    const auto span = static_cast<std::int64_t>(hours_ * 3600 * sim_->sampleRate());
    const std::int64_t end = sim_->frame() + span, warmUp = sim_->frame() + span / 10;
    const auto started = std::chrono::steady_clock::now();
    while (sim_->frame() < end) {
        ++step_;
        step();
        // Up to half a second of simulated time passes between two operations, often none.
        const double gap = pick(4) == 0 ? 0.0 : uniform(0, 0.5);
        pumpUntilFrame(sim_->frame() + static_cast<std::int64_t>(gap * sim_->sampleRate()));
        checkAll();
        if (heapBaseline_ == 0 && sim_->frame() >= warmUp) heapBaseline_ = heapPeak_;
        if (!quiet_ && step_ % 1000 == 0) {
            std::fprintf(stderr, "soak: step %ld, %.1f simulated minutes\n", step_,
                         static_cast<double>(sim_->frame()) / sim_->sampleRate() / 60);
        }
    }
    // The last quit, at whatever the final step left running.
    quit();
    checkAll();
    sim_->stopWorld();

    const double realSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("soak: seed %llu, %.2f simulated hours in %.0f s, %ld operations, %ld launches\n",
                static_cast<unsigned long long>(seed_),
                static_cast<double>(sim_->frame()) / sim_->sampleRate() / 3600, realSeconds,
                operations_, launches_);
    std::string ops;
    for (const auto& [name, n] : opCounts_)
        ops += (ops.empty() ? "" : ", ") + name + " " + std::to_string(n);
    std::printf("soak: operations: %s\n", ops.c_str());
    std::printf("soak: heap after warm-up %.1f MiB, peak %.1f MiB; peak resident %.1f MiB\n",
                static_cast<double>(heapBaseline_) / (1 << 20),
                static_cast<double>(heapPeak_) / (1 << 20),
                static_cast<double>(peakRssKiB()) / 1024);
    bool ok = true;
    for (const Check& c : checks_) {
        if (c.failures == 0) {
            std::printf("soak: PASS %s\n", c.name.c_str());
        } else {
            ok = false;
            std::printf("soak: FAIL %s: %ld times, first at step %ld: %s\n", c.name.c_str(),
                        c.failures, *c.firstStep, c.firstDetail.c_str());
        }
    }
    return ok ? 0 : 1;
}

}  // namespace
}  // namespace housetone

int main(int argc, char** argv) {
    std::uint64_t seed = 1;
    double hours = 1;
    bool quiet = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        char* end = nullptr;
        bool good = false;
        if (a == "--quiet") {
            quiet = good = true;
        } else if (a == "--seed" && i + 1 < argc) {
            seed = std::strtoull(argv[++i], &end, 10);
            good = *end == '\0';
        } else if (a == "--hours" && i + 1 < argc) {
            hours = std::strtod(argv[++i], &end);
            good = *end == '\0' && hours > 0 && hours <= 100;
        }
        if (!good) {
            std::fprintf(stderr, "usage: housetone-soak [--seed N] [--hours H] [--quiet]\n");
            return 2;
        }
    }
    return housetone::Soak(seed, hours, quiet).run();
}
