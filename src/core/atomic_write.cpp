#include "core/atomic_write.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <system_error>

namespace housetone {

namespace fs = std::filesystem;

std::optional<fs::path> followLinks(const fs::path& path) {
    // The kernel's own limit on links followed in one lookup.
    constexpr int maxLinks = 40;
    fs::path p = path;
    for (int i = 0; i <= maxLinks; ++i) {
        std::error_code ec;
        if (!fs::is_symlink(fs::symlink_status(p, ec))) return p;
        const fs::path target = fs::read_symlink(p, ec);
        if (ec) return std::nullopt;
        p = target.is_absolute() ? target : p.parent_path() / target;
    }
    return std::nullopt;
}

namespace {

bool failed(std::string* why, const std::string& text) {
    if (why) *why = text;
    return false;
}

// Every byte, or false with errno set.
bool writeAll(int fd, const std::string& bytes) {
    const char* p = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

bool writeFileAtomically(const fs::path& requested, const std::string& bytes, std::string* why) {
    static std::atomic<unsigned> counter{0};
    // Renaming over a link would replace the link with a plain file and leave its target stale.
    const std::optional<fs::path> resolved = followLinks(requested);
    if (!resolved) return failed(why, std::strerror(ELOOP));
    const fs::path& path = *resolved;
    std::error_code ec;
    fs::create_directories(path.parent_path(), ec);
    const fs::path tmp =
        path.parent_path() / (path.filename().string() + ".tmp-" + std::to_string(getpid()) + "-" +
                              std::to_string(counter.fetch_add(1)));
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0) return failed(why, std::strerror(errno));
    // A full disk often shows only when the data is flushed (delayed allocation): fsync is where
    // it is reported, before the old file is given up.
    bool ok = writeAll(fd, bytes) && ::fsync(fd) == 0;
    int error = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (ok && ::rename(tmp.c_str(), path.c_str()) != 0) {
        ok = false;
        error = errno;
    }
    if (ok) return true;
    ::unlink(tmp.c_str());
    return failed(why, std::strerror(error));
}

}  // namespace housetone
