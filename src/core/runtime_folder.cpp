#include "core/runtime_folder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace housetone {

namespace fs = std::filesystem;

namespace {

std::string octal(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

// Why a folder with this status cannot be ours alone; empty when it can.
std::string refusal(const struct stat& st, uid_t uid) {
    const std::string owner =
        st.st_uid == uid ? "" : " of another user (uid " + std::to_string(st.st_uid) + ")";
    if (S_ISLNK(st.st_mode)) return "it is a symbolic link" + owner;
    if (!S_ISDIR(st.st_mode)) return "it is a file" + owner + ", not a folder";
    if (!owner.empty()) return "it belongs to another user (uid " + std::to_string(st.st_uid) + ")";
    if (st.st_mode & 077) return "others may enter it (mode " + octal(st.st_mode) + ")";
    return {};
}

}  // namespace

RuntimeFolder privateRuntimeFolder(const char* xdgRuntimeDir, const fs::path& tmp, uid_t uid) {
    RuntimeFolder out;
    if (xdgRuntimeDir && *xdgRuntimeDir) {
        const fs::path xdg = xdgRuntimeDir;
        struct stat st {};
        std::string why;
        if (!xdg.is_absolute())
            why = "it is not an absolute path";
        else if (::stat(xdg.c_str(), &st) != 0)
            why = std::strerror(errno);
        else
            why = refusal(st, uid);
        if (why.empty()) {
            out.path = xdg;
            return out;
        }
        out.notes.push_back("not using XDG_RUNTIME_DIR \"" + xdg.string() + "\": " + why);
    }
    const fs::path fallback = tmp / ("housetone-" + std::to_string(uid));
    std::string why;
    if (::mkdir(fallback.c_str(), 0700) != 0 && errno != EEXIST) {
        why = std::strerror(errno);
    } else {
        // Made just now or found: either way it is judged by what is there, never through a link.
        struct stat st {};
        why = ::lstat(fallback.c_str(), &st) != 0 ? std::strerror(errno) : refusal(st, uid);
    }
    if (why.empty())
        out.path = fallback;
    else
        out.notes.push_back("cannot use \"" + fallback.string() + "\" as a private folder: " + why);
    return out;
}

RuntimeFolder privateRuntimeFolder() {
    const char* tmp = std::getenv("TMPDIR");
    const fs::path base = tmp && fs::path(tmp).is_absolute() ? fs::path(tmp) : fs::path("/tmp");
    return privateRuntimeFolder(std::getenv("XDG_RUNTIME_DIR"), base, ::getuid());
}

}  // namespace housetone
