#include "platform/linux/wlroots/WaylandSession.h"

namespace quorvi::wayland {

namespace {
constexpr auto kReopenInterval = std::chrono::seconds(1);
}

Connection* Session::current() {
    const auto now = std::chrono::steady_clock::now();
    if (connection_ != nullptr && (!lastRefresh_ || now - *lastRefresh_ >= refreshInterval_)) {
        lastRefresh_ = now;
        if (!connection_->dispatchPending()) {
            if (beforeClose_) {
                beforeClose_();
            }
            connection_.reset();
            whyNot_ = "le compositeur Wayland a disparu";
        }
    }
    if (connection_ == nullptr &&
        (!lastOpenAttempt_ || now - *lastOpenAttempt_ >= kReopenInterval)) {
        lastOpenAttempt_ = now;
        lastRefresh_ = now;
        connection_ = Connection::open(whyNot_);
    }
    return connection_.get();
}

} // namespace quorvi::wayland
