#pragma once

#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/player.h"

namespace housetone::sim {

// The sounds being played into the system mix, as separate client programs would play them.
// Players add to it; the world thread mixes a buffer of them at a time. Thread-safe.
class PlayQueue {
  public:
    // Plays `stereo` (interleaved, at the world rate) from the next buffer on and blocks until
    // it has been mixed to its end or stopAll() ends it.
    void playToEnd(std::vector<float> stereo);
    // Ends every play at once; their callers return.
    void stopAll();
    // World thread: adds the next `frames` stereo frames of every play to `stereo`, which holds
    // 2 * frames floats, and lets the plays that ended return.
    void mixInto(float* stereo, std::size_t frames);

  private:
    struct Item {
        std::vector<float> stereo;
        std::size_t pos = 0;
        bool finished = false;
    };
    std::mutex mutex_;
    std::condition_variable ended_;
    std::vector<std::shared_ptr<Item>> plays_;
};

// Plays a sound file once into the system mix, converted to the world's rate.
class SimPlayer final : public Player {
  public:
    SimPlayer(PlayQueue& queue, double rate) : queue_(queue), rate_(rate) {}
    bool play(const std::string& path) override;
    void terminate() override { queue_.stopAll(); }

  private:
    PlayQueue& queue_;
    double rate_;
};

}  // namespace housetone::sim
