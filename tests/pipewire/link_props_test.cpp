// How a speaker's link carries the sound (Bluetooth's profile and codec) as the backend tells it,
// and that a change of the link, or of the latency it reports, reaches the backend's answers. The
// room has no Bluetooth stack: the test makes nodes and a card with the properties theirs carry.
// The same kind of client also makes a "default" metadata object of its own, to hold the daemon to
// a moment that a session manager's start only now and then brings about.
#include <gtest/gtest.h>

#include <pipewire/extensions/metadata.h>
#include <pipewire/impl-metadata.h>
#include <pipewire/pipewire.h>
#include <spa/monitor/device.h>
#include <spa/monitor/utils.h>
#include <spa/param/latency-utils.h>

#include <chrono>
#include <functional>
#include <future>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

#include "audio/device_access.h"
#include "audio/pipewire/pipewire_backend.h"
#include "pipewire_room.h"

namespace housetone {
namespace {

using namespace std::chrono_literals;
using testsupport::eventually;
using Props = std::map<std::string, std::string>;

pw_properties* with(pw_properties* p, const Props& props) {
    for (const auto& [k, v] : props)
        pw_properties_set(p, k.c_str(), v.c_str());
    return p;
}

// The properties of a Bluetooth speaker's node or card: its bus, what it says of its link (nullptr:
// that word is not said) and the card it belongs to.
Props bluetooth(const char* profile, const char* codec, std::optional<std::uint32_t> device = {}) {
    Props p{{"device.bus", "bluetooth"}, {"device.api", "bluez5"}};
    if (profile) p["api.bluez5.profile"] = profile;
    if (codec) p["api.bluez5.codec"] = codec;
    if (device) p["device.id"] = std::to_string(*device);
    return p;
}

// Each test is a client of the room besides the backend: it makes nodes (sinks, or sources) and
// a device, and changes or takes them away while they run. Its side of the conversation with the
// graph runs on this thread, whenever the test waits for an answer.
class LinkPropsTest : public testsupport::BackendRoomTest {
  protected:
    void SetUp() override {
        BackendRoomTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        loop_ = pw_loop_new(nullptr);
        pw_loop_enter(loop_);
        context_ = pw_context_new(loop_, nullptr, 0);
        core_ = context_ ? pw_context_connect(context_, nullptr, 0) : nullptr;
        ASSERT_TRUE(core_) << "cannot join the room's graph";
    }
    void TearDown() override {
        if (!loop_) return;
        for (auto& [name, s] : streams_)
            pw_stream_destroy(s);
        if (core_) pw_core_disconnect(core_);  // the device's proxy with it
        if (deviceProps_) pw_properties_free(deviceProps_);
        if (context_) pw_context_destroy(context_);
        pw_loop_leave(loop_);
        pw_loop_destroy(loop_);
    }
    // Whether `done` holds within a few seconds.
    bool within(const std::function<bool()>& done) {
        return eventually([&] { return pw_loop_iterate(loop_, 0) >= 0 && done(); }, 5s);
    }

    void node(const std::string& name, const Props& props, bool sink = true) {
        pw_stream* s =
            pw_stream_new(core_, name.c_str(),
                          with(pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CLASS,
                                                 sink ? "Audio/Sink" : "Audio/Source",
                                                 PW_KEY_NODE_NAME, name.c_str(), nullptr),
                               props));
        if (s) streams_[name] = s;
        if (!s || pw_stream_connect(s, sink ? PW_DIRECTION_INPUT : PW_DIRECTION_OUTPUT, PW_ID_ANY,
                                    PW_STREAM_FLAG_NONE, nullptr, 0) != 0)
            throw std::runtime_error("cannot make " + name);
    }
    // The node's properties change while it runs (a codec switch).
    void update(const std::string& name, const Props& props) {
        pw_properties* p = with(pw_properties_new(nullptr, nullptr), props);
        pw_stream_update_properties(streams_.at(name), &p->dict);
        pw_properties_free(p);
    }
    // The latency the sink says a sample takes from its ports to leaving the device.
    void reportLatency(const std::string& name, std::uint32_t frames) {
        spa_latency_info info = SPA_LATENCY_INFO(SPA_DIRECTION_INPUT);
        info.min_rate = info.max_rate = frames;
        std::uint8_t buffer[256];
        spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
        const spa_pod* params[] = {spa_latency_build(&b, SPA_PARAM_Latency, &info)};
        pw_stream_update_params(streams_.at(name), params, 1);
    }

