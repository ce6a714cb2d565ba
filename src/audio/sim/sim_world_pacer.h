#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

namespace housetone::sim {

// The world's time: how many frames it has rendered, and the thread that renders buffer after
// buffer at a speed (1 = real time, <= 0 = as fast as it can); while that thread is stopped only
// step() moves time.
// Thread-safety: start and stop come from one thread at a time (the hardware's owner); the other
// calls may come from any thread. Each buffer is rendered with the world's mutex (given at
// construction) held, and the frame count advances under that same lock, so whoever holds it sees
// the frame the next buffer starts at. The pacer's own locks (frame waits, the stop wake-up) are
// never held while it takes the world's mutex.
class WorldPacer {
  public:
    // Renders one buffer starting at world frame `frame`; called with the world's mutex held.
    using RenderFn = std::function<void(std::int64_t frame)>;

    WorldPacer(std::mutex& world, int bufferFrames, double sampleRate, double speed,
               RenderFn render);
    ~WorldPacer();
    WorldPacer(const WorldPacer&) = delete;
    WorldPacer& operator=(const WorldPacer&) = delete;

    std::int64_t frame() const { return frame_.load(std::memory_order_acquire); }
    bool running() const { return running_.load(); }
    double speed() const { return speed_; }
    void start();
    void stop();
    // Renders `buffers` buffers on the calling thread; does nothing while the thread runs.
    void step(int buffers);
    // Blocks until the world has rendered at least `frames` frames, or its thread has stopped.
    void waitForFrame(std::int64_t frames);

  private:
    void renderOne();
    void loop();

    std::mutex& world_;
    const int bufferFrames_;
    const double sampleRate_;
    const double speed_;
    const RenderFn render_;

    std::atomic<std::int64_t> frame_{0};
    std::mutex frameMutex_;
    std::condition_variable frameCv_;
    std::thread thread_;
    std::atomic<bool> running_{false};
    std::atomic<bool> stop_{false};
    std::mutex stopMutex_;  // wakes the thread from its pacing wait
    std::condition_variable stopCv_;
};

}  // namespace housetone::sim
