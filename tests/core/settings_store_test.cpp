#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/runtime_folder.h"
#include "core/settings_store.h"
#include "support/files.h"
#include "support/temp_dir.h"

namespace housetone {
namespace {

namespace fs = std::filesystem;
using Keys = std::vector<std::string>;
using testsupport::readText;

Config fullRecord() {
    Config c;
    c.anchor = "uid-anchor";
    c.offsets = {{"uid-a", -12.345678901234}, {"uid-b", 250.0}};
    c.names = {{"uid-a", "Kitchen \"Pod\""}, {"uid-b", "Büro"}};
    c.measured = {{"uid-a", 0.1}};
    c.previousOutput = "uid-prev";
    c.include = std::map<std::string, bool>{{"uid-a", true}, {"uid-b", false}};
    c.pipelineMs = 17.25;
    c.micUID = "uid-mic";
    c.bassBoost = false;
    c.volBoostPct = 20;
    c.crisp = std::map<std::string, double>{{"uid-a", 0.5}};
    c.engineTrimMs = std::map<std::string, double>{{"uid-b", -3.0}};
    c.measuredAt = std::map<std::string, std::int64_t>{{"uid-a", 1767225600}, {"uid-b", 0}};
    return c;
}

class SettingsStoreTest : public ::testing::Test {
  protected:
    fs::path file() const { return root_ / "offsets.json"; }
    void write(const std::string& text) const { std::ofstream(file(), std::ios::binary) << text; }
    Keys entries() const { return testsupport::entriesOf(root_); }

