#pragma once

#include <functional>
#include <mutex>

#include "audio/sim/room.h"
#include "platform/mic_permission.h"

namespace housetone::sim {

// The room's microphone permission: the state it starts in, and how a request is answered while
// nobody has decided yet. Thread-safe.
class SimMicPermission final : public MicPermission {
  public:
    SimMicPermission(MicPermissionState state, bool requestAnswer)
        : state_(state), requestAnswer_(requestAnswer) {}
    MicAuthorization status() const override;
    void request(std::function<void(bool)> answer) override;

  private:
    mutable std::mutex mutex_;
    MicPermissionState state_;
    const bool requestAnswer_;
};

}  // namespace housetone::sim
