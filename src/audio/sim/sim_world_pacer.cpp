#include "audio/sim/sim_world_pacer.h"

#include <chrono>
#include <utility>

namespace housetone::sim {

WorldPacer::WorldPacer(std::mutex& world, int bufferFrames, double sampleRate, double speed,
                       RenderFn render)
    : world_(world),
      bufferFrames_(bufferFrames),
      sampleRate_(sampleRate),
      speed_(speed),
      render_(std::move(render)) {}

WorldPacer::~WorldPacer() {
    stop();
}

void WorldPacer::renderOne() {
    // The frame count moves under the same lock, so whoever holds the lock sees the frame that
    // the next buffer will start at.
    std::lock_guard lock(world_);
    render_(frame_.load(std::memory_order_relaxed));
    frame_.fetch_add(bufferFrames_, std::memory_order_acq_rel);
}

void WorldPacer::loop() {
    using SteadyClock = std::chrono::steady_clock;
    auto origin = SteadyClock::now();
    std::int64_t originFrame = frame();
    while (!stop_.load()) {
        renderOne();
        { std::lock_guard lock(frameMutex_); }
        frameCv_.notify_all();
        if (speed_ > 0) {
            const double due = static_cast<double>(frame() - originFrame) / sampleRate_ / speed_;
            const auto target = origin + std::chrono::duration_cast<SteadyClock::duration>(
                                             std::chrono::duration<double>(due));
            const auto now = SteadyClock::now();
            if (now - target > std::chrono::milliseconds(200)) {
                // Fell far behind (a loaded machine): carry on from here rather than rushing.
                origin = now;
                originFrame = frame();
            } else if (target > now) {
                // A slow world (a long buffer at a low rate and speed) waits whole seconds here;
                // stop() must not wait for it.
                std::unique_lock lock(stopMutex_);
                stopCv_.wait_until(lock, target, [this] { return stop_.load(); });
                continue;
            }
        }
        // Running flat out (behind schedule or unpaced): let threads waiting for the world's lock
        // in, or the program under test would see whole seconds of audio pass between two calls.
        std::this_thread::yield();
    }
}

void WorldPacer::start() {
    if (running_.exchange(true)) return;
    stop_ = false;
    thread_ = std::thread([this] { loop(); });
}

void WorldPacer::stop() {
    if (!running_.load()) return;
    {
        std::lock_guard lock(stopMutex_);
        stop_ = true;
    }
    stopCv_.notify_all();
    thread_.join();
    running_ = false;
    std::lock_guard lock(frameMutex_);
    frameCv_.notify_all();
}

void WorldPacer::step(int buffers) {
    for (int i = 0; i < buffers && !running_.load(); ++i) {
        renderOne();
        std::lock_guard lock(frameMutex_);
        frameCv_.notify_all();
    }
}

void WorldPacer::waitForFrame(std::int64_t frames) {
    std::unique_lock lock(frameMutex_);
    frameCv_.wait(lock, [&] { return frame() >= frames || !running_.load(); });
}

}  // namespace housetone::sim
