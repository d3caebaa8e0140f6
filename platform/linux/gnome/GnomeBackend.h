#pragma once

#include "platform/linux/DesktopBackend.h"

namespace quorvi {

// GNOME on Wayland, through the services Mutter offers on the session bus:
// its display configuration for the displays, screen-cast streams
// delivered over PipeWire for capture and virtual displays, and a
// remote-desktop session for input.
//
// Thread: any; it only builds the adapters.
DesktopBackend makeGnomeBackend();

// Whether this is a Wayland session whose session bus has Mutter's
// screen-cast service.
//
// Thread: any; it opens and closes a bus connection of its own.
bool isGnomeDesktop();

} // namespace quorvi
