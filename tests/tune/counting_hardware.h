#pragma once

#include <atomic>

#include "audio/audio_hardware.h"

namespace housetone::testsupport {

// Hands every call to `inner`, counting the aggregates and I/O callbacks made: each one is a
// node the audio graph has to make room for.
class CountingHardware : public AudioHardware {
  public:
    explicit CountingHardware(AudioHardware& inner) : in_(inner) {}

    std::atomic<int> aggregatesMade{0}, callbacksMade{0};

    bool hasProperty(AudioObjectID o, const PropertyAddress& a) override {
        return in_.hasProperty(o, a);
    }
    OSStatus getPropertyDataSize(AudioObjectID o, const PropertyAddress& a, std::uint32_t qs,
                                 const void* q, std::uint32_t& out) override {
        return in_.getPropertyDataSize(o, a, qs, q, out);
    }
    OSStatus getPropertyData(AudioObjectID o, const PropertyAddress& a, std::uint32_t qs,
                             const void* q, std::uint32_t& io, void* out) override {
        return in_.getPropertyData(o, a, qs, q, io, out);
    }
    OSStatus setPropertyData(AudioObjectID o, const PropertyAddress& a, std::uint32_t qs,
                             const void* q, std::uint32_t size, const void* data) override {
        return in_.setPropertyData(o, a, qs, q, size, data);
    }
    OSStatus createAggregateDevice(const AggregateDescription& d, AudioObjectID& out) override {
        ++aggregatesMade;
        return in_.createAggregateDevice(d, out);
    }
    OSStatus destroyAggregateDevice(AudioObjectID d) override {
        return in_.destroyAggregateDevice(d);
    }
    OSStatus createProcessTap(const TapDescription& d, AudioObjectID& out) override {
        return in_.createProcessTap(d, out);
    }
    OSStatus destroyProcessTap(AudioObjectID t) override { return in_.destroyProcessTap(t); }
    OSStatus createIOProcID(AudioObjectID d, AudioDeviceIOProc p, void* c,
                            AudioDeviceIOProcID& out) override {
        ++callbacksMade;
        return in_.createIOProcID(d, p, c, out);
    }
    OSStatus destroyIOProcID(AudioObjectID d, AudioDeviceIOProcID id) override {
        return in_.destroyIOProcID(d, id);
    }
    OSStatus deviceStart(AudioObjectID d, AudioDeviceIOProcID id) override {
        return in_.deviceStart(d, id);
    }
    OSStatus deviceStop(AudioObjectID d, AudioDeviceIOProcID id) override {
        return in_.deviceStop(d, id);
    }
    Clock& clock() override { return in_.clock(); }

  private:
    AudioHardware& in_;
};

}  // namespace housetone::testsupport
