#pragma once

#include "capture/CaptureService.h"
#include "capture/CapturedVideoBuffer.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace quorvi {

// Screen capture on X11. Each running stream has a capture thread with its
// own X connection: it grabs what changed of the monitor's rectangle of the
// root window (XDamage says what; MIT-SHM when the server offers it, else a
// plain GetImage of the whole rectangle), draws the pointer in from XFixes,
// scales the changed part to the asked size into a buffer of a small pool
// (PixelConversion), and delivers it by reference. Grabs follow absolute
// deadlines one frame interval apart, the sleep coming after the grab, so
// the rate does not drift with the grab's own cost.
//
// A lost X server or a monitor that goes away ends the stream with a French
// reason; X errors never end the process (X11ErrorHandling).
//
// Thread: the service is called from any thread; destroying it stops every
// stream it started and waits for their capture threads.
std::shared_ptr<CaptureService> makeX11CaptureService(std::string displayName = "");

// The pointer's picture, placed in the coordinates of the picture it is
// drawn into.
struct CursorImage {
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;
    // Premultiplied ARGB (alpha in the high byte), row after row.
    std::vector<std::uint32_t> pixels;
    // Changes whenever the pointer's shape does.
    unsigned long serial = 0;
};

// Draws the pointer over a 32-bit BGRX picture (premultiplied "over"),
// clipped to the picture.
void drawCursor(std::uint8_t* picture, std::size_t bytesPerRow, int width, int height,
                const CursorImage& cursor);

} // namespace quorvi
