#include "platform/linux/gnome/GnomePrivacyGrants.h"

#include <systemd/sd-bus.h>

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

// The bus's own NameHasOwner, bounded: a bus that stopped answering must not
// stall the frame loop that asks.
bool GnomePrivacyGrants::isOwned(const char* name) {
    std::string error;
    const dbus::Message reply = bus_->call(
        "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
        error, [name](sd_bus_message* m) { return sd_bus_message_append(m, "s", name); },
        kCallTimeout);
    int isOwned = 0;
    return reply && sd_bus_message_read(reply.get(), "b", &isOwned) >= 0 && isOwned != 0;
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
    answer_ = {isOwned("org.gnome.Mutter.ScreenCast"), isOwned("org.gnome.Mutter.RemoteDesktop")};
    if (!bus_->isOpen()) {
        bus_.reset();
        answer_ = {};
    }
    return answer_;
}

} // namespace quorvi
