#pragma once

#include "platform/linux/wlroots/WaylandConnection.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace quorvi::wayland {

// A connection that comes back: opened on first use, read for news at most
// every refreshInterval, and opened anew (at most once a second) after the
// compositor went away, so that a restarted compositor is picked up.
// beforeClose runs just before a lost connection is closed: an owner that
// made objects on it destroys them there, since they must go first.
//
// Thread: one thread at a time; owners serialize with their own lock.
class Session {
public:
    explicit Session(std::chrono::milliseconds refreshInterval,
                     std::function<void()> beforeClose = {})
        : refreshInterval_(refreshInterval), beforeClose_(std::move(beforeClose)) {}

    // The live connection with the compositor's latest news handled, or
    // nullptr while no compositor answers (whyNot() says why).
    Connection* current();
    const std::string& whyNot() const { return whyNot_; }

private:
    std::chrono::milliseconds refreshInterval_;
    std::function<void()> beforeClose_;
    std::unique_ptr<Connection> connection_;
    std::optional<std::chrono::steady_clock::time_point> lastRefresh_;
    std::optional<std::chrono::steady_clock::time_point> lastOpenAttempt_;
    std::string whyNot_;
};

} // namespace quorvi::wayland
