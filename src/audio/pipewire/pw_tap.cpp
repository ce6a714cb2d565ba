#include "audio/pipewire/pw_tap.h"

#include <spa/param/audio/format-utils.h>
#include <spa/param/latency-utils.h>

#include <cctype>

#include "audio/pipewire/pipewire_backend.h"

namespace housetone::pw {

namespace {

// The tap's stream runs on the data thread (RT_PROCESS): no lock, no allocation, no log.
void onTapProcessRt(void* data) {
    // The monitor ports carry what programs play; what reaches the stream itself is dropped.
    auto* stream = static_cast<Tap*>(data)->stream;
    if (pw_buffer* b = pw_stream_dequeue_buffer(stream)) pw_stream_queue_buffer(stream, b);
}
const pw_stream_events tapEvents = {.version = PW_VERSION_STREAM_EVENTS, .process = onTapProcessRt};

}  // namespace

std::string tapNodeName(const std::string& uuid) {
    std::string out = "housetone.tap.";
    for (char c : uuid)
        out += (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
                   ? static_cast<char>(std::tolower(static_cast<unsigned char>(c)))
                   : '-';
    return out;
}

OSStatus openTap(GraphConnection& c, Tap& t) {
    pw_properties* props = pw_properties_new(
        PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CLASS, "Audio/Sink", PW_KEY_NODE_NAME,
        t.nodeName.c_str(), PW_KEY_NODE_DESCRIPTION, t.desc.name.c_str(), PW_KEY_NODE_VIRTUAL,
        "true", "housetone.own", "true", nullptr);
    t.stream = pw_stream_new(c.core(), t.desc.name.c_str(), props);
    if (!t.stream) return status::illegalOperation;
    pw_stream_add_listener(t.stream, &t.listener, &tapEvents, &t);

    std::uint8_t buffer[1024];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    spa_audio_info_raw info{};
    info.format = SPA_AUDIO_FORMAT_F32;
    info.rate = static_cast<std::uint32_t>(c.mirror().rate());
    info.channels = 2;
    info.position[0] = SPA_AUDIO_CHANNEL_FL;
    info.position[1] = SPA_AUDIO_CHANNEL_FR;
    const spa_pod* params[] = {spa_format_audio_raw_build(&b, SPA_PARAM_EnumFormat, &info)};
    const auto flags =
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS);
    pw_stream_connect(t.stream, PW_DIRECTION_INPUT, PW_ID_ANY, flags, params, 1);
    // Ready once the session manager has given the sink its monitor ports.
    const bool ready = c.waitFor(3.0, [&] {
        const std::uint32_t nodeID = pw_stream_get_node_id(t.stream);
        return nodeID != SPA_ID_INVALID && c.mirror().portsOf(nodeID, true, true).size() == 2;
    });
    if (ready) {
        // A tap made again after the server came back still owes its programs its latency.
        if (t.latencyFrames) reportTapLatency(t, t.latencyFrames);
        return noErr;
    }
    closeTap(c, t);
    return c.gone() ? serverGone : status::illegalOperation;
}

void reportTapLatency(Tap& t, std::uint32_t frames) {
    t.latencyFrames = frames;
    if (!t.stream) return;
    // Said on the sink's own port, towards the programs: the graph hands it on to every stream
    // linked to it, and PulseAudio clients read it as the sink's latency.
    spa_latency_info info = SPA_LATENCY_INFO(SPA_DIRECTION_INPUT);
    info.min_rate = info.max_rate = frames;
    std::uint8_t buffer[256];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    const spa_pod* params[] = {spa_latency_build(&b, SPA_PARAM_Latency, &info)};
    pw_stream_update_params(t.stream, params, 1);
}

void closeTap(GraphConnection& c, Tap& t) {
    if (t.stream) pw_stream_destroy(t.stream);
    t.stream = nullptr;
    c.roundTrip();
}

void dropTap(Tap& t) {
    if (!t.stream) return;
    spa_hook_remove(&t.listener);
    pw_stream_destroy(t.stream);
    t.stream = nullptr;
}

}  // namespace housetone::pw