    // The card, with `props`; its id in the graph once the graph has given it one.
    std::uint32_t device(const Props& props) {
        // Whoever listens (the graph, which passes it on) is told the device's properties.
        static const spa_device_methods methods = {
            .version = SPA_VERSION_DEVICE_METHODS,
            .add_listener = [](void* self, spa_hook* listener, const spa_device_events* events,
                               void* data) {
                auto* test = static_cast<LinkPropsTest*>(self);
                spa_hook_list_append(&test->hooks_, listener, events, data);
                test->updateDevice({});
                return 0;
            }};
        spa_hook_list_init(&hooks_);
        device_.iface =
            SPA_INTERFACE_INIT(SPA_TYPE_INTERFACE_Device, SPA_VERSION_DEVICE, &methods, this);
        deviceProps_ = with(pw_properties_new(PW_KEY_MEDIA_CLASS, "Audio/Device", nullptr), props);
        deviceProxy_ =
            pw_core_export(core_, SPA_TYPE_INTERFACE_Device, &deviceProps_->dict, &device_, 0);
        std::uint32_t id = SPA_ID_INVALID;
        within([&] {
            return deviceProxy_ && (id = pw_proxy_get_bound_id(deviceProxy_)) != SPA_ID_INVALID;
        });
        return id;
    }
    // The device's properties change (`props` over what it had).
    void updateDevice(const Props& props) {
        spa_device_info info = SPA_DEVICE_INFO_INIT();
        info.change_mask = SPA_DEVICE_CHANGE_MASK_PROPS;
        info.props = &with(deviceProps_, props)->dict;
        spa_device_emit_info(&hooks_, &info);
    }

    // The object that stands for the node `name`, once the backend lists it.
    AudioObjectID id(const std::string& name) {
        AudioObjectID id = 0;
        if (!within([&] { return (id = deviceForUID(hw(), name).value_or(0)) != 0; }))
            ADD_FAILURE() << name << " is not listed";
        return id;
    }
    std::string said(AudioObjectID id, AudioSelector selector, AudioScope s = scope::output) {
        return stringProperty(hw(), id, selector, s).value_or("(nothing)");
    }
    // Whether the object says "profile codec" within a few seconds.
    ::testing::AssertionResult says(AudioObjectID id, const std::string& want) {
        std::string now;
        const auto link = [&] {
            return now = said(id, sel::linkProfile) + " " + said(id, sel::linkCodec);
        };
        if (within([&] { return link() == want; })) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << id << " says " << now;
    }

