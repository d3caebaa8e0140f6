#pragma once

#include "platform/DisplayServices.h"

#include <cstdint>

namespace quorvi {

// Where the input injector's synthetic events enter the system's input
// stream, as if they came from a real mouse. Points are in the global display
// space; an implementation converts them to its own coordinates. Only the
// left button exists here: the gestures never need another.
//
// Thread: the caller's (the server's work queue); implementations tolerate
// calls from any one thread at a time.
class EventPoster {
public:
    virtual ~EventPoster() = default;

    // The pointer moves to point; no button changes.
    virtual void moveMouse(DisplayPoint point) = 0;
    // The pointer moves to point, then the left button goes down there.
    virtual void pressLeftButton(DisplayPoint point) = 0;
    // The pointer moves to point, then the left button comes up there.
    virtual void releaseLeftButton(DisplayPoint point) = 0;
    // The pointer moves to point as part of a drag: the left button is the
    // one pressed earlier, so the motion carries it.
    virtual void dragMouse(DisplayPoint point) = 0;
    // One scroll of the wheel, in pixels, at the pointer's position. The
    // signs are the Mac's wheel signs, which the injector's formula is written
    // for: a positive dy scrolls up (the content moves down and what lies
    // above comes into view), a positive dx scrolls left. Never called with
    // both amounts 0.
    virtual void scrollPixels(std::int32_t dx, std::int32_t dy) = 0;
};

} // namespace quorvi
