#include "audio/io_callback.h"

namespace housetone {

IOCallbackInstall IOCallback::install(AudioObjectID device, AudioDeviceIOProc proc,
                                      void* clientData) {
    remove();
    AudioDeviceIOProcID id = 0;
    // A create that reports success but hands back no id has installed nothing to remove.
    if (const OSStatus st = hw_.createIOProcID(device, proc, clientData, id);
        st != noErr || id == 0)
        return {false, st};
    device_ = device;
    id_ = id;
    if (const OSStatus st = hw_.deviceStart(device, id); st != noErr) {
        remove();
        return {true, st};
    }
    return {true, noErr};
}

void IOCallback::remove() {
    if (!id_) return;
    // Stopped first: destroying a running callback is not something every backend allows, and
    // a stop that fails still leaves the destroy to end it.
    hw_.deviceStop(device_, *id_);
    hw_.destroyIOProcID(device_, *id_);
    id_.reset();
    device_ = 0;
}

}  // namespace housetone
