// How a speaker's link carries the sound (Bluetooth's profile and codec) as the backend tells it,
// and that a change of the link, or of the latency the link reports, reaches what the backend
// answers. The speakers here are this test's own nodes, carrying the properties a Bluetooth
// device's nodes carry: the room has no Bluetooth stack to make them.
#include <gtest/gtest.h>

#include <pipewire/pipewire.h>
#include <spa/monitor/device.h>
#include <spa/monitor/utils.h>
#include <spa/param/audio/format-utils.h>
#include <spa/param/latency-utils.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "audio/device_access.h"
#include "core/fourcc.h"
#include "core/printable.h"
#include "pipewire_room.h"

namespace housetone {
namespace {

using namespace std::chrono_literals;
using testsupport::eventually;
using Props = std::map<std::string, std::string>;

spa_dict dictOf(const Props& props, std::vector<spa_dict_item>& items) {
    items.clear();
    for (const auto& [k, v] : props)
        items.push_back(SPA_DICT_ITEM_INIT(k.c_str(), v.c_str()));
    return SPA_DICT_INIT(items.data(), static_cast<std::uint32_t>(items.size()));
}

// A device object of this test's own, exported into the graph with `props`: what a Bluetooth
// device's card looks like to the registry.
struct FakeDevice {
    spa_device device{};
    spa_hook_list hooks{};
    Props props;
    std::vector<spa_dict_item> items;
    spa_dict dict{};
    pw_proxy* proxy = nullptr;

    static int addListener(void* object, spa_hook* listener, const spa_device_events* events,
                           void* data) {
        auto* self = static_cast<FakeDevice*>(object);
        spa_hook_list save;
        spa_hook_list_isolate(&self->hooks, &save, listener, events, data);
        self->tell();
        spa_hook_list_join(&self->hooks, &save);
        return 0;
    }
    // Says its properties to whoever listens: the graph, which passes them on.
    void tell() {
        dict = dictOf(props, items);
        spa_device_info info = SPA_DEVICE_INFO_INIT();
        info.change_mask = SPA_DEVICE_CHANGE_MASK_PROPS;
        info.props = &dict;
        spa_device_emit_info(&hooks, &info);
    }
    static int sync(void* object, int seq) {
        spa_device_emit_result(&static_cast<FakeDevice*>(object)->hooks, seq, 0, 0, nullptr);
        return 0;
    }
    static int enumParams(void*, int, std::uint32_t, std::uint32_t, std::uint32_t, const spa_pod*) {
        return 0;
    }
    static int setParam(void*, std::uint32_t, std::uint32_t, const spa_pod*) { return -ENOTSUP; }
};

const spa_device_methods fakeDeviceMethods = {.version = SPA_VERSION_DEVICE_METHODS,
                                              .add_listener = FakeDevice::addListener,
                                              .sync = FakeDevice::sync,
                                              .enum_params = FakeDevice::enumParams,
                                              .set_param = FakeDevice::setParam};

// A client of the room that makes the nodes and devices a test needs: sinks (and sources) whose
// properties say what a test wants, changed or taken away while they run.
class LinkClient {
  public:
    LinkClient() {
        pw_init(nullptr, nullptr);
        loop_ = pw_thread_loop_new("link-test", nullptr);
        if (!loop_ || pw_thread_loop_start(loop_) != 0) throw std::runtime_error("no loop");
        Lock lock(loop_);
        context_ = pw_context_new(pw_thread_loop_get_loop(loop_), nullptr, 0);
        core_ = context_ ? pw_context_connect(context_, nullptr, 0) : nullptr;
        if (!core_) throw std::runtime_error("cannot join the room's graph");
    }
    ~LinkClient() {
        {
            Lock lock(loop_);
            for (auto& [name, s] : streams_)
                pw_stream_destroy(s);
            for (auto& d : devices_)
                pw_proxy_destroy(d->proxy);
            if (core_) pw_core_disconnect(core_);
        }
        pw_thread_loop_stop(loop_);
        if (context_) pw_context_destroy(context_);
        pw_thread_loop_destroy(loop_);
    }
    LinkClient(const LinkClient&) = delete;
    LinkClient& operator=(const LinkClient&) = delete;

