#pragma once

#include "input/EventPoster.h"

#include <cstdint>
#include <mutex>
#include <vector>

namespace quorvi::fakes {

// Records every event it is asked to post, in order. Thread: any.
class RecordingEventPoster final : public EventPoster {
public:
    enum class Kind { move, press, release, drag, scroll };
    struct Event {
        Kind kind = Kind::move;
        DisplayPoint point;  // unused for scroll
        std::int32_t dx = 0; // scroll only
        std::int32_t dy = 0; // scroll only
        bool operator==(const Event&) const = default;
    };

    static Event move(double x, double y) { return {Kind::move, {x, y}}; }
    static Event press(double x, double y) { return {Kind::press, {x, y}}; }
    static Event release(double x, double y) { return {Kind::release, {x, y}}; }
    static Event drag(double x, double y) { return {Kind::drag, {x, y}}; }
    static Event scroll(std::int32_t dx, std::int32_t dy) { return {Kind::scroll, {}, dx, dy}; }

    void moveMouse(DisplayPoint point) override { record({Kind::move, point}); }
    void pressLeftButton(DisplayPoint point) override { record({Kind::press, point}); }
    void releaseLeftButton(DisplayPoint point) override { record({Kind::release, point}); }
    void dragMouse(DisplayPoint point) override { record({Kind::drag, point}); }
    void scrollPixels(std::int32_t dx, std::int32_t dy) override { record(scroll(dx, dy)); }

    std::vector<Event> events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        events_.clear();
    }

private:
    void record(Event event) {
        std::lock_guard lock(mutex_);
        events_.push_back(event);
    }

    mutable std::mutex mutex_;
    std::vector<Event> events_;
};

} // namespace quorvi::fakes
