#include "tools/LineConnection.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace quorvi::client {

namespace {

constexpr std::size_t kReadChunk = 256 * 1024;

std::string systemError(int code) {
    return std::strerror(code);
}

// A non-blocking connect bounded by timeout; returns errno or 0.
int connectWithin(int socket, const sockaddr* address, socklen_t length,
                  std::chrono::milliseconds timeout) {
    const int flags = fcntl(socket, F_GETFL, 0);
    fcntl(socket, F_SETFL, flags | O_NONBLOCK);
    int result = 0;
    if (::connect(socket, address, length) != 0) {
        if (errno != EINPROGRESS) {
            result = errno;
        } else {
            pollfd waiting{socket, POLLOUT, 0};
            const int ready = poll(&waiting, 1, static_cast<int>(timeout.count()));
            if (ready == 0) {
                result = ETIMEDOUT;
            } else if (ready < 0) {
                result = errno;
            } else {
                socklen_t size = sizeof result;
                getsockopt(socket, SOL_SOCKET, SO_ERROR, &result, &size);
            }
        }
    }
    fcntl(socket, F_SETFL, flags);
    return result;
}

// Binds to source, an address of the socket's family; false with errno set.
bool bindTo(int socket, int family, const std::string& source) {
    sockaddr_storage local{};
    socklen_t length = 0;
    if (family == AF_INET) {
        auto* v4 = reinterpret_cast<sockaddr_in*>(&local);
        v4->sin_family = AF_INET;
        length = sizeof *v4;
        if (::inet_pton(AF_INET, source.c_str(), &v4->sin_addr) != 1) {
            errno = EAFNOSUPPORT;
            return false;
        }
    } else {
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&local);
        v6->sin6_family = AF_INET6;
        length = sizeof *v6;
        if (::inet_pton(AF_INET6, source.c_str(), &v6->sin6_addr) != 1) {
            errno = EAFNOSUPPORT;
            return false;
        }
    }
    return ::bind(socket, reinterpret_cast<sockaddr*>(&local), length) == 0;
}

} // namespace

std::unique_ptr<LineConnection> LineConnection::connect(const std::string& host, std::uint16_t port,
                                                        std::chrono::milliseconds timeout,
                                                        std::string& error,
                                                        const std::string& source) {
    const std::string where = (host.find(':') != std::string::npos ? "[" + host + "]" : host) +
                              ":" + std::to_string(port);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* addresses = nullptr;
    const int resolved =
        getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &addresses);
    if (resolved != 0) {
        error = "Adresse introuvable: " + host + " (" + gai_strerror(resolved) + ")";
        return nullptr;
    }
    int lastError = 0;
    for (const addrinfo* address = addresses; address != nullptr; address = address->ai_next) {
        const int socket =
            ::socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC, address->ai_protocol);
        if (socket < 0) {
            lastError = errno;
            continue;
        }
        if (!source.empty() && !bindTo(socket, address->ai_family, source)) {
            lastError = errno;
            ::close(socket);
            continue;
        }
        lastError = connectWithin(socket, address->ai_addr, address->ai_addrlen, timeout);
        if (lastError == 0) {
            freeaddrinfo(addresses);
            // Taps and statistics are tiny: send them at once.
            const int on = 1;
            setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            return std::unique_ptr<LineConnection>(new LineConnection(socket));
        }
        ::close(socket);
    }
    freeaddrinfo(addresses);
    if (lastError == ECONNREFUSED) {
        error = "Connexion refusée par " + where +
                ": aucun serveur Quorvi n'écoute sur ce port (est-il démarré ?)";
    } else if (lastError == ETIMEDOUT) {
        error = "Connexion impossible à " + where + ": pas de réponse";
    } else {
        error = "Connexion impossible à " + where + ": " + systemError(lastError);
    }
    return nullptr;
}

LineConnection::~LineConnection() {
    if (socket_ >= 0) {
        ::close(socket_);
    }
}

bool LineConnection::sendLine(const std::string& line) {
    const std::string bytes = line + "\n";
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t count =
            ::send(socket_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            error_ = "Envoi échoué: " + systemError(errno);
            return false;
        }
        sent += static_cast<std::size_t>(count);
    }
    return true;
}

LineConnection::ReadStatus
LineConnection::readLine(std::string& line,
                         std::optional<std::chrono::steady_clock::time_point> deadline,
                         const std::function<bool()>& shouldStop) {
    while (true) {
        const std::size_t feed = buffer_.find('\n', std::max(scanned_, consumed_));
        if (feed != std::string::npos) {
            line.assign(buffer_, consumed_, feed - consumed_);
            consumed_ = feed + 1;
            scanned_ = consumed_;
            // Drop what was handed out once it is a good part of the buffer,
            // so a long stream does not grow it or copy it often.
            if (consumed_ > kReadChunk && consumed_ * 2 > buffer_.size()) {
                buffer_.erase(0, consumed_);
                consumed_ = 0;
                scanned_ = 0;
            }
            return ReadStatus::line;
        }
        scanned_ = buffer_.size();
        if (buffer_.size() - consumed_ > kMaxLineLength) {
            return ReadStatus::tooLong;
        }
        if (shouldStop && shouldStop()) {
            return ReadStatus::stopped;
        }
        int waitMs = 100;
        if (deadline) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                *deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                return ReadStatus::stopped;
            }
            waitMs = static_cast<int>(std::min<std::int64_t>(left.count(), 100));
        }
        pollfd waiting{socket_, POLLIN, 0};
        const int ready = poll(&waiting, 1, waitMs);
        if (ready < 0 && errno != EINTR) {
            error_ = "Lecture échouée: " + systemError(errno);
            return ReadStatus::failed;
        }
        if (ready <= 0) {
            continue;
        }
        const std::size_t oldSize = buffer_.size();
        buffer_.resize(oldSize + kReadChunk);
        const ssize_t count = ::recv(socket_, buffer_.data() + oldSize, kReadChunk, 0);
        if (count < 0) {
            buffer_.resize(oldSize);
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            error_ = "Lecture échouée: " + systemError(errno);
            return ReadStatus::failed;
        }
        buffer_.resize(oldSize + static_cast<std::size_t>(count));
        if (count == 0) {
            return ReadStatus::closed;
        }
    }
}

} // namespace quorvi::client
