#pragma once

// A controller over a small simulated room, a hand-pumped main queue and a settings store in a
// fresh temporary directory. The device list shows the room in this order (Bluetooth first, then
// built-in, then the rest by name):
//   "Kitchen" kitchen (Bluetooth), "Porch" porch (Bluetooth LE),
//   "Built-in Speakers" builtin (system output at start), "Desk" desk (USB).
// Inputs: "Built-in Microphone" mic (built-in), "Kitchen Headset" headset-mic (Bluetooth).

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "audio/device_access.h"
#include "audio/sim/sim_audio_system.h"
#include "controller/controller.h"
#include "platform/manual_main_queue.h"
#include "support/sim_rooms.h"

namespace housetone::testing {

using testsupport::speaker;

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

inline std::filesystem::path makeTempDir() {
    std::string p = (std::filesystem::temp_directory_path() / "housetone-ctrl-XXXXXX").string();
    if (!::mkdtemp(p.data())) throw std::runtime_error("mkdtemp failed");
    return p;
}

inline constexpr const char* allSpeakersID = "com.mirelo.housetone.allspeakers";

// Members are destroyed in reverse order: the controller first, the world last.
struct Rig {
    explicit Rig(sim::RoomSpec room = fixtureRoom())
        : dir(makeTempDir()),
          sim(std::move(room), {.speed = testsupport::measuringSpeed(60)}),
          store(dir / "state") {}
    ~Rig() {
        if (ctl) ctl->shutdown();
        ctl.reset();
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }

    Controller& start() {
        ctl = Controller::create(
            Services{sim, main, store, sim.player(), sim.micPermission(), nullptr});
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
    // Chooses `aligned` and pumps until the engine start has completed; its result.
    bool startAligned() {
        std::optional<bool> result;
        ctl->setAlignedStartCompleted([&](bool ok) { result = ok; });
        ctl->chooseMode(Mode::aligned);
        return main.runUntil([&] { return result.has_value(); }, 20) && *result;
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

    std::filesystem::path dir;
    sim::SimAudioSystem sim;
    ManualMainQueue main;
    SettingsStore store;
    std::shared_ptr<Controller> ctl;
};

}  // namespace housetone::testing
