#pragma once

#include "platform/NetworkTransport.h"

#include <memory>
#include <string>

namespace quorvi {

class ServiceAdvertiserFactory;

// TCP on Asio. Listens on every address by default ("" ), or on the one
// given (tests use 127.0.0.1). Sockets get TCP_NODELAY and
// TCP_NOTSENT_LOWAT so a send completes only when its bytes are nearly on
// the wire: "one frame in flight" then throttles a slow link.
//
// Thread: any.
class AsioTransport final : public NetworkTransport {
public:
    AsioTransport(std::string bindAddress, std::shared_ptr<ServiceAdvertiserFactory> advertisers);
    ListenerCreation makeListener(std::uint16_t port) override;

private:
    std::string bindAddress_;
    std::shared_ptr<ServiceAdvertiserFactory> advertisers_;
};

} // namespace quorvi
