#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace quorvi {

class WorkQueue;

// A network failure as the user sees it: a French description, never a code.
struct NetworkError {
    std::string description;
};

enum class ListenerStateKind { setup, waiting, ready, failed, cancelled };
struct ListenerState {
    ListenerStateKind kind;
    std::optional<NetworkError> error; // set for failed
};

enum class ConnectionStateKind { setup, preparing, waiting, ready, failed, cancelled };
struct ConnectionState {
    ConnectionStateKind kind;
    std::optional<NetworkError> error; // set for failed
};

using Bytes = std::vector<std::uint8_t>;

// One client connection. Every callback runs on the work queue it was started
// on. After cancel(), pending receives complete with end of stream and the
// state becomes cancelled (reported once).
//
// Thread: work queue, after start().
class Connection {
public:
    using StateHandler = std::function<void(const ConnectionState&)>;
    using ReceiveCompletion = std::function<void(std::optional<Bytes> data, bool isComplete,
                                                 std::optional<NetworkError> error)>;
    using SendCompletion = std::function<void(std::optional<NetworkError> error)>;

    virtual ~Connection() = default;
    virtual void setStateHandler(StateHandler handler) = 0;
    virtual void start(WorkQueue& queue) = 0;
    // Completes once with 1..maximumLength bytes, end of stream, or an error.
    virtual void receive(std::size_t minimumLength, std::size_t maximumLength,
                         ReceiveCompletion completion) = 0;
    // Writes the whole message after earlier sends; completes once all of it
    // was handed to the kernel, or with an error.
    virtual void send(std::shared_ptr<const std::string> message, SendCompletion completion) = 0;
    virtual void cancel() = 0;
    // The peer's address as accepted ("192.168.1.20", "fe80::1%eth0",
    // "::ffff:10.0.0.3"); empty when unknown. Thread: any, before start too.
    virtual std::string peerAddress() const = 0;
};

// How the listener is advertised over DNS-SD.
struct ServiceDescription {
    std::string name;
    std::string type; // "_quorvi._tcp"
};

// A TCP listener. Created bound (so a taken port fails at creation), then
// started on the work queue, where every callback runs.
//
// Thread: created on any thread; after start(), work queue only.
class Listener {
public:
    using NewConnectionHandler = std::function<void(std::shared_ptr<Connection>)>;
    using StateHandler = std::function<void(const ListenerState&)>;
    // DNS-SD trouble that does not stop the listener ("Bonjour indisponible").
    using ServiceProblemHandler = std::function<void(const std::string& reason)>;

    virtual ~Listener() = default;
    virtual std::uint16_t port() const = 0;
    virtual void setService(ServiceDescription service) = 0;
    virtual void setNewConnectionHandler(NewConnectionHandler handler) = 0;
    virtual void setStateHandler(StateHandler handler) = 0;
    virtual void setServiceProblemHandler(ServiceProblemHandler handler) = 0;
    virtual void start(WorkQueue& queue) = 0;
    virtual void cancel() = 0;
};

struct ListenerCreation {
    std::shared_ptr<Listener> listener; // set on success
    std::optional<NetworkError> error;  // set on failure
};

// Thread: any.
class NetworkTransport {
public:
    virtual ~NetworkTransport() = default;
    virtual ListenerCreation makeListener(std::uint16_t port) = 0;
};

} // namespace quorvi
