#include "audio/sim/sim_mic_permission.h"

namespace housetone::sim {

MicAuthorization SimMicPermission::status() const {
    std::lock_guard lock(mutex_);
    switch (state_) {
        case MicPermissionState::notDetermined:
            return MicAuthorization::notDetermined;
        case MicPermissionState::restricted:
            return MicAuthorization::restricted;
        case MicPermissionState::denied:
            return MicAuthorization::denied;
        case MicPermissionState::authorized:
            return MicAuthorization::authorized;
    }
    return MicAuthorization::denied;
}

void SimMicPermission::request(std::function<void(bool)> answer) {
    bool granted;
    {
        std::lock_guard lock(mutex_);
        if (state_ == MicPermissionState::notDetermined)
            state_ = requestAnswer_ ? MicPermissionState::authorized : MicPermissionState::denied;
        granted = state_ == MicPermissionState::authorized;
    }
    if (answer) answer(granted);
}

}  // namespace housetone::sim
