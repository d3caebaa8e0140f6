#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace quorvi {

class Clock;
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
    // The computer's localized name, asked at each start().
    std::function<std::string()> computerName;
};

struct ServerOptions {
    std::uint16_t port = 54545;
};

} // namespace quorvi
