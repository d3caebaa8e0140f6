#pragma once

#include "platform/DisplayServices.h"

#include <algorithm>
#include <mutex>
#include <optional>
#include <vector>

namespace quorvi::fakes {

// Display services over a layout the test writes: displays in the order
// added, the first one main unless mainID says otherwise. Counts the
// queries it answered.
//
// Thread: any (a mutex guards the layout).
class FakeDisplayServices final : public DisplayServices {
public:
    struct Display {
        DisplayID id = 0;
        DisplayRect bounds;
        std::size_t pixelsWide = 0;
        std::size_t pixelsHigh = 0;
    };

    // A display whose pixel size equals its size in points.
    void addDisplay(DisplayID id, DisplayRect bounds) {
        addDisplay({id, bounds, static_cast<std::size_t>(bounds.width),
                    static_cast<std::size_t>(bounds.height)});
    }

    void addDisplay(Display display) {
        std::lock_guard lock(mutex_);
        displays_.push_back(display);
    }

    void removeDisplay(DisplayID id) {
        std::lock_guard lock(mutex_);
        std::erase_if(displays_, [id](const Display& display) { return display.id == id; });
    }

    void setMainID(std::optional<DisplayID> id) {
        std::lock_guard lock(mutex_);
        mainID_ = id;
    }

    void setPointer(std::optional<DisplayPoint> point) {
        std::lock_guard lock(mutex_);
        pointer_ = point;
    }

    int boundsQueries() const {
        std::lock_guard lock(mutex_);
        return boundsQueries_;
    }

    DisplayID mainDisplayID() override {
        std::lock_guard lock(mutex_);
        if (mainID_) {
            return *mainID_;
        }
        return displays_.empty() ? 0 : displays_.front().id;
    }

    DisplayRect bounds(DisplayID id) override {
        std::lock_guard lock(mutex_);
        ++boundsQueries_;
        const Display* display = find(id);
        return display == nullptr ? DisplayRect{} : display->bounds;
    }

    std::size_t pixelsWide(DisplayID id) override {
        std::lock_guard lock(mutex_);
        const Display* display = find(id);
        return display == nullptr ? 0 : display->pixelsWide;
    }

    std::size_t pixelsHigh(DisplayID id) override {
        std::lock_guard lock(mutex_);
        const Display* display = find(id);
        return display == nullptr ? 0 : display->pixelsHigh;
    }

    std::vector<DisplayID> onlineDisplayIDs() override {
        std::lock_guard lock(mutex_);
        std::vector<DisplayID> ids;
        for (const Display& display : displays_) {
            ids.push_back(display.id);
        }
        return ids;
    }

    std::optional<DisplayPoint> pointerLocation() override {
        std::lock_guard lock(mutex_);
        return pointer_;
    }

private:
    const Display* find(DisplayID id) const {
        for (const Display& display : displays_) {
            if (display.id == id && id != 0) {
                return &display;
            }
        }
        return nullptr;
    }

    mutable std::mutex mutex_;
    std::vector<Display> displays_;
    std::optional<DisplayID> mainID_;
    std::optional<DisplayPoint> pointer_;
    int boundsQueries_ = 0;
};

} // namespace quorvi::fakes
