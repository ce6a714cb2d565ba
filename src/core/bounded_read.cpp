#include "core/bounded_read.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace housetone {
namespace {

std::string sizeText(std::size_t bytes) {
    if (bytes >= (std::size_t{1} << 20) && bytes % (std::size_t{1} << 20) == 0)
        return std::to_string(bytes >> 20) + " MiB";
    return std::to_string(bytes) + " bytes";
}

bool refuse(std::string* why, std::string text) {
    if (why) *why = std::move(text);
    return false;
}

}  // namespace

bool readRegularFile(const std::filesystem::path& path, std::size_t maxBytes, std::string& out,
                     std::string* why) {
    // Non-blocking, so that opening a FIFO returns at once instead of waiting for a writer; the
    // type is then checked on the descriptor itself, so a file swapped in between cannot slip by.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return refuse(why, std::strerror(errno));
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat st {};
    if (::fstat(fd, &st) != 0) return refuse(why, std::strerror(errno));
    if (S_ISDIR(st.st_mode)) return refuse(why, "it is a directory");
    if (!S_ISREG(st.st_mode)) return refuse(why, "it is not a regular file");
    if (static_cast<std::uintmax_t>(st.st_size) > maxBytes)
        return refuse(why, "it is larger than " + sizeText(maxBytes));

    std::string bytes(static_cast<std::size_t>(st.st_size), '\0');
    std::size_t got = 0;
    // Never past the size seen at open: a file that grows meanwhile is read as it was.
    while (got < bytes.size()) {
        const ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return refuse(why, std::strerror(errno));
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    bytes.resize(got);
    out = std::move(bytes);
    return true;
}

}  // namespace housetone
