// The frame send loop: one frame per tick, at most one in flight.
#include "capture/ScreenFrameSource.h"
#include "display/VirtualDisplayController.h"
#include "platform/MainQueue.h"
#include "platform/QueueCheck.h"
#include "platform/RepeatingTimer.h"
#include "platform/SendTickPhase.h"
#include "platform/WorkQueue.h"
#include "protocol/JsonCodec.h"
#include "server/QuorviServer.h"
#include "system/PrivacyGrants.h"

#include <algorithm>
#include <chrono>

namespace quorvi {

void QuorviServer::startSendingFrames() {
    QUORVI_ASSERT_ON(*queue_);
    if (sendTimer_) {
        sendTimer_->cancel();
    }
    if (!hasLiveConnection()) {
        return;
    }
    const auto period = std::chrono::milliseconds(framePeriodMilliseconds(configuredFPS_));
    std::weak_ptr<QuorviServer> weakSelf = weak_from_this();
    sendTimer_ = std::make_unique<RepeatingTimer>(*queue_, period, [weakSelf] {
        if (auto self = weakSelf.lock()) {
            self->sendFrame();
        }
    });
    sendTimer_->start();
    SendTickPhase::publish(std::chrono::steady_clock::now(), period);
}

void QuorviServer::stopSendingFrames() {
    QUORVI_ASSERT_ON(*queue_);
    if (sendTimer_) {
        sendTimer_->cancel();
    }
    isFrameSendInFlight_ = false;
}

std::optional<DisplayID> QuorviServer::onlineVirtualDisplayID() {
    const auto virtualID = virtualDisplay_->displayID();
    if (!virtualID || !platform_.displays) {
        return std::nullopt;
    }
    const auto online = VirtualDisplayController::onlineDisplayIDs(*platform_.displays);
    if (std::find(online.begin(), online.end(), *virtualID) == online.end()) {
        return std::nullopt;
    }
    return virtualID;
}

DisplayID QuorviServer::mainDisplayID() {
    return platform_.displays ? platform_.displays->mainDisplayID() : 0;
}

DisplayID QuorviServer::streamedDisplayID() {
    if (isExtendedModeEnabled_) {
        if (const auto virtualID = onlineVirtualDisplayID()) {
            return *virtualID;
        }
    }
    return mainDisplayID();
}

std::string QuorviServer::onlineScreensText() {
    std::string text;
    if (!platform_.displays) {
        return text;
    }
    for (const auto& description :
         VirtualDisplayController::onlineDisplayDescriptions(*platform_.displays)) {
        text += (text.empty() ? "" : " · ") + description;
    }
    return text;
}

DisplayID QuorviServer::validatedStreamedDisplayID() {
    QUORVI_ASSERT_ON(*queue_);
    if (isExtendedModeEnabled_) {
        if (const auto virtualID = onlineVirtualDisplayID()) {
            return *virtualID;
        }
        if (!virtualDisplay_->displayID()) {
            // Removed by this server (a stop on another thread), not by the
            // system: nothing was lost, and the stop ends the frames anyway.
            return mainDisplayID();
        }
        isExtendedModeEnabled_ = false;
        publishDisplayMode("Étendu perdu", "macOS a retiré le display virtuel",
                           "Étendu perdu · retour miroir · écrans: " + onlineScreensText());
    }
    return mainDisplayID();
}

void QuorviServer::sendFrame() {
    QUORVI_ASSERT_ON(*queue_);
    if (!hasLiveConnection() || isFrameSendInFlight_) {
        return; // skipped, not queued
    }
    if (!frameSource_) {
        return; // a platform without screen access has nothing to send
    }
    isFrameSendInFlight_ = true;
    const std::shared_ptr<Connection> sendingOn = connection_;
    FrameSendTimes times;
    times.tick = std::chrono::steady_clock::now();

    const DisplayID displayID = validatedStreamedDisplayID();
    frameSequence_ += 1;
    const std::int64_t sequence = frameSequence_;
    const std::string title = isExtendedModeEnabled_ ? "Écran étendu" : "Miroir Mac";
    const std::string defaultSubtitle =
        isExtendedModeEnabled_ ? "Display virtuel Quorvi" : "Mode miroir actif";

    StreamEncodingSettings settings = activePreset_.settings;
    settings.targetWidth = streamTargetWidth(settings, clientViewportPixels_);
    FrameContent content = frameSource_->makeFrameContent(displayID, settings, defaultSubtitle);
    const bool hasPicture = content.hasPayload();
    times.captured = content.capturedAt;
    std::string subtitle = content.subtitle;
    const ScreenFrameMessage message = makeScreenFrameMessage(std::move(content), sequence, title);

    if (!sendBuffer_ || sendBuffer_.use_count() > 1) {
        sendBuffer_ = std::make_shared<std::string>();
    }
    sendBuffer_->clear();
    if (auto failure = appendScreenFrameMessage(*sendBuffer_, message)) {
        isFrameSendInFlight_ = false;
        publish("Encodage frame échoué: " + *failure, std::nullopt, true);
        return;
    }
    sendBuffer_->push_back('\n');

    std::weak_ptr<QuorviServer> weakSelf = weak_from_this();
    WorkQueue* queue = queue_.get();
    sendingOn->send(sendBuffer_, [weakSelf, queue, sendingOn, sequence, hasPicture,
                                  subtitle = std::move(subtitle),
                                  times](std::optional<NetworkError> error) mutable {
        // Taken here, not once re-enqueued: the last byte left just now.
        times.lastByteSent = std::chrono::steady_clock::now();
        // Re-enqueued before it acts, like every other completion.
        queue->post([weakSelf, sendingOn, sequence, hasPicture, subtitle, times, error] {
            if (auto self = weakSelf.lock()) {
                self->handleSendCompletion(sendingOn, sequence, hasPicture, subtitle, times, error);
            }
        });
    });
}

void QuorviServer::handleSendCompletion(const std::shared_ptr<Connection>& sentOn,
                                        std::int64_t sequence, bool hasPicture,
                                        const std::string& subtitle, const FrameSendTimes& times,
                                        std::optional<NetworkError> error) {
    QUORVI_ASSERT_ON(*queue_);
    if (connection_ != sentOn) {
        return; // replaced or stopped: accept and stop reset the flag already
    }
    isFrameSendInFlight_ = false;
    if (error) {
        if (hasConnectionEnded_) {
            // The connection's end was journaled already and says why; the
            // loop ends with it rather than send into a closed socket.
            stopSendingFrames();
        } else {
            publish("Envoi échoué: " + error->description, std::nullopt, true);
        }
        return;
    }
    if (hasPicture) {
        frameTimings_.record(times);
    }
    const bool isAccessibilityGranted =
        platform_.privacyGrants && platform_.privacyGrants->isAccessibilityGranted();
    platform_.mainQueue->post(
        [state = published_, sequence, hasPicture, subtitle, isAccessibilityGranted] {
            state->setSentFrames(sequence);
            if (hasPicture) {
                if (state->status().rfind("Capture en attente", 0) == 0) {
                    state->setStatus("Connecté");
                }
                if (state->permissionSummary().find("Screen manquant") != std::string::npos) {
                    state->setPermissionSummary(
                        std::string("Screen OK · ") +
                        (isAccessibilityGranted ? "Accessibility OK" : "Accessibility manquant"));
                }
            } else {
                state->setStatus("Capture en attente: " + subtitle);
            }
        });
    sessionStats_.sentFrames += 1;
    publishDiagnosticsSummary();
}

} // namespace quorvi
