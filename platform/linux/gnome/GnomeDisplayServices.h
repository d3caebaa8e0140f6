#pragma once

#include "platform/DisplayServices.h"
#include "platform/MonitorConfiguration.h"
#include "platform/linux/gnome/DBusConnection.h"

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace quorvi {

// The displays of GNOME: Mutter's logical monitors as its display
// configuration service describes them, one point being one unit of its
// layout (a logical pixel, or a pixel when Mutter lays monitors out in
// pixels), each named by a hash of its monitor's identity so that it keeps
// its identifier when Mutter or this process restarts. The configuration is
// read once and again whenever Mutter says it changed; a bus that went away
// (the session restarted) is joined again, at most once a second, and
// meanwhile no display is attached. Mutter tells its clients nothing about
// the pointer, so its location is unknown here.
//
// Thread: any; a mutex serializes the bus connection.
class GnomeDisplayServices final : public DisplayServices {
public:
    GnomeDisplayServices();
    ~GnomeDisplayServices() override;
    GnomeDisplayServices(const GnomeDisplayServices&) = delete;
    GnomeDisplayServices& operator=(const GnomeDisplayServices&) = delete;

    DisplayID mainDisplayID() override;
    DisplayRect bounds(DisplayID id) override;
    std::size_t pixelsWide(DisplayID id) override;
    std::size_t pixelsHigh(DisplayID id) override;
    std::vector<DisplayID> onlineDisplayIDs() override;
    std::optional<DisplayPoint> pointerLocation() override;

    GlobalDisplayLayout layout();
    // The connector a display is recorded from ("Meta-0").
    std::optional<std::string> connectorOf(DisplayID id);
    // The display on connector, read afresh so that a monitor Mutter added a
    // moment ago is known; 0 when there is none.
    DisplayID displayOnConnector(const std::string& connector);
    // Mutter's configuration read afresh, as needed to change it; empty
    // (serial 0, no monitor) when Mutter does not answer.
    MonitorConfiguration configuration();
    // The serial of the configuration last read; 0 before any.
    std::uint32_t serial();

private:
    using Clock = std::chrono::steady_clock;

    // With the mutex held: the current layout, read again first when fresh
    // is set or when Mutter said it changed.
    const MonitorLayout& current(bool fresh);
    bool connect(Clock::time_point now);
    void read(Clock::time_point now);
    void disconnect();
    std::optional<LaidOutDisplay> find(DisplayID id);

    std::mutex mutex_;
    std::unique_ptr<dbus::Connection> bus_;
    std::optional<Clock::time_point> lastConnectAttempt_;
    Clock::time_point lastProcess_;
    std::optional<Clock::time_point> lastFailedRead_;
    bool isStale_ = true;
    std::optional<MonitorConfiguration> configuration_;
    MonitorLayout layout_;
};

} // namespace quorvi
