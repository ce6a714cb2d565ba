#pragma once

#include <memory>
#include <string>

#include "audio/audio_hardware.h"
#include "audio/property_contract.h"
#include "platform/mic_permission.h"
#include "platform/player.h"

namespace housetone::pw {

// A status for every call made after the PipeWire daemon went away: the program keeps running
// and says so instead of waiting on a graph that will never answer.
constexpr OSStatus serverGone = static_cast<OSStatus>(fourcc("pw!!"));

// The audio hardware layer over a PipeWire graph, with the services that go with it. Its
// property calls follow the contract every backend shares.
class PipeWireAudio : public PropertyContract {
  public:
    virtual Player& player() = 0;
    virtual MicPermission& micPermission() = 0;
    // "PipeWire 0.3.65": the daemon's version.
    virtual std::string version() = 0;
};

// Connects to the daemon the environment names (PIPEWIRE_REMOTE, XDG_RUNTIME_DIR), as any
// PipeWire client does, and mirrors its graph. Null, with `error` set, when no daemon answers
// within `timeoutSeconds`.
std::unique_ptr<PipeWireAudio> connectPipeWire(std::string* error = nullptr,
                                               double timeoutSeconds = 2.0);

// Whether a daemon answers a round trip within `timeoutSeconds`; never waits longer.
bool pipeWireAnswers(double timeoutSeconds = 1.0);

// "PipeWire 0.3.65": the version the daemon reports when one answers, else the library's.
std::string pipeWireVersion();

}  // namespace housetone::pw