    // A stereo sink (or source) called `name` with `props` besides its class and name.
    void node(const std::string& name, const Props& props, bool sink = true) {
        static const pw_stream_events noEvents = {.version = PW_VERSION_STREAM_EVENTS};
        Lock lock(loop_);
        pw_properties* p = pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CLASS,
                                             sink ? "Audio/Sink" : "Audio/Source", nullptr);
        pw_properties_set(p, PW_KEY_NODE_NAME, name.c_str());
        for (const auto& [k, v] : props)
            pw_properties_set(p, k.c_str(), v.c_str());
        pw_stream* s = pw_stream_new(core_, name.c_str(), p);
        if (!s) throw std::runtime_error("cannot make " + name);
        pw_stream_add_listener(s, &listeners_[name], &noEvents, nullptr);
        std::uint8_t buffer[1024];
        spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
        spa_audio_info_raw info{.format = SPA_AUDIO_FORMAT_F32, .rate = 48000, .channels = 2};
        info.position[0] = SPA_AUDIO_CHANNEL_FL;
        info.position[1] = SPA_AUDIO_CHANNEL_FR;
        const spa_pod* params[] = {spa_format_audio_raw_build(&b, SPA_PARAM_EnumFormat, &info)};
        pw_stream_connect(s, sink ? PW_DIRECTION_INPUT : PW_DIRECTION_OUTPUT, PW_ID_ANY,
                          PW_STREAM_FLAG_NONE, params, 1);
        streams_[name] = s;
    }
    // The node leaves the graph, as a speaker that disconnects.
    void remove(const std::string& name) {
        Lock lock(loop_);
        // The hook first: destroying the stream frees the list the hook is linked into.
        spa_hook_remove(&listeners_[name]);
        listeners_.erase(name);
        pw_stream_destroy(streams_.at(name));
        streams_.erase(name);
    }
    // The node's properties change while it runs (a codec switch).
    void update(const std::string& name, const Props& props) {
        Lock lock(loop_);
        std::vector<spa_dict_item> items;
        const spa_dict dict = dictOf(props, items);
        pw_stream_update_properties(streams_.at(name), &dict);
    }
    // The latency the sink says a sample takes from its ports to leaving the device.
    void reportLatency(const std::string& name, std::uint32_t frames) {
        Lock lock(loop_);
        spa_latency_info info = SPA_LATENCY_INFO(SPA_DIRECTION_INPUT);
        info.min_rate = info.max_rate = frames;
        std::uint8_t buffer[256];
        spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
        const spa_pod* params[] = {spa_latency_build(&b, SPA_PARAM_Latency, &info)};
        pw_stream_update_params(streams_.at(name), params, 1);
    }
    // A device object with `props`; its id in the graph, once the graph has given it one.
    std::uint32_t device(const Props& props) {
        auto d = std::make_unique<FakeDevice>();
        FakeDevice* raw = d.get();
        {
            Lock lock(loop_);
            spa_hook_list_init(&raw->hooks);
            raw->device.iface = SPA_INTERFACE_INIT(SPA_TYPE_INTERFACE_Device, SPA_VERSION_DEVICE,
                                                   &fakeDeviceMethods, raw);
            raw->props = props;
            raw->dict = dictOf(raw->props, raw->items);
            pw_properties* p = pw_properties_new_dict(&raw->dict);
            raw->proxy =
                pw_core_export(core_, SPA_TYPE_INTERFACE_Device, &p->dict, &raw->device, 0);
            pw_properties_free(p);
            if (!raw->proxy) throw std::runtime_error("cannot export a device");
            devices_.push_back(std::move(d));
        }
        std::uint32_t id = SPA_ID_INVALID;
        eventually(
            [&] {
                Lock lock(loop_);
                id = pw_proxy_get_bound_id(raw->proxy);
                return id != SPA_ID_INVALID;
            },
            5s);
        return id;
    }

