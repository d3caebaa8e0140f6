// Where the server core meets the stream, statistics, display and
// permission logic. Each operation does what is built so far.
#include "platform/QueueCheck.h"
#include "platform/RepeatingTimer.h"
#include "platform/WorkQueue.h"
#include "server/QuorviServer.h"

#include <algorithm>

namespace quorvi {

void QuorviServer::startSendingFrames() {
    QUORVI_ASSERT_ON(*queue_);
    if (sendTimer_) {
        sendTimer_->cancel();
    }
    const auto period = std::chrono::milliseconds(
        std::max<std::int64_t>(1, configuredFPS_ > 0 ? 1000 / configuredFPS_ : 1000));
    std::weak_ptr<QuorviServer> weakSelf = weak_from_this();
    sendTimer_ = std::make_unique<RepeatingTimer>(*queue_, period, [weakSelf] {
        if (auto self = weakSelf.lock()) {
            self->sendFrame();
        }
    });
    sendTimer_->start();
}

void QuorviServer::sendFrame() {
    QUORVI_ASSERT_ON(*queue_);
    if (!connection_ || isFrameSendInFlight_) {
        return;
    }
}

void QuorviServer::handleViewport(const InputEventMessage& message) {
    QUORVI_ASSERT_ON(*queue_);
    if (!message.viewportWidth || !message.viewportHeight || !(*message.viewportWidth > 0) ||
        !(*message.viewportHeight > 0)) {
        return;
    }
    clientViewportPixels_ = {*message.viewportWidth, *message.viewportHeight};
    publishCurrentQuality();
}

void QuorviServer::injectGesture(const InputEventMessage& /*message*/) {
    QUORVI_ASSERT_ON(*queue_);
}

void QuorviServer::publishDiagnosticsSummary() {}

void QuorviServer::applyStoredDisplayMode() {
    QUORVI_ASSERT_ON(*queue_);
}

void QuorviServer::startPermissionMonitoring() {}

void QuorviServer::useExtendedMode() {}

void QuorviServer::useMirrorMode() {}

void QuorviServer::refreshDisplayState() {}

void QuorviServer::refreshPermissions() {}

} // namespace quorvi
