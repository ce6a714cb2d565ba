#include "platform/semaphore.h"

#include <algorithm>
#include <chrono>

namespace housetone {

void Semaphore::signal() {
    {
        std::lock_guard lock(mutex_);
        ++count_;
    }
    cv_.notify_one();
}

void Semaphore::wait() {
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [&] { return count_ > 0; });
    --count_;
}

bool Semaphore::waitUntil(double deadline) {
    std::unique_lock lock(mutex_);
    while (count_ == 0) {
        const double left = deadline - clock_.now();
        if (left <= 0) return false;
        // The clock may run faster or slower than real time, so wake at least every 20 ms to
        // re-read it; never spin faster than once per millisecond.
        const double real = std::clamp(clock_.realSecondsFor(left), 0.001, 0.02);
        cv_.wait_for(lock, std::chrono::duration<double>(real));
    }
    --count_;
    return true;
}

}  // namespace housetone
