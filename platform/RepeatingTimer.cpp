#include "platform/RepeatingTimer.h"

#include "platform/WorkQueue.h"

namespace quorvi {

RepeatingTimer::RepeatingTimer(WorkQueue& queue, std::chrono::milliseconds period,
                               std::function<void()> handler)
    : timer_(queue.context()),
      period_(period < std::chrono::milliseconds(1) ? std::chrono::milliseconds(1) : period),
      handler_(std::make_shared<std::function<void()>>(std::move(handler))) {}

RepeatingTimer::~RepeatingTimer() {
    cancel();
}

void RepeatingTimer::start() {
    *cancelled_ = false;
    armAt(Clock::now());
}

void RepeatingTimer::cancel() {
    *cancelled_ = true;
    timer_.cancel();
}

void RepeatingTimer::armAt(Clock::time_point deadline) {
    next_ = deadline;
    timer_.expires_at(deadline);
    // The flag is shared so that a completion already queued when cancel()
    // ran (or when the timer is gone) sees it and does nothing.
    timer_.async_wait(
        [this, cancelled = cancelled_, handler = handler_](const std::error_code& error) {
            if (error || *cancelled) {
                return;
            }
            (*handler)();
            if (*cancelled) {
                return;
            }
            auto following = next_ + period_;
            const auto now = Clock::now();
            if (following < now) {
                // Late: fire once now and keep the original grid afterwards.
                const auto missed = (now - following) / period_;
                following += missed * period_;
            }
            armAt(following);
        });
}

} // namespace quorvi
