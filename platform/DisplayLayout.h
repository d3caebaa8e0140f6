#pragma once

#include "platform/DisplayServices.h"

#include <optional>
#include <vector>

namespace quorvi {

// One display as a compositor places it: its rectangle in the compositor's
// own layout coordinates (logical pixels, which are this system's points)
// and the size of its pictures in pixels.
struct LaidOutDisplay {
    DisplayID id = 0;
    DisplayRect rect;
    std::size_t pixelsWide = 0;
    std::size_t pixelsHigh = 0;

    bool operator==(const LaidOutDisplay&) const = default;
};

// The displays in the global display space: the same displays in the same
// order, moved so that the main display's top-left corner is (0, 0).
struct GlobalDisplayLayout {
    DisplayID mainID = 0;
    // Where the global origin lies in the compositor's coordinates: add it
    // to a global point to get the compositor's point.
    DisplayPoint origin;
    std::vector<LaidOutDisplay> displays;

    bool operator==(const GlobalDisplayLayout&) const = default;
};

// The main display is the one the compositor calls primary when it has such
// a notion, else the one at the layout's origin, else the first. Displays
// without an identifier or without an area are left out: nothing can be
// captured from them or pointed at on them.
//
// Thread: any (pure).
GlobalDisplayLayout globalDisplayLayout(const std::vector<LaidOutDisplay>& displays,
                                        std::optional<DisplayID> primaryID = std::nullopt);

// A point on one display, in that display's pixels from its top-left
// corner.
struct DisplayPixel {
    DisplayID id = 0;
    double x = 0;
    double y = 0;

    bool operator==(const DisplayPixel&) const = default;
};

// Where a global point lands in pixels: on the display that contains it,
// else on the nearest one with the point held inside it, as a real pointer
// stops at the screens' edges. Absent without displays or with a NaN
// coordinate.
//
// Thread: any (pure).
std::optional<DisplayPixel> displayPixelAt(const GlobalDisplayLayout& layout, DisplayPoint point);

} // namespace quorvi
