#include "audio/sim/sim_audio_system.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <set>
#include <tuple>

#include "audio/sim/music_source.h"
#include "core/dev.h"
#include "platform/realtime.h"

namespace housetone::sim {

namespace {

constexpr std::int32_t musicPid = 0x7FFF0001;
constexpr std::int32_t playerPid = 0x7FFF0002;

using PropKey = std::tuple<AudioSelector, AudioScope, AudioElement>;

PropKey keyOf(const PropertyAddress& a) {
    return {a.selector, a.scope, a.element};
}

template <typename T>
std::vector<std::uint8_t> bytesOf(const T& v) {
    std::vector<std::uint8_t> b(sizeof(T));
    std::memcpy(b.data(), &v, sizeof(T));
    return b;
}

std::vector<std::uint8_t> bytesOf(const std::string& s) {
    return {s.begin(), s.end()};
}

template <typename T>
T valueOf(const std::vector<std::uint8_t>& b, T fallback) {
    if (b.size() != sizeof(T)) return fallback;
    T v;
    std::memcpy(&v, b.data(), sizeof(T));
    return v;
}

// A stream configuration as the layer reports it: one buffer description per stream.
std::vector<std::uint8_t> streamConfig(const std::vector<std::uint32_t>& channelsPerStream) {
    BufferListStorage s(static_cast<std::uint32_t>(channelsPerStream.size()));
    for (std::size_t i = 0; i < channelsPerStream.size(); ++i)
        s.list()->buffers()[i] = AudioBuffer{channelsPerStream[i], 0, nullptr};
    const auto* p = reinterpret_cast<const std::uint8_t*>(s.list());
    const std::size_t n =
        channelsPerStream.empty() ? offsetof(AudioBufferList, mBuffers) : s.byteSize();
    return {p, p + n};
}

}  // namespace

// ---------------------------------------------------------------------------------------------

struct SimAudioSystem::Object {
    enum class Kind { device, aggregate, tap, process };
    AudioObjectID id = 0;
    Kind kind = Kind::device;
    struct Prop {
        std::vector<std::uint8_t> bytes;
        bool settable = false;
    };
    std::map<PropKey, Prop> props;

    // Physical devices.
    std::string uid;
    int outChannels = 0;
    int inChannels = 0;
    OutputSpec out;  // room placement of an output
    double noiseRms = 0;
    double drawnLatencyMs = 0;  // latency incl. the last jitter draw
    bool refuses = false;
    std::vector<float> history;  // mono signal leaving the speaker, ring indexed by world frame
    std::size_t historyMask = 0;
    std::vector<float> acc;  // this buffer's output, interleaved outChannels
    std::mt19937_64 noiseRng;

    // Aggregates.
    AggregateDescription desc;
    // Taps.
    TapDescription tap;
    // Processes.
    std::int32_t pid = 0;

    const std::vector<std::uint8_t>* prop(AudioSelector s, AudioScope sc, AudioElement e) const {
        const auto it = props.find({s, sc, e});
        return it == props.end() ? nullptr : &it->second.bytes;
    }
};

struct SimAudioSystem::Proc {
    AudioDeviceIOProcID id = 0;
    AudioObjectID device = 0;
    AudioDeviceIOProc fn = nullptr;
    void* client = nullptr;
    bool started = false;
    double sampleTime = 0;
    BufferListStorage in, out;
    std::vector<float> inData, outData;
};

struct PlayItem {
    std::vector<float> stereo;  // at the world rate
    std::size_t pos = 0;
    bool finished = false;
};

struct SimAudioSystem::Impl {
    std::map<AudioObjectID, std::unique_ptr<Object>> objects;
    std::vector<AudioObjectID> deviceOrder;  // physical devices and aggregates, creation order
    std::map<AudioDeviceIOProcID, std::unique_ptr<Proc>> procs;
    AudioDeviceIOProcID nextProc = 1;
    AudioObjectID nextId = 100;
    AudioObjectID defaultOut = 0, defaultIn = 0;
    int defaultOutputLosses = 0;
    AudioObjectID musicProcess = 0, playerProcess = 0;
    std::vector<Fault> faults;
    TapDelivery tapDelivery = TapDelivery::normal;
    SystemAudioPermission sysPermission = SystemAudioPermission::granted;
    MicPermissionState micState = MicPermissionState::authorized;
    std::mt19937_64 jitterRng;

    std::unique_ptr<MusicSource> music;
    std::optional<WavData> loop;  // a WAV system source, stereo at the world rate
    std::size_t loopPos = 0;
    SourceFn testSource;
    std::vector<std::shared_ptr<PlayItem>> plays;

    // Per-buffer scratch.
    std::vector<float> musicBuf, playerBuf, normalMix, listening, prevListening;

    std::int64_t listenStart = 0;
    std::size_t listenWanted = 0;
    std::vector<float> listenCapture;
    std::int64_t mixStart = 0;
    std::size_t mixWanted = 0;
    std::vector<float> mixCapture;
    std::unique_ptr<WavWriter> recorder;
};

// ---------------------------------------------------------------------------------------------

class SimMicPermission final : public MicPermission {
  public:
    explicit SimMicPermission(SimAudioSystem& s) : s_(s) {}
    MicAuthorization status() const override {
        std::lock_guard lock(s_.mutex_);
        switch (s_.impl_->micState) {
            case MicPermissionState::notDetermined:
                return MicAuthorization::notDetermined;
            case MicPermissionState::restricted:
                return MicAuthorization::restricted;
            case MicPermissionState::denied:
                return MicAuthorization::denied;
            case MicPermissionState::authorized:
                return MicAuthorization::authorized;
        }
        return MicAuthorization::denied;
    }
    void request(std::function<void(bool)> answer) override {
        bool granted;
        {
            std::lock_guard lock(s_.mutex_);
            auto& st = s_.impl_->micState;
            if (st == MicPermissionState::notDetermined)
                st = s_.room_.microphoneRequestAnswer ? MicPermissionState::authorized
                                                      : MicPermissionState::denied;
            granted = st == MicPermissionState::authorized;
        }
        if (answer) answer(granted);
    }

