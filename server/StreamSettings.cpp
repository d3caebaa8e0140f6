// Stream modes, presets and the settings the server keeps between runs.
#include "platform/MainQueue.h"
#include "platform/QueueCheck.h"
#include "platform/UserDefaults.h"
#include "platform/WorkQueue.h"
#include "server/QuorviServer.h"

#include <algorithm>

namespace quorvi {

void QuorviServer::loadStoredSettings() {
    // Construction runs on the main thread before the work queue is used,
    // so the published values are set directly, without a hop.
    auto* defaults = platform_.userDefaults.get();
    if (defaults != nullptr) {
        if (const auto stored = defaults->string(kDisplayModeKey)) {
            if (*stored == "mirror") {
                storedDisplayMode_ = StoredDisplayMode::mirror;
            } else if (*stored == "extended") {
                storedDisplayMode_ = StoredDisplayMode::extended;
            }
        }
        if (const auto stored = defaults->string(kStreamModeKey)) {
            if (const auto mode = streamModeFromRawValue(*stored)) {
                configuredMode_ = *mode;
            }
        }
        if (const auto level = defaults->integer(kAutoLevelKey)) {
            autoLevel_ = *level;
        }
    }
    autoLevel_ = std::clamp<std::int64_t>(autoLevel_, 0, 3);
    activePreset_ = resolvedPreset(configuredMode_, autoLevel_);
    configuredFPS_ = activePreset_.fps;
    published_->setStreamMode(configuredMode_);
    published_->setTargetFPS(activePreset_.fps);
    published_->setStreamQuality(streamQualityLabel(activePreset_, clientViewportPixels_));

    if (defaults != nullptr) {
        const double width = defaults->number(kExtendedWidthKey).value_or(0);
        const double height = defaults->number(kExtendedHeightKey).value_or(0);
        if (width > 0 && height > 0) {
            extendedModeSize_ = {width, height};
        }
    }
    const bool isExtended = storedDisplayMode_ == StoredDisplayMode::extended;
    displayModeCopy_ = isExtended ? "Étendu prêt" : "Miroir actif";
    displayModeDetailCopy_ =
        isExtended ? "Display virtuel restauré au démarrage" : "Capture écran principal";
    published_->setDisplayMode(displayModeCopy_);
    published_->setDisplayModeDetail(displayModeDetailCopy_);
}

void QuorviServer::setStreamMode(StreamMode mode) {
    std::weak_ptr<QuorviServer> weakSelf = weak_from_this();
    queue_->post([weakSelf, mode] {
        if (auto self = weakSelf.lock()) {
            self->applyStreamMode(mode);
        }
    });
}

void QuorviServer::applyStreamMode(StreamMode mode) {
    QUORVI_ASSERT_ON(*queue_);
    configuredMode_ = mode;
    if (mode == StreamMode::automatic) {
        // Choosing automatic always starts in the middle, whatever was before.
        autoLevel_ = 2;
    }
    activePreset_ = resolvedPreset(mode, autoLevel_);
    configuredFPS_ = activePreset_.fps;
    storeStreamMode(mode);
    publish(mode, activePreset_, streamQualityLabel(activePreset_, clientViewportPixels_),
            std::nullopt, streamModeJournalLine(mode, activePreset_));
    // Applied by the next ready client when there is none now: a choice made
    // while nobody watches costs no capture and no encoding.
    if (hasLiveConnection()) {
        startSendingFrames();
    }
}

void QuorviServer::storeStreamMode(StreamMode mode) {
    if (!platform_.userDefaults) {
        return;
    }
    platform_.userDefaults->setString(kStreamModeKey, std::string(rawValue(mode)));
    if (mode == StreamMode::automatic) {
        platform_.userDefaults->setInteger(kAutoLevelKey, autoLevel_);
    }
}

void QuorviServer::publishCurrentQuality() {
    QUORVI_ASSERT_ON(*queue_);
    platform_.mainQueue->post(
        [state = published_, label = streamQualityLabel(activePreset_, clientViewportPixels_)] {
            state->setStreamQuality(label);
        });
}

void QuorviServer::publish(StreamMode mode, const StreamPreset& preset, std::string qualityLabel,
                           std::optional<std::string> stats, std::string log) {
    platform_.mainQueue->post([state = published_, mode, fps = preset.fps,
                               qualityLabel = std::move(qualityLabel), stats = std::move(stats),
                               log = std::move(log)] {
        state->setStreamMode(mode);
        state->setTargetFPS(fps);
        state->setStreamQuality(qualityLabel);
        if (stats) {
            state->setClientStats(*stats);
        }
        state->addJournalLine(log);
    });
}

void QuorviServer::publishClientStats(std::string text) {
    platform_.mainQueue->post(
        [state = published_, text = std::move(text)] { state->setClientStats(text); });
}

void QuorviServer::publishDisplayMode(std::string displayMode, std::string displayModeDetail,
                                      std::string log) {
    QUORVI_ASSERT_ON(*queue_);
    displayModeCopy_ = displayMode;
    displayModeDetailCopy_ = displayModeDetail;
    platform_.mainQueue->post([state = published_, displayMode = std::move(displayMode),
                               displayModeDetail = std::move(displayModeDetail),
                               log = std::move(log)] {
        state->setDisplayMode(displayMode);
        state->setDisplayModeDetail(displayModeDetail);
        state->addJournalLine(log);
    });
}

} // namespace quorvi
