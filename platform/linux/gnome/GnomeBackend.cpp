#include "platform/linux/gnome/GnomeBackend.h"

#include "platform/linux/gnome/GnomeCaptureService.h"
#include "platform/linux/gnome/GnomeDisplayServices.h"
#include "platform/linux/gnome/GnomeEventPoster.h"
#include "platform/linux/gnome/GnomePrivacyGrants.h"
#include "platform/linux/gnome/GnomeVirtualDisplayBackend.h"
#include "platform/linux/gnome/GnomeWindowList.h"
#include "platform/linux/gnome/VirtualMonitorStreams.h"

namespace quorvi {

DesktopBackend makeGnomeBackend() {
    DesktopBackend backend;
    backend.name = "gnome";
    auto displays = std::make_shared<GnomeDisplayServices>();
    // The virtual display backend registers the stream of each virtual
    // monitor it makes; the capture of such a monitor reads that stream.
    auto virtualMonitorStreams = std::make_shared<gnome::VirtualMonitorStreams>();
    backend.displays = displays;
    backend.privacyGrants = std::make_shared<GnomePrivacyGrants>();
    backend.captureService = makeGnomeCaptureService(displays, virtualMonitorStreams);
    backend.eventPoster = std::make_shared<GnomeEventPoster>(displays);
    backend.windowList = std::make_shared<GnomeWindowList>();
    backend.virtualDisplayBackend =
        std::make_shared<GnomeVirtualDisplayBackend>(displays, virtualMonitorStreams);
    return backend;
}

} // namespace quorvi
