#pragma once

#include "capture/PictureChanges.h"

#include <cstdint>
#include <optional>

namespace quorvi {

// Where the pointer is drawn into the picture, and which shape it has.
struct PointerPlace {
    PixelRect rect;
    std::uint64_t shape = 0;

    bool operator==(const PointerPlace&) const = default;
};

// Decides, tick after tick, what a capture that keeps a copy of the screen
// (the canvas, with the pointer drawn in) must grab again, and what then
// changed in the pictures it delivers, which are the canvas scaled to the
// stream's size. The platform says what the screen reported as damaged and
// where the pointer is; everything else is bookkeeping:
// - nothing damaged and the pointer where it was: nothing to grab, the
//   last picture stands;
// - anything changed: the damage, plus the rectangle under the pointer as
//   it was drawn (grabbed again so it is not laid over itself), plus where
//   it is drawn now;
// - a new canvas (first tick, a monitor resized or moved): everything.
//
// Thread: the capture thread of one stream.
class ScreenChangeTracker {
public:
    ScreenChangeTracker(int screenWidth, int screenHeight, int pictureWidth, int pictureHeight);

    // The monitor's size or place changed: everything is grabbed again.
    void resize(int screenWidth, int screenHeight);

    // What to grab this tick, in screen coordinates; empty when the screen
    // and the pointer are as they were.
    ChangedRegion toGrab(const ChangedRegion& damage,
                         const std::optional<PointerPlace>& pointer) const;

    // The grab of toGrab() went into the canvas and the pointer was drawn
    // at pointer: the change is recorded in picture coordinates.
    void grabbed(const ChangedRegion& grab, const std::optional<PointerPlace>& pointer);

    // The pictures so far; the latest is what the canvas shows.
    const PictureHistory& history() const { return history_; }

private:
    int screenWidth_;
    int screenHeight_;
    int pictureWidth_;
    int pictureHeight_;
    bool isCanvasEmpty_ = true;
    std::optional<PointerPlace> drawnPointer_;
    PictureHistory history_;
};

} // namespace quorvi
