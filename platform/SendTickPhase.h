#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>

namespace quorvi {

// Where the send loop's ticks fall: the capture thread times its grabs so
// that a fresh picture is ready just before each tick, instead of one that
// waited up to a whole interval (its age counts toward the client's
// latency). One process, one send loop: a process-wide value is enough.
//
// Thread: any (plain atomics; a torn read only shifts one grab).
class SendTickPhase {
public:
    using Clock = std::chrono::steady_clock;

    static void publish(Clock::time_point origin, std::chrono::nanoseconds period) {
        origin_.store(origin.time_since_epoch().count(), std::memory_order_relaxed);
        period_.store(period.count(), std::memory_order_relaxed);
    }

    static void clear() { period_.store(0, std::memory_order_relaxed); }

    // The first tick after `after`, when the send loop runs at about
    // `period` (its whole milliseconds differ from the exact 1/fps by less
    // than one).
    static std::optional<Clock::time_point> nextTickAfter(Clock::time_point after,
                                                          std::chrono::nanoseconds period) {
        const std::int64_t published = period_.load(std::memory_order_relaxed);
        const std::int64_t difference = published - period.count();
        if (published <= 0 || difference >= 1'000'000 || difference <= -1'000'000) {
            return std::nullopt;
        }
        const std::chrono::nanoseconds sendPeriod(published);
        const Clock::time_point origin{Clock::duration(origin_.load(std::memory_order_relaxed))};
        if (after < origin) {
            return origin;
        }
        const auto elapsed = after - origin;
        return origin + (elapsed / sendPeriod + 1) * sendPeriod;
    }

private:
    static inline std::atomic<std::int64_t> origin_{0};
    static inline std::atomic<std::int64_t> period_{0};
};

} // namespace quorvi