    pw_loop* loop_ = nullptr;
    pw_context* context_ = nullptr;
    pw_core* core_ = nullptr;
    std::map<std::string, pw_stream*> streams_;
    spa_device device_{};
    spa_hook_list hooks_{};
    pw_properties* deviceProps_ = nullptr;
    pw_proxy* deviceProxy_ = nullptr;
};

const std::string nothing = "(nothing) (nothing)";

TEST_F(LinkPropsTest, ABluetoothSinkSaysItsLinkInShortPrintableWordsAndAnewWhenItChanges) {
    // A profile of another program's making: nine bytes with control bytes among them, then far
    // too many three-byte characters; a bound of a power of two falls inside one.
    const std::string start = "a2dp\x1b[2J\n";
    std::string profile = start;
    for (int i = 0; i < 400; ++i)
        profile += "\xe2\x82\xac";
    node("link-test-headphones", bluetooth(profile.c_str(), "sbc"));
    reportLatency("link-test-headphones", 2400);
    const AudioObjectID bt = id("link-test-headphones");
    const auto latency = [&] {
        return uint32Property(hw(), bt, sel::latency, scope::output).value_or(0);
    };
    ASSERT_TRUE(within([&] { return said(bt, sel::linkCodec) == "sbc" && latency() >= 2400; }))
        << said(bt, sel::linkCodec) << ", " << latency();
    // Made printable, and cut short between two characters.
    const std::string p = said(bt, sel::linkProfile), escaped = "a2dp\\x1b[2J\\x0a";
    EXPECT_TRUE(p.size() > escaped.size() && p.size() <= 256 && p.starts_with(escaped) &&
                p.substr(escaped.size()) == profile.substr(start.size(), p.size() - escaped.size()))
        << p;
    // Said once, of the side the sink plays.
    EXPECT_EQ(said(bt, sel::linkCodec, scope::input), "(nothing)");
    EXPECT_FALSE(hw().hasProperty(bt, {sel::linkProfile, scope::output, 1}));

    // A codec switch on the running node: the link says a longer latency; the answer moves by as
    // much.
    const std::uint32_t before = latency();
    update("link-test-headphones", {{"api.bluez5.codec", "aac"}});
    reportLatency("link-test-headphones", 9600);
    EXPECT_TRUE(says(bt, p + " aac"));
    EXPECT_TRUE(within([&] { return latency() == before + 7200; }))
        << latency() << " after " << before;
    // A word emptied says nothing, and the word before it is not kept. (The graph keeps a key
    // its node's owner takes away, so emptying it is how an owner withdraws it.)
    update("link-test-headphones", {{"api.bluez5.codec", ""}});
    EXPECT_TRUE(says(bt, p + " (nothing)"));
}

TEST_F(LinkPropsTest, ADeviceSpeaksForItsNodesWhereTheyAreSilentAndNothingElseSpeaks) {
    const std::uint32_t card = device(bluetooth("a2dp-sink", "ldac"));
    ASSERT_NE(card, SPA_ID_INVALID);
    node("link-test-card-silent", bluetooth(nullptr, nullptr, card));
    node("link-test-card-own-codec", bluetooth(nullptr, "aptx_hd", card));
    node("link-test-card-own-words", bluetooth("headset-head-unit", "msbc", card));
    // A node of no device (device.id names none) has nothing to fall back on; a headset's
    // microphone carries the same words as its speaker, but a link is said of the speaker's side.
    node("link-test-orphan", bluetooth(nullptr, nullptr, card + 100000));
    node("link-test-headset-mic", bluetooth("headset-head-unit", "msbc"), false);
    node("link-test-plain", {{"device.bus", "usb"}});

    const AudioObjectID silent = id("link-test-card-silent");
    const AudioObjectID ownCodec = id("link-test-card-own-codec");
    EXPECT_TRUE(says(silent, "a2dp-sink ldac"));
    // Each of the node's own words wins over its device's.
    EXPECT_TRUE(says(ownCodec, "a2dp-sink aptx_hd"));
    EXPECT_TRUE(says(id("link-test-card-own-words"), "headset-head-unit msbc"));
    // An aggregate of a speaker that says its link is no link of its own.
    AggregateDescription desc{.name = "Link test group", .uid = "link-test-group", .isPrivate = 1};
    desc.subdevices = {{"link-test-card-own-words"}};
    AudioObjectID group = 0;
    ASSERT_EQ(hw().createAggregateDevice(desc, group), noErr);
    for (const AudioObjectID quiet :
         {id("link-test-orphan"), id("link-test-headset-mic"), id("link-test-plain"), group})
        EXPECT_TRUE(says(quiet, nothing));
    EXPECT_EQ(hw().destroyAggregateDevice(group), noErr);

    // What the device says later counts too.
    updateDevice({{"api.bluez5.codec", "aac"}});
    EXPECT_TRUE(says(silent, "a2dp-sink aac"));
    // A device that has gone says nothing more for the nodes it left behind.
    pw_proxy_destroy(deviceProxy_);
    EXPECT_TRUE(says(silent, nothing));
    EXPECT_TRUE(says(ownCodec, "(nothing) aptx_hd"));
}

// A "default" object of the test's own making, newer than the session manager's, so the one the
// backend follows. The test speaks for it, and answers the daemon for it only while it runs its
// side of the conversation.
class DefaultsObjectTest : public LinkPropsTest {
  protected:
    void TearDown() override {
        for (pw_proxy* p : {other_.bound, other_.registry})
            if (p) pw_proxy_destroy(p);
        if (other_.core) pw_core_disconnect(other_.core);
        if (other_.context) pw_context_destroy(other_.context);
        if (other_.loop) pw_loop_destroy(other_.loop);
        if (exported_) pw_proxy_destroy(exported_);
        if (defaults_) pw_impl_metadata_destroy(defaults_);
        LinkPropsTest::TearDown();
    }
    // The object, once the graph has given it an id.
    std::uint32_t makeDefaults() {
        defaults_ = pw_context_create_metadata(context_, "default", nullptr, 0);
        if (!defaults_) return SPA_ID_INVALID;
        pw_properties* props = pw_properties_new(PW_KEY_METADATA_NAME, "default", nullptr);
        exported_ = static_cast<pw_proxy*>(
            pw_core_export(core_, PW_TYPE_INTERFACE_Metadata, &props->dict,
                           pw_impl_metadata_get_implementation(defaults_), 0));
        pw_properties_free(props);
        std::uint32_t id = SPA_ID_INVALID;
        within(
            [&] { return exported_ && (id = pw_proxy_get_bound_id(exported_)) != SPA_ID_INVALID; });
        return id;
    }
    void say(const char* key, const std::string& node) {
        pw_impl_metadata_set_property(defaults_, PW_ID_CORE, key, "Spa:String:JSON",
                                      ("{\"name\":\"" + node + "\"}").c_str());
    }
    // Another client binds the object: the daemon asks the test for that client's copy, which the
    // test does not give until it next runs its side.
    void anotherClientBinds(std::uint32_t id) {
        other_.loop = pw_loop_new(nullptr);
        other_.context = pw_context_new(other_.loop, nullptr, 0);
        other_.core = other_.context ? pw_context_connect(other_.context, nullptr, 0) : nullptr;
        ASSERT_TRUE(other_.core);
        auto* registry = pw_core_get_registry(other_.core, PW_VERSION_REGISTRY, 0);
        other_.registry = reinterpret_cast<pw_proxy*>(registry);
        ASSERT_TRUE(registry);
        other_.bound = static_cast<pw_proxy*>(
            pw_registry_bind(registry, id, PW_TYPE_INTERFACE_Metadata, PW_VERSION_METADATA, 0));
        ASSERT_TRUE(other_.bound);
        static const pw_metadata_events heard = {
            .version = PW_VERSION_METADATA_EVENTS,
            .property = [](void* data, std::uint32_t, const char* key, const char*,
                           const char* value) {
                if (key && value && std::string(key) == "default.audio.sink")
                    static_cast<DefaultsObjectTest*>(data)->other_.sink = value;
                return 0;
            }};
        pw_metadata_add_listener(reinterpret_cast<pw_metadata*>(other_.bound), &other_.listener,
                                 &heard, this);
        // Sent, and taken in by the daemon, within a moment; no answer comes before the test's.
        for (int i = 0; i < 20; ++i, std::this_thread::sleep_for(10ms))
            pw_loop_iterate(other_.loop, 0);
    }

