#pragma once

#include "platform/DisplayServices.h"
#include "platform/linux/wlroots/WaylandSession.h"

#include <mutex>
#include <string>

namespace quorvi {

// The displays of a wlroots compositor: its Wayland outputs, identified by
// their registry names, placed by xdg-output in logical pixels (one point is
// one logical pixel), the main output being the one at the layout's origin.
// A Wayland client is never told where the pointer is, so its location is
// unknown here.
//
// Thread: any; a mutex serializes the connection.
class WlrootsDisplayServices final : public DisplayServices {
public:
    WlrootsDisplayServices();

    DisplayID mainDisplayID() override;
    DisplayRect bounds(DisplayID id) override;
    std::size_t pixelsWide(DisplayID id) override;
    std::size_t pixelsHigh(DisplayID id) override;
    std::vector<DisplayID> onlineDisplayIDs() override;
    std::optional<DisplayPoint> pointerLocation() override;

    // The display the compositor calls outputName ("HEADLESS-2"), after a
    // round trip so that an output enabled a moment ago is known; 0 when
    // there is none.
    DisplayID displayNamed(const std::string& outputName);

private:
    GlobalDisplayLayout layout();
    std::optional<LaidOutDisplay> find(DisplayID id);

    std::mutex mutex_;
    wayland::Session session_;
};

} // namespace quorvi
