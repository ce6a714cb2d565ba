#include "audio/sim/sim_io_callbacks.h"

namespace housetone::sim {

OSStatus IOCallbacks::create(AudioObjectID device, AudioDeviceIOProc proc, void* clientData,
                             AudioDeviceIOProcID& outID) {
    outID = 0;
    const SimObject* o = objects_.find(device);
    if (!o || (o->kind != SimObject::Kind::device && o->kind != SimObject::Kind::aggregate))
        return status::badObject;
    if (!proc) return status::illegalOperation;
    auto p = std::make_unique<IOProc>();
    p->id = next_++;
    p->device = device;
    p->fn = proc;
    p->client = clientData;
    outID = p->id;
    procs_.emplace(outID, std::move(p));
    return noErr;
}

OSStatus IOCallbacks::destroy(AudioObjectID device, AudioDeviceIOProcID id) {
    const auto it = procs_.find(id);
    if (it == procs_.end() || it->second->device != device) return status::badObject;
    procs_.erase(it);
    return noErr;
}

OSStatus IOCallbacks::start(AudioObjectID device, AudioDeviceIOProcID id) {
    const auto it = procs_.find(id);
    SimObject* o = objects_.find(device);
    if (it == procs_.end() || it->second->device != device || !o) return status::badObject;
    if (!it->second->started) {
        it->second->started = true;
        it->second->sampleTime = 0;
        // Bluetooth-style links settle on a new latency every time they start playing.
        if (o->kind == SimObject::Kind::aggregate) {
            for (SimObject* m : objects_.membersOf(*o))
                objects_.redrawJitter(*m);
        } else if (o->outChannels > 0) {
            objects_.redrawJitter(*o);
        }
    }
    return noErr;
}

OSStatus IOCallbacks::stop(AudioObjectID device, AudioDeviceIOProcID id) {
    const auto it = procs_.find(id);
    if (it == procs_.end() || it->second->device != device) return status::badObject;
    it->second->started = false;
    return noErr;
}

void IOCallbacks::stopOn(AudioObjectID device) {
    for (auto& [id, p] : procs_)
        if (p->device == device) p->started = false;
}

std::size_t IOCallbacks::runningCount() const {
    std::size_t n = 0;
    for (const auto& [id, p] : procs_)
        n += p->started ? 1 : 0;
    return n;
}

}  // namespace housetone::sim
