#include "core/atomic_write.h"

#include <unistd.h>

#include <atomic>
#include <fstream>
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

bool writeFileAtomically(const fs::path& requested, const std::string& bytes) {
    static std::atomic<unsigned> counter{0};
    // Renaming over a link would replace the link with a plain file and leave its target stale.
    const std::optional<fs::path> resolved = followLinks(requested);
    if (!resolved) return false;
    const fs::path& path = *resolved;
    std::error_code ec;
    fs::create_directories(path.parent_path(), ec);
    const fs::path tmp =
        path.parent_path() / (path.filename().string() + ".tmp-" + std::to_string(getpid()) + "-" +
                              std::to_string(counter.fetch_add(1)));
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        if (!out) return false;
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        out.flush();
        if (!out) {
            out.close();
            fs::remove(tmp, ec);
            return false;
        }
    }
    fs::rename(tmp, path, ec);
    if (ec) {
        fs::remove(tmp, ec);
        return false;
    }
    return true;
}

}  // namespace housetone
