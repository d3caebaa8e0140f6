#include "platform/linux/wlroots/WlrootsBackend.h"

#include "platform/linux/wlroots/SwayVirtualDisplayBackend.h"
#include "platform/linux/wlroots/WaylandConnection.h"
#include "platform/linux/wlroots/WlrootsCaptureService.h"
#include "platform/linux/wlroots/WlrootsDisplayServices.h"
#include "platform/linux/wlroots/WlrootsEventPoster.h"
#include "platform/linux/wlroots/WlrootsPrivacyGrants.h"
#include "platform/linux/wlroots/WlrootsWindowList.h"

namespace quorvi {

DesktopBackend makeWlrootsBackend() {
    DesktopBackend backend;
    backend.name = "wlroots";
    auto displays = std::make_shared<WlrootsDisplayServices>();
    backend.displays = displays;
    backend.privacyGrants = std::make_shared<WlrootsPrivacyGrants>();
    backend.captureService = makeWlrootsCaptureService();
    backend.eventPoster = std::make_shared<WlrootsEventPoster>();
    backend.windowList = std::make_shared<WlrootsWindowList>();
    // Sway's IPC names outputs; the rest of the system knows them by the
    // registry names the display services use.
    backend.virtualDisplayBackend = makeSwayVirtualDisplayBackend(
        [displays](const std::string& outputName) { return displays->displayNamed(outputName); });
    return backend;
}

bool isWlrootsDesktop() {
    std::string whyNot;
    const auto connection = wayland::Connection::open(whyNot);
    return connection != nullptr && connection->hasGlobal("zwlr_screencopy_manager_v1") &&
           connection->hasGlobal("zwlr_virtual_pointer_manager_v1");
}

} // namespace quorvi
