#pragma once

#include <functional>
#include <string>

#include "audio/audio_hardware.h"
#include "audio/pipewire/pipewire_backend.h"
#include "audio/pipewire/pw_graph_connection.h"

namespace housetone::pw {

// The public "All Speakers" device: a combine sink in a host process of its own
// (combine_host.h), made to feed exactly its members and reported made only once it does. Both
// take the connection's lock themselves and never hold it while they wait for a host process.

// `heldByUs` answers, lock held, whether this program already holds an aggregate of that UID.
OSStatus createPublicAggregate(GraphConnection& conn, const AggregateDescription& d,
                               const std::function<bool(const std::string&)>& heldByUs,
                               AudioObjectID& out);
// Stops every host of ours, this run's or one an earlier run left, and waits for its sink to go.
OSStatus destroyPublicAggregate(GraphConnection& conn, const std::string& nodeName);

}  // namespace housetone::pw
