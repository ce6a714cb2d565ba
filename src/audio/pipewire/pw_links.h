#pragma once

#include <cstdint>
#include <vector>

#include "audio/pipewire/pw_graph_connection.h"

namespace housetone::pw {

// Links the program makes between two ports of the graph. They live as long as their proxy
// (object.linger off): destroying the proxy, or losing the connection, removes them.

// Asks the daemon for a link from an output port to an input port (lock held); null when the
// request could not be made.
pw_proxy* createLink(GraphConnection& c, std::uint32_t outNode, std::uint32_t outPort,
                     std::uint32_t inNode, std::uint32_t inPort);

// Waits until the daemon has made every link (each has its global id), the connection is gone or
// `timeoutSeconds` has passed.
bool waitLinked(GraphConnection& c, const std::vector<pw_proxy*>& links, double timeoutSeconds);

// Removes the links from the graph and forgets them.
void destroyLinks(std::vector<pw_proxy*>& links);

}  // namespace housetone::pw
