#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace housetone::pw {

// The public multi-output device: a sink other programs can play to, which plays into every
// member speaker at once. It is hosted by a small `pipewire` process of its own (no daemon, only
// libpipewire-module-combine-stream connected to the session's graph) so that it outlives the
// program, as a device the user made should, and keeps its description exactly as given.
//
// The host's PID and its configuration live in the PipeWire runtime directory
// ($PIPEWIRE_RUNTIME_DIR, else $XDG_RUNTIME_DIR), so a later run of the program finds and replaces
// the device an earlier one made.

struct CombineSink {
    std::string nodeName;              // node.name of the sink
    std::string description;           // node.description, shown to the user verbatim
    std::vector<std::string> members;  // node.name of each member speaker
    std::vector<std::string> positions = {"FL", "FR"};  // the sink's own channels
};

struct CombineHostResult {
    pid_t pid = 0;      // the host process; 0 on failure
    std::string error;  // why it failed, one line fit to show; empty on success
};

// Starts a host for `sink`, first stopping the one a previous call left running. The sink appears
// in the graph shortly after (watch the registry for its node.name); the call does not wait.
CombineHostResult startCombineHost(const CombineSink& sink);

// Stops the host a previous call left running, if any, and removes its files. Returns an empty
// string on success (also when there was none), otherwise why not.
std::string stopCombineHost();

}  // namespace housetone::pw
