#include "audio/pipewire/pw_player.h"

#include <spa/param/audio/format-utils.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace housetone::pw {

namespace {

// One play in progress; touched only on the loop thread or under its lock.
struct Playing {
    pw_thread_loop* loop = nullptr;
    pw_stream* stream = nullptr;
    std::vector<float> samples;  // interleaved
    std::uint32_t channels = 1;
    std::size_t pos = 0;
    bool draining = false, done = false;
};

// Runs on the event thread (the stream is not realtime): it may signal the waiting play().
void onPlayProcess(void* data) {
    auto& s = *static_cast<Playing*>(data);
    pw_buffer* b = pw_stream_dequeue_buffer(s.stream);
    if (!b) return;
    spa_data& d = b->buffer->datas[0];
    const std::size_t frameBytes = sizeof(float) * s.channels;
    std::size_t frames = d.data ? d.maxsize / frameBytes : 0;
    if (b->requested) frames = std::min<std::size_t>(frames, b->requested);
    const std::size_t left = (s.samples.size() - s.pos) / s.channels;
    frames = std::min(frames, left);
    if (frames) std::memcpy(d.data, s.samples.data() + s.pos, frames * frameBytes);
    s.pos += frames * s.channels;
    d.chunk->offset = 0;
    d.chunk->stride = static_cast<std::int32_t>(frameBytes);
    d.chunk->size = static_cast<std::uint32_t>(frames * frameBytes);
    pw_stream_queue_buffer(s.stream, b);
    if (frames == left && !s.draining) {
        s.draining = true;
        pw_stream_flush(s.stream, true);
    }
}

void onPlayDrained(void* data) {
    auto& s = *static_cast<Playing*>(data);
    s.done = true;
    pw_thread_loop_signal(s.loop, false);
}

const pw_stream_events playEvents = {
    .version = PW_VERSION_STREAM_EVENTS, .process = onPlayProcess, .drained = onPlayDrained};

}  // namespace

bool PipeWirePlayer::play(const std::string& path) {
    const auto wav = readWav(path);
    if (!wav || wav->samples.empty()) return false;
    return playSamples(*wav);
}

void PipeWirePlayer::terminate() {
    terminate_.store(true);
    GraphConnection::Locked lock(connection_);
    connection_.signal();
}

bool PipeWirePlayer::playSamples(const WavData& wav) {
    GraphConnection::Locked lock(connection_);
    terminate_.store(false);
    if (connection_.gone()) return false;
    Playing s;
    s.loop = connection_.loop();
    s.samples = wav.samples;
    s.channels = static_cast<std::uint32_t>(wav.channels);
    pw_properties* props =
        pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback",
                          PW_KEY_MEDIA_ROLE, "Notification", nullptr);
    s.stream = pw_stream_new(connection_.core(), "Housetone click", props);
    if (!s.stream) return false;
    spa_hook listener{};
    pw_stream_add_listener(s.stream, &listener, &playEvents, &s);
    std::uint8_t buffer[1024];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    spa_audio_info_raw info{};
    info.format = SPA_AUDIO_FORMAT_F32;
    info.rate = static_cast<std::uint32_t>(wav.rate);
    info.channels = s.channels;
    const spa_pod* params[] = {spa_format_audio_raw_build(&b, SPA_PARAM_EnumFormat, &info)};
    const auto flags =
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS);
    bool ok = pw_stream_connect(s.stream, PW_DIRECTION_OUTPUT, PW_ID_ANY, flags, params, 1) == 0;
    // The file's length plus a margin for the graph to start and drain.
    const double seconds = static_cast<double>(s.samples.size() / s.channels) / wav.rate + 3.0;
    if (ok)
        ok = connection_.waitFor(seconds, [&] { return s.done || terminate_.load(); }) && s.done;
    pw_stream_destroy(s.stream);
    return ok;
}

}  // namespace housetone::pw
