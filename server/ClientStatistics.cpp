// The client's statistics and the automatic quality they drive.
#include "platform/Clock.h"
#include "platform/QueueCheck.h"
#include "platform/WorkQueue.h"
#include "quality/AutoQuality.h"
#include "server/QuorviServer.h"

namespace quorvi {

void QuorviServer::handleClientStats(const InputEventMessage& message) {
    QUORVI_ASSERT_ON(*queue_);
    const std::int64_t latency = message.latencyMs.value_or(0);
    const std::int64_t displayed = message.displayedFPS.value_or(0);
    const std::string text = clientStatsText(latency, displayed);
    sessionStats_.latencySamples.push_back(latency);
    sessionStats_.displayedFPSSamples.push_back(displayed);
    sessionStats_.keepBounded();
    publishDiagnosticsSummary();

    if (configuredMode_ != StreamMode::automatic) {
        publishClientStats(text);
        return;
    }
    const double now = platform_.clock->now();
    if (now - lastAutoAdjustment_ <= AutoQualityRules::kCoolDownSeconds) {
        publishClientStats(text);
        return;
    }
    const std::int64_t level = autoLevel_;
    const std::int64_t newLevel = nextAutoLevel(level, activePreset_.fps, latency, displayed);
    autoLevel_ = newLevel;
    if (newLevel == level) {
        // A hold keeps the cool-down clock where it was.
        publishClientStats(text);
        return;
    }
    activePreset_ = resolvedPreset(StreamMode::automatic, newLevel);
    configuredFPS_ = activePreset_.fps;
    lastAutoAdjustment_ = now;
    storeStreamMode(StreamMode::automatic);
    publish(StreamMode::automatic, activePreset_,
            streamQualityLabel(activePreset_, clientViewportPixels_), text,
            "Auto ajuste flux: " + activePreset_.label + " · " + text);
    startSendingFrames();
}

} // namespace quorvi
