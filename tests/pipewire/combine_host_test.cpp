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
#include <future>
#include <string>
#include <thread>

#include "pipewire_room.h"
#include "support/files.h"

extern char** environ;

namespace housetone::testsupport {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nlohmann::json;

// Started with this variable set (as the test below does, under the name "pipewire"), this program
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
    const std::string text = readText("/proc/" + std::to_string(pid) + "/stat");
    return text.empty() || text.find(") Z") != std::string::npos;
}

fs::path runFile(const std::string& name) {
    return fs::path(std::getenv("PIPEWIRE_RUNTIME_DIR")) / name;
}

// Starts `program` (looked up on PATH when it names no folder) as `user`, under the name
// "pipewire" and with a host's command line for `config`.
pid_t startAs(const std::string& program, uid_t user, const fs::path& config, char* const* envp) {
    const std::string file = config.string();
    const pid_t pid = fork();
    if (pid == 0) {
        // Raw calls: the C library's would signal threads that do not exist in this child.
        if (user != getuid() && (syscall(SYS_setgroups, 0, nullptr) != 0 ||
                                 syscall(SYS_setresgid, user, user, user) != 0 ||
                                 syscall(SYS_setresuid, user, user, user) != 0))
            _exit(126);
        const char* argv[] = {"pipewire", "-c", file.c_str(), nullptr};
        execvpe(program.c_str(), const_cast<char* const*>(argv), envp);
        _exit(127);
    }
    // Once it runs under that name, it has its command line too.
    eventually([&] { return readText("/proc/" + std::to_string(pid) + "/comm") == "pipewire\n"; },
               10s);
    return pid;
}

using PipewireAllSpeakers = PipewireRoomTest;

// The host keeps the sink's description, feeds its members and is replaced by the next; every host
// of ours goes, also one no file names, and nobody else's process, even one wearing a host's name
// and command line, even for root; a pipe where a PID used to be kept holds nothing up.
TEST_F(PipewireAllSpeakers, HostsFeedTheirMembersAndEveryOneOfOursIsReplacedButNobodyElses) {
    const auto& s = room().speakers();
    const std::string name = "housetone-all-speakers";
    const fs::path config = runFile("housetone-all-speakers.conf");
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
    struct stat st {};
    ASSERT_EQ(stat(config.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 077, 0u) << "others may read what the host runs";

    // A second host of ours, as an older version that lost track of one left it; a pipe where
    // such versions kept the PID; another user's process with a host's name and command line
    // (only root can start one; a copy of this program, in a folder that user can reach).
    const pid_t lost = startAs("pipewire", getuid(), config, environ);
    const fs::path pidRecord = runFile("housetone-all-speakers.pid");
    ASSERT_EQ(mkfifo(pidRecord.c_str(), 0600), 0);
    pid_t stranger = 0;
    if (geteuid() == 0) {
        const std::string dir = room().dir() + "/stand-in";
        fs::permissions(room().dir(), fs::perms::others_exec, fs::perm_options::add);
        fs::create_directory(dir);
        fs::permissions(dir, fs::perms(0755));
        fs::copy_file("/proc/self/exe", dir + "/pipewire");
        char standInEnv[] = "HOUSETONE_TEST_STAND_IN=1";
        char* const env[] = {standInEnv, nullptr};
        stranger = startAs(dir + "/pipewire", 65534, config, env);
    }

    const pw::CombineSink second{
        name,
        "All Speakers",
        {member(s[0].node, false), member(s[1].node, true), member(s[3].node, true)}};
    auto started = std::async(std::launch::async, [&] { return pw::startCombineHost(second); });
    if (started.wait_for(15s) != std::future_status::ready)
        close(open(pidRecord.c_str(), O_WRONLY | O_NONBLOCK));  // a writer ends a read that waits
    ASSERT_EQ(started.wait_for(0s), std::future_status::ready) << "starting a host hung on a pipe";
    const auto b = started.get();
    ASSERT_GT(b.pid, 0) << b.error;
    EXPECT_TRUE(gone(a.pid)) << "the previous host still runs";
    EXPECT_EQ(waitpid(lost, nullptr, WNOHANG), lost) << "the host no file named still runs";
    const Seen want{1, "All Speakers", {s[0].node, s[1].node, s[3].node}};
    EXPECT_EQ(waitForSink(name, want), want);

    EXPECT_EQ(pw::stopCombineHost(), "");
    EXPECT_TRUE(gone(b.pid));
    EXPECT_EQ(waitForSink(name, {}), Seen{}) << "the sink outlived its host";
    for (const auto& f : fs::directory_iterator(run))
        EXPECT_EQ(f.path().filename().string().find("housetone"), std::string::npos) << f.path();
    if (stranger) {
        EXPECT_FALSE(gone(stranger)) << "another user's process was stopped";
        kill(stranger, SIGKILL);
        waitpid(stranger, nullptr, 0);
    }
}

}  // namespace
}  // namespace housetone::testsupport