    // The device's properties change (`props` over what it had).
    void updateDevice(std::uint32_t id, const Props& props) {
        Lock lock(loop_);
        for (auto& d : devices_)
            if (pw_proxy_get_bound_id(d->proxy) == id) {
                for (const auto& [k, v] : props)
                    d->props[k] = v;
                d->tell();
            }
    }
    // The device object leaves the graph; its nodes stay.
    void removeDevice(std::uint32_t id) {
        Lock lock(loop_);
        for (auto it = devices_.begin(); it != devices_.end(); ++it)
            if (pw_proxy_get_bound_id((*it)->proxy) == id) {
                pw_proxy_destroy((*it)->proxy);
                devices_.erase(it);
                return;
            }
    }

  private:
    struct Lock {
        explicit Lock(pw_thread_loop* l) : loop(l) { pw_thread_loop_lock(loop); }
        ~Lock() { pw_thread_loop_unlock(loop); }
        pw_thread_loop* loop;
    };
    pw_thread_loop* loop_ = nullptr;
    pw_context* context_ = nullptr;
    pw_core* core_ = nullptr;
    std::map<std::string, pw_stream*> streams_;
    std::map<std::string, spa_hook> listeners_;
    std::vector<std::unique_ptr<FakeDevice>> devices_;
};

// The properties of a Bluetooth speaker's node: its bus, and what it says of its link.
Props bluetooth(std::optional<std::string> profile, std::optional<std::string> codec) {
    Props p{{"device.bus", "bluetooth"}, {"device.api", "bluez5"}};
    if (profile) p["api.bluez5.profile"] = *profile;
    if (codec) p["api.bluez5.codec"] = *codec;
    return p;
}

class LinkPropsTest : public testsupport::BackendRoomTest {
  protected:
    // The object that stands for the node `name`, once the backend lists it; 0 until then.
    AudioObjectID appears(const std::string& name) {
        AudioObjectID id = 0;
        eventually([&] { return (id = deviceForUID(hw(), name).value_or(0)) != 0; }, 5s);
        return id;
    }
    // The text an object answers, or the status that refused it ("refused who?").
    std::string said(AudioObjectID id, AudioSelector selector, AudioScope s = scope::output,
                     AudioElement element = 0) {
        const PropertyAddress a{selector, s, element};
        std::uint32_t size = 0;
        OSStatus st = hw().getPropertyDataSize(id, a, 0, nullptr, size);
        std::string text(size, '\0');
        if (st == noErr) st = hw().getPropertyData(id, a, 0, nullptr, size, text.data());
        if (st != noErr) return "refused " + fourccString(static_cast<std::uint32_t>(st));
        text.resize(size);
        return text;
    }
    // Whether the object answers `want` within a few seconds.
    ::testing::AssertionResult says(AudioObjectID id, AudioSelector selector,
                                    const std::string& want) {
        std::string last;
        if (eventually([&] { return (last = said(id, selector)) == want; }, 5s))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure()
               << "answers \"" << last << "\", not \"" << want << "\"";
    }
    void SetUp() override {
        BackendRoomTest::SetUp();
        if (!IsSkipped() && !HasFatalFailure()) client_ = std::make_unique<LinkClient>();
    }
    LinkClient& client() { return *client_; }
    const std::string missing =
        "refused " + fourccString(static_cast<std::uint32_t>(status::unknownProperty));

