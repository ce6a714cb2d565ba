#pragma once

#include <filesystem>
#include <string>

namespace housetone::testsupport {

// A fresh folder of the test's own (0700, under the system's temporary folder), removed with
// everything in it when the object goes.
class TempDir {
  public:
    explicit TempDir(const std::string& prefix = "housetone-test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::filesystem::path& name) const {
        return path_ / name;
    }

  private:
    std::filesystem::path path_;
};

}  // namespace housetone::testsupport
