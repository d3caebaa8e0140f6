#pragma once

#include "platform/DisplayServices.h"

#include <algorithm>
#include <iterator>
#include <mutex>
#include <optional>
#include <vector>

namespace quorvi::fakes {

// Display services over a layout the test writes: displays in the order
// added, the first one main unless mainID says otherwise.
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
        locked([&] { displays_.push_back(display); });
    }
    void removeDisplay(DisplayID id) {
        locked([&] { std::erase_if(displays_, [id](const Display& d) { return d.id == id; }); });
    }
    void setMainID(std::optional<DisplayID> id) {
        locked([&] { mainID_ = id; });
    }
    void setPointer(std::optional<DisplayPoint> point) {
        locked([&] { pointer_ = point; });
    }

    DisplayID mainDisplayID() override {
        return locked([&] { return mainID_ ? *mainID_ : displays_.empty() ? 0 : displays_[0].id; });
    }
    DisplayRect bounds(DisplayID id) override {
        return locked([&] { return find(id).bounds; });
    }
    std::size_t pixelsWide(DisplayID id) override {
        return locked([&] { return find(id).pixelsWide; });
    }
    std::size_t pixelsHigh(DisplayID id) override {
        return locked([&] { return find(id).pixelsHigh; });
    }
    std::vector<DisplayID> onlineDisplayIDs() override {
        std::vector<DisplayID> ids;
        locked([&] { std::ranges::transform(displays_, std::back_inserter(ids), &Display::id); });
        return ids;
    }
    std::optional<DisplayPoint> pointerLocation() override {
        return locked([&] { return pointer_; });
    }

private:
    template <typename Call> auto locked(Call call) -> decltype(call()) {
        std::lock_guard lock(mutex_);
        return call();
    }
    // An unknown display (or ID 0) is all zeros.
    Display find(DisplayID id) const {
        const auto it = std::ranges::find(displays_, id, &Display::id);
        return it == displays_.end() || id == 0 ? Display{} : *it;
    }

    std::mutex mutex_;
    std::vector<Display> displays_;
    std::optional<DisplayID> mainID_;
    std::optional<DisplayPoint> pointer_;
};

} // namespace quorvi::fakes
