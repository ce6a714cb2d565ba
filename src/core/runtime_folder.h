#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace housetone {

// A folder for this user's sockets and locks that no other user can enter or plant files in.
struct RuntimeFolder {
    std::filesystem::path path;      // empty when no private folder could be had
    std::vector<std::string> notes;  // one line each: a folder refused, and why
};

// `xdgRuntimeDir` ($XDG_RUNTIME_DIR, may be null) when it is an absolute path to a folder owned by
// `uid` that only its owner may enter; otherwise `tmp`/housetone-<uid>, made with mode 0700, or
// taken when it already exists as such a folder (never through a link). A folder of someone else,
// or one others may enter, is refused with a note naming its owner or mode.
RuntimeFolder privateRuntimeFolder(const char* xdgRuntimeDir, const std::filesystem::path& tmp,
                                   uid_t uid);

// The same for this process: $XDG_RUNTIME_DIR, else under $TMPDIR (when absolute) or /tmp.
RuntimeFolder privateRuntimeFolder();

}  // namespace housetone
