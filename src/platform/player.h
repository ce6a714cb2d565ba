#pragma once

#include <string>

namespace housetone {

// The click player: plays one sound file into the system mix.
class Player {
  public:
    virtual ~Player() = default;
    // Blocks until the file has played to its end or terminate() stopped it. False when the file
    // could not be played at all.
    virtual bool play(const std::string& path) = 0;
    // Stops a play in progress at once; harmless when nothing plays. Any thread.
    virtual void terminate() = 0;
};

}  // namespace housetone
