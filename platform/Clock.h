#pragma once

namespace quorvi {

// Wall-clock time as the protocol and the diagnostics count it: seconds since
// 1970 with fractions. A seam so that tests can drive cool-downs and session
// durations without sleeping.
//
// Thread: any.
class Clock {
public:
    virtual ~Clock() = default;
    virtual double now() const = 0;
};

// The far past used before any automatic adjustment, so that the first one is
// never held back (roughly year 0001 counted from 1970).
inline constexpr double kDistantPast = -62135596800.0;

class SystemClock final : public Clock {
public:
    double now() const override;
};

} // namespace quorvi
