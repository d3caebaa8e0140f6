#include "platform/linux/x11/XTestEventPoster.h"

#include "platform/linux/x11/X11DisplayServices.h"
#include "platform/linux/x11/X11RootWindow.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <algorithm>
#include <cmath>
#include <limits>

namespace quorvi {

namespace {

constexpr unsigned int kLeftButton = 1;
constexpr unsigned int kWheelUp = 4;
constexpr unsigned int kWheelDown = 5;
constexpr unsigned int kWheelLeft = 6;
constexpr unsigned int kWheelRight = 7;

// XTest carries root coordinates as 16-bit integers on the wire; a larger
// value would wrap around to the other side of the screen. Clamped instead,
// the server then keeps the pointer on the nearest edge, and infinities are
// ordinary large values.
int rootCoordinate(double global, int origin) {
    const double root = std::floor(global) + origin;
    return static_cast<int>(std::clamp(root, static_cast<double>(std::numeric_limits<short>::min()),
                                       static_cast<double>(std::numeric_limits<short>::max())));
}

// The server reports a motion even to the point where the pointer already
// is; a tap's release, or an end at the last drag point, must not add one.
bool isPointerAt(x11::XDisplay* display, int x, int y) {
    return x11::rootPointer(display) == x11::RootPoint{x, y};
}

void clickWheel(x11::XDisplay* display, unsigned int button, std::int32_t clicks) {
    for (std::int32_t i = 0; i < clicks; ++i) {
        XTestFakeButtonEvent(display, button, True, CurrentTime);
        XTestFakeButtonEvent(display, button, False, CurrentTime);
    }
}

} // namespace

std::int32_t takeWheelClicks(std::int32_t pixels, std::int32_t& remainder) {
    if ((pixels > 0 && remainder < 0) || (pixels < 0 && remainder > 0)) {
        remainder = 0;
    }
    const std::int64_t total = static_cast<std::int64_t>(remainder) + pixels;
    const std::int64_t clicks = total / kPixelsPerWheelClick; // toward zero
    remainder = static_cast<std::int32_t>(total - clicks * kPixelsPerWheelClick);
    return static_cast<std::int32_t>(
        std::clamp<std::int64_t>(clicks, -kMaxWheelClicksPerScroll, kMaxWheelClicksPerScroll));
}

XTestEventPoster::XTestEventPoster(std::string displayName) : connection_(std::move(displayName)) {}

XTestEventPoster::~XTestEventPoster() = default;

void XTestEventPoster::moveMouse(DisplayPoint point) {
    post(point, Button::none);
}

void XTestEventPoster::pressLeftButton(DisplayPoint point) {
    post(point, Button::press);
}

void XTestEventPoster::releaseLeftButton(DisplayPoint point) {
    post(point, Button::release);
}

// The server remembers the button pressed by an earlier start, so a plain
// motion is a drag: its events carry Button1Mask.
void XTestEventPoster::dragMouse(DisplayPoint point) {
    post(point, Button::none);
}

void XTestEventPoster::post(DisplayPoint point, Button button) {
    std::lock_guard lock(mutex_);
    x11::XDisplay* display = connection_.display();
    if (display == nullptr) {
        return;
    }
    const bool isUsable = !std::isnan(point.x) && !std::isnan(point.y);
    if (isUsable) {
        const X11DisplayLayout layout = readX11DisplayLayout(display);
        const int x = rootCoordinate(point.x, layout.originX);
        const int y = rootCoordinate(point.y, layout.originY);
        if (!isPointerAt(display, x, y)) {
            XTestFakeMotionEvent(display, DefaultScreen(display), x, y, CurrentTime);
        }
    }
    if (button == Button::press && isUsable) {
        XTestFakeButtonEvent(display, kLeftButton, True, CurrentTime);
    } else if (button == Button::release) {
        XTestFakeButtonEvent(display, kLeftButton, False, CurrentTime);
    }
    XFlush(display);
    connection_.dropIfLost();
}

void XTestEventPoster::scrollPixels(std::int32_t dx, std::int32_t dy) {
    std::lock_guard lock(mutex_);
    const std::int32_t clicksUp = takeWheelClicks(dy, remainderY_);
    const std::int32_t clicksLeft = takeWheelClicks(dx, remainderX_);
    if (clicksUp == 0 && clicksLeft == 0) {
        return;
    }
    x11::XDisplay* display = connection_.display();
    if (display == nullptr) {
        return;
    }
    clickWheel(display, clicksUp > 0 ? kWheelUp : kWheelDown, std::abs(clicksUp));
    clickWheel(display, clicksLeft > 0 ? kWheelLeft : kWheelRight, std::abs(clicksLeft));
    XFlush(display);
    connection_.dropIfLost();
}

} // namespace quorvi
