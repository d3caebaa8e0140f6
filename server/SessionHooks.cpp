// Where the server core meets the stream, statistics, display and
// permission logic. Each operation does what is built so far.
#include "input/InputInjector.h"
#include "platform/QueueCheck.h"
#include "platform/WorkQueue.h"
#include "server/QuorviServer.h"

#include <algorithm>

namespace quorvi {

void QuorviServer::handleViewport(const InputEventMessage& message) {
    QUORVI_ASSERT_ON(*queue_);
    if (!message.viewportWidth || !message.viewportHeight || !(*message.viewportWidth > 0) ||
        !(*message.viewportHeight > 0)) {
        return;
    }
    clientViewportPixels_ = {*message.viewportWidth, *message.viewportHeight};
    publishCurrentQuality();
}

void QuorviServer::injectGesture(const InputEventMessage& message) {
    QUORVI_ASSERT_ON(*queue_);
    if (inputInjector_) {
        inputInjector_->handle(message, streamedDisplayID());
    }
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

void QuorviServer::exportDiagnostics() {}

} // namespace quorvi
