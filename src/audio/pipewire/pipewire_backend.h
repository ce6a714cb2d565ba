#pragma once

#include <optional>
#include <string>

#include "audio/audio_backend.h"
#include "audio/audio_hardware.h"

namespace housetone::pw {

// A status for every call made after the PipeWire daemon went away: the program keeps running
// and says so instead of waiting on a graph that will never answer.
constexpr OSStatus serverGone = static_cast<OSStatus>(fourcc("pw!!"));

// Connects to the daemon the environment names (PIPEWIRE_REMOTE, XDG_RUNTIME_DIR), as any
// PipeWire client does, and mirrors its graph: the audio hardware layer over it with its click
// player and microphone permission, named by the daemon's version. Nothing, with `error` set, when
// no daemon answers within `timeoutSeconds`.
std::optional<AudioBackend> connectPipeWire(std::string* error = nullptr,
                                            double timeoutSeconds = 2.0);

// Whether a daemon answers a round trip within `timeoutSeconds`; never waits longer.
bool pipeWireAnswers(double timeoutSeconds = 1.0);

// "PipeWire 0.3.65": the version the daemon reports when one answers, else the library's.
std::string pipeWireVersion();

}  // namespace housetone::pw
