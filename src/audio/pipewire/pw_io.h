#pragma once

#include <pipewire/filter.h>
#include <pipewire/stream.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "audio/audio_hardware.h"

namespace housetone::pw {

class PipeWireHardware;

// An aggregate exists only in this program until a callback runs on it: then it becomes one
// filter node whose ports are linked to its members' ports.
struct Aggregate {
    AudioObjectID id = 0;
    AggregateDescription desc;
};

// "All system audio": a sink in this process that becomes the default output while an aggregate
// reads it, so programs play into it instead of into the speakers.
struct Tap {
    AudioObjectID id = 0;
    TapDescription desc;
    pw_stream* stream = nullptr;
    spa_hook listener{};
    std::string nodeName;
    bool isDefault = false;
    std::string restoreDefault;  // node.name of the output programs go back to
};

// The largest graph cycle a callback is prepared for; the data thread never allocates.
constexpr std::uint32_t maxQuantum = 8192;

// One link between a port of a callback's filter and a port of the graph.
struct Wire {
    bool input = false;          // the filter reads the graph port (else it plays into it)
    std::size_t filterPort = 0;  // the filter's port of that direction, in channel order
    std::uint32_t node = 0, port = 0;
};

// One installed callback. While started it owns a filter node with one mono port per channel of
// each stream of its device's layout (aggregateLayout), wired to the ports those channels come
// from or go to.
struct IOProc {
    AudioDeviceIOProcID id = 0;
    AudioObjectID device = 0;
    AudioDeviceIOProc fn = nullptr;
    void* client = nullptr;

    pw_filter* filter = nullptr;
    spa_hook listener{};
    std::vector<std::uint32_t> inStreams, outStreams;  // channels per buffer
    std::vector<void*> inPorts, outPorts;              // filter port data, in channel order
    std::vector<Wire> wires;
    std::vector<pw_proxy*> links;
    BufferListStorage inList, outList;
    std::vector<float> inData, outData;  // interleaved, room for maxQuantum frames
    std::int64_t firstPosition = -1;     // data thread only
    Tap* tap = nullptr;                  // read by this callback's first input stream

    // Data thread, once per graph cycle: no lock, no allocation, no log.
    static void processRt(void* data, spa_io_position* position);
};

}  // namespace housetone::pw
