#include "platform/linux/DesktopBackendChoice.h"

#include "platform/linux/gnome/GnomeBackend.h"
#include "platform/linux/wlroots/WlrootsBackend.h"
#include "platform/linux/x11/X11Backend.h"

namespace quorvi {

DesktopBackend makeDesktopBackend(const std::string& requested) {
    if (requested == "wlroots") {
        return makeWlrootsBackend();
    }
    if (requested == "gnome") {
        return makeGnomeBackend();
    }
    if (requested == "x11") {
        return makeX11Backend();
    }
    // A native X server wins over a Wayland compositor only when the
    // compositor is not one we can drive: under a wlroots or GNOME session
    // the X display, if any, is its XWayland.
    if (isWlrootsDesktop()) {
        return makeWlrootsBackend();
    }
    if (isGnomeDesktop()) {
        return makeGnomeBackend();
    }
    return makeX11Backend();
}

} // namespace quorvi
