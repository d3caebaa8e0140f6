#pragma once

#include "input/EventPoster.h"
#include "platform/DisplayServices.h"
#include "protocol/Messages.h"

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

    // Posts the events of one message on displayID. Points are the fractions
    // x, y of the display's bounds, read anew for every message: no clamping
    // and no rounding, so fractions outside 0..1 land outside the display.
    // A scroll posts dx, dy as wheel pixels (one unit is 1,200 pixels, sign
    // inverted, clamped to -120..120, truncated toward zero); an amount that
    // is not a number scrolls nothing along its axis.
    void handle(const InputEventMessage& message, DisplayID displayID) const;

private:
    void postScroll(double dx, double dy) const;

    DisplayServices* displays_;
    EventPoster* poster_;
};

} // namespace quorvi