  private:
    SimAudioSystem& s_;
};

// Plays a sound file once into the system mix, as a separate client program would.
class SimPlayer final : public Player {
  public:
    explicit SimPlayer(SimAudioSystem& s) : s_(s) {}
    bool play(const std::string& path) override {
        auto wav = readWav(path);
        const double rate = s_.room_.sampleRate;
        const auto resampled = wav ? resampledFrames(*wav, rate) : std::nullopt;
        if (!resampled) return false;
        auto item = std::make_shared<PlayItem>();
        const std::size_t inFrames = wav->samples.size() / static_cast<std::size_t>(wav->channels);
        const std::size_t outFrames = *resampled;
        item->stereo.resize(outFrames * 2);
        const int ch = wav->channels;
        for (std::size_t f = 0; f < outFrames; ++f) {
            // Linear interpolation is plenty for clicks and test sounds.
            const double src = static_cast<double>(f) * wav->rate / rate;
            const auto i0 = static_cast<std::size_t>(src);
            const double frac = src - static_cast<double>(i0);
            const std::size_t i1 = std::min(i0 + 1, inFrames - 1);
            for (int c = 0; c < 2; ++c) {
                const int sc = std::min(c, ch - 1);
                const float a =
                    wav->samples[i0 * static_cast<std::size_t>(ch) + static_cast<std::size_t>(sc)];
                const float b =
                    wav->samples[i1 * static_cast<std::size_t>(ch) + static_cast<std::size_t>(sc)];
                item->stereo[f * 2 + static_cast<std::size_t>(c)] =
                    static_cast<float>(a + (b - a) * frac);
            }
        }
        {
            std::lock_guard lock(s_.mutex_);
            s_.impl_->plays.push_back(item);
        }
        std::unique_lock lock(s_.frameMutex_);
        s_.frameCv_.wait(lock, [&] {
            std::lock_guard inner(s_.mutex_);
            return item->finished;
        });
        return true;
    }
    void terminate() override {
        {
            std::lock_guard lock(s_.mutex_);
            for (auto& p : s_.impl_->plays)
                p->finished = true;
            s_.impl_->plays.clear();
        }
        std::lock_guard lock(s_.frameMutex_);
        s_.frameCv_.notify_all();
    }

