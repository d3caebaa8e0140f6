#include "platform/AsioTransport.h"

#include "platform/NetworkErrorText.h"
#include "platform/ServiceAdvertiser.h"
#include "platform/WorkQueue.h"

#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/write.hpp>
#include <cerrno>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace quorvi {
namespace {

// Unsent bytes the kernel may hold before a write stops completing. About
// one large frame: enough to keep the link busy, small enough that a send
// completion means the frame is nearly on the wire.
constexpr int kNotSentLowWatermark = 64 * 1024;

// Why the dual-stack socket could not be opened; the IPv4 one is tried then.
constexpr const char* kNoIPv6 = "IPv6 indisponible";

NetworkError errorFrom(const std::error_code& code) {
    return {describeNetworkError(code)};
}

class AsioConnection final : public Connection,
                             public std::enable_shared_from_this<AsioConnection> {
public:
    explicit AsioConnection(asio::ip::tcp::socket socket) : socket_(std::move(socket)) {
        // Kept from the start: once closed, the socket no longer knows it.
        std::error_code error;
        const auto remote = socket_.remote_endpoint(error);
        if (!error) {
            peerAddress_ = remote.address().to_string();
        }
    }

    std::string peerAddress() const override { return peerAddress_; }

    void setStateHandler(StateHandler handler) override { stateHandler_ = std::move(handler); }

    void start(WorkQueue& queue) override {
        queue_ = &queue;
        std::error_code ignored;
        socket_.set_option(asio::ip::tcp::no_delay(true), ignored);
        int lowWatermark = kNotSentLowWatermark;
        ::setsockopt(socket_.native_handle(), IPPROTO_TCP, TCP_NOTSENT_LOWAT, &lowWatermark,
                     sizeof lowWatermark);
        // The socket is already connected: it is ready as soon as it starts.
        report({ConnectionStateKind::ready, std::nullopt});
    }

    void receive(std::size_t /*minimumLength*/, std::size_t maximumLength,
                 ReceiveCompletion completion) override {
        if (isFinished_) {
            post([completion] { completion(std::nullopt, true, std::nullopt); });
            return;
        }
        auto buffer = std::make_shared<Bytes>(maximumLength == 0 ? 1 : maximumLength);
        socket_.async_read_some(
            asio::buffer(*buffer),
            [self = shared_from_this(), buffer,
             completion = std::move(completion)](const std::error_code& error, std::size_t count) {
                if (count > 0) {
                    buffer->resize(count);
                    completion(std::move(*buffer), false, std::nullopt);
                    return;
                }
                if (self->isCancelled_ || error == asio::error::operation_aborted) {
                    completion(std::nullopt, true, std::nullopt);
                    return;
                }
                if (error == asio::error::eof) {
                    // An orderly close by the peer: the client left.
                    completion(std::nullopt, true, std::nullopt);
                    self->finish({ConnectionStateKind::cancelled, std::nullopt});
                    return;
                }
                completion(std::nullopt, false, errorFrom(error));
                self->finish({ConnectionStateKind::failed, errorFrom(error)});
            });
    }

    void send(std::shared_ptr<const std::string> message, SendCompletion completion) override {
        if (isFinished_) {
            post([completion] {
                completion(NetworkError{describeNetworkError(asio::error::operation_aborted)});
            });
            return;
        }
        asio::async_write(socket_, asio::buffer(*message),
                          [self = shared_from_this(), message, completion = std::move(completion)](
                              const std::error_code& error, std::size_t) {
                              if (!error) {
                                  completion(std::nullopt);
                                  return;
                              }
                              completion(errorFrom(error));
                              if (!self->isCancelled_ && error != asio::error::operation_aborted) {
                                  self->finish({ConnectionStateKind::failed, errorFrom(error)});
                              }
                          });
    }

    void cancel() override {
        if (isCancelled_) {
            return;
        }
        isCancelled_ = true;
        std::error_code ignored;
        socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
        socket_.close(ignored);
        finish({ConnectionStateKind::cancelled, std::nullopt});
    }

private:
    void post(std::function<void()> task) {
        if (queue_ != nullptr) {
            queue_->post(std::move(task));
        }
    }

    // Reports a terminal state once; later ones are dropped.
    void finish(ConnectionState state) {
        if (isFinished_) {
            return;
        }
        isFinished_ = true;
        if (!isCancelled_) {
            std::error_code ignored;
            socket_.close(ignored);
        }
        report(std::move(state));
    }

    void report(ConnectionState state) {
        post([self = shared_from_this(), state = std::move(state)] {
            if (self->stateHandler_) {
                self->stateHandler_(state);
            }
        });
    }

    asio::ip::tcp::socket socket_;
    std::string peerAddress_;
    WorkQueue* queue_ = nullptr;
    StateHandler stateHandler_;
    bool isCancelled_ = false;
    bool isFinished_ = false;
};

class AsioListener final : public Listener, public std::enable_shared_from_this<AsioListener> {
public:
    AsioListener(int boundSocket, bool isIPv6, std::uint16_t port,
                 std::shared_ptr<ServiceAdvertiserFactory> advertisers)
        : boundSocket_(boundSocket), isIPv6_(isIPv6), port_(port),
          advertisers_(std::move(advertisers)) {}

