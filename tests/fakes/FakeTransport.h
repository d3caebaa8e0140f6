#pragma once

#include "platform/NetworkTransport.h"

#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace quorvi::testing {

// A connection the test feeds by hand, so that reads arrive in exactly the
// chunks a test wants. Completions run on the work queue, like the real one.
// Thread: test thread for deliver*/close*; work queue for the Connection API.
class FakeConnection final : public Connection,
                             public std::enable_shared_from_this<FakeConnection> {
public:
    void setStateHandler(StateHandler handler) override;
    void start(WorkQueue& queue) override;
    void receive(std::size_t minimumLength, std::size_t maximumLength,
                 ReceiveCompletion completion) override;
    void send(std::shared_ptr<const std::string> message, SendCompletion completion) override;
    void cancel() override;

    // Test side.
    void deliver(const std::string& bytes);
    void deliverEndOfStream();
    void deliverError(const std::string& description);
    void reportState(ConnectionState state);
    bool isCancelled() const;
    // Deliveries not yet handed to a read (the server has not asked again).
    std::size_t undeliveredCount() const;
    std::size_t receivesRequested() const;
    std::size_t largestReadRequested() const;
    std::vector<std::string> sentMessages() const;
    // Holds send completions until released, like a slow link.
    void holdSends(bool isHeld);
    void completeHeldSends(std::optional<NetworkError> error = std::nullopt);

private:
    struct Delivery {
        std::optional<Bytes> data;
        bool isComplete = false;
        std::optional<NetworkError> error;
    };
    void pump(); // with mutex_ held

    mutable std::mutex mutex_;
    WorkQueue* queue_ = nullptr;
    StateHandler stateHandler_;
    std::optional<ReceiveCompletion> pendingReceive_;
    std::deque<Delivery> deliveries_;
    std::vector<std::string> sent_;
    std::vector<std::pair<std::shared_ptr<const std::string>, SendCompletion>> heldSends_;
    bool isHoldingSends_ = false;
    bool isCancelled_ = false;
    std::size_t receivesRequested_ = 0;
    std::size_t largestRead_ = 0;
};

class FakeListener final : public Listener, public std::enable_shared_from_this<FakeListener> {
public:
    explicit FakeListener(std::uint16_t port) : port_(port) {}
    std::uint16_t port() const override { return port_; }
    void setService(ServiceDescription service) override;
    void setNewConnectionHandler(NewConnectionHandler handler) override;
    void setStateHandler(StateHandler handler) override;
    void setServiceProblemHandler(ServiceProblemHandler) override {}
    void start(WorkQueue& queue) override;
    void cancel() override;

    // Test side: a new client arrives; returns its connection. With
    // holdSends its sends wait from the very first frame.
    std::shared_ptr<FakeConnection> connectClient(bool holdSends = false);
    void reportState(ListenerState state);
    bool isStarted() const;
    ServiceDescription service() const;

private:
    mutable std::mutex mutex_;
    std::uint16_t port_;
    WorkQueue* queue_ = nullptr;
    ServiceDescription service_;
    NewConnectionHandler newConnectionHandler_;
    StateHandler stateHandler_;
};

class FakeTransport final : public NetworkTransport {
public:
    ListenerCreation makeListener(std::uint16_t port) override;
    // The next makeListener fails with this description.
    void failNextListener(std::string description);
    std::shared_ptr<FakeListener> lastListener() const;

private:
    mutable std::mutex mutex_;
    std::optional<std::string> failure_;
    std::shared_ptr<FakeListener> last_;
};

} // namespace quorvi::testing
