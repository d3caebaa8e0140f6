#pragma once

#include "platform/linux/gnome/DBusConnection.h"
#include "system/PrivacyGrants.h"

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>

namespace quorvi {

// What GNOME lets this process do, without asking the user: read the screen
// while Mutter's screen-cast service is on the session bus, post input while
// its remote-desktop service is. Both are asked together, at most four
// times a second, on a connection kept for the purpose; a bus that went
// away is joined again at most once a second, and until then nothing is
// granted.
//
// Thread: any; a mutex serializes the bus connection, and no call blocks
// longer than the bus's answer timeout (a second).
class GnomePrivacyGrants final : public PrivacyGrants {
public:
    GnomePrivacyGrants();
    ~GnomePrivacyGrants() override;
    GnomePrivacyGrants(const GnomePrivacyGrants&) = delete;
    GnomePrivacyGrants& operator=(const GnomePrivacyGrants&) = delete;

    bool isScreenRecordingGranted() override;
    bool isAccessibilityGranted() override;

private:
    using Clock = std::chrono::steady_clock;

    struct Answer {
        bool isScreenCastOwned = false;
        bool isRemoteDesktopOwned = false;
    };

    Answer current();

    std::mutex mutex_;
    std::unique_ptr<dbus::Connection> bus_;
    std::optional<Clock::time_point> lastConnectAttempt_;
    std::optional<Clock::time_point> lastCheck_;
    Answer answer_;
};

} // namespace quorvi
