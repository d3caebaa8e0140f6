#include "display/VirtualDisplayController.h"

#include <cmath>
#include <cstdint>
#include <limits>

namespace quorvi {

namespace {

// Truncation toward zero, defined for every double: converting NaN or an
// out-of-range value to an integer would be undefined behaviour, and the
// bounds come from another component.
std::string truncatedText(double value) {
    if (std::isnan(value)) {
        return "0";
    }
    constexpr double kLimit = 9.0e18; // inside the 64-bit range
    const double clamped = std::fmax(-kLimit, std::fmin(kLimit, std::trunc(value)));
    return std::to_string(static_cast<std::int64_t>(clamped));
}

} // namespace

std::optional<DisplayID> VirtualDisplayController::displayID() const {
    std::lock_guard lock(mutex_);
    return displayID_;
}

std::vector<DisplayID> VirtualDisplayController::onlineDisplayIDs(DisplayServices& displays) {
    return displays.onlineDisplayIDs();
}

std::vector<std::string>
VirtualDisplayController::onlineDisplayDescriptions(DisplayServices& displays) {
    std::vector<std::string> lines;
    for (const DisplayID id : displays.onlineDisplayIDs()) {
        const DisplayRect bounds = displays.bounds(id);
        lines.push_back("#" + std::to_string(id) + " " + truncatedText(bounds.width) + "x" +
                        truncatedText(bounds.height) + " @ " + truncatedText(bounds.minX) + "," +
                        truncatedText(bounds.minY));
    }
    return lines;
}

} // namespace quorvi
