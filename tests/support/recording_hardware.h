#pragma once

#include <vector>

#include "audio/audio_hardware.h"
#include "audio/device_access.h"

namespace housetone::testsupport {

// Forwards every call to another hardware layer and keeps what the program handed it: each tap
// and aggregate description, and whether an aggregate was destroyed while it was the default
// output. Read the records only while no start is running.
class RecordingHardware final : public AudioHardware {
  public:
    explicit RecordingHardware(AudioHardware& hw) : hw_(hw) {}

    bool hasProperty(AudioObjectID o, const PropertyAddress& a) override {
        return hw_.hasProperty(o, a);
    }
    OSStatus getPropertyDataSize(AudioObjectID o, const PropertyAddress& a, std::uint32_t qs,
                                 const void* q, std::uint32_t& size) override {
        return hw_.getPropertyDataSize(o, a, qs, q, size);
    }
    OSStatus getPropertyData(AudioObjectID o, const PropertyAddress& a, std::uint32_t qs,
                             const void* q, std::uint32_t& size, void* data) override {
        return hw_.getPropertyData(o, a, qs, q, size, data);
    }
    OSStatus setPropertyData(AudioObjectID o, const PropertyAddress& a, std::uint32_t qs,
                             const void* q, std::uint32_t size, const void* data) override {
        return hw_.setPropertyData(o, a, qs, q, size, data);
    }
    OSStatus createAggregateDevice(const AggregateDescription& d, AudioObjectID& out) override {
        aggregates.push_back(d);
        return hw_.createAggregateDevice(d, out);
    }
    OSStatus destroyAggregateDevice(AudioObjectID device) override {
        if (defaultOutput(hw_) == device) destroyedTheDefaultOutput = true;
        return hw_.destroyAggregateDevice(device);
    }
    OSStatus createProcessTap(const TapDescription& d, AudioObjectID& out) override {
        taps.push_back(d);
        return hw_.createProcessTap(d, out);
    }
    OSStatus destroyProcessTap(AudioObjectID tap) override { return hw_.destroyProcessTap(tap); }
    OSStatus createIOProcID(AudioObjectID device, AudioDeviceIOProc proc, void* client,
                            AudioDeviceIOProcID& out) override {
        return hw_.createIOProcID(device, proc, client, out);
    }
    OSStatus destroyIOProcID(AudioObjectID device, AudioDeviceIOProcID id) override {
        return hw_.destroyIOProcID(device, id);
    }
    OSStatus deviceStart(AudioObjectID device, AudioDeviceIOProcID id) override {
        return hw_.deviceStart(device, id);
    }
    OSStatus deviceStop(AudioObjectID device, AudioDeviceIOProcID id) override {
        return hw_.deviceStop(device, id);
    }
    Clock& clock() override { return hw_.clock(); }

    std::vector<TapDescription> taps;
    std::vector<AggregateDescription> aggregates;
    bool destroyedTheDefaultOutput = false;

  private:
    AudioHardware& hw_;
};

}  // namespace housetone::testsupport
