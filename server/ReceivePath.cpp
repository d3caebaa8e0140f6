// The server's receive path: reads from the client, cuts lines, dispatches.
#include "platform/MainQueue.h"
#include "platform/QueueCheck.h"
#include "platform/WorkQueue.h"
#include "protocol/JsonCodec.h"
#include "server/GestureJournal.h"
#include "server/QuorviServer.h"

#include <cstring>

namespace quorvi {

void QuorviServer::armReceive(std::shared_ptr<Connection> readConnection) {
    std::weak_ptr<QuorviServer> weakSelf = weak_from_this();
    // The continuation holds its own connection strongly and the server
    // weakly: it always reads from the connection it was armed on.
    readConnection->receive(
        1, kMaxReadLength,
        [weakSelf, readConnection](std::optional<Bytes> data, bool isComplete,
                                   std::optional<NetworkError> error) {
            if (auto self = weakSelf.lock()) {
                self->handleReceived(readConnection, std::move(data), isComplete,
                                     std::move(error));
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
        const auto held = static_cast<std::int64_t>(receiveBuffer_.size());
        if (held + static_cast<std::int64_t>(data->size()) > maxReceiveBufferSize_) {
            publish("Input trop volumineux: connexion fermée", std::nullopt, true);
            readConnection->cancel();
            return;
        }
        const std::size_t searchFrom = receiveBuffer_.size();
        receiveBuffer_.append(reinterpret_cast<const char*>(data->data()), data->size());
        if (std::memchr(receiveBuffer_.data() + searchFrom, '\n', data->size()) != nullptr) {
            consumeInputLines();
        }
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
    // Lines are taken by offset and erased once at the end, so a read full
    // of short lines costs one pass instead of one erase per line.
    std::size_t lineStart = 0;
    while (true) {
        const auto lineFeed = receiveBuffer_.find('\n', lineStart);
        if (lineFeed == std::string::npos) {
            break;
        }
        const std::string_view line(receiveBuffer_.data() + lineStart, lineFeed - lineStart);
        lineStart = lineFeed + 1;
        if (line.empty()) {
            continue;
        }
        auto decoded = decodeInputEventMessage(line);
        if (!decoded.value) {
            publish("Input illisible: " + decoded.error, std::nullopt, true);
            continue;
        }
        const InputEventMessage& message = *decoded.value;
        if (message.kind == "viewport") {
            handleViewport(message);
        } else if (message.kind == "stats") {
            handleClientStats(message);
        } else {
            dispatchGesture(message);
        }
    }
    receiveBuffer_.erase(0, lineStart);
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

} // namespace quorvi
