#pragma once

#include "platform/NetworkTransport.h"
#include "platform/WorkQueue.h"

#include <algorithm>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quorvi::testing {

// A connection the test feeds by hand, so that reads arrive in exactly the
// chunks a test wants. Completions run on the work queue, like the real one.
// Thread: any (a mutex guards everything).
class FakeConnection final : public Connection,
                             public std::enable_shared_from_this<FakeConnection> {
public:
    void setStateHandler(StateHandler handler) override {
        locked([&] { handler_ = handler; });
    }
    void start(WorkQueue& queue) override {
        locked([&] { queue_ = &queue; });
        postState(ConnectionStateKind::ready);
    }
    void receive(std::size_t, std::size_t maximumLength, ReceiveCompletion completion) override {
        std::lock_guard lock(mutex_);
        largestRead_ = std::max(largestRead_, maximumLength);
        pendingReceive_ = std::move(completion);
        pump();
    }
    void send(std::shared_ptr<const std::string> message, SendCompletion completion) override {
        std::lock_guard lock(mutex_);
        sent_.push_back(*message);
        heldSends_.push_back(std::move(completion));
        if (!isHoldingSends_) {
            releaseSends(std::nullopt);
        }
    }
    // Like a closed socket: the pending read ends, held writes are aborted.
    void cancel() override {
        if (locked([&] { return std::exchange(isCancelled_, true); })) {
            return;
        }
        push(std::nullopt); // the end of the stream
        completeHeldSends(NetworkError{"Opération annulée"});
        postState(ConnectionStateKind::cancelled);
    }

    std::string peerAddress() const override {
        return locked([&] { return peerAddress_; });
    }
    void setPeerAddress(std::string address) {
        locked([&] { peerAddress_ = std::move(address); });
    }

    void deliver(const std::string& bytes) { push(Bytes(bytes.begin(), bytes.end())); }
    // Deliveries not yet handed to a read (the server has not asked again).
    std::size_t undeliveredCount() const {
        return locked([&] { return deliveries_.size(); });
    }
    bool isCancelled() const {
        return locked([&] { return isCancelled_; });
    }
    std::size_t largestReadRequested() const {
        return locked([&] { return largestRead_; });
    }
    std::vector<std::string> sentMessages() const {
        return locked([&] { return sent_; });
    }
    // Holds send completions until released, like a slow link.
    void holdSends(bool isHeld) {
        locked([&] { isHoldingSends_ = isHeld; });
    }
    void completeHeldSends(std::optional<NetworkError> error = std::nullopt) {
        locked([&] { releaseSends(error); });
    }

private:
    template <typename Call> auto locked(Call call) const -> decltype(call()) {
        std::lock_guard lock(mutex_);
        return call();
    }
    void push(std::optional<Bytes> delivery) {
        std::lock_guard lock(mutex_);
        deliveries_.push_back(std::move(delivery));
        pump();
    }
    // pump() and releaseSends() run with mutex_ held.
    void pump() {
        if (pendingReceive_ && !deliveries_.empty() && queue_ != nullptr) {
            queue_->post([completion = *std::exchange(pendingReceive_, std::nullopt),
                          data = std::move(deliveries_.front())]() mutable {
                const bool isEndOfStream = !data;
                completion(std::move(data), isEndOfStream, std::nullopt);
            });
            deliveries_.pop_front();
        }
    }
    void releaseSends(const std::optional<NetworkError>& error) {
        for (auto& completion : heldSends_) {
            queue_->post([completion, error] { completion(error); });
        }
        heldSends_.clear();
    }
    void postState(ConnectionStateKind kind) {
        std::lock_guard lock(mutex_);
        if (queue_ != nullptr) {
            queue_->post([self = shared_from_this(), kind] {
                if (auto handler = self->locked([&] { return self->handler_; })) {
                    handler({kind, std::nullopt});
                }
            });
        }
    }

    mutable std::mutex mutex_;
    WorkQueue* queue_ = nullptr;
    StateHandler handler_;
    std::optional<ReceiveCompletion> pendingReceive_;
    std::deque<std::optional<Bytes>> deliveries_;
    std::vector<std::string> sent_;
    std::vector<SendCompletion> heldSends_;
    bool isHoldingSends_ = false;
    bool isCancelled_ = false;
    std::size_t largestRead_ = 0;
    std::string peerAddress_ = "127.0.0.1";
};

class FakeListener final : public Listener {
public:
    FakeListener(std::uint16_t port, std::optional<NetworkError> startFailure)
        : port_(port), startFailure_(std::move(startFailure)) {}
    std::uint16_t port() const override { return port_; }
    void setService(ServiceDescription) override {}
    // The server sets its handlers before it starts the listener, and the
    // test connects clients only after that.
    void setNewConnectionHandler(NewConnectionHandler handler) override {
        onConnection_ = std::move(handler);
    }
    void setStateHandler(StateHandler handler) override { onState_ = std::move(handler); }
    void setServiceProblemHandler(ServiceProblemHandler) override {}
    void start(WorkQueue& queue) override {
        queue_ = &queue;
        queue_->post([handler = onState_, failure = startFailure_] {
            handler({failure ? ListenerStateKind::failed : ListenerStateKind::ready, failure});
        });
    }
    void cancel() override {
        queue_->post([handler = onState_] { handler({ListenerStateKind::cancelled, {}}); });
    }

    // A new client arrives; with holdSends its sends wait from the very
    // first frame.
    std::shared_ptr<FakeConnection> connectClient(bool holdSends = false) {
        auto connection = std::make_shared<FakeConnection>();
        connection->holdSends(holdSends);
        queue_->post([handler = onConnection_, connection] { handler(connection); });
        return connection;
    }

private:
    std::uint16_t port_;
    std::optional<NetworkError> startFailure_;
    WorkQueue* queue_ = nullptr;
    NewConnectionHandler onConnection_;
    StateHandler onState_;
};

class FakeTransport final : public NetworkTransport {
public:
    ListenerCreation makeListener(std::uint16_t port) override {
        std::lock_guard lock(mutex_);
        if (!failure_.empty()) {
            return {nullptr, NetworkError{std::exchange(failure_, "")}};
        }
        last_ = std::make_shared<FakeListener>(port == 0 ? 54545 : port,
                                               std::exchange(startFailure_, std::nullopt));
        return {last_, std::nullopt};
    }
    // The next listener cannot be created.
    void failNextListener(std::string description) {
        std::lock_guard lock(mutex_);
        failure_ = std::move(description);
    }
    // The next listener is created, then fails when started, as an acceptor
    // does when it cannot take over its bound socket.
    void failNextListenerStart(std::string description) {
        std::lock_guard lock(mutex_);
        startFailure_ = NetworkError{std::move(description)};
    }
    std::shared_ptr<FakeListener> lastListener() const {
        std::lock_guard lock(mutex_);
        return last_;
    }

private:
    mutable std::mutex mutex_;
    std::string failure_;
    std::optional<NetworkError> startFailure_;
    std::shared_ptr<FakeListener> last_;
};

} // namespace quorvi::testing
