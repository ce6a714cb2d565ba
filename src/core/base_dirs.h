#pragma once

// Where the user's files go by the XDG base directory rules, for every part of the program that
// keeps files in them.

#include <filesystem>
#include <optional>

namespace housetone {

// The folder the base-directory variable `variable` (e.g. "XDG_STATE_HOME") names when it holds
// an absolute path, else `underHome` (e.g. ".local/state") in the user's home: HOME when it is
// an absolute path, else the password database's entry. A relative value would move with the
// working folder, so it is ignored. Nothing when there is no home either.
std::optional<std::filesystem::path> baseDirectory(const char* variable,
                                                   const std::filesystem::path& underHome);

}  // namespace housetone
