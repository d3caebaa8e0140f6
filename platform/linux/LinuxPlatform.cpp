#include "platform/linux/LinuxPlatform.h"

#include "platform/AsioTransport.h"
#include "platform/Clock.h"
#include "platform/ComputerName.h"
#include "platform/linux/AvahiServiceAdvertiser.h"
#include "platform/linux/DesktopBackend.h"
#include "platform/linux/LibavCompressionSession.h"
#include "platform/linux/TurboJpegEncoder.h"

namespace quorvi {

Platform makeLinuxPlatform(std::shared_ptr<MainQueue> mainQueue,
                           std::shared_ptr<NotificationCenter> notifications,
                           const std::string& bindAddress, DesktopBackend backend) {
    Platform platform;
    platform.mainQueue = std::move(mainQueue);
    platform.notifications = std::move(notifications);
    platform.transport = std::make_shared<AsioTransport>(
        bindAddress, std::make_shared<AvahiServiceAdvertiserFactory>());
    platform.clock = std::make_shared<SystemClock>();
    platform.computerName = [] { return computerLocalizedName(); };
    platform.displays = std::move(backend.displays);
    platform.eventPoster = std::move(backend.eventPoster);
    platform.privacyGrants = std::move(backend.privacyGrants);
    platform.captureService = std::move(backend.captureService);
    platform.jpegEncoder = makeTurboJpegEncoder();
    platform.videoEncoder = makeLibavVideoEncoder();
    platform.windowList = std::move(backend.windowList);
    platform.virtualDisplayBackend = std::move(backend.virtualDisplayBackend);
    return platform;
}

} // namespace quorvi
