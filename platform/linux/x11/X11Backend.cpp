#include "platform/linux/x11/X11Backend.h"

#include "platform/linux/x11/RandrVirtualDisplayBackend.h"
#include "platform/linux/x11/X11CaptureService.h"
#include "platform/linux/x11/X11DisplayServices.h"
#include "platform/linux/x11/X11PrivacyGrants.h"
#include "platform/linux/x11/X11WindowList.h"
#include "platform/linux/x11/XTestEventPoster.h"

namespace quorvi {

DesktopBackend makeX11Backend() {
    DesktopBackend backend;
    backend.name = "x11";
    backend.displays = std::make_shared<X11DisplayServices>();
    backend.eventPoster = std::make_shared<XTestEventPoster>();
    backend.privacyGrants = makeX11PrivacyGrants();
    backend.captureService = makeX11CaptureService();
    backend.windowList = makeX11WindowList();
    backend.virtualDisplayBackend = makeRandrVirtualDisplayBackend();
    return backend;
}

} // namespace quorvi
