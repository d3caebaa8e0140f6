#include "fakes/LoopbackClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace quorvi::testing {

namespace {

// With nothing listening on a port of the ephemeral range, a connect can
// pick that very port as its own source and connect to itself (TCP
// simultaneous open). Such a socket reached no server.
bool isConnectedToItself(int fd) {
    sockaddr_in local{};
    sockaddr_in peer{};
    socklen_t localLength = sizeof local;
    socklen_t peerLength = sizeof peer;
    return ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLength) == 0 &&
           ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) == 0 &&
           local.sin_port == peer.sin_port && local.sin_addr.s_addr == peer.sin_addr.s_addr;
}

} // namespace

LoopbackClient::LoopbackClient(std::uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        isConnectedToItself(fd_)) {
        ::close(fd_);
        fd_ = -1;
    }
}

LoopbackClient::~LoopbackClient() {
    close();
}

bool LoopbackClient::send(const std::string& bytes) {
    std::size_t sent = 0;
    while (fd_ >= 0 && sent < bytes.size()) {
        const auto n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        sent += static_cast<std::size_t>(n);
    }
    return fd_ >= 0;
}

std::optional<std::string> LoopbackClient::readLine(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        const auto lineFeed = pending_.find('\n');
        if (lineFeed != std::string::npos) {
            std::string line = pending_.substr(0, lineFeed);
            pending_.erase(0, lineFeed + 1);
            return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (fd_ < 0 || left.count() <= 0) {
            return std::nullopt;
        }
        pollfd descriptor{fd_, POLLIN, 0};
        if (::poll(&descriptor, 1, static_cast<int>(left.count())) <= 0) {
            return std::nullopt;
        }
        char buffer[65536];
        const auto n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n <= 0) {
            return std::nullopt;
        }
        pending_.append(buffer, static_cast<std::size_t>(n));
    }
}

bool LoopbackClient::waitForEndOfStream(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (fd_ >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd descriptor{fd_, POLLIN, 0};
        if (::poll(&descriptor, 1, static_cast<int>(left.count())) <= 0) {
            return false;
        }
        char buffer[65536];
        const auto n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n <= 0) {
            return true; // end of stream, or a reset
        }
    }
    return false;
}

void LoopbackClient::closeWithReset() {
    if (fd_ >= 0) {
        linger option{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &option, sizeof option);
        ::close(fd_);
        fd_ = -1;
    }
}

void LoopbackClient::close() {
    if (fd_ >= 0) {
        // A polite goodbye: say we are done, read what is still coming until
        // the server closes, then close. Closing with unread data would send
        // a reset instead, which the server rightly reports as a failure.
        ::shutdown(fd_, SHUT_WR);
        waitForEndOfStream(std::chrono::seconds(2));
        ::close(fd_);
        fd_ = -1;
    }
}

} // namespace quorvi::testing
