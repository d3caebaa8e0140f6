#pragma once

#include <cstdint>
#include <string>

namespace quorvi {

// Thresholds of the automatic quality: lower fast when the client
// struggles, climb only when it clearly keeps up.
struct AutoQualityRules {
    static constexpr double kCoolDownSeconds = 3.0;
    static constexpr std::int64_t kSevereLatencyMs = 220;
    static constexpr std::int64_t kHighLatencyMs = 120;
    static constexpr std::int64_t kStepUpLatencyMs = 69;
    static constexpr std::int64_t kLowestLevel = 0;
    static constexpr std::int64_t kHighestLevel = 3;
    static constexpr std::int64_t kLowestLevelOnModerateTrouble = 1;
};

// The level after one statistics message, from the current level, the
// preset's frame rate F, the client's latency L and displayed rate D.
std::int64_t nextAutoLevel(std::int64_t level, std::int64_t presetFPS, std::int64_t latencyMs,
                           std::int64_t displayedFPS);

// L + " ms · " + D + " FPS iPhone": the window splits it at " · ".
std::string clientStatsText(std::int64_t latencyMs, std::int64_t displayedFPS);

} // namespace quorvi
