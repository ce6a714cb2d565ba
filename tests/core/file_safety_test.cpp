// The bounded reader that every file from outside goes through, and the atomic writer that every
// file of ours goes through.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/atomic_write.h"
#include "core/bounded_read.h"
#include "support/files.h"
#include "support/temp_dir.h"

namespace housetone {
namespace {

namespace fs = std::filesystem;
using testsupport::entriesOf;
using testsupport::readText;

class FileSafety : public ::testing::Test {
  protected:
    ~FileSafety() override {
        if (writer_ >= 0) ::close(writer_);
    }
    fs::path path(const std::string& name) const { return dir_ / name; }

    const testsupport::TempDir tmp_{"housetone-files"};
    const fs::path dir_ = tmp_.path();
    int writer_ = -1;
};

TEST_F(FileSafety, TheReaderRefusesAnythingButARegularFileWithoutWaitingOrReading) {
    ASSERT_EQ(::mkfifo(path("idle.fifo").c_str(), 0600), 0);  // no writer: a plain open blocks
    ASSERT_EQ(::mkfifo(path("busy.fifo").c_str(), 0600), 0);  // a writer with bytes waiting
    writer_ = ::open(path("busy.fifo").c_str(), O_RDWR | O_NONBLOCK);
    ASSERT_EQ(::write(writer_, "{}", 2), 2);
    fs::create_directory(path("folder"));
    const std::string notRegular = "it is not a regular file";
    const std::vector<std::pair<fs::path, std::string>> cases = {
        {path("idle.fifo"), notRegular},
        {path("busy.fifo"), notRegular},
        {"/dev/zero", notRegular},
        {path("folder"), "it is a directory"},
        {path("missing"), "No such file or directory"}};
    for (const auto& [p, reason] : cases) {
        SCOPED_TRACE(p.string());
        std::string out = "as it was", why;
        EXPECT_FALSE(readRegularFile(p, 1 << 20, out, &why));
        EXPECT_EQ(why, reason);
        EXPECT_EQ(out, "as it was");
        EXPECT_FALSE(readRegularFile(p, 1 << 20, out));  // nobody asked why
    }
}

// The limits the program reads with: an empty file, a short file of its own (the click sound is
// compared at its exact size), room files (4 MiB) and sound files (128 MiB). Large files are
// sparse, so they cost no disk.
TEST_F(FileSafety, TheReaderTakesAFileOfUpToItsLimitWholeAndRefusesOneByteMore) {
    const std::string small("wav\0data", 8);
    const std::vector<std::pair<std::size_t, std::string>> limits = {
        {0, "0 bytes"}, {small.size(), "8 bytes"}, {4 << 20, "4 MiB"}, {128 << 20, "128 MiB"}};
    for (const auto& [limit, said] : limits) {
        SCOPED_TRACE(said);
        const fs::path file = path("file");
        std::ofstream(file, std::ios::binary | std::ios::trunc) << small.substr(0, limit);
        fs::resize_file(file, limit);
        std::string out, why;
        if (limit <= (4 << 20)) {
            ASSERT_TRUE(readRegularFile(file, limit, out, &why)) << why;
            EXPECT_EQ(out.size(), limit);
            EXPECT_EQ(out.substr(0, small.size()), small.substr(0, limit));
        }
        fs::resize_file(file, limit + 1);
        out = "as it was";
        EXPECT_FALSE(readRegularFile(file, limit, out, &why));
        EXPECT_EQ(why, "it is larger than " + said);
        EXPECT_EQ(out, "as it was");
    }
}

TEST_F(FileSafety, TheWriterReplacesAFileWholeOrNotAtAllAndLeavesNoTemporaryFile) {
    const fs::path file = path("made/for/it/file");  // missing folders are made
    ASSERT_TRUE(writeFileAtomically(file, "first"));
    const std::string bytes("second, \0 and more", 19);
    ASSERT_TRUE(writeFileAtomically(file, bytes));
    EXPECT_EQ(readText(file), bytes);

    // A disk that takes only the first few bytes (a file size limit stands in for a full disk).
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &limit), 0);
    const rlimit tight{8, limit.rlim_max};
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &tight), 0);
    const bool written = writeFileAtomically(file, std::string(4096, 'x'));
    ::setrlimit(RLIMIT_FSIZE, &limit);
    std::signal(SIGXFSZ, previous);
    EXPECT_FALSE(written);
    EXPECT_EQ(readText(file), bytes);

    // A folder where the file should be, and a file where a folder should be.
    fs::create_directories(path("taken/inside"));
    EXPECT_FALSE(writeFileAtomically(path("taken"), "x"));
    EXPECT_TRUE(fs::is_directory(path("taken/inside")));
    EXPECT_FALSE(writeFileAtomically(file / "below", "x"));

    EXPECT_EQ(entriesOf(file.parent_path()), std::vector<std::string>{"file"});
    EXPECT_EQ(entriesOf(dir_), (std::vector<std::string>{"made", "taken"}));
}

}  // namespace
}  // namespace housetone
