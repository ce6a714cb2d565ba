#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace housetone {

// A labelled serial queue: one thread runs its tasks one at a time, in submission order.
class SerialQueue {
  public:
    explicit SerialQueue(std::string label);
    // Runs every task already queued, then joins the thread.
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    const std::string& label() const { return label_; }
    void async(std::function<void()> task);
    // Runs `task` on the queue after everything queued before it and waits for it. Called from
    // the queue's own thread it runs inline, so a task can never deadlock on its own queue.
    void sync(const std::function<void()>& task);
    bool isCurrent() const { return std::this_thread::get_id() == thread_.get_id(); }

  private:
    void run();

    std::string label_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> tasks_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace housetone
