#include "platform/linux/gnome/DBusConnection.h"

#include <cerrno>
#include <cstring>
#include <systemd/sd-bus.h>

namespace quorvi::dbus {

namespace {

std::string errorText(const sd_bus_error& error, int result) {
    if (error.message != nullptr) {
        return error.message;
    }
    if (error.name != nullptr) {
        return error.name;
    }
    return std::strerror(-result);
}

int onSignal(sd_bus_message* message, void* userdata, sd_bus_error*) {
    auto* handler = static_cast<std::function<void(sd_bus_message*)>*>(userdata);
    (*handler)(message);
    return 0;
}

} // namespace

Message::~Message() {
    sd_bus_message_unref(message_);
}

Message& Message::operator=(Message&& other) noexcept {
    if (this != &other) {
        sd_bus_message_unref(message_);
        message_ = other.message_;
        other.message_ = nullptr;
    }
    return *this;
}

std::unique_ptr<Connection> Connection::openSessionBus(std::string& error) {
    sd_bus* bus = nullptr;
    const int result = sd_bus_open_user(&bus);
    if (result < 0) {
        error = std::string("bus de session injoignable (") + std::strerror(-result) + ")";
        return nullptr;
    }
    return std::unique_ptr<Connection>(new Connection(bus));
}

Connection::~Connection() {
    for (Subscription& subscription : subscriptions_) {
        sd_bus_slot_unref(subscription.slot);
    }
    sd_bus_flush_close_unref(bus_);
}

bool Connection::isOpen() const {
    return sd_bus_is_open(bus_) > 0;
}

Message Connection::call(const char* destination, const char* path, const char* interface,
                         const char* member, std::string& error, const Arguments& arguments,
                         std::chrono::milliseconds timeout) {
    sd_bus_message* request = nullptr;
    int result =
        sd_bus_message_new_method_call(bus_, &request, destination, path, interface, member);
    if (result < 0) {
        error = std::strerror(-result);
        return Message();
    }
    Message requestHolder(request);
    if (arguments) {
        result = arguments(request);
        if (result < 0) {
            error = std::string("arguments refusés (") + std::strerror(-result) + ")";
            return Message();
        }
    }
    sd_bus_error callError = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    result = sd_bus_call(bus_, request, static_cast<std::uint64_t>(timeout.count()) * 1000,
                         &callError, &reply);
    if (result < 0) {
        error = errorText(callError, result);
        sd_bus_error_free(&callError);
        return Message();
    }
    sd_bus_error_free(&callError);
    return Message(reply);
}

bool Connection::hasOwner(const char* name, std::chrono::milliseconds timeout) {
    std::string error;
    Message reply = call(
        "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
        error, [name](sd_bus_message* m) { return sd_bus_message_append(m, "s", name); }, timeout);
    int owned = 0;
    return reply && sd_bus_message_read(reply.get(), "b", &owned) >= 0 && owned != 0;
}

bool Connection::subscribe(const char* sender, const char* path, const char* interface,
                           const char* member, std::function<void(sd_bus_message*)> handler) {
    Subscription& subscription = subscriptions_.emplace_back();
    subscription.handler = std::move(handler);
    const int result = sd_bus_match_signal(bus_, &subscription.slot, sender, path, interface,
                                           member, onSignal, &subscription.handler);
    if (result < 0) {
        subscriptions_.pop_back();
        return false;
    }
    return true;
}

bool Connection::process() {
    for (;;) {
        const int result = sd_bus_process(bus_, nullptr);
        if (result < 0) {
            return false;
        }
        if (result == 0) {
            return isOpen();
        }
    }
}

bool Connection::waitFor(const std::function<bool()>& isDone, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (!process()) {
            return isDone();
        }
        if (isDone()) {
            return true;
        }
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        if (sd_bus_wait(bus_, static_cast<std::uint64_t>(left.count())) < 0) {
            return isDone();
        }
    }
}

std::string readStringProperty(Connection& connection, const char* destination, const char* path,
                               const char* interface, const char* property, std::string& error) {
    Message reply = connection.call(destination, path, "org.freedesktop.DBus.Properties", "Get",
                                    error, [interface, property](sd_bus_message* m) {
                                        return sd_bus_message_append(m, "ss", interface, property);
                                    });
    const char* value = nullptr;
    if (!reply || sd_bus_message_read(reply.get(), "v", "s", &value) < 0 || value == nullptr) {
        return "";
    }
    return value;
}

} // namespace quorvi::dbus
