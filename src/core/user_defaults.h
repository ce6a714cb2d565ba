#pragma once

#include <string>

namespace housetone {

// "dockVisible": the per-user defaults the app shell and the menu read and write.
class UserDefaults {
  public:
    virtual ~UserDefaults() = default;
    // The stored Bool, or `fallback` when the store holds nothing under key.
    virtual bool boolDefault(const std::string& key, bool fallback) const = 0;
    virtual void setBool(const std::string& key, bool value) = 0;
};

}  // namespace housetone
