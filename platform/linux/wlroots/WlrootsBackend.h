#pragma once

#include "platform/linux/DesktopBackend.h"

namespace quorvi {

// A wlroots compositor (sway; Hyprland and river speak the same protocols)
// on $WAYLAND_DISPLAY: outputs through xdg-output, capture through screen
// copy, input through a virtual pointer, the other clients' windows through
// the foreign-toplevel list, and virtual displays through sway's IPC. Each
// adapter keeps its own connection and opens a new one when the compositor
// comes back; none of them ends the process when it goes away.
//
// Thread: any; it only builds the adapters.
DesktopBackend makeWlrootsBackend();

// Whether $WAYLAND_DISPLAY names a compositor that offers both screen copy
// and virtual pointers, the two this back-end cannot do without.
//
// Thread: any; it opens and closes a connection of its own.
bool isWlrootsDesktop();

} // namespace quorvi
