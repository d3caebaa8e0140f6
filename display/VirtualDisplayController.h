#pragma once

#include "platform/DisplayServices.h"

#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace quorvi {

// The extra display that extended mode streams, and the two queries over all
// online displays that the server uses to tell whether that display is
// still there and to describe the layout in its status texts.
//
// Creating and removing the display goes through a backend seam (added with
// start() and stop()); the X11 backend needs no main thread and may be
// stopped from another thread than the one that started it, so the current
// identifier is guarded by a mutex rather than confined to one queue.
//
// Thread: any. The static queries touch no field.
class VirtualDisplayController {
public:
    VirtualDisplayController() = default;
    VirtualDisplayController(const VirtualDisplayController&) = delete;
    VirtualDisplayController& operator=(const VirtualDisplayController&) = delete;

    // The current virtual display, if one exists.
    std::optional<DisplayID> displayID() const;

    // Every online display, in the system's order.
    static std::vector<DisplayID> onlineDisplayIDs(DisplayServices& displays);

    // One line per online display, in the same order: "#" + ID + " " + width
    // + "x" + height + " @ " + x + "," + y, from the display's global bounds
    // in points, each truncated toward zero ("#5 1512x982 @ 0,0").
    static std::vector<std::string> onlineDisplayDescriptions(DisplayServices& displays);

private:
    mutable std::mutex mutex_;
    std::optional<DisplayID> displayID_;
};

} // namespace quorvi