  private:
    std::unique_ptr<LinkClient> client_;
};

TEST_F(LinkPropsTest, ABluetoothSinkSaysItsProfileAndCodecAndOtherNodesSayNothing) {
    client().node("link-test-headphones", bluetooth("a2dp-sink", "sbc"));
    client().node("link-test-plain", {{"device.bus", "usb"}});
    // A headset's microphone carries the same words; its link is said of the speaker's side.
    client().node("link-test-headset-mic", bluetooth("headset-head-unit", "msbc"), false);
    const AudioObjectID bt = appears("link-test-headphones");
    ASSERT_NE(bt, 0u);
    EXPECT_TRUE(says(bt, sel::linkProfile, "a2dp-sink"));
    EXPECT_TRUE(says(bt, sel::linkCodec, "sbc"));
    EXPECT_TRUE(hw().hasProperty(bt, {sel::linkCodec, scope::output, 0}));
    EXPECT_EQ(said(bt, sel::linkCodec, scope::input), missing);
    EXPECT_EQ(said(bt, sel::linkProfile, scope::output, 1), missing);

    // An aggregate of that speaker is no link of its own.
    AggregateDescription desc{.name = "Link test group", .uid = "link-test-group", .isPrivate = 1};
    desc.subdevices = {{"link-test-headphones"}};
    AudioObjectID group = 0;
    ASSERT_EQ(hw().createAggregateDevice(desc, group), noErr);

    const AudioObjectID plain = appears("link-test-plain");
    const AudioObjectID mic = appears("link-test-headset-mic");
    ASSERT_NE(plain, 0u);
    ASSERT_NE(mic, 0u);
    std::vector<AudioObjectID> quiet{plain, mic, group};
    // The room's own speakers say nothing of a link, its Bluetooth one included.
    for (const auto& s : room().speakers())
        quiet.push_back(deviceForUID(hw(), s.node).value_or(0));
    for (const AudioObjectID id : quiet) {
        EXPECT_EQ(said(id, sel::linkProfile), missing) << id;
        EXPECT_EQ(said(id, sel::linkCodec), missing) << id;
        EXPECT_FALSE(hw().hasProperty(id, {sel::linkCodec, scope::output, 0})) << id;
    }
    EXPECT_EQ(hw().destroyAggregateDevice(group), noErr);
}

TEST_F(LinkPropsTest, ASpeakerThatReconnectsWithAnotherCodecIsSeenWithTheNewOne) {
    const std::string name = "link-test-reconnect";
    client().node(name, bluetooth("a2dp-sink", "sbc"));
    const AudioObjectID before = appears(name);
    ASSERT_NE(before, 0u);
    ASSERT_TRUE(says(before, sel::linkCodec, "sbc"));

    client().remove(name);
    // The device list tells: the speaker leaves, then one comes back under the same UID (the
    // graph may give it the same id again).
    ASSERT_TRUE(eventually([&] { return !deviceForUID(hw(), name); }, 5s));
    client().node(name, bluetooth("a2dp-sink", "aac"));
    const AudioObjectID after = appears(name);
    ASSERT_NE(after, 0u);
    EXPECT_TRUE(says(after, sel::linkCodec, "aac"));
    EXPECT_TRUE(says(after, sel::linkProfile, "a2dp-sink"));
}

TEST_F(LinkPropsTest, ACodecSwitchOnARunningNodeIsSeenOnTheSameObject) {
    const std::string name = "link-test-switch";
    client().node(name, bluetooth("a2dp-sink", "sbc"));
    const AudioObjectID id = appears(name);
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(says(id, sel::linkCodec, "sbc"));

    client().update(name, {{"api.bluez5.codec", "aac"}});
    EXPECT_TRUE(says(id, sel::linkCodec, "aac"));
    EXPECT_TRUE(says(id, sel::linkProfile, "a2dp-sink"));
    // A word emptied says nothing, and the word before it is not kept. (The graph keeps a key
    // its node's owner takes away, so emptying it is how an owner withdraws it.)
    client().update(name, {{"api.bluez5.codec", ""}});
    EXPECT_TRUE(says(id, sel::linkCodec, missing));
    EXPECT_TRUE(says(id, sel::linkProfile, "a2dp-sink"));
    EXPECT_EQ(deviceForUID(hw(), name), id);
}

TEST_F(LinkPropsTest, ADeviceSpeaksForItsNodeWhereTheNodeSaysNothing) {
    const std::uint32_t device = client().device({{"device.name", "bluez_card.link_test"},
                                                  {"device.api", "bluez5"},
                                                  {"media.class", "Audio/Device"},
                                                  {"api.bluez5.profile", "a2dp-sink"},
                                                  {"api.bluez5.codec", "ldac"}});
    ASSERT_NE(device, SPA_ID_INVALID);
    const auto of = [&](Props p) {
        p["device.id"] = std::to_string(device);
        return p;
    };
    client().node("link-test-card-silent", of(bluetooth(std::nullopt, std::nullopt)));
    client().node("link-test-card-own-codec", of(bluetooth(std::nullopt, "aptx_hd")));
    client().node("link-test-card-own-words", of(bluetooth("headset-head-unit", "msbc")));
    // A node of no device (device.id names none) has nothing to fall back on.
    Props orphan = bluetooth(std::nullopt, std::nullopt);
    orphan["device.id"] = std::to_string(device + 100000);
    client().node("link-test-orphan", orphan);

    const AudioObjectID silent = appears("link-test-card-silent");
    const AudioObjectID ownCodec = appears("link-test-card-own-codec");
    const AudioObjectID ownWords = appears("link-test-card-own-words");
    const AudioObjectID lone = appears("link-test-orphan");
    ASSERT_TRUE(silent && ownCodec && ownWords && lone);
    EXPECT_TRUE(says(silent, sel::linkProfile, "a2dp-sink"));
    EXPECT_TRUE(says(silent, sel::linkCodec, "ldac"));
    // Each of the node's own words wins over its device's.
    EXPECT_TRUE(says(ownCodec, sel::linkProfile, "a2dp-sink"));
    EXPECT_TRUE(says(ownCodec, sel::linkCodec, "aptx_hd"));
    EXPECT_TRUE(says(ownWords, sel::linkProfile, "headset-head-unit"));
    EXPECT_TRUE(says(ownWords, sel::linkCodec, "msbc"));
    EXPECT_EQ(said(lone, sel::linkProfile), missing);
    EXPECT_EQ(said(lone, sel::linkCodec), missing);

    // What the device says later counts too.
    client().updateDevice(device, {{"api.bluez5.codec", "aac"}});
    EXPECT_TRUE(says(silent, sel::linkCodec, "aac"));
    EXPECT_TRUE(says(ownCodec, sel::linkCodec, "aptx_hd"));

    // A device that has gone says nothing more for the nodes it left behind.
    client().removeDevice(device);
    EXPECT_TRUE(says(silent, sel::linkCodec, missing));
    EXPECT_TRUE(says(ownCodec, sel::linkProfile, missing));
    EXPECT_TRUE(says(ownCodec, sel::linkCodec, "aptx_hd"));
}

TEST_F(LinkPropsTest, HostileWordsAreCutShortAndMadePrintable) {
    const std::string profile = "a2dp\x1b[2J\n\x07" + std::string(5000, 'x');
    std::string codec;
    for (int i = 0; i < 400; ++i)
        codec += "\xe2\x82\xac";  // €, three bytes
    client().node("link-test-hostile", bluetooth(profile, codec));
    const AudioObjectID id = appears("link-test-hostile");
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(eventually([&] { return said(id, sel::linkProfile) != missing; }, 5s));

    const std::string p = said(id, sel::linkProfile);
    EXPECT_TRUE(p.starts_with("a2dp\\x1b[2J\\x0a\\x07x")) << p;
    EXPECT_EQ(printable(p), p);
    EXPECT_LE(p.size(), 256u);
    const std::string c = said(id, sel::linkCodec);
    // Cut between characters, never inside one: only whole euro signs remain.
    ASSERT_FALSE(c.empty());
    EXPECT_LE(c.size(), 256u);
    EXPECT_EQ(c, codec.substr(0, c.size()));
}

TEST_F(LinkPropsTest, ALatencyTheLinkReportsAnewIsAnswered) {
    const std::string name = "link-test-latency";
    client().node(name, bluetooth("a2dp-sink", "sbc"));
    const AudioObjectID id = appears(name);
    ASSERT_NE(id, 0u);
    const auto latency = [&] { return uint32Property(hw(), id, sel::latency, scope::output); };
    client().reportLatency(name, 2400);
    std::optional<std::uint32_t> first;
    ASSERT_TRUE(eventually([&] { return (first = latency()) && *first >= 2400; }, 5s))
        << (first ? std::to_string(*first) : "none");
    // A codec switch: the link says a longer latency; the answer moves by as much.
    client().update(name, {{"api.bluez5.codec", "aac"}});
    client().reportLatency(name, 9600);
    std::optional<std::uint32_t> second;
    EXPECT_TRUE(eventually([&] { return (second = latency()) && *second == *first + 7200; }, 5s))
        << (second ? std::to_string(*second) : "none") << " after " << *first;
}

}  // namespace
}  // namespace housetone
