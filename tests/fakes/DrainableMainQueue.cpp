#include "fakes/DrainableMainQueue.h"

namespace quorvi::testing {

void DrainableMainQueue::postAt(Clock::time_point due, std::function<void()> task) {
    {
        std::lock_guard lock(mutex_);
        tasks_.push_back({due, std::move(task)});
    }
    posted_.notify_all();
}

std::size_t DrainableMainQueue::drain() {
    std::size_t ran = 0;
    while (true) {
        std::function<void()> next;
        {
            std::lock_guard lock(mutex_);
            const auto now = Clock::now();
            // Due tasks run in the order they were posted.
            for (auto it = tasks_.begin(); it != tasks_.end(); ++it) {
                if (it->due <= now) {
                    next = std::move(it->run);
                    tasks_.erase(it);
                    break;
                }
            }
        }
        if (!next) {
            return ran;
        }
        next();
        ++ran;
    }
}

bool DrainableMainQueue::drainUntil(const std::function<bool()>& predicate,
                                    std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (true) {
        drain();
        if (predicate()) {
            return true;
        }
        if (Clock::now() >= deadline) {
            return false;
        }
        std::unique_lock lock(mutex_);
        posted_.wait_for(lock, std::chrono::milliseconds(5));
    }
}

void DrainableMainQueue::drainFor(std::chrono::milliseconds duration) {
    const auto deadline = Clock::now() + duration;
    while (Clock::now() < deadline) {
        drain();
        std::unique_lock lock(mutex_);
        posted_.wait_for(lock, std::chrono::milliseconds(5));
    }
    drain();
}

std::size_t DrainableMainQueue::pendingCount() const {
    std::lock_guard lock(mutex_);
    return tasks_.size();
}

} // namespace quorvi::testing
