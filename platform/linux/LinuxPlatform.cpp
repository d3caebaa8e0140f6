#include "platform/linux/LinuxPlatform.h"

#include "platform/AsioTransport.h"
#include "platform/Clock.h"
#include "platform/ComputerName.h"
#include "platform/linux/AvahiServiceAdvertiser.h"

namespace quorvi {

Platform makeLinuxPlatform(std::shared_ptr<MainQueue> mainQueue,
                           std::shared_ptr<NotificationCenter> notifications,
                           const std::string& bindAddress) {
    Platform platform;
    platform.mainQueue = std::move(mainQueue);
    platform.notifications = std::move(notifications);
    platform.transport = std::make_shared<AsioTransport>(
        bindAddress, std::make_shared<AvahiServiceAdvertiserFactory>());
    platform.clock = std::make_shared<SystemClock>();
    platform.computerName = [] { return computerLocalizedName(); };
    return platform;
}

} // namespace quorvi
