#pragma once

#include "platform/NetworkTransport.h"

#include <asio/ip/address.hpp>
#include <functional>
#include <memory>
#include <string>

namespace quorvi {

class ServiceAdvertiserFactory;

// TCP on Asio. Listens on every address by default ("" ), or on the one
// given (tests use 127.0.0.1). Sockets get TCP_NODELAY and
// TCP_NOTSENT_LOWAT so a send completes only when its bytes are nearly on
// the wire: "one frame in flight" then throttles a slow link. Listening on
// every address takes one dual-stack IPv6 socket, or an IPv4 one where IPv6
// is disabled.
//
// Thread: any.
class AsioTransport final : public NetworkTransport {
public:
    AsioTransport(std::string bindAddress, std::shared_ptr<ServiceAdvertiserFactory> advertisers);
    ListenerCreation makeListener(std::uint16_t port) override;

    // Opens a socket of the given family (AF_INET6, AF_INET) like socket(2).
    // Tests replace it to make the IPv6 one fail, as on a machine booted
    // with IPv6 disabled. Set before the first makeListener().
    using SocketOpener = std::function<int(int family)>;
    void setSocketOpener(SocketOpener opener) { openSocket_ = std::move(opener); }

private:
    ListenerCreation bindListener(const asio::ip::address& address, std::uint16_t port);

    std::string bindAddress_;
    std::shared_ptr<ServiceAdvertiserFactory> advertisers_;
    SocketOpener openSocket_;
};

} // namespace quorvi