  private:
    SimAudioSystem& s_;
};

// ---------------------------------------------------------------------------------------------

double SimClock::now() const {
    return static_cast<double>(system_.frame()) / system_.sampleRate();
}

void SimClock::sleepFor(double seconds) {
    if (seconds <= 0) return;
    const auto target =
        system_.frame() + static_cast<std::int64_t>(std::ceil(seconds * system_.sampleRate()));
    if (!system_.worldRunning_.load()) {
        std::this_thread::sleep_for(std::chrono::duration<double>(realSecondsFor(seconds)));
        return;
    }
    system_.waitForFrame(target);
}

double SimClock::realSecondsFor(double seconds) const {
    return system_.speed_ > 0 ? seconds / system_.speed_ : seconds / 1000.0;
}

// ---------------------------------------------------------------------------------------------

SimAudioSystem::SimAudioSystem(RoomSpec room, SimOptions options)
    : room_(std::move(room)),
      speed_(options.speed),
      clock_(*this),
      impl_(std::make_unique<Impl>()) {
    auto& im = *impl_;
    im.jitterRng.seed(room_.seed * 7919 + 17);
    im.sysPermission = room_.systemAudioPermission;
    im.micState = room_.microphonePermission;
    const auto n = static_cast<std::size_t>(room_.bufferFrames);
    im.musicBuf.assign(n * 2, 0.f);
    im.playerBuf.assign(n * 2, 0.f);
    im.normalMix.assign(n * 2, 0.f);
    im.listening.assign(n, 0.f);
    im.prevListening.assign(n, 0.f);
    if (room_.systemAudio == "music") {
        im.music =
            std::make_unique<MusicSource>(room_.sampleRate, room_.seed, room_.systemAudioLevelDb);
    } else if (room_.systemAudio != "silence") {
        im.loop = readWav(room_.systemAudio);
        const auto resampled = im.loop ? resampledFrames(*im.loop, room_.sampleRate) : std::nullopt;
        if (resampled) {
            // Keep it stereo at the world rate (nearest sample is fine for a background loop).
            WavData st;
            st.rate = room_.sampleRate;
            st.channels = 2;
            const std::size_t inFrames =
                im.loop->samples.size() / static_cast<std::size_t>(im.loop->channels);
            const std::size_t frames = *resampled;
            st.samples.resize(frames * 2);
            for (std::size_t f = 0; f < frames; ++f) {
                const auto src = std::min(
                    inFrames - 1, static_cast<std::size_t>(static_cast<double>(f) * im.loop->rate /
                                                           room_.sampleRate));
                for (int c = 0; c < 2; ++c)
                    st.samples[f * 2 + static_cast<std::size_t>(c)] =
                        im.loop
                            ->samples[src * static_cast<std::size_t>(im.loop->channels) +
                                      static_cast<std::size_t>(std::min(c, im.loop->channels - 1))];
            }
            im.loop = frames ? std::optional<WavData>(std::move(st)) : std::nullopt;
        } else {
            im.loop.reset();
        }
    }

    auto addProcess = [&](std::int32_t pid) {
        auto o = std::make_unique<Object>();
        o->id = newId();
        o->kind = Object::Kind::process;
        o->pid = pid;
        const AudioObjectID id = o->id;
        im.objects.emplace(id, std::move(o));
        return id;
    };
    ownProcess_ = addProcess(static_cast<std::int32_t>(getpid()));
    im.musicProcess = addProcess(musicPid);
    im.playerProcess = addProcess(playerPid);

    {
        std::lock_guard lock(mutex_);
        for (const auto& o : room_.outputs)
            addOutputLocked(o);
        for (const auto& i : room_.inputs)
            addInputLocked(i);
        if (room_.defaultOutput) {
            if (auto id = idForUIDLocked(*room_.defaultOutput)) im.defaultOut = *id;
        }
        if (room_.defaultInput) {
            for (const auto& [id, o] : im.objects)
                if (o->kind == Object::Kind::device && o->uid == *room_.defaultInput &&
                    o->inChannels > 0)
                    im.defaultIn = id;
        }
        if (!im.defaultOut && !room_.outputs.empty())
            im.defaultOut = idForUIDLocked(room_.outputs.front().uid).value_or(0);
        if (!im.defaultIn && !room_.inputs.empty())
            im.defaultIn = idForUIDLocked(room_.inputs.front().uid).value_or(0);
    }
    micPermission_ = std::make_unique<SimMicPermission>(*this);
    player_ = std::make_unique<SimPlayer>(*this);
    if (options.startWorld) startWorld();
}

SimAudioSystem::~SimAudioSystem() {
    player_->terminate();
    stopWorld();
    stopRecording();
}

AudioObjectID SimAudioSystem::newId() {
    return impl_->nextId++;
}

SimAudioSystem::Object* SimAudioSystem::find(AudioObjectID id) {
    const auto it = impl_->objects.find(id);
    return it == impl_->objects.end() ? nullptr : it->second.get();
}
const SimAudioSystem::Object* SimAudioSystem::find(AudioObjectID id) const {
    const auto it = impl_->objects.find(id);
    return it == impl_->objects.end() ? nullptr : it->second.get();
}

std::optional<AudioObjectID> SimAudioSystem::idForUIDLocked(const std::string& uid) const {
    for (AudioObjectID id : impl_->deviceOrder) {
        const Object* o = find(id);
        if (!o) continue;
        const auto* u = o->prop(sel::deviceUID, scope::global, 0);
        if (u && std::string(u->begin(), u->end()) == uid) return id;
    }
    return std::nullopt;
}

std::optional<AudioObjectID> SimAudioSystem::idForUID(const std::string& uid) const {
    std::lock_guard lock(mutex_);
    return idForUIDLocked(uid);
}

void SimAudioSystem::rebuildStreams(Object& o) {
    auto conf = [](int ch) {
        return ch > 0 ? std::vector<std::uint32_t>{static_cast<std::uint32_t>(ch)}
                      : std::vector<std::uint32_t>{};
    };
    o.props[{sel::streamConfiguration, scope::output, 0}] = {streamConfig(conf(o.outChannels)),
                                                             false};
    o.props[{sel::streamConfiguration, scope::input, 0}] = {streamConfig(conf(o.inChannels)),
                                                            false};
}

void SimAudioSystem::redrawJitter(Object& d) {
    double j = 0;
    if (d.out.jitterMs > 0) {
        std::uniform_real_distribution<double> u(-d.out.jitterMs, d.out.jitterMs);
        j = u(impl_->jitterRng);
    }
    d.drawnLatencyMs = std::max(0.0, d.out.latencyMs + j);
}

AudioObjectID SimAudioSystem::addOutputLocked(const OutputSpec& device) {
    auto o = std::make_unique<Object>();
    o->id = newId();
    o->kind = Object::Kind::device;
    o->uid = device.uid;
    o->out = device;
    o->outChannels = device.channels;
    o->props[{sel::name, scope::global, 0}] = {bytesOf(device.name), false};
    o->props[{sel::deviceUID, scope::global, 0}] = {bytesOf(device.uid), false};
    o->props[{sel::transportType, scope::global, 0}] = {bytesOf(device.transport), false};
    o->props[{sel::nominalSampleRate, scope::global, 0}] = {
        bytesOf(device.rate.value_or(room_.sampleRate)), true};
    if (device.hasVolume) {
        o->props[{sel::virtualMainVolume, scope::output, 0}] = {
            bytesOf(static_cast<float>(device.volume)), true};
        for (AudioElement e = 1; e <= static_cast<AudioElement>(device.channels); ++e)
            o->props[{sel::volumeScalar, scope::output, e}] = {bytesOf(1.0f), true};
    }
    if (device.hasMute)
        o->props[{sel::mute, scope::output, 0}] = {bytesOf<std::uint32_t>(device.muted ? 1 : 0),
                                                   true};
    rebuildStreams(*o);
    redrawJitter(*o);
    const std::size_t size = outputHistoryFrames(device, room_.sampleRate, room_.bufferFrames);
    o->history.assign(size, 0.f);
    o->historyMask = size - 1;
    o->acc.assign(static_cast<std::size_t>(room_.bufferFrames) *
                      static_cast<std::size_t>(std::max(device.channels, 1)),
                  0.f);
    const AudioObjectID id = o->id;
    impl_->objects.emplace(id, std::move(o));
    impl_->deviceOrder.push_back(id);
    return id;
}

AudioObjectID SimAudioSystem::addInputLocked(const InputSpec& device) {
    // An input sharing an output's UID is that device's input side (a headset).
    for (AudioObjectID id : impl_->deviceOrder) {
        Object* o = find(id);
        if (o && o->kind == Object::Kind::device && o->uid == device.uid) {
            o->inChannels = device.channels;
            o->noiseRms = device.noiseRms;
            o->noiseRng.seed(room_.seed * 1000003 + id);
            rebuildStreams(*o);
            return id;
        }
    }
    auto o = std::make_unique<Object>();
    o->id = newId();
    o->kind = Object::Kind::device;
    o->uid = device.uid;
    o->inChannels = device.channels;
    o->noiseRms = device.noiseRms;
    o->noiseRng.seed(room_.seed * 1000003 + o->id);
    o->props[{sel::name, scope::global, 0}] = {bytesOf(device.name), false};
    o->props[{sel::deviceUID, scope::global, 0}] = {bytesOf(device.uid), false};
    o->props[{sel::transportType, scope::global, 0}] = {bytesOf(device.transport), false};
    o->props[{sel::nominalSampleRate, scope::global, 0}] = {bytesOf(room_.sampleRate), true};
    rebuildStreams(*o);
    const AudioObjectID id = o->id;
    impl_->objects.emplace(id, std::move(o));
    impl_->deviceOrder.push_back(id);
    return id;
}

AudioObjectID SimAudioSystem::addOutput(const OutputSpec& device) {
    std::lock_guard lock(mutex_);
    return addOutputLocked(device);
}

AudioObjectID SimAudioSystem::addInput(const InputSpec& device) {
    std::lock_guard lock(mutex_);
    const AudioObjectID id = addInputLocked(device);
    if (!impl_->defaultIn) impl_->defaultIn = id;
    return id;
}

AudioObjectID SimAudioSystem::addRawDevice(const RawDevice& d) {
    std::lock_guard lock(mutex_);
    auto o = std::make_unique<Object>();
    o->id = newId();
    o->kind = Object::Kind::device;
    o->uid = d.uid.value_or("");
    o->outChannels = d.outputChannels;
    o->inChannels = d.inputChannels;
    if (d.name) o->props[{sel::name, scope::global, 0}] = {bytesOf(*d.name), false};
    if (d.uid) o->props[{sel::deviceUID, scope::global, 0}] = {bytesOf(*d.uid), false};
    if (d.transport)
        o->props[{sel::transportType, scope::global, 0}] = {bytesOf(*d.transport), false};
    o->props[{sel::nominalSampleRate, scope::global, 0}] = {bytesOf(room_.sampleRate), true};
    rebuildStreams(*o);
    o->out.level = 0;  // not placed in the room
    o->history.assign(1, 0.f);
    o->acc.assign(static_cast<std::size_t>(room_.bufferFrames) *
                      static_cast<std::size_t>(std::max(d.outputChannels, 1)),
                  0.f);
    const AudioObjectID id = o->id;
    impl_->objects.emplace(id, std::move(o));
    impl_->deviceOrder.push_back(id);
    return id;
}

bool SimAudioSystem::removeDevice(const std::string& uid) {
    std::lock_guard lock(mutex_);
    auto id = idForUIDLocked(uid);
    if (!id) return false;
    Object* o = find(*id);
    if (!o || o->kind != Object::Kind::device) return false;
    // Callbacks on a vanished device stop; their ids stay valid for destroyIOProcID.
    for (auto& [pid, p] : impl_->procs)
        if (p->device == *id) p->started = false;
    impl_->objects.erase(*id);
    std::erase(impl_->deviceOrder, *id);
    auto firstWith = [&](bool output) -> AudioObjectID {
        for (AudioObjectID d : impl_->deviceOrder) {
            const Object* x = find(d);
            if (x && x->kind == Object::Kind::device &&
                (output ? x->outChannels : x->inChannels) > 0)
                return d;
        }
        return 0;
    };
    if (impl_->defaultOut == *id) impl_->defaultOut = firstWith(true);
    if (impl_->defaultIn == *id) impl_->defaultIn = firstWith(false);
    return true;
}

void SimAudioSystem::setRawProperty(AudioObjectID object, const PropertyAddress& a,
                                    std::vector<std::uint8_t> bytes, bool settable) {
    std::lock_guard lock(mutex_);
    if (Object* o = find(object)) o->props[keyOf(a)] = {std::move(bytes), settable};
}

void SimAudioSystem::removeProperty(AudioObjectID object, const PropertyAddress& a) {
    std::lock_guard lock(mutex_);
    if (Object* o = find(object)) o->props.erase(keyOf(a));
}

void SimAudioSystem::injectFault(const Fault& f) {
    std::lock_guard lock(mutex_);
    impl_->faults.push_back(f);
}

void SimAudioSystem::clearFaults() {
    std::lock_guard lock(mutex_);
    impl_->faults.clear();
}

bool SimAudioSystem::faulted(Call call, AudioObjectID object, std::optional<AudioSelector> selector,
                             OSStatus& st) {
    for (auto it = impl_->faults.begin(); it != impl_->faults.end(); ++it) {
        if (it->call != call) continue;
        if (it->object && *it->object != object) continue;
        if (it->selector && selector && *it->selector != *selector) continue;
        st = it->status;
        if (it->count > 0 && --it->count == 0) impl_->faults.erase(it);
        return true;
    }
    return false;
}

void SimAudioSystem::setTapDelivery(TapDelivery d) {
    std::lock_guard lock(mutex_);
    impl_->tapDelivery = d;
}

void SimAudioSystem::setRefusesCallback(AudioObjectID device, bool refuses) {
    std::lock_guard lock(mutex_);
    if (Object* o = find(device)) o->refuses = refuses;
}

void SimAudioSystem::setSystemAudioPermission(SystemAudioPermission p) {
    std::lock_guard lock(mutex_);
    impl_->sysPermission = p;
}

void SimAudioSystem::setSystemSource(SourceFn source) {
    std::lock_guard lock(mutex_);
    impl_->testSource = std::move(source);
}

std::vector<AudioObjectID> SimAudioSystem::tapIDs() const {
    std::lock_guard lock(mutex_);
    std::vector<AudioObjectID> ids;
    for (const auto& [id, o] : impl_->objects)
        if (o->kind == Object::Kind::tap) ids.push_back(id);
    return ids;
}

std::vector<AudioObjectID> SimAudioSystem::aggregateIDs() const {
    std::lock_guard lock(mutex_);
    std::vector<AudioObjectID> ids;
    for (const auto& [id, o] : impl_->objects)
        if (o->kind == Object::Kind::aggregate) ids.push_back(id);
    return ids;
}

std::optional<TapDescription> SimAudioSystem::tapDescription(AudioObjectID tap) const {
    std::lock_guard lock(mutex_);
    const Object* o = find(tap);
    if (!o || o->kind != Object::Kind::tap) return std::nullopt;
    return o->tap;
}

std::optional<AggregateDescription> SimAudioSystem::aggregateDescription(
    AudioObjectID device) const {
    std::lock_guard lock(mutex_);
    const Object* o = find(device);
    if (!o || o->kind != Object::Kind::aggregate) return std::nullopt;
    return o->desc;
}

int SimAudioSystem::defaultOutputLosses() const {
    std::lock_guard lock(mutex_);
    return impl_->defaultOutputLosses;
}

std::size_t SimAudioSystem::ioProcCount() const {
    std::lock_guard lock(mutex_);
    return impl_->procs.size();
}

std::size_t SimAudioSystem::runningIOProcCount() const {
    std::lock_guard lock(mutex_);
    std::size_t n = 0;
    for (const auto& [id, p] : impl_->procs)
        n += p->started ? 1 : 0;
    return n;
}

std::optional<std::int64_t> SimAudioSystem::roomDelayFrames(const std::string& uid) const {
    std::lock_guard lock(mutex_);
    for (AudioObjectID id : impl_->deviceOrder) {
        const Object* o = find(id);
        if (o && o->kind == Object::Kind::device && o->uid == uid && o->outChannels > 0)
            return std::llround((o->drawnLatencyMs / 1000.0 + o->out.distanceM / kSpeedOfSound) *
                                room_.sampleRate);
    }
    return std::nullopt;
}

// ---- Properties -------------------------------------------------------------------------------

std::vector<SimAudioSystem::Object*> SimAudioSystem::membersOf(const Object& agg) {
    std::vector<Object*> out;
    for (const auto& sd : agg.desc.subdevices) {
        for (AudioObjectID id : impl_->deviceOrder) {
            Object* o = find(id);
            if (o && o->kind == Object::Kind::device && o->uid == sd.uid) {
                out.push_back(o);
                break;
            }
        }
    }
    return out;
}

std::optional<std::vector<std::uint8_t>> SimAudioSystem::propBytes(AudioObjectID object,
                                                                   const PropertyAddress& a,
                                                                   std::uint32_t qualSize,
                                                                   const void* qual) {
    if (object == systemObject) {
        if (a.scope != scope::global || a.element != 0) return std::nullopt;
        switch (a.selector) {
            case sel::devices: {
                std::vector<std::uint8_t> b;
                for (AudioObjectID id : impl_->deviceOrder) {
                    const auto v = bytesOf(id);
                    b.insert(b.end(), v.begin(), v.end());
                }
                return b;
            }
            case sel::defaultOutput:
                return bytesOf(impl_->defaultOut);
            case sel::defaultInput:
                return bytesOf(impl_->defaultIn);
            case sel::translateUIDToDevice: {
                if (!qual && qualSize) return std::nullopt;
                const std::string uid(static_cast<const char*>(qual), qualSize);
                return bytesOf(idForUIDLocked(uid).value_or(0));
            }
            case sel::translatePIDToProcessObject: {
                if (qualSize != sizeof(std::int32_t) || !qual) return std::nullopt;
                std::int32_t pid;
                std::memcpy(&pid, qual, sizeof pid);
                AudioObjectID found = 0;
                for (const auto& [id, o] : impl_->objects)
                    if (o->kind == Object::Kind::process && o->pid == pid) found = id;
                return bytesOf(found);
            }
            default:
                return std::nullopt;
        }
    }
    Object* o = find(object);
    if (!o) return std::nullopt;
    if (o->kind == Object::Kind::aggregate && a.selector == sel::streamConfiguration &&
        a.element == 0) {
        std::vector<std::uint32_t> streams;
        const auto members = membersOf(*o);
        if (a.scope == scope::output) {
            if (o->desc.stacked) {
                int ch = 0;
                for (const Object* m : members)
                    ch = std::max(ch, m->outChannels);
                if (ch > 0) streams.push_back(static_cast<std::uint32_t>(ch));
            } else {
                for (const Object* m : members)
                    if (m->outChannels > 0)
                        streams.push_back(static_cast<std::uint32_t>(m->outChannels));
            }
        } else if (a.scope == scope::input) {
            if (o->desc.taps)
                for (std::size_t i = 0; i < o->desc.taps->size(); ++i)
                    streams.push_back(2);
            for (const Object* m : members)
                if (m->inChannels > 0) streams.push_back(static_cast<std::uint32_t>(m->inChannels));
        } else {
            return std::nullopt;
        }
        return streamConfig(streams);
    }
    const auto* b = o->prop(a.selector, a.scope, a.element);
    if (!b) return std::nullopt;
    return *b;
}

bool SimAudioSystem::hasProperty(AudioObjectID object, const PropertyAddress& a) {
    std::lock_guard lock(mutex_);
    OSStatus st;
    if (faulted(Call::hasProperty, object, a.selector, st)) return false;
    if (object == systemObject)
        return a.selector == sel::devices || a.selector == sel::defaultOutput ||
               a.selector == sel::defaultInput || a.selector == sel::translateUIDToDevice ||
               a.selector == sel::translatePIDToProcessObject;
    const Object* o = find(object);
    if (!o) return false;
    if (o->kind == Object::Kind::aggregate && a.selector == sel::streamConfiguration) return true;
    return o->prop(a.selector, a.scope, a.element) != nullptr;
}

OSStatus SimAudioSystem::getPropertyDataSize(AudioObjectID object, const PropertyAddress& a,
                                             std::uint32_t qualSize, const void* qual,
                                             std::uint32_t& outSize) {
    std::lock_guard lock(mutex_);
    OSStatus st;
    if (faulted(Call::getPropertyDataSize, object, a.selector, st)) return st;
    if (object != systemObject && !find(object)) return status::badObject;
    const auto b = propBytes(object, a, qualSize, qual);
    if (!b) return status::unknownProperty;
    outSize = static_cast<std::uint32_t>(b->size());
    return noErr;
}

OSStatus SimAudioSystem::getPropertyData(AudioObjectID object, const PropertyAddress& a,
                                         std::uint32_t qualSize, const void* qual,
                                         std::uint32_t& ioSize, void* outData) {
    std::lock_guard lock(mutex_);
    OSStatus st;
    if (faulted(Call::getPropertyData, object, a.selector, st)) return st;
    if (object != systemObject && !find(object)) return status::badObject;
    const auto b = propBytes(object, a, qualSize, qual);
    if (!b) return status::unknownProperty;
    // Scalars must fit whole; lists and strings are cut to the caller's buffer.
    if (b->size() <= 8 && ioSize < b->size() && a.selector != sel::name &&
        a.selector != sel::deviceUID)
        return status::badPropertySize;
    const auto n = std::min<std::size_t>(ioSize, b->size());
    if (n) std::memcpy(outData, b->data(), n);
    ioSize = static_cast<std::uint32_t>(n);
    return noErr;
}

OSStatus SimAudioSystem::setPropertyData(AudioObjectID object, const PropertyAddress& a,
                                         std::uint32_t, const void*, std::uint32_t dataSize,
                                         const void* data) {
    std::lock_guard lock(mutex_);
    OSStatus st;
    if (faulted(Call::setPropertyData, object, a.selector, st)) return st;
    if (object == systemObject) {
        if (a.selector != sel::defaultOutput && a.selector != sel::defaultInput)
            return status::unknownProperty;
        if (dataSize != sizeof(AudioObjectID)) return status::badPropertySize;
        AudioObjectID id;
        std::memcpy(&id, data, sizeof id);
        const Object* o = find(id);
        if (!o || (o->kind != Object::Kind::device && o->kind != Object::Kind::aggregate))
            return status::badObject;
        (a.selector == sel::defaultOutput ? impl_->defaultOut : impl_->defaultIn) = id;
        return noErr;
    }
    Object* o = find(object);
    if (!o) return status::badObject;
    const auto it = o->props.find(keyOf(a));
    if (it == o->props.end()) return status::unknownProperty;
    if (!it->second.settable) return status::illegalOperation;
    if (it->second.bytes.size() != dataSize) return status::badPropertySize;
    std::memcpy(it->second.bytes.data(), data, dataSize);
    return noErr;
}

// ---- Aggregates and taps ----------------------------------------------------------------------

OSStatus SimAudioSystem::createAggregateDevice(const AggregateDescription& d, AudioObjectID& out) {
    std::lock_guard lock(mutex_);
    out = 0;
    OSStatus st;
    if (faulted(Call::createAggregate, 0, std::nullopt, st)) return st;
    if (d.uid.empty() || idForUIDLocked(d.uid)) return status::illegalOperation;
    auto o = std::make_unique<Object>();
    o->id = newId();
    o->kind = Object::Kind::aggregate;
    o->uid = d.uid;
    o->desc = d;
    o->props[{sel::name, scope::global, 0}] = {bytesOf(d.name), false};
    o->props[{sel::deviceUID, scope::global, 0}] = {bytesOf(d.uid), false};
    o->props[{sel::transportType, scope::global, 0}] = {bytesOf(transport::aggregate), false};
    o->props[{sel::nominalSampleRate, scope::global, 0}] = {bytesOf(room_.sampleRate), true};
    out = o->id;
    impl_->objects.emplace(out, std::move(o));
    impl_->deviceOrder.push_back(out);
    return noErr;
}

OSStatus SimAudioSystem::destroyAggregateDevice(AudioObjectID device) {
    std::lock_guard lock(mutex_);
    OSStatus st;
    if (faulted(Call::destroyAggregate, device, std::nullopt, st)) return st;
    const Object* o = find(device);
    if (!o || o->kind != Object::Kind::aggregate) return status::badObject;
    for (auto& [id, p] : impl_->procs)
        if (p->device == device) p->started = false;
    impl_->objects.erase(device);
    std::erase(impl_->deviceOrder, device);
    if (impl_->defaultOut == device) {
        ++impl_->defaultOutputLosses;
        impl_->defaultOut = 0;
        for (AudioObjectID id : impl_->deviceOrder) {
            const Object* x = find(id);
            if (x && x->kind == Object::Kind::device && x->outChannels > 0) {
                impl_->defaultOut = id;
                break;
            }
        }
    }
    return noErr;
}

OSStatus SimAudioSystem::createProcessTap(const TapDescription& d, AudioObjectID& out) {
    std::lock_guard lock(mutex_);
    out = 0;
    OSStatus st;
    if (faulted(Call::createTap, 0, std::nullopt, st)) return st;
    if (impl_->sysPermission == SystemAudioPermission::refused)
        return static_cast<OSStatus>(fourcc("!hog"));
    auto o = std::make_unique<Object>();
    o->id = newId();
    o->kind = Object::Kind::tap;
    o->tap = d;
    o->uid = d.uuid;
    AudioStreamBasicDescription f{};
    f.mSampleRate = room_.sampleRate;
    f.mFormatID = fourcc("lpcm");
    f.mFormatFlags = 1 | 8;  // float, packed
    f.mBytesPerPacket = 8;
    f.mFramesPerPacket = 1;
    f.mBytesPerFrame = 8;
    f.mChannelsPerFrame = 2;
    f.mBitsPerChannel = 32;
    o->props[{sel::tapFormat, scope::global, 0}] = {bytesOf(f), false};
    o->props[{sel::deviceUID, scope::global, 0}] = {bytesOf(d.uuid), false};
    out = o->id;
    impl_->objects.emplace(out, std::move(o));
    return noErr;
}

OSStatus SimAudioSystem::destroyProcessTap(AudioObjectID tap) {
    std::lock_guard lock(mutex_);
    OSStatus st;
    if (faulted(Call::destroyTap, tap, std::nullopt, st)) return st;
    const Object* o = find(tap);
    if (!o || o->kind != Object::Kind::tap) return status::badObject;
    impl_->objects.erase(tap);
    return noErr;
}

// ---- I/O callbacks ----------------------------------------------------------------------------

OSStatus SimAudioSystem::createIOProcID(AudioObjectID device, AudioDeviceIOProc proc,
                                        void* clientData, AudioDeviceIOProcID& outID) {
    std::lock_guard lock(mutex_);
    outID = 0;
    OSStatus st;
    if (faulted(Call::createIOProc, device, std::nullopt, st)) return st;
    const Object* o = find(device);
    if (!o || (o->kind != Object::Kind::device && o->kind != Object::Kind::aggregate))
        return status::badObject;
    if (!proc) return status::illegalOperation;
    auto p = std::make_unique<Proc>();
    p->id = impl_->nextProc++;
    p->device = device;
    p->fn = proc;
    p->client = clientData;
    outID = p->id;
    impl_->procs.emplace(outID, std::move(p));
    return noErr;
}

OSStatus SimAudioSystem::destroyIOProcID(AudioObjectID device, AudioDeviceIOProcID id) {
    std::lock_guard lock(mutex_);
    OSStatus st;
    if (faulted(Call::destroyIOProc, device, std::nullopt, st)) return st;
    const auto it = impl_->procs.find(id);
    if (it == impl_->procs.end() || it->second->device != device) return status::badObject;
    impl_->procs.erase(it);
    return noErr;
}

OSStatus SimAudioSystem::deviceStart(AudioObjectID device, AudioDeviceIOProcID id) {
    std::lock_guard lock(mutex_);
    OSStatus st;
    if (faulted(Call::deviceStart, device, std::nullopt, st)) return st;
    const auto it = impl_->procs.find(id);
    Object* o = find(device);
    if (it == impl_->procs.end() || it->second->device != device || !o) return status::badObject;
    if (!it->second->started) {
        it->second->started = true;
        it->second->sampleTime = 0;
        // Bluetooth-style links settle on a new latency every time they start playing.
        if (o->kind == Object::Kind::aggregate) {
            for (Object* m : membersOf(*o))
                redrawJitter(*m);
        } else if (o->outChannels > 0) {
            redrawJitter(*o);
        }
    }
    return noErr;
}

OSStatus SimAudioSystem::deviceStop(AudioObjectID device, AudioDeviceIOProcID id) {
    std::lock_guard lock(mutex_);  // waits for a buffer in progress: the callback is then done
    OSStatus st;
    if (faulted(Call::deviceStop, device, std::nullopt, st)) return st;
    const auto it = impl_->procs.find(id);
    if (it == impl_->procs.end() || it->second->device != device) return status::badObject;
    it->second->started = false;
    return noErr;
}

// ---- The world --------------------------------------------------------------------------------

namespace {

// Adds a stereo signal to a device's interleaved channels: even channels take the left side, odd
// ones the right; a one-channel device takes the average.
void addStereo(float* acc, int channels, const float* stereo, int frames) {
    if (channels <= 0) return;
    for (int f = 0; f < frames; ++f) {
        const float l = stereo[2 * f], r = stereo[2 * f + 1];
        float* dst = acc + static_cast<std::ptrdiff_t>(f) * channels;
        if (channels == 1) {
            dst[0] += 0.5f * (l + r);
        } else {
            for (int c = 0; c < channels; ++c)
                dst[c] += (c & 1) ? r : l;
        }
    }
}

}  // namespace

void SimAudioSystem::renderBuffer() {
    auto& im = *impl_;
    const int n = room_.bufferFrames;
    const auto nz = static_cast<std::size_t>(n);
    const std::int64_t t = frame_.load(std::memory_order_relaxed);
    const double rate = room_.sampleRate;

    // 1. What the client programs play.
    std::fill(im.musicBuf.begin(), im.musicBuf.end(), 0.f);
    if (im.testSource) {
        im.testSource(t, im.musicBuf.data(), n);
    } else if (im.music) {
        im.music->render(im.musicBuf.data(), n);
    } else if (im.loop) {
        const auto& s = im.loop->samples;
        const std::size_t frames = s.size() / 2;
        for (std::size_t f = 0; f < nz; ++f) {
            im.musicBuf[2 * f] = s[2 * im.loopPos];
            im.musicBuf[2 * f + 1] = s[2 * im.loopPos + 1];
            im.loopPos = (im.loopPos + 1) % frames;
        }
    }
    std::fill(im.playerBuf.begin(), im.playerBuf.end(), 0.f);
    for (auto& p : im.plays) {
        for (std::size_t f = 0; f < nz && p->pos < p->stereo.size() / 2; ++f, ++p->pos) {
            im.playerBuf[2 * f] += p->stereo[2 * p->pos];
            im.playerBuf[2 * f + 1] += p->stereo[2 * p->pos + 1];
        }
        if (p->pos >= p->stereo.size() / 2) p->finished = true;
    }
    std::erase_if(im.plays, [](const auto& p) { return p->finished; });
    if (im.mixCapture.size() < im.mixWanted) {
        for (std::size_t i = 0; i < nz * 2 && im.mixCapture.size() < im.mixWanted; ++i)
            im.mixCapture.push_back(im.musicBuf[i] + im.playerBuf[i]);
    }

    // 2. Which taps are read now, and whose audio they silence at its normal output.
    auto excludes = [](const Object& tap, AudioObjectID process) {
        const auto& ex = tap.tap.excludedProcesses;
        return std::find(ex.begin(), ex.end(), process) != ex.end();
    };
    std::set<AudioObjectID> runningTaps;
    for (const auto& [pid, p] : im.procs) {
        if (!p->started) continue;
        const Object* d = find(p->device);
        if (!d || d->kind != Object::Kind::aggregate || d->refuses) continue;
        if (!d->desc.taps || d->desc.tapAutoStart.value_or(0) != 1) continue;
        for (const auto& tr : *d->desc.taps)
            for (const auto& [id, o] : im.objects)
                if (o->kind == Object::Kind::tap && o->tap.uuid == tr.uid) runningTaps.insert(id);
    }
    bool musicMuted = false, playerMuted = false;
    for (const auto& [id, o] : im.objects) {
        if (o->kind != Object::Kind::tap) continue;
        const auto mb = o->tap.muteBehavior;
        const bool silencing = mb == TapMuteBehavior::muted ||
                               (mb == TapMuteBehavior::mutedWhenTapped && runningTaps.count(id));
        if (!silencing) continue;
        musicMuted = musicMuted || !excludes(*o, im.musicProcess);
        playerMuted = playerMuted || !excludes(*o, im.playerProcess);
    }
    for (std::size_t i = 0; i < nz * 2; ++i)
        im.normalMix[i] =
            (musicMuted ? 0.f : im.musicBuf[i]) + (playerMuted ? 0.f : im.playerBuf[i]);

    // 3. Clear every speaker's buffer, then play the system mix on the default output.
    for (AudioObjectID id : im.deviceOrder) {
        Object* o = find(id);
        if (o && o->kind == Object::Kind::device) std::fill(o->acc.begin(), o->acc.end(), 0.f);
    }
    if (Object* def = find(im.defaultOut)) {
        if (def->kind == Object::Kind::device) {
            addStereo(def->acc.data(), def->outChannels, im.normalMix.data(), n);
        } else if (def->kind == Object::Kind::aggregate) {
            const auto members = membersOf(*def);
            if (def->desc.stacked) {
                for (Object* m : members)
                    addStereo(m->acc.data(), m->outChannels, im.normalMix.data(), n);
            } else {
                for (Object* m : members)
                    if (m->outChannels > 0) {
                        addStereo(m->acc.data(), m->outChannels, im.normalMix.data(), n);
                        break;
                    }
            }
        }
    }

    // 4. Every running I/O callback, with buffer lists laid out as the devices present them.
    const std::uint64_t hostNs = static_cast<std::uint64_t>(static_cast<double>(t) / rate * 1e9);
    for (auto& [pid, pp] : im.procs) {
        Proc& p = *pp;
        if (!p.started) continue;
        Object* d = find(p.device);
        if (!d || d->refuses) continue;

        struct Stream {
            Object* dev;  // where output goes, or whose input it records; null for a tap
            int channels;
            const Object* tap;
        };
        std::vector<Stream> ins, outs;
        std::vector<Object*> members;
        if (d->kind == Object::Kind::aggregate) {
            members = membersOf(*d);
            if (d->desc.taps && im.tapDelivery != TapDelivery::nothing) {
                for (const auto& tr : *d->desc.taps) {
                    const Object* tap = nullptr;
                    for (const auto& [id, o] : im.objects)
                        if (o->kind == Object::Kind::tap && o->tap.uuid == tr.uid) tap = o.get();
                    ins.push_back({nullptr, 2, tap});
                }
            }
            for (Object* m : members)
                if (m->inChannels > 0) ins.push_back({m, m->inChannels, nullptr});
            if (d->desc.stacked) {
                int ch = 0;
                for (Object* m : members)
                    ch = std::max(ch, m->outChannels);
                if (ch > 0) outs.push_back({nullptr, ch, nullptr});
            } else {
                for (Object* m : members)
                    if (m->outChannels > 0) outs.push_back({m, m->outChannels, nullptr});
            }
        } else {
            if (d->inChannels > 0) ins.push_back({d, d->inChannels, nullptr});
            if (d->outChannels > 0) outs.push_back({d, d->outChannels, nullptr});
        }

        auto layout = [&](const std::vector<Stream>& streams, BufferListStorage& storage,
                          std::vector<float>& data) {
            std::size_t total = 0;
            for (const auto& s : streams)
                total += static_cast<std::size_t>(s.channels) * nz;
            if (data.size() != total) data.assign(total, 0.f);
            if (storage.list()->mNumberBuffers != streams.size())
                storage.resize(static_cast<std::uint32_t>(streams.size()));
            std::size_t off = 0;
            for (std::size_t i = 0; i < streams.size(); ++i) {
                auto& b = storage.list()->buffers()[i];
                b.mNumberChannels = static_cast<std::uint32_t>(streams[i].channels);
                b.mDataByteSize = static_cast<std::uint32_t>(streams[i].channels * n * 4);
                b.mData = data.data() + off;
                off += static_cast<std::size_t>(streams[i].channels) * nz;
            }
        };
        layout(ins, p.in, p.inData);
        layout(outs, p.out, p.outData);

        // Inputs: a tap's stream carries the mix of the processes it does not exclude; a device's
        // input records the listening position one buffer ago plus its own noise.
        std::size_t off = 0;
        for (const auto& s : ins) {
            float* dst = p.inData.data() + off;
            const auto ch = static_cast<std::size_t>(s.channels);
            if (!s.dev) {
                const bool silent = !s.tap || im.tapDelivery == TapDelivery::silence ||
                                    im.sysPermission == SystemAudioPermission::silent;
                const bool takeMusic = s.tap && !excludes(*s.tap, im.musicProcess);
                const bool takePlayer = s.tap && !excludes(*s.tap, im.playerProcess);
                for (std::size_t i = 0; i < nz * 2; ++i)
                    dst[i] = silent ? 0.f
                                    : (takeMusic ? im.musicBuf[i] : 0.f) +
                                          (takePlayer ? im.playerBuf[i] : 0.f);
            } else {
                std::normal_distribution<float> noise(0.f, static_cast<float>(s.dev->noiseRms));
                for (std::size_t f = 0; f < nz; ++f)
                    for (std::size_t c = 0; c < ch; ++c)
                        dst[f * ch + c] = im.prevListening[f] +
                                          (s.dev->noiseRms > 0 ? noise(s.dev->noiseRng) : 0.f);
            }
            off += ch * nz;
        }
        std::fill(p.outData.begin(), p.outData.end(), 0.f);

        AudioTimeStamp now{p.sampleTime, hostNs};
        AudioTimeStamp inTime{p.sampleTime - n, hostNs};
        AudioTimeStamp outTime{p.sampleTime, hostNs};
        {
            RealtimeScope rt;
            p.fn(p.device, &now, p.in.list(), &inTime, p.out.list(), &outTime, p.client);
        }
        p.sampleTime += n;

        off = 0;
        for (const auto& s : outs) {
            const float* src = p.outData.data() + off;
            const auto ch = static_cast<std::size_t>(s.channels);
            auto addTo = [&](Object* m) {
                const auto mc = static_cast<std::size_t>(m->outChannels);
                for (std::size_t f = 0; f < nz; ++f)
                    for (std::size_t c = 0; c < std::min(ch, mc); ++c)
                        m->acc[f * mc + c] += src[f * ch + c];
            };
            if (s.dev) {
                addTo(s.dev);
            } else {
                for (Object* m : members)
                    addTo(m);  // stacked: every member plays the same
            }
            off += ch * nz;
        }
    }

    // 5. The room: volume and mute, latency, distance and reflections, summed at the listener.
    std::fill(im.listening.begin(), im.listening.end(), 0.f);
    for (AudioObjectID id : im.deviceOrder) {
        Object* o = find(id);
        if (!o || o->kind != Object::Kind::device || o->outChannels <= 0 || o->history.size() < 2)
            continue;
        const auto ch = static_cast<std::size_t>(o->outChannels);
        float main = 1.f;
        if (const auto* v = o->prop(sel::virtualMainVolume, scope::output, 0))
            main = valueOf(*v, 1.f);
        if (const auto* m = o->prop(sel::mute, scope::output, 0);
            m && valueOf<std::uint32_t>(*m, 0))
            main = 0.f;
        float chGain[64];
        for (std::size_t c = 0; c < std::min<std::size_t>(ch, 64); ++c) {
            const auto* v =
                o->prop(sel::volumeScalar, scope::output, static_cast<AudioElement>(c + 1));
            chGain[c] = main * (v ? valueOf(*v, 1.f) : 1.f);
        }
        const std::size_t mask = o->historyMask;
        for (std::size_t f = 0; f < nz; ++f) {
            float sum = 0;
            for (std::size_t c = 0; c < ch; ++c)
                sum += o->acc[f * ch + c] * chGain[std::min<std::size_t>(c, 63)];
            o->history[static_cast<std::size_t>(t + static_cast<std::int64_t>(f)) & mask] =
                sum / static_cast<float>(ch);
        }
        const auto level = static_cast<float>(o->out.level);
        const auto delay =
            std::llround((o->drawnLatencyMs / 1000.0 + o->out.distanceM / kSpeedOfSound) * rate);
        auto addPath = [&](std::int64_t d, float gain) {
            for (std::size_t f = 0; f < nz; ++f) {
                const std::int64_t pos = t + static_cast<std::int64_t>(f) - d;
                if (pos >= 0)
                    im.listening[f] += gain * o->history[static_cast<std::size_t>(pos) & mask];
            }
        };
        addPath(delay, level);
        for (const auto& r : o->out.reflections)
            addPath(delay + std::llround(r.delayMs / 1000.0 * rate),
                    level * static_cast<float>(r.level));
    }
    if (im.listenCapture.size() < im.listenWanted) {
        for (std::size_t f = 0; f < nz && im.listenCapture.size() < im.listenWanted; ++f)
            im.listenCapture.push_back(im.listening[f]);
    }
    if (im.recorder) im.recorder->write(im.listening.data(), nz);
    std::swap(im.prevListening, im.listening);
}

void SimAudioSystem::worldLoop() {
    using SteadyClock = std::chrono::steady_clock;
    auto origin = SteadyClock::now();
    std::int64_t originFrame = frame();
    while (!worldStop_.load()) {
        {
            // The frame count moves under the same lock, so whoever holds the lock sees the
            // frame that the next buffer will start at.
            std::lock_guard lock(mutex_);
            renderBuffer();
            frame_.fetch_add(room_.bufferFrames, std::memory_order_acq_rel);
        }
        { std::lock_guard lock(frameMutex_); }
        frameCv_.notify_all();
        if (speed_ > 0) {
            const double due =
                static_cast<double>(frame() - originFrame) / room_.sampleRate / speed_;
            const auto target = origin + std::chrono::duration_cast<SteadyClock::duration>(
                                             std::chrono::duration<double>(due));
            const auto now = SteadyClock::now();
            if (now - target > std::chrono::milliseconds(200)) {
                // Fell far behind (a loaded machine): carry on from here rather than rushing.
                origin = now;
                originFrame = frame();
            } else if (target > now) {
                // A slow world (a long buffer at a low rate and speed) waits whole seconds here;
                // stopWorld must not wait for it.
                std::unique_lock lock(stopMutex_);
                stopCv_.wait_until(lock, target, [this] { return worldStop_.load(); });
                continue;
            }
        }
        // Running flat out (behind schedule or unpaced): let threads waiting for the lock in,
        // or the program under test would see whole seconds of audio pass between two calls.
        std::this_thread::yield();
    }
}

void SimAudioSystem::startWorld() {
    if (worldRunning_.exchange(true)) return;
    worldStop_ = false;
    world_ = std::thread([this] { worldLoop(); });
}

void SimAudioSystem::stopWorld() {
    if (!worldRunning_.load()) return;
    {
        std::lock_guard lock(stopMutex_);
        worldStop_ = true;
    }
    stopCv_.notify_all();
    world_.join();
    worldRunning_ = false;
    std::lock_guard lock(frameMutex_);
    frameCv_.notify_all();
}

void SimAudioSystem::step(int buffers) {
    for (int i = 0; i < buffers && !worldRunning_.load(); ++i) {
        {
            std::lock_guard lock(mutex_);
            renderBuffer();
            frame_.fetch_add(room_.bufferFrames, std::memory_order_acq_rel);
        }
        std::lock_guard lock(frameMutex_);
        frameCv_.notify_all();
    }
}

void SimAudioSystem::waitForFrame(std::int64_t frames) {
    std::unique_lock lock(frameMutex_);
    frameCv_.wait(lock, [&] { return frame() >= frames || !worldRunning_.load(); });
}

std::int64_t SimAudioSystem::captureListening(std::size_t frames) {
    std::lock_guard lock(mutex_);
    impl_->listenCapture.clear();
    impl_->listenCapture.reserve(frames);
    impl_->listenWanted = frames;
    impl_->listenStart = frame();
    return impl_->listenStart;
}

std::pair<std::int64_t, std::vector<float>> SimAudioSystem::listeningCapture() const {
    std::lock_guard lock(mutex_);
    return {impl_->listenStart, impl_->listenCapture};
}

std::int64_t SimAudioSystem::captureSystemMix(std::size_t frames) {
    std::lock_guard lock(mutex_);
    impl_->mixCapture.clear();
    impl_->mixCapture.reserve(frames * 2);
    impl_->mixWanted = frames * 2;
    impl_->mixStart = frame();
    return impl_->mixStart;
}

std::pair<std::int64_t, std::vector<float>> SimAudioSystem::systemMixCapture() const {
    std::lock_guard lock(mutex_);
    return {impl_->mixStart, impl_->mixCapture};
}

bool SimAudioSystem::recordListeningTo(const std::string& path) {
    auto w = std::make_unique<WavWriter>(path, room_.sampleRate, 1);
    if (!w->ok()) return false;
    std::lock_guard lock(mutex_);
    impl_->recorder = std::move(w);
    return true;
}

bool SimAudioSystem::stopRecording() {
    std::unique_ptr<WavWriter> w;
    {
        std::lock_guard lock(mutex_);
        w = std::move(impl_->recorder);
    }
    return !w || w->finish();
}

}  // namespace housetone::sim
