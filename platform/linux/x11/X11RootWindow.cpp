#include "platform/linux/x11/X11RootWindow.h"

#include <X11/Xlib.h>

namespace quorvi::x11 {

std::optional<ScreenSize> currentScreenSize(XDisplay* display) {
    Window root = 0;
    int x = 0;
    int y = 0;
    unsigned int width = 0;
    unsigned int height = 0;
    unsigned int border = 0;
    unsigned int depth = 0;
    if (!XGetGeometry(display, DefaultRootWindow(display), &root, &x, &y, &width, &height, &border,
                      &depth)) {
        return std::nullopt;
    }
    return ScreenSize{static_cast<int>(width), static_cast<int>(height)};
}

std::optional<RootPoint> rootPointer(XDisplay* display) {
    Window root = 0;
    Window child = 0;
    RootPoint point;
    int windowX = 0;
    int windowY = 0;
    unsigned int mask = 0;
    if (!XQueryPointer(display, DefaultRootWindow(display), &root, &child, &point.x, &point.y,
                       &windowX, &windowY, &mask)) {
        return std::nullopt;
    }
    return point;
}

} // namespace quorvi::x11
