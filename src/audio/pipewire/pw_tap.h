#pragma once

#include <pipewire/stream.h>

#include <string>

#include "audio/audio_hardware.h"
#include "audio/pipewire/pw_default_keeper.h"
#include "audio/pipewire/pw_graph_connection.h"

namespace housetone::pw {

// "All system audio": a sink in this process that becomes the default output while an aggregate
// reads it, so programs play into it instead of into the speakers. Its monitor ports carry what
// they play.
struct Tap {
    AudioObjectID id = 0;
    TapDescription desc;
    pw_stream* stream = nullptr;
    spa_hook listener{};
    std::string nodeName;
    bool isDefault = false;
    std::string restoreDefault;       // node.name of the output programs go back to
    std::uint32_t latencyFrames = 0;  // what it tells the programs that play into it
    DefaultKeeper keeper;             // gives the output back if the program cannot
};

// The tap's node name: "housetone.tap." and its UUID in lower-case letters, digits and dashes.
std::string tapNodeName(const std::string& uuid);

// Makes the tap's sink at the graph's rate and waits until the session manager has given it its
// two monitor ports (lock held). On failure the sink is removed again.
OSStatus openTap(GraphConnection& c, Tap& t);
// Tells the programs that play into the tap that their sound leaves the speakers `frames` later
// (lock held); what a player adds to its own buffering to keep pictures in step with its sound.
void reportTapLatency(Tap& t, std::uint32_t frames);
// Removes the tap's sink and waits until the daemon has (lock held).
void closeTap(GraphConnection& c, Tap& t);
// Forgets the sink of a connection that has died.
void dropTap(Tap& t);

}  // namespace housetone::pw
