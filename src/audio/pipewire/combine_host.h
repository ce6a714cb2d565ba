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
// The host's configuration lives in the PipeWire runtime directory ($PIPEWIRE_RUNTIME_DIR, else
// $XDG_RUNTIME_DIR), which must be a private folder of this user's. A host is recognised by what
// it is, not by a record someone could have replaced: a process of this user's, named `pipewire`,
// running exactly `pipewire -c <that configuration>`. So a later run of the program finds and
// replaces the device an earlier one made, and never touches anybody else's process.

// One speaker the sink feeds. Node names come from whoever made the node: the combine module reads
// a name starting with "~" as a regular expression, skips a name too long for its buffer (and so
// matches every sink) and chokes on bytes that are not UTF-8; the session manager takes a name
// that looks like a number for a serial. Only a name that survives all of that is matched by
// name (quoted, so quotes, backslashes and control characters arrive intact); every other member
// is matched by its serial, which names this node and no other.
struct CombineMember {
    std::string nodeName;    // node.name, byte for byte as the graph has it
    std::string serial;      // object.serial, decimal
    std::string mediaClass;  // "Audio/Sink" or "Audio/Duplex"
    // Match by name, so that the sink feeds the speaker again when it comes back after being
    // unplugged; only worth it (and only asked for) when no other node carries the same name.
    bool followByName = false;
};

struct CombineSink {
    std::string nodeName;     // node.name of the sink
    std::string description;  // node.description, shown to the user verbatim
    std::vector<CombineMember> members;
    std::vector<std::string> positions = {"FL", "FR"};  // the sink's own channels
};

struct CombineHostResult {
    pid_t pid = 0;      // the host process; 0 on failure
    std::string error;  // why it failed, one line fit to show; empty on success
};

// Whether the combine module and the session manager find exactly the node called `nodeName` by
// that name (see CombineMember).
bool matchableByName(const std::string& nodeName);

// Starts a host for `sink`, first stopping every host of ours that runs (one a previous call left,
// or several an older version lost track of). The sink appears in the graph shortly after (watch
// the registry for its node.name); the call waits only for the old hosts to end.
CombineHostResult startCombineHost(const CombineSink& sink);

// Stops every host of ours that runs and removes its files; returns once they have ended. Returns
// an empty string on success (also when there was none), otherwise why not.
std::string stopCombineHost();

}  // namespace housetone::pw
