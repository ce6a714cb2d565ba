#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace housetone::pw {

// Node names travel between clients inside JSON strings in the "default" metadata
// ({"name": "..."}), read by PipeWire's own JSON reader, which passes any byte on except where it
// would break the text: so a name need not be UTF-8, and these two keep its bytes exactly.

// The "name" member of such a value, as the bytes the node carries; empty when there is none.
std::string nodeNameIn(std::string_view value);

// The value naming `nodeName`; nullopt when PipeWire's reader could not give those bytes back
// (some that are not UTF-8, such as 0xFF or a stray continuation byte, stop it), so that no
// client reading it would find that node.
std::optional<std::string> defaultValueFor(std::string_view nodeName);

}  // namespace housetone::pw
