#pragma once

#include "platform/MainQueue.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace quorvi::testing {

// The main queue of tests: tasks wait until the test thread drains them, so
// a test sees published values exactly when it chooses to. postAfter tasks
// become due after their delay in real time.
//
// Thread: post from any thread; drain on the thread that created it.
class DrainableMainQueue final : public MainQueue {
public:
    using Clock = std::chrono::steady_clock;

    void post(std::function<void()> task) override { postAt(Clock::now(), std::move(task)); }
    void postAfter(std::chrono::milliseconds delay, std::function<void()> task) override {
        postAt(Clock::now() + delay, std::move(task));
    }
    bool isCurrent() const override { return std::this_thread::get_id() == owner_; }

    // Runs every task that is due, including those the tasks post.
    std::size_t drain();

    // Drains until predicate() holds or the timeout passes; true if it held.
    bool drainUntil(const std::function<bool()>& predicate,
                    std::chrono::milliseconds timeout = std::chrono::seconds(10));

    // Drains for a while, for "nothing else happens" checks.
    void drainFor(std::chrono::milliseconds duration);

    std::size_t pendingCount() const;

private:
    struct Task {
        Clock::time_point due;
        std::function<void()> run;
    };
    void postAt(Clock::time_point due, std::function<void()> task);

    std::thread::id owner_ = std::this_thread::get_id();
    mutable std::mutex mutex_;
    std::condition_variable posted_;
    std::deque<Task> tasks_;
};

} // namespace quorvi::testing
