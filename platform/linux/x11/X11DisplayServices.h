#pragma once

#include "platform/DisplayServices.h"
#include "platform/linux/x11/X11ErrorHandling.h"

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace quorvi {

// One RandR monitor, in root-window pixels.
struct X11Monitor {
    DisplayID id = 0; // the monitor's name atom
    bool isPrimary = false;
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

// The display layout of an X screen: the online monitors in the server's
// order, the main one, and where the main display's top-left corner (the
// origin of the global display space) lies in root-window pixels. One point
// of the global space is one X pixel.
struct X11DisplayLayout {
    std::vector<X11Monitor> monitors;
    DisplayID mainID = 0;
    int originX = 0;
    int originY = 0;

    const X11Monitor* find(DisplayID id) const;
    DisplayRect bounds(DisplayID id) const;
};

// Keeps the monitors whose rectangle lies inside a screen of screenWidth x
// screenHeight (a monitor left outside by a shrunk screen shows nothing),
// and takes as main the primary monitor, else the first.
X11DisplayLayout makeX11DisplayLayout(const std::vector<X11Monitor>& monitors, int screenWidth,
                                      int screenHeight);

// Reads the layout of the default screen through RandR 1.5. Empty when the
// server lacks RandR 1.5 or does not answer.
X11DisplayLayout readX11DisplayLayout(x11::XDisplay* display);

// Display services over X11: the displays are the active RandR monitors.
// They are asked several times a frame, so the layout is kept and read
// again only when RandR reports a change of screen, CRTC or output (seen
// within kEventsReadInterval), or once it is kLayoutMaxAge old: monitors set
// with XRRSetMonitor raise no event.
// While the X server is away every query answers "no display"; a server
// that comes back is picked up by the next query.
//
// Thread: any; one X connection of its own, serialized by a mutex.
class X11DisplayServices final : public DisplayServices {
public:
    // An empty name means $DISPLAY.
    explicit X11DisplayServices(std::string displayName = {});
    ~X11DisplayServices() override;

    DisplayID mainDisplayID() override;
    DisplayRect bounds(DisplayID id) override;
    std::size_t pixelsWide(DisplayID id) override;
    std::size_t pixelsHigh(DisplayID id) override;
    std::vector<DisplayID> onlineDisplayIDs() override;
    std::optional<DisplayPoint> pointerLocation() override;

    static constexpr std::chrono::milliseconds kLayoutMaxAge{250};
    static constexpr std::chrono::milliseconds kEventsReadInterval{5};

private:
    X11DisplayLayout layout();

    std::mutex mutex_;
    x11::Connection connection_;
    // The connection the events are asked on, and what was read through it.
    std::uint64_t listeningGeneration_ = 0;
    int randrEventBase_ = 0;
    std::optional<X11DisplayLayout> layout_;
    std::chrono::steady_clock::time_point layoutReadAt_{};
    std::chrono::steady_clock::time_point eventsReadAt_{};
};

} // namespace quorvi
