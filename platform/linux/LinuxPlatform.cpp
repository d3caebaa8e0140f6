#include "platform/linux/LinuxPlatform.h"

#include "platform/AsioTransport.h"
#include "platform/Clock.h"
#include "platform/ComputerName.h"
#include "platform/linux/AvahiServiceAdvertiser.h"
#include "platform/linux/LibavCompressionSession.h"
#include "platform/linux/RandrVirtualDisplayBackend.h"
#include "platform/linux/TurboJpegEncoder.h"
#include "platform/linux/X11CaptureService.h"
#include "platform/linux/X11DisplayServices.h"
#include "platform/linux/X11PrivacyGrants.h"
#include "platform/linux/X11WindowList.h"
#include "platform/linux/XTestEventPoster.h"

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
    // Each X11 adapter keeps its own connection to $DISPLAY and reconnects
    // when the X server comes back; none of them ends the process when it
    // goes away.
    platform.displays = std::make_shared<X11DisplayServices>();
    platform.eventPoster = std::make_shared<XTestEventPoster>();
    platform.privacyGrants = makeX11PrivacyGrants();
    platform.captureService = makeX11CaptureService();
    platform.jpegEncoder = makeTurboJpegEncoder();
    platform.videoEncoder = makeLibavVideoEncoder();
    platform.windowList = makeX11WindowList();
    platform.virtualDisplayBackend = makeRandrVirtualDisplayBackend();
    return platform;
}

} // namespace quorvi
