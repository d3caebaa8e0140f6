// Where the server core meets the stream, statistics, display and
// permission logic. Each operation does what is built so far.
#include "input/InputInjector.h"
#include "platform/QueueCheck.h"
#include "platform/WorkQueue.h"
#include "server/QuorviServer.h"

#include <algorithm>

namespace quorvi {

void QuorviServer::injectGesture(const InputEventMessage& message) {
    QUORVI_ASSERT_ON(*queue_);
    if (inputInjector_) {
        inputInjector_->handle(message, streamedDisplayID());
    }
}

} // namespace quorvi
