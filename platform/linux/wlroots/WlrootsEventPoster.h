#pragma once

#include "input/EventPoster.h"
#include "platform/linux/ScrollPauseWatch.h"
#include "platform/linux/wlroots/WaylandSession.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

struct zwlr_virtual_pointer_manager_v1;
struct zwlr_virtual_pointer_v1;

namespace quorvi {

// A scroll in Wayland's axis values: pixels, growing downward and
// rightward.
struct WaylandScroll {
    double horizontal = 0;
    double vertical = 0;

    bool operator==(const WaylandScroll&) const = default;
};

// The poster's scroll (Mac wheel signs: a positive dy scrolls up, a
// positive dx scrolls left) as Wayland axis values: the content follows the
// finger the same way, so both signs turn over.
//
// Thread: any (pure).
WaylandScroll waylandScroll(std::int32_t dx, std::int32_t dy);

// Posts pointer events to a wlroots compositor through a virtual pointer on
// its default seat, as if a touchpad moved: absolute motion over the box of
// all outputs, the left button, and smooth pixel scrolling with a finger
// source (a phone's scroll is not rounded to wheel clicks). The phone never
// says when its finger lifts, so the scroll is ended (axis stop on both
// axes) once it pauses, and before any motion or button that follows it;
// that is what starts a client's kinetic scrolling, as on a touchpad.
//
// A point with a NaN coordinate moves nothing and presses nothing; a release
// still happens, so the button is never left held. While no compositor
// answers, posts are dropped; a new connection (opened at most once a
// second) gets a new virtual pointer.
//
// Thread: any; the connection, the virtual pointer and the scroll state are
// serialized by a mutex, shared with the thread that ends paused scrolls.
class WlrootsEventPoster final : public EventPoster {
public:
    WlrootsEventPoster();
    ~WlrootsEventPoster() override;
    WlrootsEventPoster(const WlrootsEventPoster&) = delete;
    WlrootsEventPoster& operator=(const WlrootsEventPoster&) = delete;

    void moveMouse(DisplayPoint point) override;
    void pressLeftButton(DisplayPoint point) override;
    void releaseLeftButton(DisplayPoint point) override;
    void dragMouse(DisplayPoint point) override;
    void scrollPixels(std::int32_t dx, std::int32_t dy) override;

private:
    enum class Button { none, press, release };
    // Where a motion_absolute puts the pointer, in sub-pixels of the box of
    // all outputs.
    struct Target {
        std::uint32_t x = 0;
        std::uint32_t y = 0;
        std::uint32_t xExtent = 0;
        std::uint32_t yExtent = 0;

        bool operator==(const Target&) const = default;
    };

    void post(DisplayPoint point, Button button);
    // With the mutex held: the virtual pointer on a live connection, or
    // nullptr while there is none.
    zwlr_virtual_pointer_v1* pointer();
    // With the mutex held: sends what was queued, and notices a compositor
    // that went away.
    void send();
    // With the mutex held: the virtual pointer goes, before its connection.
    void dropDevice();
    std::optional<Target> target(DisplayPoint point) const;
    void endScroll();

    std::mutex mutex_;
    // Read for news on every post.
    wayland::Session session_{std::chrono::milliseconds(0), [this] { dropDevice(); }};
    // The session's connection as of the last post; null while there is none.
    wayland::Connection* connection_ = nullptr;
    zwlr_virtual_pointer_manager_v1* manager_ = nullptr;
    zwlr_virtual_pointer_v1* pointer_ = nullptr;
    // The last motion sent: a release where the press was adds no motion.
    std::optional<Target> lastTarget_;
    // Armed while a scroll is in progress; made in the constructor, gone
    // first in the destructor, before the device it ends scrolls on.
    std::optional<ScrollPauseWatch> scrollPause_;
};

} // namespace quorvi
