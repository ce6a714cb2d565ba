#include "audio/pipewire/combine_host.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>

#include "pipewire_room.h"

namespace housetone::testsupport {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

const json* nodeNamed(const json& graph, const std::string& name) {
    for (const json& o : graph)
        if (o.value("type", "") == "PipeWire:Interface:Node" &&
            o["info"]["props"].value("node.name", "") == name)
            return &o;
    return nullptr;
}

// The speakers something plays into: sinks at the input end of a link.
std::set<std::string> fedSinks(const json& graph) {
    std::set<std::string> out;
    for (const json& link : graph) {
        if (link.value("type", "") != "PipeWire:Interface:Link") continue;
        const auto target = link["info"].value("input-node-id", 0);
        for (const json& o : graph)
            if (o.value("id", -1) == target &&
                o["info"]["props"].value("media.class", "") == "Audio/Sink")
                out.insert(o["info"]["props"].value("node.name", ""));
    }
    return out;
}

// What the graph shows of the sink once it settles: its description and the speakers it feeds.
struct Seen {
    std::string description;
    std::set<std::string> members;
    bool operator==(const Seen&) const = default;
};

// Polls until the graph shows `want` (nullopt: no such sink) or ten seconds pass.
std::optional<Seen> waitForSink(const std::string& name, const std::optional<Seen>& want) {
    std::optional<Seen> seen;
    for (auto end = std::chrono::steady_clock::now() + 10s; std::chrono::steady_clock::now() < end;
         std::this_thread::sleep_for(50ms)) {
        const json graph = PipewireRoom::graph();
        const json* node = nodeNamed(graph, name);
        seen =
            node ? std::optional<Seen>(Seen{
                       node->at("info").at("props").value("node.description", ""), fedSinks(graph)})
                 : std::nullopt;
        if (seen == want) break;
    }
    return seen;
}

bool gone(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    return text.empty() || text.find(") Z") != std::string::npos;
}

using PipewireAllSpeakers = PipewireRoomTest;

TEST_F(PipewireAllSpeakers, HostedSinkKeepsItsDescriptionFeedsItsMembersAndIsReplacedByTheNext) {
    const auto& s = room().speakers();
    const std::string name = "housetone-all-speakers";
    const pw::CombineSink first{name, "All \"Speakers\" \\ of mine", {s[1].node, s[2].node}};
    const auto a = pw::startCombineHost(first);
    ASSERT_GT(a.pid, 0) << a.error;
    const Seen firstWant{first.description, {s[1].node, s[2].node}};
    EXPECT_EQ(waitForSink(name, firstWant), firstWant);

    const pw::CombineSink second{name, "All Speakers", {s[0].node, s[1].node, s[3].node}};
    const auto b = pw::startCombineHost(second);
    ASSERT_GT(b.pid, 0) << b.error;
    EXPECT_NE(b.pid, a.pid);
    EXPECT_TRUE(gone(a.pid)) << "the previous host still runs";
    const Seen want{"All Speakers", {s[0].node, s[1].node, s[3].node}};
    EXPECT_EQ(waitForSink(name, want), want);

    EXPECT_EQ(pw::stopCombineHost(), "");
    EXPECT_TRUE(gone(b.pid));
    EXPECT_EQ(waitForSink(name, std::nullopt), std::nullopt) << "the sink outlived its host";
    for (const auto& f : std::filesystem::directory_iterator(room().dir() + "/run"))
        EXPECT_EQ(f.path().filename().string().find("housetone"), std::string::npos) << f.path();
}

// A PID in the state file that now belongs to another program is never stopped.
TEST_F(PipewireAllSpeakers, AStrangerBehindARecordedPidIsLeftAlone) {
    const pid_t stranger = fork();
    if (stranger == 0) {
        pause();
        _exit(0);
    }
    std::ofstream(room().dir() + "/run/housetone-all-speakers.pid") << stranger << '\n';
    EXPECT_EQ(pw::stopCombineHost(), "");
    EXPECT_FALSE(gone(stranger));
    kill(stranger, SIGKILL);
    waitpid(stranger, nullptr, 0);
}

}  // namespace
}  // namespace housetone::testsupport
