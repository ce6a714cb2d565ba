#pragma once

#include <pipewire/filter.h>

#include <cstdint>
#include <string>
#include <vector>

#include "audio/audio_hardware.h"
#include "audio/pipewire/pw_graph_connection.h"

namespace housetone::pw {

struct Tap;

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
    GraphMirror* graph = nullptr;        // told the rate each cycle runs at

    // Data thread, once per graph cycle: no lock, no allocation, no log.
    static void processRt(void* data, spa_io_position* position);
};

// The filter's life, all with the loop's lock held. The streams and wires are planned first.

// Sizes everything the callback touches for the largest cycle, before it can run.
void prepareBuffers(IOProc& p);
// Makes the filter node `nodeName` with its ports and connects it; its process callback runs on
// the data thread from then on.
bool openFilter(GraphConnection& c, IOProc& p, const std::string& nodeName,
                const std::string& description);
// Waits for the filter's ports to appear, links them as the wires say and waits for the links.
bool wireFilter(GraphConnection& c, IOProc& p);
// Removes the links and the filter; returns once the data thread has let go of it.
void closeFilter(GraphConnection& c, IOProc& p);
// Forgets the filter and links of a connection that has died.
void dropFilter(IOProc& p);

}  // namespace housetone::pw
