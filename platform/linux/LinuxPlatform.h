#pragma once

#include "platform/Platform.h"
#include "platform/linux/DesktopBackend.h"

#include <memory>
#include <string>

namespace quorvi {

// The adapters of a Linux desktop: Asio TCP with Avahi DNS-SD, libavcodec,
// libx264 and TurboJPEG, the system clock, the machine's pretty name, and the
// screen, input, grants, window list and virtual display of the desktop
// back-end (makeDesktopBackend() chooses it). The main queue and the
// notification center come from the application (they need its event loop).
Platform makeLinuxPlatform(std::shared_ptr<MainQueue> mainQueue,
                           std::shared_ptr<NotificationCenter> notifications,
                           const std::string& bindAddress, DesktopBackend backend);

} // namespace quorvi
