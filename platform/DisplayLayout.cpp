#include "platform/DisplayLayout.h"

#include <algorithm>

namespace quorvi {

GlobalDisplayLayout globalDisplayLayout(const std::vector<LaidOutDisplay>& displays,
                                        std::optional<DisplayID> primaryID) {
    GlobalDisplayLayout layout;
    for (const LaidOutDisplay& display : displays) {
        if (display.id != 0 && display.rect.width > 0 && display.rect.height > 0) {
            layout.displays.push_back(display);
        }
    }
    if (layout.displays.empty()) {
        return layout;
    }
    const auto isPrimary = [&](const LaidOutDisplay& d) { return primaryID && d.id == *primaryID; };
    const auto isAtOrigin = [](const LaidOutDisplay& d) {
        return d.rect.minX == 0 && d.rect.minY == 0;
    };
    auto main = std::find_if(layout.displays.begin(), layout.displays.end(), isPrimary);
    if (main == layout.displays.end()) {
        main = std::find_if(layout.displays.begin(), layout.displays.end(), isAtOrigin);
    }
    if (main == layout.displays.end()) {
        main = layout.displays.begin();
    }
    layout.mainID = main->id;
    layout.origin = {main->rect.minX, main->rect.minY};
    for (LaidOutDisplay& display : layout.displays) {
        display.rect.minX -= layout.origin.x;
        display.rect.minY -= layout.origin.y;
    }
    return layout;
}

} // namespace quorvi
