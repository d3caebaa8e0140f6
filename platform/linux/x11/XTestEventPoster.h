#pragma once

#include "input/EventPoster.h"
#include "platform/linux/x11/X11ErrorHandling.h"

#include <cstdint>
#include <mutex>
#include <string>

namespace quorvi {

// X has no pixel scrolling: a wheel moves in clicks, and each client decides
// how far one click scrolls (about three lines, 40 to 60 pixels, in Qt and
// GTK applications). 40 pixels per click keeps a pixel scroll close to the
// distance the phone asked for, turns the largest scroll of one gesture
// message (120 pixels) into 3 clicks and the common small steps (60 pixels)
// into one click, the rest carried over to the next message.
inline constexpr std::int32_t kPixelsPerWheelClick = 40;

// A scroll of an absurd size must not flood the server with button events.
inline constexpr std::int32_t kMaxWheelClicksPerScroll = 30;

// Whole wheel clicks for a scroll of pixels along one axis, carrying what is
// left below one click in remainder (same sign as the scroll). A scroll that
// turns back drops the remainder of the old direction first, so a reversal
// answers at once. Positive clicks are towards the top (or left).
std::int32_t takeWheelClicks(std::int32_t pixels, std::int32_t& remainder);

// Posts synthetic pointer and wheel events through the XTest extension, as
// if a real mouse moved. Global points become root-window pixels by adding
// the main display's root position (the pixel that contains the point; the
// server keeps the pointer on the screen). Wheels are the core buttons: 4
// up, 5 down, 6 left, 7 right, each click a press and a release. With the
// injector's signs, a phone gesture with a positive dy (asking to travel
// down the content) becomes button 5 and the page moves on to what lies
// below, as it would on a Mac. Every post is flushed at once.
//
// A point with a NaN coordinate (no JSON carries one, but a double can) moves
// nothing and presses nothing; a release still happens, so the button is
// never left held. While the X server is away, posts are dropped; a server
// that comes back is used by the next post.
//
// Thread: any; one X connection of its own and the scroll remainders,
// serialized by a mutex.
class XTestEventPoster final : public EventPoster {
public:
    // An empty name means $DISPLAY.
    explicit XTestEventPoster(std::string displayName = {});
    ~XTestEventPoster() override;

    void moveMouse(DisplayPoint point) override;
    void pressLeftButton(DisplayPoint point) override;
    void releaseLeftButton(DisplayPoint point) override;
    void dragMouse(DisplayPoint point) override;
    void scrollPixels(std::int32_t dx, std::int32_t dy) override;

private:
    enum class Button { none, press, release };
    void post(DisplayPoint point, Button button);

    std::mutex mutex_;
    x11::Connection connection_;
    std::int32_t remainderX_ = 0;
    std::int32_t remainderY_ = 0;
};

} // namespace quorvi
