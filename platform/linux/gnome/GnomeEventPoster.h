#pragma once

#include "input/EventPoster.h"
#include "platform/DisplayLayout.h"
#include "platform/linux/ScrollPauseWatch.h"
#include "platform/linux/gnome/MutterSession.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace quorvi {

class GnomeDisplayServices;

// Posts pointer events through a remote-desktop session of Mutter, the way
// GNOME's own remote desktop does: absolute motion in the pixels of a
// screen-cast stream of the monitor under the point (Mutter only places
// pointers relative to a stream, so the session records every monitor,
// unconsumed), the left button by its evdev code, and smooth scrolling from
// a finger source. A scroll is finished once it pauses, and before any
// motion or button that follows it (Mutter 43 drops the finish on its way
// to Wayland clients, so they see the finger lift only from later ones).
//
// The session is made by the first post, not before: GNOME shows that the
// desktop is remotely controlled while it exists. It is made again when the
// monitors change or Mutter closed it (at most once a second); while Mutter
// does not answer, posts are dropped. A point with a NaN coordinate moves
// nothing and presses nothing; a release still happens, so the button is
// never left held.
//
// Thread: any; the session and the scroll state are serialized by a mutex,
// shared with the thread that finishes paused scrolls.
class GnomeEventPoster final : public EventPoster {
public:
    explicit GnomeEventPoster(std::shared_ptr<GnomeDisplayServices> displays);
    ~GnomeEventPoster() override;
    GnomeEventPoster(const GnomeEventPoster&) = delete;
    GnomeEventPoster& operator=(const GnomeEventPoster&) = delete;

    void moveMouse(DisplayPoint point) override;
    void pressLeftButton(DisplayPoint point) override;
    void releaseLeftButton(DisplayPoint point) override;
    void dragMouse(DisplayPoint point) override;
    void scrollPixels(std::int32_t dx, std::int32_t dy) override;

private:
    enum class Button { none, press, release };

    void post(DisplayPoint point, Button button);
    // With the mutex held: a live session recording the monitors of
    // layout, or nullptr while Mutter does not give one.
    gnome::MutterSession* session(const GlobalDisplayLayout& layout);
    void finishScroll();

    std::shared_ptr<GnomeDisplayServices> displays_;
    std::mutex mutex_;
    std::unique_ptr<gnome::MutterSession> session_;
    // The monitors the session records, and which stream shows each.
    GlobalDisplayLayout sessionLayout_;
    std::map<DisplayID, std::size_t> streamOf_;
    // The last motion sent.
    std::optional<DisplayPixel> lastPixel_;
    // Whether the session's device has moved the pointer yet.
    bool hasMoved_ = false;
    std::optional<std::chrono::steady_clock::time_point> lastSessionAttempt_;
    // Armed while a scroll is in progress; made in the constructor, gone
    // first in the destructor, before the session it finishes scrolls on.
    std::optional<ScrollPauseWatch> scrollPause_;
};

} // namespace quorvi
