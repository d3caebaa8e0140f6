#pragma once

#include <arpa/inet.h>
#include <chrono>
#include <cstdint>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace quorvi::testing {

// A blocking TCP client on 127.0.0.1 for end-to-end tests.
// Thread: the test thread.
class LoopbackClient {
public:
    using Clock = std::chrono::steady_clock;

    // From source, another loopback address such as 127.0.0.2, when given.
    explicit LoopbackClient(std::uint16_t port, const char* source = nullptr)
        : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        if (source != nullptr) {
            sockaddr_in from{};
            from.sin_family = AF_INET;
            ::inet_pton(AF_INET, source, &from.sin_addr);
            ::bind(fd_, reinterpret_cast<sockaddr*>(&from), sizeof from);
        }
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sockaddr_in local{};
        socklen_t length = sizeof local;
        // With nothing listening on a port of the ephemeral range, a connect
        // can pick that very port as its own source and connect to itself
        // (TCP simultaneous open): such a socket reached no server.
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length) != 0 ||
            local.sin_port == address.sin_port) {
            ::close(std::exchange(fd_, -1));
        }
    }
    ~LoopbackClient() { close(); }
    LoopbackClient(const LoopbackClient&) = delete;
    LoopbackClient& operator=(const LoopbackClient&) = delete;

    bool isConnected() const { return fd_ >= 0; }
    bool send(const std::string& bytes) {
        return fd_ >= 0 && ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
                               static_cast<ssize_t>(bytes.size());
    }
    // One line, without its line feed; nullopt on timeout or close.
    std::optional<std::string> readLine(std::chrono::milliseconds timeout) {
        std::size_t lineFeed = 0;
        for (const auto deadline = Clock::now() + timeout;
             (lineFeed = pending_.find('\n')) == std::string::npos;) {
            if (!receive(deadline)) {
                return std::nullopt;
            }
        }
        std::string line = pending_.substr(0, lineFeed);
        pending_.erase(0, lineFeed + 1);
        return line;
    }
    // Reads until the peer closes (end of stream or reset); false on timeout.
    bool waitForEndOfStream(std::chrono::milliseconds timeout) {
        for (const auto deadline = Clock::now() + timeout; receive(deadline);) {
            pending_.clear();
        }
        return isClosedByPeer_;
    }
    // Everything the peer sent until it closed; nullopt on timeout.
    std::optional<std::string> readToEnd(std::chrono::milliseconds timeout) {
        for (const auto deadline = Clock::now() + timeout; receive(deadline);) {
        }
        return isClosedByPeer_ ? std::optional(std::exchange(pending_, {})) : std::nullopt;
    }
    // Neither a byte nor the end of the stream has arrived.
    bool hasReceivedNothing() {
        pollfd descriptor{fd_, POLLIN, 0};
        return pending_.empty() && ::poll(&descriptor, 1, 0) == 0;
    }
    // Sends RST instead of FIN.
    void closeWithReset() {
        linger option{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &option, sizeof option);
        ::close(std::exchange(fd_, -1));
    }
    // A polite goodbye: say we are done, read what is still coming until the
    // server closes, then close. Closing with unread data would send a reset
    // instead, which the server rightly reports as a failure.
    void close() {
        if (fd_ >= 0) {
            ::shutdown(fd_, SHUT_WR);
            waitForEndOfStream(std::chrono::seconds(2));
            ::close(std::exchange(fd_, -1));
        }
    }

private:
    // Appends what arrives before the deadline; false on timeout or close.
    bool receive(Clock::time_point deadline) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd descriptor{fd_, POLLIN, 0};
        char buffer[65536];
        const auto n = fd_ < 0 || isClosedByPeer_ || left <= 0 ||
                               ::poll(&descriptor, 1, static_cast<int>(left)) <= 0
                           ? -2
                           : ::recv(fd_, buffer, sizeof buffer, 0);
        isClosedByPeer_ = isClosedByPeer_ || n == 0 || n == -1;
        pending_.append(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
        return n > 0;
    }

    int fd_;
    bool isClosedByPeer_ = false;
    std::string pending_;
};

} // namespace quorvi::testing
