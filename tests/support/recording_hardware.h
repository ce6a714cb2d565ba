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
    using Obj = AudioObjectID;
    using Proc = AudioDeviceIOProcID;
    explicit RecordingHardware(AudioHardware& hw) : hw_(hw) {}

    bool hasProperty(Obj o, const PropertyAddress& a) override { return hw_.hasProperty(o, a); }
    OSStatus getPropertyDataSize(Obj o, const PropertyAddress& a, std::uint32_t qs, const void* q,
                                 std::uint32_t& size) override {
        return hw_.getPropertyDataSize(o, a, qs, q, size);
    }
    OSStatus getPropertyData(Obj o, const PropertyAddress& a, std::uint32_t qs, const void* q,
                             std::uint32_t& size, void* data) override {
        return hw_.getPropertyData(o, a, qs, q, size, data);
    }
    OSStatus setPropertyData(Obj o, const PropertyAddress& a, std::uint32_t qs, const void* q,
                             std::uint32_t size, const void* data) override {
        return hw_.setPropertyData(o, a, qs, q, size, data);
    }
    OSStatus createAggregateDevice(const AggregateDescription& d, Obj& out) override {
        aggregates.push_back(d);
        return hw_.createAggregateDevice(d, out);
    }
    OSStatus destroyAggregateDevice(Obj d) override {
        if (defaultOutput(hw_) == d) destroyedTheDefaultOutput = true;
        return hw_.destroyAggregateDevice(d);
    }
    OSStatus createProcessTap(const TapDescription& d, Obj& out) override {
        taps.push_back(d);
        return hw_.createProcessTap(d, out);
    }
    OSStatus destroyProcessTap(Obj tap) override { return hw_.destroyProcessTap(tap); }
    OSStatus createIOProcID(Obj d, AudioDeviceIOProc proc, void* client, Proc& out) override {
        return hw_.createIOProcID(d, proc, client, out);
    }
    OSStatus destroyIOProcID(Obj d, Proc id) override { return hw_.destroyIOProcID(d, id); }
    OSStatus deviceStart(Obj d, Proc id) override { return hw_.deviceStart(d, id); }
    OSStatus deviceStop(Obj d, Proc id) override { return hw_.deviceStop(d, id); }
    Clock& clock() override { return hw_.clock(); }

    std::vector<TapDescription> taps;
    std::vector<AggregateDescription> aggregates;
    bool destroyedTheDefaultOutput = false;

  private:
    AudioHardware& hw_;
};

}  // namespace housetone::testsupport
