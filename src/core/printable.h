#pragma once

#include <string>
#include <string_view>

namespace housetone {

// Text from outside (device names, file contents, arguments, the settings file) made fit for a
// log, a terminal or the status line: valid UTF-8, each ill-formed sequence replaced by U+FFFD,
// and every control character (C0, DEL, C1) written out as "\x1b", so that nothing it holds can
// move the cursor, retitle or recolour a terminal, or start a line of its own.
std::string printable(std::string_view text);

// The same for a text of several lines: its line feeds are kept.
std::string printableLines(std::string_view text);

// An identifier from outside (a device's UID) as a key the program can store, show and log. One
// that is printable already is kept as it is, so keys saved before stay valid; any other becomes
// its printable form, "~" and a 64-bit hash of its bytes, because that form alone would make two
// identifiers that differ only in what was replaced one. The same bytes always give the same key.
std::string printableUID(std::string_view raw);

}  // namespace housetone
