#include "platform/linux/x11/X11DisplayServices.h"

#include "platform/linux/x11/X11RootWindow.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

namespace quorvi {

const X11Monitor* X11DisplayLayout::find(DisplayID id) const {
    if (id == 0) {
        return nullptr;
    }
    for (const X11Monitor& monitor : monitors) {
        if (monitor.id == id) {
            return &monitor;
        }
    }
    return nullptr;
}

DisplayRect X11DisplayLayout::bounds(DisplayID id) const {
    const X11Monitor* monitor = find(id);
    if (monitor == nullptr) {
        return {};
    }
    return {static_cast<double>(monitor->x - originX), static_cast<double>(monitor->y - originY),
            static_cast<double>(monitor->width), static_cast<double>(monitor->height)};
}

X11DisplayLayout makeX11DisplayLayout(const std::vector<X11Monitor>& monitors, int screenWidth,
                                      int screenHeight) {
    X11DisplayLayout layout;
    for (const X11Monitor& monitor : monitors) {
        // Compared in 64 bits: x + width of a hostile reply must not
        // overflow.
        const bool isInside = monitor.id != 0 && monitor.width > 0 && monitor.height > 0 &&
                              monitor.x >= 0 && monitor.y >= 0 &&
                              static_cast<std::int64_t>(monitor.x) + monitor.width <= screenWidth &&
                              static_cast<std::int64_t>(monitor.y) + monitor.height <= screenHeight;
        if (isInside) {
            layout.monitors.push_back(monitor);
        }
    }
    if (layout.monitors.empty()) {
        return layout;
    }
    const X11Monitor* main = &layout.monitors.front();
    for (const X11Monitor& monitor : layout.monitors) {
        if (monitor.isPrimary) {
            main = &monitor;
            break;
        }
    }
    layout.mainID = main->id;
    layout.originX = main->x;
    layout.originY = main->y;
    return layout;
}

X11DisplayLayout readX11DisplayLayout(x11::XDisplay* display) {
    int major = 0;
    int minor = 0;
    // libXrandr asks the server once per connection and remembers.
    if (!XRRQueryVersion(display, &major, &minor) || major < 1 || (major == 1 && minor < 5)) {
        return {};
    }
    const std::optional<x11::ScreenSize> screen = x11::currentScreenSize(display);
    if (!screen) {
        return {};
    }
    int count = 0;
    XRRMonitorInfo* infos = XRRGetMonitors(display, DefaultRootWindow(display), True, &count);
    if (infos == nullptr) {
        return {};
    }
    std::vector<X11Monitor> monitors;
    monitors.reserve(static_cast<std::size_t>(count > 0 ? count : 0));
    for (int i = 0; i < count; ++i) {
        const XRRMonitorInfo& info = infos[i];
        // Atoms are 29-bit values carried in an unsigned long.
        monitors.push_back({static_cast<DisplayID>(info.name), info.primary != False, info.x,
                            info.y, info.width, info.height});
    }
    XRRFreeMonitors(infos);
    return makeX11DisplayLayout(monitors, screen->width, screen->height);
}

X11DisplayServices::X11DisplayServices(std::string displayName)
    : connection_(std::move(displayName)) {}

X11DisplayServices::~X11DisplayServices() = default;

// Called with mutex_ held.
X11DisplayLayout X11DisplayServices::layout() {
    x11::XDisplay* display = connection_.display();
    if (display == nullptr) {
        layout_.reset();
        return {};
    }
    if (listeningGeneration_ != connection_.generation()) {
        listeningGeneration_ = connection_.generation();
        layout_.reset();
        int errorBase = 0;
        if (XRRQueryExtension(display, &randrEventBase_, &errorBase)) {
            XRRSelectInput(display, DefaultRootWindow(display),
                           RRScreenChangeNotifyMask | RRCrtcChangeNotifyMask |
                               RROutputChangeNotifyMask | RROutputPropertyNotifyMask);
        }
    }
    // Only RandR events are asked for on this connection: any of them means
    // the layout may have changed. A frame asks several times in a row; the
    // socket is read once for all of them.
    const auto now = std::chrono::steady_clock::now();
    if (!layout_ || now - eventsReadAt_ >= kEventsReadInterval) {
        eventsReadAt_ = now;
        while (XPending(display) > 0) {
            XEvent event;
            XNextEvent(display, &event);
            layout_.reset();
        }
    }
    if (!layout_ || now - layoutReadAt_ >= kLayoutMaxAge) {
        layout_ = readX11DisplayLayout(display);
        layoutReadAt_ = now;
    }
    if (connection_.dropIfLost()) {
        layout_.reset();
        return {};
    }
    return *layout_;
}

DisplayID X11DisplayServices::mainDisplayID() {
    std::lock_guard lock(mutex_);
    return layout().mainID;
}

DisplayRect X11DisplayServices::bounds(DisplayID id) {
    std::lock_guard lock(mutex_);
    return layout().bounds(id);
}

std::size_t X11DisplayServices::pixelsWide(DisplayID id) {
    std::lock_guard lock(mutex_);
    const X11DisplayLayout current = layout();
    const X11Monitor* monitor = current.find(id);
    return monitor == nullptr ? 0 : static_cast<std::size_t>(monitor->width);
}

std::size_t X11DisplayServices::pixelsHigh(DisplayID id) {
    std::lock_guard lock(mutex_);
    const X11DisplayLayout current = layout();
    const X11Monitor* monitor = current.find(id);
    return monitor == nullptr ? 0 : static_cast<std::size_t>(monitor->height);
}

std::vector<DisplayID> X11DisplayServices::onlineDisplayIDs() {
    std::lock_guard lock(mutex_);
    std::vector<DisplayID> ids;
    for (const X11Monitor& monitor : layout().monitors) {
        ids.push_back(monitor.id);
    }
    return ids;
}

std::optional<DisplayPoint> X11DisplayServices::pointerLocation() {
    std::lock_guard lock(mutex_);
    x11::XDisplay* display = connection_.display();
    if (display == nullptr) {
        return std::nullopt;
    }
    const X11DisplayLayout current = layout();
    const std::optional<x11::RootPoint> pointer = x11::rootPointer(display);
    if (connection_.dropIfLost() || !pointer) {
        return std::nullopt;
    }
    return DisplayPoint{static_cast<double>(pointer->x - current.originX),
                        static_cast<double>(pointer->y - current.originY)};
}

} // namespace quorvi
