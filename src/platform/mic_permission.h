#pragma once

#include <functional>

namespace housetone {

enum class MicAuthorization { notDetermined, restricted, denied, authorized };

// Microphone capture permission.
class MicPermission {
  public:
    virtual ~MicPermission() = default;
    virtual MicAuthorization status() const = 0;
    // Asks the user; `answer` may be called on any thread.
    virtual void request(std::function<void(bool granted)> answer) = 0;
};

}  // namespace housetone
