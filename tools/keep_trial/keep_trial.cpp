// Plays aligned in a simulated room with Keep in step listening, as fast as the machine allows,
// and measures how well the group is held in step against the room's own truth: every half second
// of simulated time the spread of the speakers' arrivals (each one's delay plus its true latency
// and flight), every correction the listening made and every probe. A measurement, not a test.
//
//   housetone-keep-trial ROOM SECONDS [--series]
//
// The speakers start in step (offsets from the room's true arrivals). Prints one summary line per
// measure; with --series also one line per half second. Exit 0 when it ran, 1 when listening
// could not start, 2 on a bad command line or room.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "audio/sim/room.h"
#include "audio/sim/sim_audio_system.h"
#include "controller/controller.h"
#include "core/settings_store.h"
#include "platform/manual_main_queue.h"

namespace housetone {
namespace {

namespace fs = std::filesystem;

struct Trial {
    sim::SimAudioSystem& sim;
    ManualMainQueue& main;
    Controller& c;

    // The world is stepped here, a quarter second at a time, and waits for the listening to
    // catch up: a slow machine measures the same as a fast one, only later.
    void pumpUntil(double seconds) {
        const auto frame = static_cast<std::int64_t>(seconds * sim.sampleRate());
        const int buffers =
            std::max(1, static_cast<int>(0.25 * sim.sampleRate() / sim.bufferFrames()));
        while (sim.frame() < frame) {
            sim.step(buffers);
            main.fireTimers();
            main.runPending();
            const auto behind = static_cast<std::int64_t>(0.5 * sim.sampleRate());
            for (int i = 0; i < 20000 && c.listening() && c.listener().backlogFrames() > behind;
                 ++i) {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
                main.fireTimers();
                main.runPending();
            }
        }
        main.runPending();
    }

    // Each aligned speaker's arrival, ms: what the engine holds it back plus its true path.
    std::map<std::string, double> arrivals() const {
        std::map<std::string, double> out;
        const auto targets = c.engine().targets();
        const double rate = c.engine().rate();
        for (std::size_t i = 0; i < targets.size(); ++i) {
            const auto path = sim.trueArrivalMs(targets[i].uid);
            if (!path) continue;
            out[targets[i].uid] =
                c.engine().delayFrames(static_cast<int>(i)) * 1000.0 / rate + *path;
        }
        return out;
    }
    static double spread(const std::map<std::string, double>& a) {
        if (a.size() < 2) return 0;
        double lo = 1e18, hi = -1e18;
        for (const auto& [uid, ms] : a) {
            lo = std::min(lo, ms);
            hi = std::max(hi, ms);
        }
        return hi - lo;
    }
};

int run(const std::string& roomFile, double seconds, double speed, bool series) {
    sim::RoomSpec room;
    try {
        room = sim::loadRoomFile(roomFile);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "keep-trial: %s\n", e.what());
        return 2;
    }
    char tmpl[] = "/tmp/housetone-keep-trial-XXXXXX";
    if (!mkdtemp(tmpl)) return 2;
    const fs::path dir = tmpl;
    int status = 0;
    {
        sim::SimAudioSystem sim(room, sim::SimOptions{.speed = speed, .startWorld = false});
        ManualMainQueue main;
        SettingsStore store(dir / "state");
        // Every output included, in step by the room's truth at the start.
        Config config;
        double latest = 0;
        for (const auto& o : room.outputs)
            latest = std::max(latest, sim.trueArrivalMs(o.uid).value_or(0));
        std::map<std::string, bool> include;
        for (const auto& o : room.outputs) {
            config.offsets[o.uid] = latest - sim.trueArrivalMs(o.uid).value_or(latest);
            include[o.uid] = true;
        }
        config.include = include;
        store.save(config);
        auto c = Controller::create(
            Services{sim, main, store, sim.player(), sim.micPermission(), nullptr});
        Trial t{sim, main, *c};
        c->chooseMode(Mode::aligned);
        for (int i = 0; i < 200 && c->engine().installedRun() == 0; ++i) {
            sim.step(4);
            main.runFor(0.01);
        }
        c->setKeepInStep(true);
        if (!c->listening()) {
            std::fprintf(stderr, "keep-trial: not listening: %s\n", c->status().c_str());
            status = 1;
        } else {
            const double start = sim.frame() / sim.sampleRate();
            int corrections = 0;
            double worst = 0, worstAt = 0;
            std::map<std::string, double> lastOffsets = c->offsets();
            std::vector<std::pair<double, double>> spreads;
            for (double at = start + 0.5; at <= start + seconds; at += 0.5) {
                t.pumpUntil(at);
                const double s = Trial::spread(t.arrivals());
                spreads.emplace_back(at - start, s);
                if (c->offsets() != lastOffsets) {
                    ++corrections;
                    lastOffsets = c->offsets();
                    std::printf("%8.1f s  correction: %s\n", at - start, c->status().c_str());
                }
                if (s > worst) {
                    worst = s;
                    worstAt = at - start;
                }
                if (series)
                    std::printf("%8.1f s  spread %.2f ms%s\n", at - start, s,
                                c->listening() ? "" : "  (not listening)");
            }
            // Time spent out of step (beyond 2 ms), and the longest stretch of it.
            double outSeconds = 0, longest = 0, run = 0;
            for (const auto& [at, s] : spreads) {
                run = s > 2.0 ? run + 0.5 : 0;
                if (s > 2.0) outSeconds += 0.5;
                longest = std::max(longest, run);
            }
            for (const auto& line : c->listenLog())
                if (series) std::printf("check %s\n", line.c_str());
            std::printf(
                "room %s: %.0f s, corrections %d, worst spread %.2f ms at %.1f s, "
                "out of step (>2 ms) %.1f s, longest stretch %.1f s, final spread %.2f ms, "
                "checks %zu\n",
                roomFile.c_str(), seconds, corrections, worst, worstAt, outSeconds, longest,
                spreads.empty() ? 0.0 : spreads.back().second, c->listenLog().size());
        }
        c->shutdown();
        main.runPending();
    }
    fs::remove_all(dir);
    return status;
}

}  // namespace
}  // namespace housetone

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: housetone-keep-trial ROOM SECONDS [--series]\n");
        return 2;
    }
    const std::string room = argv[1];
    const double seconds = std::atof(argv[2]);
    double speed = 1;  // unused while the world is stepped by hand
    bool series = false;
    for (int i = 3; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--series")
            series = true;
        else {
            std::fprintf(stderr, "keep-trial: unknown option %s\n", a.c_str());
            return 2;
        }
    }
    if (!(seconds > 0)) return 2;
    return housetone::run(room, seconds, speed, series);
}
