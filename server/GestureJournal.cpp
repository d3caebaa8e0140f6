#include "server/GestureJournal.h"

#include <cmath>
#include <cstdint>

namespace quorvi {

std::string truncatedPercent(double fraction) {
    const double percent = fraction * 100.0;
    // [-2^63, 2^63) is exactly what converts to int64 without UB.
    if (!std::isfinite(percent) || percent < -0x1p63 || percent >= 0x1p63) {
        return "?";
    }
    return std::to_string(static_cast<std::int64_t>(std::trunc(percent)));
}

std::string gestureJournalLine(const InputEventMessage& message) {
    return "Input " + message.phase + ": " + truncatedPercent(message.x) + "%, " +
           truncatedPercent(message.y) + "%";
}

} // namespace quorvi
