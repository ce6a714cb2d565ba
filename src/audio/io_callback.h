#pragma once

#include <optional>

#include "audio/audio_hardware.h"

namespace housetone {

// What an install attempt did: `created` once the hardware took the callback and handed back an
// id; `status` is the status of the call that failed (noErr when the callback runs).
struct IOCallbackInstall {
    bool created = false;
    OSStatus status = noErr;
    bool running() const { return created && status == noErr; }
};

// Owns at most one installed I/O callback on one device of one audio system. It stops the
// callback before destroying it, and removes it at the latest when the owner goes, so the
// callback can never run on the state of an object that is gone: declare the owner after
// everything the callback touches. Any thread, one at a time; not shared with the audio thread.
class IOCallback {
  public:
    explicit IOCallback(AudioHardware& hw) : hw_(hw) {}
    ~IOCallback() { remove(); }
    IOCallback(const IOCallback&) = delete;
    IOCallback& operator=(const IOCallback&) = delete;

    // Removes what is installed, then creates `proc` (audio thread; gets `clientData`) on
    // `device` and starts it. On any failure nothing is left installed.
    IOCallbackInstall install(AudioObjectID device, AudioDeviceIOProc proc, void* clientData);
    // Stops and destroys the callback: once this returns it never runs again. Harmless when
    // nothing is installed.
    void remove();

    bool installed() const { return id_.has_value(); }

  private:
    AudioHardware& hw_;
    AudioObjectID device_ = 0;
    std::optional<AudioDeviceIOProcID> id_;
};

}  // namespace housetone
