#pragma once

#include "platform/MainQueue.h"

#include <algorithm>
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
// Thread: post from any thread; drain on the thread that created it.
class DrainableMainQueue final : public MainQueue {
public:
    using Clock = std::chrono::steady_clock;

    void post(std::function<void()> task) override { postAfter({}, std::move(task)); }
    void postAfter(std::chrono::milliseconds delay, std::function<void()> task) override {
        {
            std::lock_guard lock(mutex_);
            tasks_.push_back({Clock::now() + delay, std::move(task)});
        }
        posted_.notify_all();
    }
    bool isCurrent() const override { return std::this_thread::get_id() == owner_; }

    // Runs every task that is due, in the order posted, including those the
    // tasks post.
    void drain() {
        for (auto task = takeDue(); task; task = takeDue()) {
            task();
        }
    }

    // True once predicate() holds, false when the timeout passed first.
    bool drainUntil(const std::function<bool()>& predicate,
                    std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        const auto deadline = Clock::now() + timeout;
        for (drain(); !predicate(); drain()) {
            if (Clock::now() >= deadline) {
                return false;
            }
            std::unique_lock lock(mutex_);
            posted_.wait_for(lock, std::chrono::milliseconds(5));
        }
        return true;
    }

private:
    struct Task {
        Clock::time_point due;
        std::function<void()> run;
    };
    std::function<void()> takeDue() {
        std::lock_guard lock(mutex_);
        const auto due = std::find_if(tasks_.begin(), tasks_.end(),
                                      [now = Clock::now()](const Task& t) { return t.due <= now; });
        if (due == tasks_.end()) {
            return nullptr;
        }
        auto run = std::move(due->run);
        tasks_.erase(due);
        return run;
    }

    std::thread::id owner_ = std::this_thread::get_id();
    std::mutex mutex_;
    std::condition_variable posted_;
    std::deque<Task> tasks_;
};

} // namespace quorvi::testing
