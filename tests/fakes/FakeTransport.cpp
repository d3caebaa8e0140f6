#include "fakes/FakeTransport.h"

#include "platform/WorkQueue.h"

#include <algorithm>

namespace quorvi::testing {

void FakeConnection::setStateHandler(StateHandler handler) {
    std::lock_guard lock(mutex_);
    stateHandler_ = std::move(handler);
}

void FakeConnection::start(WorkQueue& queue) {
    {
        std::lock_guard lock(mutex_);
        queue_ = &queue;
    }
    reportState({ConnectionStateKind::ready, std::nullopt});
}

void FakeConnection::receive(std::size_t, std::size_t maximumLength, ReceiveCompletion completion) {
    std::lock_guard lock(mutex_);
    ++receivesRequested_;
    largestRead_ = std::max(largestRead_, maximumLength);
    pendingReceive_ = std::move(completion);
    pump();
}

void FakeConnection::send(std::shared_ptr<const std::string> message, SendCompletion completion) {
    std::lock_guard lock(mutex_);
    sent_.push_back(*message);
    if (isHoldingSends_) {
        heldSends_.emplace_back(std::move(message), std::move(completion));
        return;
    }
    queue_->post([completion = std::move(completion)] { completion(std::nullopt); });
}

void FakeConnection::cancel() {
    std::lock_guard lock(mutex_);
    if (isCancelled_) {
        return;
    }
    isCancelled_ = true;
    deliveries_.push_back({std::nullopt, true, std::nullopt});
    pump();
    // Like a closed socket, a cancelled connection aborts its pending
    // writes; their completions (which hold this connection) go with them.
    if (queue_ != nullptr) {
        for (auto& held : heldSends_) {
            queue_->post([completion = std::move(held.second)] {
                completion(NetworkError{"Opération annulée"});
            });
        }
    }
    heldSends_.clear();
    isHoldingSends_ = false;
    if (queue_ != nullptr) {
        queue_->post([self = shared_from_this()] {
            StateHandler handler;
            {
                std::lock_guard lock(self->mutex_);
                handler = self->stateHandler_;
            }
            if (handler) {
                handler({ConnectionStateKind::cancelled, std::nullopt});
            }
        });
    }
}

void FakeConnection::pump() {
    if (!pendingReceive_ || deliveries_.empty() || queue_ == nullptr) {
        return;
    }
    auto completion = std::move(*pendingReceive_);
    pendingReceive_.reset();
    auto delivery = std::move(deliveries_.front());
    deliveries_.pop_front();
    queue_->post([completion = std::move(completion), delivery = std::move(delivery)]() mutable {
        completion(std::move(delivery.data), delivery.isComplete, std::move(delivery.error));
    });
}

void FakeConnection::deliver(const std::string& bytes) {
    std::lock_guard lock(mutex_);
    deliveries_.push_back({Bytes(bytes.begin(), bytes.end()), false, std::nullopt});
    pump();
}

void FakeConnection::deliverEndOfStream() {
    std::lock_guard lock(mutex_);
    deliveries_.push_back({std::nullopt, true, std::nullopt});
    pump();
}

void FakeConnection::deliverError(const std::string& description) {
    std::lock_guard lock(mutex_);
    deliveries_.push_back({std::nullopt, false, NetworkError{description}});
    pump();
}

void FakeConnection::reportState(ConnectionState state) {
    std::lock_guard lock(mutex_);
    if (queue_ == nullptr) {
        return;
    }
    queue_->post([self = shared_from_this(), state = std::move(state)] {
        StateHandler handler;
        {
            std::lock_guard lock(self->mutex_);
            handler = self->stateHandler_;
        }
        if (handler) {
            handler(state);
        }
    });
}

bool FakeConnection::isCancelled() const {
    std::lock_guard lock(mutex_);
    return isCancelled_;
}

std::size_t FakeConnection::undeliveredCount() const {
    std::lock_guard lock(mutex_);
    return deliveries_.size();
}

std::size_t FakeConnection::receivesRequested() const {
    std::lock_guard lock(mutex_);
    return receivesRequested_;
}

std::size_t FakeConnection::largestReadRequested() const {
    std::lock_guard lock(mutex_);
    return largestRead_;
}

std::vector<std::string> FakeConnection::sentMessages() const {
    std::lock_guard lock(mutex_);
    return sent_;
}

void FakeConnection::holdSends(bool isHeld) {
    std::lock_guard lock(mutex_);
    isHoldingSends_ = isHeld;
}

void FakeConnection::completeHeldSends(std::optional<NetworkError> error) {
    std::lock_guard lock(mutex_);
    for (auto& [message, completion] : heldSends_) {
        queue_->post([completion = std::move(completion), error] { completion(error); });
    }
    heldSends_.clear();
}

void FakeListener::setService(ServiceDescription service) {
    std::lock_guard lock(mutex_);
    service_ = std::move(service);
}

void FakeListener::setNewConnectionHandler(NewConnectionHandler handler) {
    std::lock_guard lock(mutex_);
    newConnectionHandler_ = std::move(handler);
}

void FakeListener::setStateHandler(StateHandler handler) {
    std::lock_guard lock(mutex_);
    stateHandler_ = std::move(handler);
}

void FakeListener::start(WorkQueue& queue) {
    {
        std::lock_guard lock(mutex_);
        queue_ = &queue;
    }
    reportState({ListenerStateKind::ready, std::nullopt});
}

void FakeListener::cancel() {
    reportState({ListenerStateKind::cancelled, std::nullopt});
}

std::shared_ptr<FakeConnection> FakeListener::connectClient(bool holdSends) {
    auto connection = std::make_shared<FakeConnection>();
    connection->holdSends(holdSends);
    std::lock_guard lock(mutex_);
    queue_->post([handler = newConnectionHandler_, connection] { handler(connection); });
    return connection;
}

void FakeListener::reportState(ListenerState state) {
    std::lock_guard lock(mutex_);
    if (queue_ == nullptr) {
        return;
    }
    queue_->post([handler = stateHandler_, state = std::move(state)] {
        if (handler) {
            handler(state);
        }
    });
}

bool FakeListener::isStarted() const {
    std::lock_guard lock(mutex_);
    return queue_ != nullptr;
}

ServiceDescription FakeListener::service() const {
    std::lock_guard lock(mutex_);
    return service_;
}

ListenerCreation FakeTransport::makeListener(std::uint16_t port) {
    std::lock_guard lock(mutex_);
    if (failure_) {
        auto description = *failure_;
        failure_.reset();
        return {nullptr, NetworkError{description}};
    }
    last_ = std::make_shared<FakeListener>(port == 0 ? 54545 : port);
    return {last_, std::nullopt};
}

void FakeTransport::failNextListener(std::string description) {
    std::lock_guard lock(mutex_);
    failure_ = std::move(description);
}

std::shared_ptr<FakeListener> FakeTransport::lastListener() const {
    std::lock_guard lock(mutex_);
    return last_;
}

} // namespace quorvi::testing