    ~AsioListener() override {
        if (boundSocket_ >= 0) {
            ::close(boundSocket_);
        }
    }

    std::uint16_t port() const override { return port_; }
    void setService(ServiceDescription service) override { service_ = std::move(service); }
    void setNewConnectionHandler(NewConnectionHandler handler) override {
        newConnectionHandler_ = std::move(handler);
    }
    void setStateHandler(StateHandler handler) override { stateHandler_ = std::move(handler); }
    void setServiceProblemHandler(ServiceProblemHandler handler) override {
        serviceProblemHandler_ = std::move(handler);
    }

    void start(WorkQueue& queue) override {
        queue_ = &queue;
        acceptor_ = std::make_unique<asio::ip::tcp::acceptor>(queue.context());
        retryTimer_ = std::make_unique<asio::steady_timer>(queue.context());
        std::error_code error;
        acceptor_->assign(isIPv6_ ? asio::ip::tcp::v6() : asio::ip::tcp::v4(), boundSocket_, error);
        if (error) {
            report({ListenerStateKind::failed, errorFrom(error)});
            return;
        }
        boundSocket_ = -1; // owned by the acceptor now
        report({ListenerStateKind::ready, std::nullopt});
        advertise();
        acceptNext();
    }

    void cancel() override {
        if (isCancelled_) {
            return;
        }
        isCancelled_ = true;
        if (advertiser_) {
            advertiser_->withdraw();
            advertiser_.reset();
        }
        std::error_code ignored;
        if (acceptor_) {
            acceptor_->close(ignored);
        }
        if (retryTimer_) {
            retryTimer_->cancel();
        }
        report({ListenerStateKind::cancelled, std::nullopt});
    }

private:
    void advertise() {
        if (!advertisers_ || service_.type.empty()) {
            return;
        }
        // Problems arrive on the advertiser's own thread: hop to the queue,
        // and drop them once this listener is gone or cancelled.
        std::weak_ptr<AsioListener> weakSelf = weak_from_this();
        WorkQueue* queue = queue_;
        advertiser_ = advertisers_->advertise(
            service_.name, service_.type, port_, [weakSelf, queue](const std::string& reason) {
                queue->post([weakSelf, reason] {
                    auto self = weakSelf.lock();
                    if (self && !self->isCancelled_ && self->serviceProblemHandler_) {
                        self->serviceProblemHandler_(reason);
                    }
                });
            });
    }

