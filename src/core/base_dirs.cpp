#include "core/base_dirs.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace housetone {

namespace fs = std::filesystem;

namespace {

std::optional<fs::path> absoluteFromEnvironment(const char* name) {
    const char* value = std::getenv(name);
    if (!value || *value == '\0' || !fs::path(value).is_absolute()) return std::nullopt;
    return fs::path(value);
}

std::optional<fs::path> homeFolder() {
    if (auto home = absoluteFromEnvironment("HOME")) return home;
    if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir && pw->pw_dir[0] == '/')
        return fs::path(pw->pw_dir);
    return std::nullopt;
}

}  // namespace

std::optional<fs::path> baseDirectory(const char* variable, const fs::path& underHome) {
    if (auto dir = absoluteFromEnvironment(variable)) return dir;
    if (auto home = homeFolder()) return *home / underHome;
    return std::nullopt;
}

}  // namespace housetone
