#include "platform/linux/gnome/GnomePrivacyGrants.h"

namespace quorvi {

namespace {
constexpr auto kCheckInterval = std::chrono::milliseconds(250);
constexpr auto kReconnectInterval = std::chrono::seconds(1);
constexpr auto kCallTimeout = std::chrono::seconds(1);
} // namespace

GnomePrivacyGrants::GnomePrivacyGrants() = default;
GnomePrivacyGrants::~GnomePrivacyGrants() = default;

bool GnomePrivacyGrants::isScreenRecordingGranted() {
    return current().isScreenCastOwned;
}

bool GnomePrivacyGrants::isAccessibilityGranted() {
    return current().isRemoteDesktopOwned;
}

GnomePrivacyGrants::Answer GnomePrivacyGrants::current() {
    std::lock_guard lock(mutex_);
    const auto now = Clock::now();
    if (lastCheck_ && now - *lastCheck_ < kCheckInterval) {
        return answer_;
    }
    lastCheck_ = now;
    // Nothing is subscribed, but the bus still sends a few signals of its
    // own; reading them also tells a connection that was closed.
    if (bus_ != nullptr && !bus_->process()) {
        bus_.reset();
    }
    if (bus_ == nullptr) {
        if (lastConnectAttempt_ && now - *lastConnectAttempt_ < kReconnectInterval) {
            answer_ = {};
            return answer_;
        }
        lastConnectAttempt_ = now;
        std::string error;
        bus_ = dbus::Connection::openSessionBus(error);
        if (bus_ == nullptr) {
            answer_ = {};
            return answer_;
        }
    }
    // Bounded: a bus that stopped answering must not stall the frame loop
    // that asks.
    answer_ = {bus_->hasOwner("org.gnome.Mutter.ScreenCast", kCallTimeout),
               bus_->hasOwner("org.gnome.Mutter.RemoteDesktop", kCallTimeout)};
    if (!bus_->isOpen()) {
        bus_.reset();
        answer_ = {};
    }
    return answer_;
}

} // namespace quorvi
