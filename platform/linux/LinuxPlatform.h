#pragma once

#include "platform/Platform.h"

#include <memory>
#include <string>

namespace quorvi {

// The adapters of a Linux X11 desktop: Asio TCP with Avahi DNS-SD, the
// system clock, the machine's pretty name. The main queue and the
// notification center come from the application (they need its event loop).
Platform makeLinuxPlatform(std::shared_ptr<MainQueue> mainQueue,
                           std::shared_ptr<NotificationCenter> notifications,
                           const std::string& bindAddress);

} // namespace quorvi
