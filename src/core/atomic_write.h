#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace housetone {

// Writes bytes to path through a temporary file in the same directory and a rename, so readers see
// the old or the new content, never a mix, even after a crash (the bytes reach the disk before the
// rename). Creates missing parent directories. A symbolic link is written through: the file it
// points to is replaced, in that file's directory, and the link stays. False on any error, with
// `why` (when given) saying what went wrong ("No space left on device"); nothing is left behind.
bool writeFileAtomically(const std::filesystem::path& path, const std::string& bytes,
                         std::string* why = nullptr);

// The file a path finally names once the symbolic links of its last component are followed
// (relative links from the link's own directory); the path itself when it is no link. nullopt for
// a loop of links.
std::optional<std::filesystem::path> followLinks(const std::filesystem::path& path);

}  // namespace housetone
