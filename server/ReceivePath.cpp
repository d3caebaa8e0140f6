// The server's receive path: reads from the client, cuts lines, dispatches.
#include "input/InputInjector.h"
#include "platform/MainQueue.h"
#include "platform/QueueCheck.h"
#include "platform/WorkQueue.h"
#include "protocol/JsonCodec.h"
#include "server/GestureJournal.h"
#include "server/QuorviServer.h"

namespace quorvi {

void QuorviServer::armReceive(std::shared_ptr<Connection> readConnection) {
    std::weak_ptr<QuorviServer> weakSelf = weak_from_this();
    // The continuation holds its own connection strongly and the server
    // weakly: it always reads from the connection it was armed on.
    readConnection->receive(1, kMaxReadLength,
                            [weakSelf, readConnection](std::optional<Bytes> data, bool isComplete,
                                                       std::optional<NetworkError> error) {
                                if (auto self = weakSelf.lock()) {
                                    self->handleReceived(readConnection, std::move(data),
                                                         isComplete, std::move(error));
                                }
                            });
}

void QuorviServer::handleReceived(const std::shared_ptr<Connection>& readConnection,
                                  std::optional<Bytes> data, bool isComplete,
                                  std::optional<NetworkError> error) {
    QUORVI_ASSERT_ON(*queue_);
    // Bytes of a replaced connection belong to nobody: appending them to the
    // new client's buffer would splice two streams into one line.
    const bool isCurrent = readConnection == connection_;
    if (data && !data->empty() && isCurrent) {
        if (!receiveBuffer_.append(data->data(), data->size())) {
            publish("Input trop volumineux: connexion fermée", std::nullopt, true);
            readConnection->cancel();
            return;
        }
        consumeInputLines();
    }
    if (error) {
        if (isCurrent) {
            publish("Réception échouée: " + error->description, std::nullopt, true);
        }
        return;
    }
    if (!isComplete && isCurrent) {
        armReceive(readConnection);
    }
}

void QuorviServer::consumeInputLines() {
    QUORVI_ASSERT_ON(*queue_);
    receiveBuffer_.consumeLines([this](std::string_view line) {
        auto decoded = decodeInputEventMessage(line);
        if (!decoded.value) {
            publish("Input illisible: " + decoded.error, std::nullopt, true);
            return;
        }
        const InputEventMessage& message = *decoded.value;
        if (message.kind == "viewport") {
            handleViewport(message);
        } else if (message.kind == "stats") {
            handleClientStats(message);
        } else {
            dispatchGesture(message);
        }
    });
}

void QuorviServer::dispatchGesture(const InputEventMessage& message) {
    QUORVI_ASSERT_ON(*queue_);
    injectGesture(message);
    sessionStats_.inputEvents += 1;
    platform_.mainQueue->post([state = published_, message] {
        state->addReceivedInput(message);
        state->addJournalLine(gestureJournalLine(message));
    });
}

void QuorviServer::injectGesture(const InputEventMessage& message) {
    QUORVI_ASSERT_ON(*queue_);
    if (inputInjector_) {
        inputInjector_->handle(message, streamedDisplayID());
    }
}

} // namespace quorvi
