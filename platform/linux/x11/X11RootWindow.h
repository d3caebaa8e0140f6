#pragma once

#include "platform/linux/x11/X11ErrorHandling.h"

#include <optional>

namespace quorvi::x11 {

struct ScreenSize {
    int width = 0;
    int height = 0;
};

struct RootPoint {
    int x = 0;
    int y = 0;

    bool operator==(const RootPoint&) const = default;
};

// The screen's size as the server has it now, read from the root window's
// geometry: the size Xlib keeps is only updated by processing RandR events,
// which our connections do not do. Nothing when the request fails.
//
// Thread: the thread using the connection.
std::optional<ScreenSize> currentScreenSize(XDisplay* display);

// The pointer in root coordinates; nothing when it is on another screen of
// a multi-screen display, or the request fails.
//
// Thread: the thread using the connection.
std::optional<RootPoint> rootPointer(XDisplay* display);

} // namespace quorvi::x11
