#pragma once

#include "platform/linux/DesktopBackend.h"

namespace quorvi {

// The X11 desktop on $DISPLAY: RandR monitors, XDamage and MIT-SHM capture,
// XTest input, the grants an X server can answer, the clients' windows and a
// RandR virtual monitor. Each adapter keeps its own connection to $DISPLAY
// and reconnects when the X server comes back; none of them ends the process
// when it goes away.
//
// Thread: any; it only builds the adapters.
DesktopBackend makeX11Backend();

} // namespace quorvi
