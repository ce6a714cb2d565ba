#include "audio/pipewire/combine_host.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <thread>

#include "pipewire_room.h"

extern char** environ;

namespace housetone::testsupport {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nlohmann::json;

// Started with this variable set (as startStandIn does, under the name "pipewire"), this program
// only waits to be stopped: it stands in for another program wearing a host's name and command
// line.
[[maybe_unused]] const bool standIn = [] {
    if (std::getenv("HOUSETONE_TEST_STAND_IN"))
        for (;;)
            pause();
    return false;
}();

std::vector<const json*> nodesNamed(const json& graph, const std::string& name) {
    std::vector<const json*> out;
    for (const json& o : graph)
        if (o.value("type", "") == "PipeWire:Interface:Node" &&
            PipewireRoom::prop(o, "node.name") == name)
            out.push_back(&o);
    return out;
}

// A room speaker as a member of the sink, found by name or by its serial.
pw::CombineMember member(const std::string& node, bool byName) {
    const json graph = PipewireRoom::graph();
    const auto found = nodesNamed(graph, node);
    return {.nodeName = node,
            .serial = found.empty() ? "" : PipewireRoom::prop(*found[0], "object.serial"),
            .mediaClass = "Audio/Sink",
            .followByName = byName};
}

// What the graph shows of the sink once it settles: how many there are, the description and the
// speakers its streams feed (each once).
struct Seen {
    std::size_t copies = 0;
    std::string description;
    std::multiset<std::string> members;
    bool operator==(const Seen&) const = default;
};

// Polls until the graph shows `want` or ten seconds pass.
Seen waitForSink(const std::string& name, const Seen& want) {
    Seen seen;
    for (auto end = std::chrono::steady_clock::now() + 10s; std::chrono::steady_clock::now() < end;
         std::this_thread::sleep_for(50ms)) {
        const json graph = PipewireRoom::graph();
        const auto copies = nodesNamed(graph, name);
        seen = {copies.size()};
        if (!copies.empty()) seen.description = PipewireRoom::prop(*copies[0], "node.description");
        for (const std::uint32_t id : PipewireRoom::fedBy(graph, name))
            for (const json& o : graph)
                if (o.value("id", 0u) == id)
                    seen.members.insert(PipewireRoom::prop(o, "node.name"));
        if (seen == want) break;
    }
    return seen;
}

bool gone(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    return text.empty() || text.find(") Z") != std::string::npos;
}

fs::path runFile(const std::string& name) {
    return fs::path(std::getenv("PIPEWIRE_RUNTIME_DIR")) / name;
}

// Starts `program` as `user` under argv[0] "pipewire" with a host's command line for `config`.
pid_t startAs(const fs::path& program, uid_t user, const fs::path& config, char* const* envp) {
    const std::string path = program.string(), file = config.string();
    const pid_t pid = fork();
    if (pid == 0) {
        // Raw calls: the C library's would signal threads that do not exist in this child.
        if (user != getuid() && (syscall(SYS_setgroups, 0, nullptr) != 0 ||
                                 syscall(SYS_setresgid, user, user, user) != 0 ||
                                 syscall(SYS_setresuid, user, user, user) != 0))
            _exit(126);
        const char* argv[] = {"pipewire", "-c", file.c_str(), nullptr};
        execve(path.c_str(), const_cast<char* const*>(argv), envp);
        _exit(127);
    }
    return pid;
}

fs::path pipewireProgram() {
    std::istringstream dirs(std::getenv("PATH"));
    for (std::string d; std::getline(dirs, d, ':');)
        if (access((fs::path(d) / "pipewire").c_str(), X_OK) == 0) return fs::path(d) / "pipewire";
    return "pipewire";
}

// Waits until `pid` runs under the name "pipewire".
bool runsAsPipewire(pid_t pid) {
    for (auto end = std::chrono::steady_clock::now() + 5s; std::chrono::steady_clock::now() < end;
         std::this_thread::sleep_for(10ms)) {
        std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
        std::string name;
        if (std::getline(comm, name) && name == "pipewire") return true;
    }
    return false;
}

using PipewireAllSpeakers = PipewireRoomTest;

TEST_F(PipewireAllSpeakers, HostedSinkKeepsItsDescriptionFeedsItsMembersAndIsReplacedByTheNext) {
    const auto& s = room().speakers();
    const std::string name = "housetone-all-speakers";
    const pw::CombineSink first{
        name, "All \"Speakers\" \\ of mine", {member(s[1].node, true), member(s[2].node, false)}};
    // A runtime folder others may write to could have the host run their configuration.
    const fs::path run = runFile("");
    fs::permissions(run, fs::perms::group_write, fs::perm_options::add);
    EXPECT_EQ(pw::startCombineHost(first).pid, 0);
    fs::permissions(run, fs::perms::group_write, fs::perm_options::remove);
    const auto a = pw::startCombineHost(first);
    ASSERT_GT(a.pid, 0) << a.error;
    const Seen firstWant{1, first.description, {s[1].node, s[2].node}};
    EXPECT_EQ(waitForSink(name, firstWant), firstWant);
    struct stat config {};
    ASSERT_EQ(stat(runFile("housetone-all-speakers.conf").c_str(), &config), 0);
    EXPECT_EQ(config.st_mode & 077, 0u) << "others may read what the host runs";

    const pw::CombineSink second{
        name,
        "All Speakers",
        {member(s[0].node, false), member(s[1].node, true), member(s[3].node, true)}};
    const auto b = pw::startCombineHost(second);
    ASSERT_GT(b.pid, 0) << b.error;
    EXPECT_NE(b.pid, a.pid);
    EXPECT_TRUE(gone(a.pid)) << "the previous host still runs";
    const Seen want{1, "All Speakers", {s[0].node, s[1].node, s[3].node}};
    EXPECT_EQ(waitForSink(name, want), want);

    EXPECT_EQ(pw::stopCombineHost(), "");
    EXPECT_TRUE(gone(b.pid));
    EXPECT_EQ(waitForSink(name, {}), Seen{}) << "the sink outlived its host";
    for (const auto& f : fs::directory_iterator(room().dir() + "/run"))
        EXPECT_EQ(f.path().filename().string().find("housetone"), std::string::npos) << f.path();
}

// Hosts are known by what they are: a host no file names is still found and stopped, a pipe
// where a PID used to be kept holds nothing up, and another user's process that wears a host's
// name and command line is never signalled, even by root.
TEST_F(PipewireAllSpeakers, EveryHostOfOursIsStoppedAndNobodyElsesWhateverTheFilesSay) {
    // What the test starts goes again whatever happens: its children killed and collected, the
    // hosts stopped, the stand-in's folder removed.
    struct Started {
        std::vector<pid_t> children;
        std::string dir;
        ~Started() {
            for (const pid_t p : children) {
                kill(p, SIGKILL);
                waitpid(p, nullptr, 0);
            }
            pw::stopCombineHost();
            if (!dir.empty()) fs::remove_all(dir);
        }
    } started;
    const auto& s = room().speakers();
    const std::string name = "housetone-all-speakers";
    const fs::path config = runFile("housetone-all-speakers.conf");
    const auto a = pw::startCombineHost({name, "First", {member(s[1].node, true)}});
    ASSERT_GT(a.pid, 0) << a.error;
    // A second host of ours, as an older version that lost track of one left it.
    const pid_t lost = startAs(pipewireProgram(), getuid(), config, environ);
    started.children.push_back(lost);
    ASSERT_TRUE(runsAsPipewire(lost));
    // Another user's process with a host's name and command line: only root can start one.
    std::optional<pid_t> stranger;
    if (geteuid() == 0) {
        std::string dir = "/tmp/housetone-stand-in-XXXXXX";
        ASSERT_TRUE(mkdtemp(dir.data()));
        started.dir = dir;
        fs::permissions(dir, fs::perms(0755));
        fs::copy_file("/proc/self/exe", dir + "/pipewire");
        char standInEnv[] = "HOUSETONE_TEST_STAND_IN=1";
        char* const env[] = {standInEnv, nullptr};
        stranger = startAs(dir + "/pipewire", 65534, config, env);
        started.children.push_back(*stranger);
        ASSERT_TRUE(runsAsPipewire(*stranger)) << "the stand-in did not start";
    }
    // A pipe where earlier versions kept the host's PID.
    const fs::path pidRecord = runFile("housetone-all-speakers.pid");
    ASSERT_EQ(mkfifo(pidRecord.c_str(), 0600), 0);

    auto second = std::async(std::launch::async, [&] {
        return pw::startCombineHost({name, "Second", {member(s[2].node, true)}});
    });
    if (second.wait_for(15s) != std::future_status::ready) {
        // Let it go: a writer that closes at once ends a read that waits on the pipe.
        close(open(pidRecord.c_str(), O_WRONLY | O_NONBLOCK));
        FAIL() << "starting a host hung on a pipe";
    }
    const auto b = second.get();
    ASSERT_GT(b.pid, 0) << b.error;
    EXPECT_TRUE(gone(a.pid));
    if (waitpid(lost, nullptr, WNOHANG) == lost)
        std::erase(started.children, lost);
    else
        ADD_FAILURE() << "the host no file named still runs";
    const Seen want{1, "Second", {s[2].node}};
    EXPECT_EQ(waitForSink(name, want), want);
    EXPECT_FALSE(fs::exists(fs::symlink_status(pidRecord)));
    EXPECT_EQ(pw::stopCombineHost(), "");
    EXPECT_TRUE(gone(b.pid));
    if (stranger) {
        EXPECT_FALSE(gone(*stranger)) << "another user's process was stopped";
    }
}

}  // namespace
}  // namespace housetone::testsupport
