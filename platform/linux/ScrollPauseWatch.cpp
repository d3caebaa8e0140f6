#include "platform/linux/ScrollPauseWatch.h"

namespace quorvi {

ScrollPauseWatch::ScrollPauseWatch(std::mutex& ownerMutex, std::function<void()> onPause)
    : ownerMutex_(ownerMutex), onPause_(std::move(onPause)) {
    thread_ = std::thread([this] { watch(); });
}

ScrollPauseWatch::~ScrollPauseWatch() {
    {
        std::lock_guard lock(ownerMutex_);
        isClosing_ = true;
        changed_.notify_all();
    }
    thread_.join();
}

void ScrollPauseWatch::arm() {
    due_ = std::chrono::steady_clock::now() + kPause;
    changed_.notify_all();
}

void ScrollPauseWatch::disarm() {
    due_.reset();
}

void ScrollPauseWatch::watch() {
    std::unique_lock lock(ownerMutex_);
    while (!isClosing_) {
        if (!due_) {
            changed_.wait(lock);
        } else if (std::chrono::steady_clock::now() < *due_) {
            changed_.wait_until(lock, *due_);
        } else {
            due_.reset();
            onPause_();
        }
    }
}

} // namespace quorvi
