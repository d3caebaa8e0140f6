#pragma once

#include <memory>
#include <string>

namespace quorvi {

class CaptureService;
class DisplayServices;
class EventPoster;
class PrivacyGrants;
class VirtualDisplayBackend;
class WindowListSource;

// The adapters that depend on which desktop draws the screen (an X server
// today; a Wayland compositor brings its own): everything else a Linux
// platform needs (network, encoders, clock) is the same on every desktop and
// is built by makeLinuxPlatform() around one of these.
//
// Thread: plain data, filled where the platform is assembled; each adapter
// says on which threads it may be called.
struct DesktopBackend {
    // Short lower-case name of the back-end ("x11").
    std::string name;
    std::shared_ptr<CaptureService> captureService;
    std::shared_ptr<EventPoster> eventPoster;
    std::shared_ptr<DisplayServices> displays;
    std::shared_ptr<VirtualDisplayBackend> virtualDisplayBackend;
    std::shared_ptr<PrivacyGrants> privacyGrants;
    std::shared_ptr<WindowListSource> windowList;
};

} // namespace quorvi