    pw_impl_metadata* defaults_ = nullptr;
    pw_proxy* exported_ = nullptr;
    struct {
        pw_loop* loop = nullptr;
        pw_context* context = nullptr;
        pw_core* core = nullptr;
        pw_proxy *registry = nullptr, *bound = nullptr;
        spa_hook listener{};
        std::string sink;  // the default output as this client last heard it
    } other_;
};

TEST_F(DefaultsObjectTest, AnOutputChosenWhileAnotherClientBindsTheObjectIsHeardAllTheSame) {
    // Names the session manager's object does not say: a speaker as the input, and as the output
    // a speaker other than the one it chose. Heard, they can only come from this object.
    const auto managers = defaultOutput(hw());
    const std::string input = room().speakers().front().node;
    std::string output;
    for (const auto& s : room().speakers())
        if (id(s.node) != managers) output = s.node;

    const std::uint32_t object = makeDefaults();
    ASSERT_NE(object, SPA_ID_INVALID);
    // The input first (any node will do as a name): once the backend says it, it follows this
    // object and has had its copy.
    say("default.audio.source", input);
    ASSERT_TRUE(within([&] { return defaultInput(hw()) == id(input); }));

    anotherClientBinds(object);
    // The output chosen now reaches the daemon before the other client's copy is complete: the
    // daemon passes it to that client alone.
    say("default.audio.sink", output);
    EXPECT_TRUE(within([&] { return defaultOutput(hw()) == id(output); }));
}

// A backend that ends while it reads the object again (no output named yet) must not end the
// object's news for everybody else: the daemon would count it as waiting for its copy for good.
TEST_F(DefaultsObjectTest, ABackendEndingWhileItReadsTheObjectAgainLeavesItHeardByOthers) {
    const std::string output = room().speakers().front().node;
    hw_.reset();  // the fixture's backend would read the object again on a schedule of its own
    const std::uint32_t object = makeDefaults();
    ASSERT_NE(object, SPA_ID_INVALID);
    anotherClientBinds(object);
    auto joining = std::async(std::launch::async, [] { return pw::connectPipeWire(); });
    ASSERT_TRUE(within([&] { return joining.wait_for(0s) == std::future_status::ready; }));
    auto backend = joining.get();
    ASSERT_TRUE(backend);
    // Long enough for it to bind the object again, whose copy the test does not give yet.
    std::this_thread::sleep_for(500ms);
    auto ending = std::async(std::launch::async, [&] { backend.reset(); });
    std::this_thread::sleep_for(100ms);  // time enough to leave, were it not to wait
    ASSERT_TRUE(within([&] { return ending.wait_for(0s) == std::future_status::ready; }));

    say("default.audio.sink", output);
    EXPECT_TRUE(within([&] {
        pw_loop_iterate(other_.loop, 0);
        return other_.sink.find(output) != std::string::npos;
    })) << "the other client heard: "
        << other_.sink;
}

}  // namespace
}  // namespace housetone
