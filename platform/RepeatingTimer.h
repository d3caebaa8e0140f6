#pragma once

#include <asio/steady_timer.hpp>
#include <chrono>
#include <functional>
#include <memory>

namespace quorvi {

class WorkQueue;

// A repeating timer on the work queue, re-armed on absolute deadlines
// (start + n × period) so that ticks do not drift, with no leeway. When a
// handler overruns one or more periods, the missed ticks collapse into a
// single immediate tick and the grid continues, as a dispatch timer does.
//
// Thread: work queue only (start, cancel, destruction and the handler).
class RepeatingTimer {
public:
    using Clock = std::chrono::steady_clock;

    RepeatingTimer(WorkQueue& queue, std::chrono::milliseconds period,
                   std::function<void()> handler);
    ~RepeatingTimer();
    RepeatingTimer(const RepeatingTimer&) = delete;
    RepeatingTimer& operator=(const RepeatingTimer&) = delete;

    // First tick at once, then every period.
    void start();
    // No handler call happens after cancel() returns, even one already due.
    void cancel();

    bool isCancelled() const { return *cancelled_; }
    std::chrono::milliseconds period() const { return period_; }

private:
    void armAt(Clock::time_point deadline);

    asio::steady_timer timer_;
    std::chrono::milliseconds period_;
    // Shared with the pending wait, so that a handler that destroys its own
    // timer (a re-arm does) keeps running on a live closure.
    std::shared_ptr<std::function<void()>> handler_;
    std::shared_ptr<bool> cancelled_ = std::make_shared<bool>(false);
    Clock::time_point next_{};
};

} // namespace quorvi
