#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quorvi {

class CaptureService;
class Clock;
class DisplayServices;
class EventPoster;
class FrameCapture;
class JpegEncoder;
class PrivacyGrants;
class VideoEncoder;
class VirtualDisplayBackend;
class WindowListSource;
class MainQueue;
class NetworkTransport;
class NotificationCenter;
class UserDefaults;

// The adapters the server is built with. The application gets them from
// makeLinuxPlatform(); tests build the same bundle from fakes.
struct Platform {
    std::shared_ptr<MainQueue> mainQueue;
    std::shared_ptr<NetworkTransport> transport;
    std::shared_ptr<NotificationCenter> notifications;
    std::shared_ptr<Clock> clock;
    std::shared_ptr<UserDefaults> userDefaults;
    // Screen, pointer and grants.
    std::shared_ptr<DisplayServices> displays;
    std::shared_ptr<EventPoster> eventPoster;
    std::shared_ptr<PrivacyGrants> privacyGrants;
    // The computer's IPv4 addresses, and the other applications' windows.
    std::function<std::vector<std::string>()> localAddresses;
    std::shared_ptr<WindowListSource> windowList;
    // Where diagnostics are exported; the user's desktop folder when empty.
    std::function<std::optional<std::string>()> desktopFolder;
    // Capture and encoding. The capture session is built on the capture
    // service unless a ready frame capture is given (tests).
    std::shared_ptr<CaptureService> captureService;
    std::shared_ptr<FrameCapture> frameCapture;
    std::shared_ptr<VideoEncoder> videoEncoder;
    std::shared_ptr<JpegEncoder> jpegEncoder;
    // The extra monitor of extended mode; none means extended mode fails
    // with "runtime unavailable".
    std::shared_ptr<VirtualDisplayBackend> virtualDisplayBackend;
    // The computer's localized name, asked at each start().
    std::function<std::string()> computerName;
};

struct ServerOptions {
    std::uint16_t port = 54545;
    // For this run only, in place of the stored settings (--allow,
    // --approve-new-devices); the stored ones are left as they are.
    std::optional<std::string> allowedNetworks;
    std::optional<bool> approveNewDevices;
};

} // namespace quorvi
