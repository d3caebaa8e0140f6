#pragma once

#include <chrono>
#include <functional>
#include <list>
#include <memory>
#include <string>

struct sd_bus;
struct sd_bus_message;
struct sd_bus_slot;

namespace quorvi::dbus {

// One D-Bus message we hold a reference to (a reply, usually). Empty when a
// call failed.
//
// Thread: the thread of the connection it came from.
class Message {
public:
    Message() = default;
    // Takes over a reference the caller owns.
    explicit Message(sd_bus_message* message) : message_(message) {}
    ~Message();
    Message(Message&& other) noexcept : message_(other.message_) { other.message_ = nullptr; }
    Message& operator=(Message&& other) noexcept;
    Message(const Message&) = delete;
    Message& operator=(const Message&) = delete;

    explicit operator bool() const { return message_ != nullptr; }
    sd_bus_message* get() const { return message_; }

private:
    sd_bus_message* message_ = nullptr;
};

// The arguments of a call, written into the message before it is sent; a
// negative sd-bus result aborts the call.
using Arguments = std::function<int(sd_bus_message*)>;

// A private connection to the session bus: Mutter ties a screen-cast or
// remote-desktop session to the connection that made it, so every owner of
// such a session has a connection of its own, and the session ends when the
// connection closes. Calls block for at most their timeout; signals are
// delivered by process() or waitFor(), never on another thread.
//
// Thread: one thread at a time; owners serialize with their own lock.
class Connection {
public:
    // The session bus of DBUS_SESSION_BUS_ADDRESS; nullptr with the reason
    // in French when it cannot be reached.
    static std::unique_ptr<Connection> openSessionBus(std::string& error);

    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Calls member of interface on the object path of destination. An
    // empty Message on failure, with the bus's error text in error.
    Message call(const char* destination, const char* path, const char* interface,
                 const char* member, std::string& error, const Arguments& arguments = {},
                 std::chrono::milliseconds timeout = std::chrono::seconds(5));

    // Whether a process owns the bus name right now; false too when the bus
    // does not answer within the timeout.
    bool hasOwner(const char* name, std::chrono::milliseconds timeout = std::chrono::seconds(5));

    // Calls handler for every signal member of interface sent by sender
    // (a well-known name also matches its owner), on any path when path is
    // null. The subscription lasts as long as the connection.
    bool subscribe(const char* sender, const char* path, const char* interface, const char* member,
                   std::function<void(sd_bus_message*)> handler);

    // Handles what arrived without waiting; false once the connection is
    // lost.
    bool process();
    // Handles messages as they arrive until isDone() or the timeout;
    // whether isDone() became true.
    bool waitFor(const std::function<bool()>& isDone, std::chrono::milliseconds timeout);

    bool isOpen() const;

private:
    explicit Connection(sd_bus* bus) : bus_(bus) {}

    struct Subscription {
        std::function<void(sd_bus_message*)> handler;
        sd_bus_slot* slot = nullptr;
    };

    sd_bus* bus_ = nullptr;
    std::list<Subscription> subscriptions_;
};

// A string property of an object; "" with the bus's error text in error
// when it cannot be read.
std::string readStringProperty(Connection& connection, const char* destination, const char* path,
                               const char* interface, const char* property, std::string& error);

} // namespace quorvi::dbus
