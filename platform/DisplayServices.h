#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace quorvi {

// A display identifier. 0 never names a display.
using DisplayID = std::uint32_t;

// A point of the global display space: points (one point is one pixel on
// X11), origin at the main display's top-left corner, y growing downward.
struct DisplayPoint {
    double x = 0;
    double y = 0;

    bool operator==(const DisplayPoint&) const = default;
};

// A rectangle of the global display space.
struct DisplayRect {
    double minX = 0;
    double minY = 0;
    double width = 0;
    double height = 0;

    double maxX() const { return minX + width; }
    double maxY() const { return minY + height; }

    bool operator==(const DisplayRect&) const = default;
};

// Half-open on the far edges, so that two displays side by side never both
// claim the point on their shared edge.
inline bool rectContainsPoint(const DisplayRect& rect, const DisplayPoint& point) {
    return rect.minX <= point.x && point.x < rect.maxX() && rect.minY <= point.y &&
           point.y < rect.maxY();
}

// What the rest of the system asks the operating system about its displays.
// Every answer reflects the layout at the time of the call: a display that
// went away simply stops appearing, and a display server that cannot be
// reached answers as if no display were attached.
//
// Thread: any; implementations serialize their own platform calls.
class DisplayServices {
public:
    virtual ~DisplayServices() = default;

    // The main display, or 0 when there is no display at all.
    virtual DisplayID mainDisplayID() = 0;
    // The display's rectangle in the global display space; all zero for an
    // identifier that names no online display.
    virtual DisplayRect bounds(DisplayID id) = 0;
    // The display's current size in pixels; 0 for an identifier that names
    // no online display.
    virtual std::size_t pixelsWide(DisplayID id) = 0;
    virtual std::size_t pixelsHigh(DisplayID id) = 0;
    // Every online display in the system's order, the main display included.
    virtual std::vector<DisplayID> onlineDisplayIDs() = 0;
    // Where the pointer is in the global display space, when that is known.
    virtual std::optional<DisplayPoint> pointerLocation() = 0;
};

} // namespace quorvi
