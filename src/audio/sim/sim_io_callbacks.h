#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <vector>

#include "audio/audio_hardware.h"
#include "audio/sim/sim_object_table.h"

namespace housetone::sim {

// One I/O callback the program registered on a device or an aggregate, with the buffers it is
// handed each time it runs.
struct IOProc {
    AudioDeviceIOProcID id = 0;
    AudioObjectID device = 0;
    AudioDeviceIOProc fn = nullptr;
    void* client = nullptr;
    bool started = false;
    double sampleTime = 0;
    BufferListStorage in, out;
    std::vector<float> inData, outData;
};

// The I/O callbacks: created on an object of the table, started and stopped, stopped when their
// device goes away.
// Thread-safety: none of its own; every call is made with the hardware's mutex held, because the
// hardware thread runs the started callbacks under that same lock: once stop or destroy returns,
// the callback cannot be running.
class IOCallbacks {
  public:
    using Procs = std::map<AudioDeviceIOProcID, std::unique_ptr<IOProc>>;

    explicit IOCallbacks(ObjectTable& objects) : objects_(objects) {}

    OSStatus create(AudioObjectID device, AudioDeviceIOProc proc, void* clientData,
                    AudioDeviceIOProcID& outID);
    OSStatus destroy(AudioObjectID device, AudioDeviceIOProcID id);
    OSStatus start(AudioObjectID device, AudioDeviceIOProcID id);
    OSStatus stop(AudioObjectID device, AudioDeviceIOProcID id);
    // Stops every callback on a device that went away; their ids stay valid for destroy.
    void stopOn(AudioObjectID device);

    std::size_t count() const { return procs_.size(); }
    std::size_t runningCount() const;
    // Every callback by id, for the renderer to run.
    Procs& procs() { return procs_; }
    const Procs& procs() const { return procs_; }

  private:
    ObjectTable& objects_;
    Procs procs_;
    AudioDeviceIOProcID next_ = 1;
};

}  // namespace housetone::sim
