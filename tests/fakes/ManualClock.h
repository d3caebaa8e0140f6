#pragma once

#include "platform/Clock.h"

#include <atomic>

namespace quorvi::testing {

// A clock the test moves by hand. Thread: any.
class ManualClock final : public Clock {
public:
    explicit ManualClock(double start = 1'700'000'000.0) : now_(start) {}
    double now() const override { return now_.load(); }
    void advance(double seconds) { now_ = now_.load() + seconds; }
    void set(double seconds) { now_ = seconds; }

private:
    std::atomic<double> now_;
};

} // namespace quorvi::testing
