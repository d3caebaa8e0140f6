#pragma once

#include "input/EventPoster.h"
#include "platform/DisplayServices.h"
#include "protocol/Messages.h"

#include <cstdint>

namespace quorvi {

// Turns one client gesture into synthetic pointer or scroll events on the
// display being streamed. Nothing is remembered between messages (no pressed
// button, no previous position): each message stands alone, and the phase
// alone decides what is posted. Failures are not reported; the caller counts
// the gesture whatever happened.
//
// A value type: it only borrows the two seams, whose owner (the server)
// outlives every copy.
//
// Thread: the server's work queue, one message at a time.
class InputInjector {
public:
    InputInjector(DisplayServices& displays, EventPoster& poster);

    // Posts the events of one message on displayID.
    void handle(const InputEventMessage& message, DisplayID displayID) const;

    // The global point of the fractions x, y of a display: no clamping and
    // no rounding, so fractions outside 0..1 land outside the display.
    static DisplayPoint globalPoint(const DisplayRect& bounds, double x, double y);

    // The wheel amounts, in pixels, of a scroll of dx, dy (one unit is 1,200
    // pixels, sign inverted, clamped to -120..120, truncated toward zero).
    // An amount that is not a number counts as 0: nothing is scrolled along
    // that axis.
    struct WheelAmounts {
        std::int32_t dx = 0;
        std::int32_t dy = 0;

        bool operator==(const WheelAmounts&) const = default;
    };
    static WheelAmounts wheelAmounts(double dx, double dy);

private:
    void postScroll(double dx, double dy) const;

    DisplayServices* displays_;
    EventPoster* poster_;
};

} // namespace quorvi
