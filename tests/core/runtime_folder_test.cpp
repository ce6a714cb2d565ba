#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "core/runtime_folder.h"

namespace housetone {
namespace {

namespace fs = std::filesystem;

fs::path makeTempDir() {
    std::string tmpl = (fs::temp_directory_path() / "housetone-runtime-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    return tmpl;
}

mode_t modeOf(const fs::path& p) {
    struct stat st {};
    ::lstat(p.c_str(), &st);
    return st.st_mode & 07777;
}

::testing::AssertionResult saysThat(const RuntimeFolder& f, const std::string& part) {
    for (const std::string& note : f.notes)
        if (note.find(part) != std::string::npos) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "no note says \"" << part << "\"";
}

// Another user's folder is one made by this test for a uid other than the test's own.
TEST(RuntimeFolder, OnlyAFolderOfOursThatNobodyElseMayEnterIsUsedAndARefusalSaysWhy) {
    const fs::path tmp = makeTempDir();
    const uid_t me = ::getuid();
    const fs::path xdg = tmp / "xdg", own = tmp / ("housetone-" + std::to_string(me));
    fs::create_directory(xdg);
    ::chmod(xdg.c_str(), 0700);
    RuntimeFolder f = privateRuntimeFolder(xdg.c_str(), tmp, me);
    EXPECT_EQ(f.path, xdg);
    EXPECT_TRUE(f.notes.empty());

    // Open to others: the private fallback is made, 0700, and used again once it exists.
    ::chmod(xdg.c_str(), 0755);
    for (int twice = 0; twice < 2; ++twice) {
        f = privateRuntimeFolder(xdg.c_str(), tmp, me);
        EXPECT_EQ(f.path, own);
        EXPECT_EQ(modeOf(own), 0700u);
        EXPECT_TRUE(saysThat(f, "others may enter it (mode 0755)"));
    }
    EXPECT_TRUE(saysThat(privateRuntimeFolder("run/user", tmp, me), "not an absolute path"));

    // A fallback that belongs to someone else, is a link, or is open to others is not used.
    const uid_t other = me + 4242;
    f = privateRuntimeFolder(nullptr, tmp, other);
    EXPECT_TRUE(f.path.empty());
    EXPECT_TRUE(saysThat(f, "belongs to another user (uid " + std::to_string(me) + ")"));
    fs::remove(own);
    fs::create_directory_symlink(xdg, own);
    ::chmod(xdg.c_str(), 0700);
    EXPECT_TRUE(saysThat(privateRuntimeFolder(nullptr, tmp, me), "it is a symbolic link"));
    fs::remove(own);
    fs::create_directory(own);
    ::chmod(own.c_str(), 0750);
    EXPECT_TRUE(privateRuntimeFolder(nullptr, tmp, me).path.empty());
    fs::remove_all(tmp);
}

}  // namespace
}  // namespace housetone