    const testsupport::TempDir tmp_{"housetone-settings"};
    const fs::path root_ = tmp_.path();
    const SettingsStore store{root_};
};

// Before the first save there is no file: the first run, which says nothing.
TEST_F(SettingsStoreTest, EveryKeyRoundTripsThroughTheFileIntoANestedNewDirectory) {
    const SettingsStore store(root_ / "home/.local/state/vuzeda");
    std::optional<std::string> problem = "unset";
    EXPECT_EQ(store.load(&problem), Config{});
    EXPECT_EQ(problem, std::nullopt);
    EXPECT_EQ(store.read().state, SettingsRead::State::missing);
    store.save(fullRecord());
    EXPECT_TRUE(fs::is_regular_file(root_ / "home/.local/state/vuzeda/offsets.json"));
    EXPECT_EQ(store.load(), fullRecord());
    store.save(Config{});
    EXPECT_EQ(store.load(), Config{});
}

TEST_F(SettingsStoreTest, MembersAreWrittenAlphabeticallyOnePerLineAndAbsentOnesLeftOut) {
    const std::string text = encodeConfig(fullRecord()).value();
    Keys keys;  // each member starts its own line
    for (std::size_t at = text.find("\n  \""); at != std::string::npos;
         at = text.find("\n  \"", at + 1))
        keys.push_back(text.substr(at + 4, text.find('"', at + 4) - at - 4));
    EXPECT_EQ(keys, (Keys{"anchor", "bassBoost", "crisp", "engineTrimMs", "include", "measured",
                          "measuredAt", "micUID", "names", "offsets", "pipelineMs",
                          "previousOutput", "volBoostPct"}));
    EXPECT_EQ(nlohmann::json::parse(encodeConfig(Config{}).value()),
              nlohmann::json::parse(R"({"measured": {}, "names": {}, "offsets": {}})"));
}

// Each refusal loads the default record and names the member and what is wrong with it.
TEST_F(SettingsStoreTest, AMalformedFileLoadsTheDefaultRecordAndSaysWhy) {
    const std::string ok = R"("offsets":{"u":1},"names":{"u":"n"},"measured":{})";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", "not valid JSON: parse error at line 1"},
        {"{", "not valid JSON: parse error at line 1"},
        {"[]", "top level: must be an object, not an array"},
        {"{" + ok + "} trailing", "not valid JSON: parse error at line 1"},
        {R"({"offsets":{}})", "names: is required"},
        {R"({"names":{},"measured":{}})", "offsets: is required"},
        {R"({"offsets":{"desk":"ten"},"names":{},"measured":{}})",
         "offsets.desk: must be a number, not a string"},
        {R"({"offsets":[],"names":{},"measured":{}})", "offsets: must be an object, not an array"},
        {R"({"offsets":{},"names":{"u":1},"measured":{}})", "names.u: must be a string, not 1"},
        {R"({"offsets":{},"names":{},"measured":null})", "measured: must be an object, not null"},
        // Read as infinity it would make every later save fail to encode.
        {R"({"offsets":{},"names":{},"measured":{"u":1e400}})", "not valid JSON: number overflow"},
        {"{" + ok + R"(,"bassBoost":"on"})", "bassBoost: must be true or false, not a string"},
        {"{" + ok + R"(,"volBoostPct":2.5})", "volBoostPct: must be a whole number, not 2.5"},
        {"{" + ok + R"(,"volBoostPct":101})",
         "volBoostPct: must be a whole number from 0 to 100, not 101"},
        {"{" + ok + R"(,"volBoostPct":-1})",
         "volBoostPct: must be a whole number from 0 to 100, not -1"},
        {"{" + ok + R"(,"include":{"u":"yes"}})", "include.u: must be true or false, not a string"},
        {"{" + ok + R"(,"anchor":7})", "anchor: must be a string, not 7"},
        {"{" + ok + R"(,"crisp":0.5})", "crisp: must be an object, not 0.5"},
        {"{" + ok + R"(,"crisp":{"desk":1.5}})",
         "crisp.desk: must be a number from 0 to 1, not 1.5"},
        // A name from the file cannot carry a terminal escape into the line that quotes it.
        {R"({"offsets":{"\u001b[2J":true},"names":{},"measured":{}})",
         "offsets.\\x1b[2J: must be a number, not true"},
    };
    for (const auto& [text, why] : cases) {
        SCOPED_TRACE(text);
        write(text);
        std::optional<std::string> problem;
        EXPECT_EQ(store.load(&problem), Config{});
        EXPECT_EQ(
            problem.value_or("").rfind("settings file \"" + file().string() + "\": " + why, 0), 0u)
            << problem.value_or("(none)");
        EXPECT_FALSE(decodeConfig(text).has_value());
    }
    // Integers where doubles are expected, members nobody knows, and the ends of each range are
    // fine.
    write("{" + ok + R"(,"volBoostPct":100,"future":[1],"pipelineMs":3,"crisp":{"a":0,"b":1}})");
    std::optional<std::string> problem = "unset";
    const Config c = store.load(&problem);
    EXPECT_EQ(problem, std::nullopt);
    EXPECT_TRUE(c.offsets.at("u") == 1.0 && c.volBoostPct == 100 && c.pipelineMs == 3.0);
    write("{" + ok + R"(,"volBoostPct":0})");
    EXPECT_EQ(store.load().volBoostPct, 0);
}

// When a speaker was last measured is a hint, not a setting: a bad time is left out with one
// line naming it, and costs nothing else in the file; a file without any loads as before.
TEST_F(SettingsStoreTest, ABadMeasuredTimeIsLeftOutWithOneLineAndTheRestOfTheFileKept) {
    const std::string rest =
        R"("offsets":{"u":2450},"names":{"u":"n"},"measured":{},"crisp":{"u":0.5})";
    const auto expectRead = [&](const std::string& times,
                                std::optional<std::map<std::string, std::int64_t>> kept,
                                const std::string& said) {
        SCOPED_TRACE(times);
        write("{" + rest + (times.empty() ? "" : ",\"measuredAt\":" + times) + "}");
        const SettingsRead r = store.read();
        ASSERT_EQ(r.state, SettingsRead::State::read) << r.problem.value_or("");
        EXPECT_EQ(r.config.offsets.at("u"), 2450.0);
        EXPECT_EQ(r.config.crisp->at("u"), 0.5);
        EXPECT_EQ(r.config.measuredAt, kept);
        if (said.empty()) {
            EXPECT_EQ(r.ignored, std::nullopt);
        } else {
            EXPECT_EQ(r.ignored, "settings file \"" + file().string() + "\": " + said);
        }
    };
    using Times = std::map<std::string, std::int64_t>;
    expectRead("", std::nullopt, "");
    expectRead(R"({"a":0,"b":1767225600,"c":1.7e9,"d":253402300799})",
               Times{{"a", 0}, {"b", 1767225600}, {"c", 1700000000}, {"d", 253402300799}}, "");
    const std::string range = "must be a whole number of seconds from 0 to 253402300799, not ";
    expectRead(R"({"a":5,"b":-1})", Times{{"a", 5}}, "measuredAt.b: " + range + "-1; ignored");
    expectRead(R"({"x":"soon","a":5,"y":1.5,"z":253402300800})", Times{{"a", 5}},
               "measuredAt.x: " + range + "a string; ignored (and 2 more like it)");
    expectRead(R"({"\u001b[2J":null})", Times{}, "measuredAt.\\x1b[2J: " + range + "null; ignored");
    expectRead("[1]", std::nullopt, "measuredAt: must be an object, not an array; ignored");
    expectRead("null", std::nullopt, "");
}

TEST_F(SettingsStoreTest, ARecordJsonCannotHoldIsNotWrittenButABadNameCostsOnlyItsOwnBytes) {
    store.save(fullRecord());
    const std::string before = readText(file());
    std::vector<Config> bad(3, fullRecord());
    bad[0].offsets["uid-a"] = std::nan("");
    bad[1].pipelineMs = std::numeric_limits<double>::infinity();
    bad[2].crisp->at("uid-a") = -std::numeric_limits<double>::infinity();
    for (const Config& c : bad) {
        const SaveResult r = store.save(c);
        EXPECT_TRUE(!r.written && !r.encodable && !r.problem.empty());
    }
    EXPECT_EQ(readText(file()), before);
    EXPECT_EQ(entries(), Keys{"offsets.json"});

    // Bytes that are not UTF-8, in a name or a key, are replaced; everything else is kept.
    Config odd = fullRecord();
    odd.names["uid-a"] = "Desk \xff\xfe";
    odd.offsets["uid-\xc3"] = 5;
    EXPECT_TRUE(store.save(odd).written);
    Config expected = odd;
    expected.names["uid-a"] = "Desk \uFFFD\uFFFD";
    expected.offsets.erase("uid-\xc3");
    expected.offsets["uid-\uFFFD"] = 5;
    EXPECT_EQ(store.load(), expected);
}

TEST_F(SettingsStoreTest, AFileThatCannotBeReadIsNeverReplacedAndTheSaveSaysWhy) {
    for (const bool directory : {true, false}) {
        fs::remove_all(file());
        if (directory)
            fs::create_directories(file() / "occupied");
        else
            ASSERT_EQ(mkfifo(file().c_str(), 0600), 0);
        std::optional<std::string> problem;
        EXPECT_EQ(store.load(&problem), Config{});
        EXPECT_EQ(problem.value_or("").rfind("cannot read \"" + file().string() + "\"", 0), 0u)
            << problem.value_or("(none)");
        const SaveResult r = store.save(fullRecord());
        EXPECT_TRUE(directory ? fs::is_directory(file()) : fs::is_fifo(file()));
        EXPECT_EQ(entries(), Keys{"offsets.json"}) << "temporary file left behind";
        EXPECT_FALSE(r.written);
        EXPECT_NE(r.problem.find("cannot read \"" + file().string() + "\""), std::string::npos)
            << r.problem;
    }
}

// A folder that is a file or a loop of links, and a write the system refuses half-way (a file
// size limit stands in for a full disk): each save says why, and the previous file stays whole.
TEST_F(SettingsStoreTest, ASaveThatCannotBeWrittenSaysWhyAndLeavesThePreviousFileWhole) {
    const testsupport::TempDir oddDir("housetone-settings");
    const fs::path odd = oddDir.path();
    std::ofstream(odd / "plain") << "x";
    fs::create_directory_symlink("loop", odd / "loop");
    for (const auto& [folder, why] :
         {std::pair{odd / "plain", "it is not a folder"},
          std::pair{odd / "loop", "Too many levels of symbolic links"}}) {
        const SettingsStore elsewhere(folder);
        const SaveResult r = elsewhere.save(fullRecord());
        EXPECT_FALSE(r.written);
        EXPECT_EQ(r.problem,
                  "the settings folder \"" + folder.string() + "\" cannot be used: " + why);
        EXPECT_EQ(elsewhere.folderProblem(), r.problem);
    }
    EXPECT_EQ(store.folderProblem(), std::nullopt);

    store.save(Config{});
    const std::string before = readText(file());
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto oldSignal = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = 16;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const SaveResult r = store.save(fullRecord());
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldSignal);
    EXPECT_FALSE(r.written);
    EXPECT_EQ(r.problem, "cannot write \"" + file().string() + "\" (File too large)");
    EXPECT_EQ(readText(file()), before);
    EXPECT_EQ(entries(), Keys{"offsets.json"}) << "temporary file left behind";
}

TEST_F(SettingsStoreTest, ALinkedFileIsWrittenThroughInItsTargetsDirectory) {
    fs::create_directories(root_ / "elsewhere");
    const fs::path target = root_ / "elsewhere/real.json";
    std::ofstream(target) << encodeConfig(Config{}).value();
    fs::create_directory_symlink("elsewhere", root_ / "via");
    fs::create_symlink("via/real.json", file());  // relative, through a linked directory
    store.save(fullRecord());
    EXPECT_TRUE(fs::is_symlink(file()));
    EXPECT_EQ(decodeConfig(readText(target)), fullRecord());
    EXPECT_EQ(entries(), (Keys{"elsewhere", "offsets.json", "via"}));
    EXPECT_EQ(std::distance(fs::directory_iterator(root_ / "elsewhere"), {}), 1);

    // A loop of links names no file: nothing is written.
    fs::remove(file());
    fs::create_symlink("offsets.json", file());
    EXPECT_FALSE(writeFileAtomically(file(), "x"));
    EXPECT_TRUE(fs::is_symlink(file()));
}

TEST_F(SettingsStoreTest, AnUnreadableFileIsKeptBesideTheNewOneReplacingAnOlderCopy) {
    const std::string typo = "{\"offsets\": {\"u\": 1,}";
    std::ofstream(root_ / "offsets.json.unreadable") << "older copy";
    write(typo);
    store.save(fullRecord());
    EXPECT_EQ(readText(root_ / "offsets.json.unreadable"), typo);
    EXPECT_EQ(store.load(), fullRecord());
    // A readable file is simply replaced; the kept copy stays as it was.
    store.save(Config{});
    EXPECT_EQ(readText(root_ / "offsets.json.unreadable"), typo);
    EXPECT_EQ(entries(), (Keys{"offsets.json", "offsets.json.unreadable"}));
}

// ---- The private runtime folder ----------------------------------------------------------------

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
    const testsupport::TempDir tmpDir("housetone-runtime");  // its own: the fallback is made in it
    const fs::path tmp = tmpDir.path();
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
}

}  // namespace
}  // namespace housetone