    void acceptNext() {
        acceptor_->async_accept([self = shared_from_this()](const std::error_code& error,
                                                            asio::ip::tcp::socket socket) {
            if (self->isCancelled_ || error == asio::error::operation_aborted) {
                return;
            }
            if (error) {
                // Out of descriptors or a connection that died in the
                // backlog: the listener itself is fine, try again shortly.
                self->retryTimer_->expires_after(std::chrono::milliseconds(100));
                self->retryTimer_->async_wait([self](const std::error_code& waitError) {
                    if (!waitError && !self->isCancelled_) {
                        self->acceptNext();
                    }
                });
                return;
            }
            if (self->newConnectionHandler_) {
                self->newConnectionHandler_(std::make_shared<AsioConnection>(std::move(socket)));
            }
            self->acceptNext();
        });
    }

    void report(ListenerState state) {
        queue_->post([self = shared_from_this(), state = std::move(state)] {
            if (self->stateHandler_) {
                self->stateHandler_(state);
            }
        });
    }

    int boundSocket_;
    bool isIPv6_;
    std::uint16_t port_;
    std::shared_ptr<ServiceAdvertiserFactory> advertisers_;
    ServiceDescription service_;
    NewConnectionHandler newConnectionHandler_;
    StateHandler stateHandler_;
    ServiceProblemHandler serviceProblemHandler_;
    WorkQueue* queue_ = nullptr;
    std::unique_ptr<asio::ip::tcp::acceptor> acceptor_;
    std::unique_ptr<asio::steady_timer> retryTimer_;
    std::unique_ptr<ServiceAdvertiser> advertiser_;
    bool isCancelled_ = false;
};

} // namespace

AsioTransport::AsioTransport(std::string bindAddress,
                             std::shared_ptr<ServiceAdvertiserFactory> advertisers)
    : bindAddress_(std::move(bindAddress)), advertisers_(std::move(advertisers)) {}

ListenerCreation AsioTransport::makeListener(std::uint16_t port) {
    if (!bindAddress_.empty()) {
        std::error_code error;
        const auto address = asio::ip::make_address(bindAddress_, error);
        if (error) {
            return {nullptr, NetworkError{"Adresse d'écoute invalide: " + bindAddress_}};
        }
        return bindListener(address, port);
    }
    auto creation = bindListener(asio::ip::address_v6::any(), port);
    if (!creation.listener && creation.error && creation.error->description == kNoIPv6) {
        return bindListener(asio::ip::address_v4::any(), port);
    }
    return creation;
}

ListenerCreation AsioTransport::bindListener(const asio::ip::address& address, std::uint16_t port) {
    // Bound here, not at start, so that a taken port is reported when the
    // listener is created ("Erreur serveur: …") and nothing else runs.
    const bool isIPv6 = address.is_v6();
    const int family = isIPv6 ? AF_INET6 : AF_INET;
    const int fd =
        openSocket_ ? openSocket_(family) : ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        const std::error_code openError(errno, std::system_category());
        // Told apart from other failures: only this one has an IPv4 way out.
        if (isIPv6 && bindAddress_.empty()) {
            return {nullptr, NetworkError{kNoIPv6}};
        }
        return {nullptr, errorFrom(openError)};
    }
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (isIPv6 && bindAddress_.empty()) {
        // One socket for IPv4 and IPv6 clients alike.
        const int off = 0;
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    }
    const asio::ip::tcp::endpoint endpoint(address, port);
    if (::bind(fd, endpoint.data(), static_cast<socklen_t>(endpoint.size())) != 0 ||
        ::listen(fd, SOMAXCONN) != 0) {
        const std::error_code bindError(errno, std::system_category());
        ::close(fd);
        return {nullptr, errorFrom(bindError)};
    }
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
    std::uint16_t boundPort = port;
    if (bound.ss_family == AF_INET6) {
        boundPort = ntohs(reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port);
    } else if (bound.ss_family == AF_INET) {
        boundPort = ntohs(reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    }
    return {std::make_shared<AsioListener>(fd, isIPv6, boundPort, advertisers_), std::nullopt};
}

} // namespace quorvi
