#pragma once

// A controller over a simulated room, a hand-pumped main queue and a settings store in a fresh
// temporary folder: what the controller and the UI tests drive.

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "audio/device_access.h"
#include "audio/sim/sim_audio_system.h"
#include "controller/controller.h"
#include "core/settings_store.h"
#include "platform/manual_main_queue.h"
#include "support/sim_rooms.h"
#include "support/temp_dir.h"

namespace housetone::testsupport {

// The room a rig shows unless told otherwise, listed in this order (Bluetooth first, then
// built-in, then the rest by name):
//   "Kitchen" kitchen (Bluetooth), "Porch" porch (Bluetooth LE),
//   "Built-in Speakers" builtin (system output at start), "Desk" desk (USB).
// Inputs: "Built-in Microphone" mic (built-in), "Kitchen Headset" headset-mic (Bluetooth).
inline sim::RoomSpec fixtureRoom() {
    sim::RoomSpec room;
    room.outputs = {
        speaker("builtin",
                {.name = "Built-in Speakers", .transport = transport::builtIn, .level = 0.2}),
        speaker("kitchen", {.name = "Kitchen", .transport = transport::bluetooth, .level = 0.2}),
        speaker("desk", {.name = "Desk", .level = 0.2}),
        speaker("porch", {.name = "Porch", .transport = transport::bluetoothLE, .level = 0.2})};
    room.inputs = {{"Built-in Microphone", "mic", transport::builtIn, 1, 0.0001},
                   {"Kitchen Headset", "headset-mic", transport::bluetooth, 1, 0.0001}};
    room.defaultOutput = "builtin";
    return room;
}

inline constexpr const char* allSpeakersID = "com.mirelo.housetone.allspeakers";

struct RigOptions {
    double speed = measuringSpeed(60);  // simulated seconds per real second
    bool startWorld = true;             // false: the world renders only when a test asks
    AlertPresenter* alerts = nullptr;
};

// Members are destroyed in reverse order: the controller first, the world last. The controller is
// made by start(), so a test can arrange the settings file and the world before.
struct Rig {
    explicit Rig(sim::RoomSpec room = fixtureRoom(), RigOptions options = {})
        : dir("housetone-rig"),
          sim(std::move(room), {.speed = options.speed, .startWorld = options.startWorld}),
          store(dir / "state"),
          alerts(options.alerts) {}
    ~Rig() {
        if (ctl) ctl->shutdown();
        ctl.reset();
        main.runPending();  // what the controller left queued goes before the world does
    }

    Controller& start() {
        ctl = Controller::create(
            Services{sim, main, store, sim.player(), sim.micPermission(), alerts});
        return *ctl;
    }
    // Starts over a settings file holding these decisions and offsets (no names, no anchor).
    Controller& start(std::map<std::string, bool> include,
                      std::map<std::string, double> offsets = {}) {
        return startWith({.offsets = std::move(offsets), .include = std::move(include)});
    }
    Controller& startWith(const Config& settings) {
        store.save(settings);
        return start();
    }
    Dev dev(const std::string& uid) const {
        for (const Dev& d : ctl->devices())
            if (d.uid == uid) return d;
        ADD_FAILURE() << "not listed: " << uid;
        return {};
    }
    std::vector<std::string> listedUIDs() const {
        std::vector<std::string> out;
        for (const Dev& d : ctl->devices())
            out.push_back(d.uid);
        return out;
    }
    std::string outputUID() {
        const auto id = defaultOutput(sim);
        return id ? stringProperty(sim, *id, sel::deviceUID).value_or("") : "";
    }
    std::vector<std::string> aggregateUIDs() {
        std::vector<std::string> out;
        for (AudioObjectID id : sim.aggregateIDs())
            out.push_back(stringProperty(sim, id, sel::deviceUID).value_or("?"));
        return out;
    }
    // Watches for the next aligned start; startSucceeded() pumps until it has completed.
    void watchStart() {
        started.reset();
        ctl->setAlignedStartCompleted([this](bool ok) { started = ok; });
    }
    bool startSucceeded() {
        return main.runUntil([&] { return started.has_value(); }, 20) && *started;
    }
    // Chooses `aligned` and pumps until the engine start has completed; its result.
    bool startAligned() {
        watchStart();
        ctl->chooseMode(Mode::aligned);
        return startSucceeded();
    }
    // Pumps until no "All Speakers" that applying `together` started is still being built.
    bool allSpeakersBuilt() {
        return main.runUntil([&] { return !ctl->buildingAllSpeakers(); }, 20);
    }
    void chooseTogether() {
        ctl->chooseMode(Mode::together);
        allSpeakersBuilt();
    }
    // One tick after the world has rendered a few more buffers (so the engine's callback ran).
    void tickAfterAudio() {
        sim.waitForFrame(sim.frame() + 4 * sim.bufferFrames());
        ctl->tick();
    }
    std::optional<std::string> readFile(const std::string& name) const {
        std::ifstream in(store.fileURL(name), std::ios::binary);
        if (!in) return std::nullopt;
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    TempDir dir;
    sim::SimAudioSystem sim;
    ManualMainQueue main;
    SettingsStore store;
    AlertPresenter* alerts;
    std::shared_ptr<Controller> ctl;
    std::optional<bool> started;  // the watched start's result
};

}  // namespace housetone::testsupport
