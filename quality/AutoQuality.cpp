#include "quality/AutoQuality.h"

#include <algorithm>

namespace quorvi {

std::int64_t nextAutoLevel(std::int64_t level, std::int64_t presetFPS, std::int64_t latencyMs,
                           std::int64_t displayedFPS) {
    using R = AutoQualityRules;
    const std::int64_t lower = std::max(level - 1, R::kLowestLevel);
    const std::int64_t lowerButKeepOne = std::max(level - 1, R::kLowestLevelOnModerateTrouble);
    const std::int64_t F = presetFPS;
    const std::int64_t L = latencyMs;
    const std::int64_t D = displayedFPS;
    if (L > R::kSevereLatencyMs) {
        return lower;
    }
    if (D < std::max<std::int64_t>(F - 6, 1)) {
        return lower;
    }
    if (L > R::kHighLatencyMs) {
        return lowerButKeepOne;
    }
    if (F >= 5 && D < F - 3) {
        return lowerButKeepOne;
    }
    if (L > R::kStepUpLatencyMs) {
        return level;
    }
    if (F >= 3 && D < F - 1) {
        return level;
    }
    return std::min(level + 1, R::kHighestLevel);
}

std::string clientStatsText(std::int64_t latencyMs, std::int64_t displayedFPS) {
    return std::to_string(latencyMs) + " ms · " + std::to_string(displayedFPS) + " FPS iPhone";
}

} // namespace quorvi
