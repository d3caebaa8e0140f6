#include "platform/linux/wlroots/SwayIpc.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>
#include <utility>

namespace quorvi::sway {

namespace {

constexpr char kMagic[] = {'i', '3', '-', 'i', 'p', 'c'};
constexpr std::size_t kHeaderSize = sizeof kMagic + 2 * sizeof(std::uint32_t);
// Far above any reply sway gives (a few kilobytes per output): a length
// beyond it means the peer is not sway.
constexpr std::uint32_t kMaxPayload = 64u << 20;

// Waits for the socket to be ready for events until the deadline.
bool waitFor(int fd, short events, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd entry{fd, events, 0};
        const int ready = poll(&entry, 1, static_cast<int>(left.count()));
        if (ready > 0) {
            return true;
        }
        if (ready < 0 && errno != EINTR) {
            return false;
        }
    }
}

} // namespace

std::optional<IpcConnection> IpcConnection::open(const std::string& socketPath,
                                                 std::chrono::milliseconds timeout,
                                                 std::string& error) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath.empty() || socketPath.size() >= sizeof address.sun_path) {
        error = "chemin de socket sway invalide";
        return std::nullopt;
    }
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::string("socket impossible: ") + std::strerror(errno);
        return std::nullopt;
    }
    IpcConnection connection(fd, timeout);
    // A local connect waits only when the listener's queue is full, and then
    // no longer than the send timeout; every exchange afterwards polls.
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(timeout);
    timeval limit{};
    limit.tv_sec = static_cast<time_t>(seconds.count());
    limit.tv_usec = static_cast<suseconds_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(timeout - seconds).count());
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        error = errno == EAGAIN || errno == EINPROGRESS
                    ? std::string("connexion sans réponse")
                    : std::string("connexion impossible: ") + std::strerror(errno);
        return std::nullopt;
    }
    if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK) != 0) {
        error = std::string("socket impossible: ") + std::strerror(errno);
        return std::nullopt;
    }
    return connection;
}

IpcConnection::IpcConnection(IpcConnection&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), timeout_(other.timeout_), error_(std::move(other.error_)) {
}

IpcConnection& IpcConnection::operator=(IpcConnection&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) {
            close(fd_);
        }
        fd_ = std::exchange(other.fd_, -1);
        timeout_ = other.timeout_;
        error_ = std::move(other.error_);
    }
    return *this;
}

IpcConnection::~IpcConnection() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

std::nullopt_t IpcConnection::fail(std::string why) {
    error_ = std::move(why);
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
    return std::nullopt;
}

bool IpcConnection::sendAll(const char* data, std::size_t size,
                            std::chrono::steady_clock::time_point deadline) {
    while (size > 0) {
        const ssize_t sent = send(fd_, data, size, MSG_NOSIGNAL);
        if (sent > 0) {
            data += sent;
            size -= static_cast<std::size_t>(sent);
        } else if (sent < 0 && errno == EINTR) {
            continue;
        } else if (sent < 0 && errno == EAGAIN) {
            if (!waitFor(fd_, POLLOUT, deadline)) {
                return false;
            }
        } else {
            return false;
        }
    }
    return true;
}

bool IpcConnection::receiveAll(char* data, std::size_t size,
                               std::chrono::steady_clock::time_point deadline) {
    while (size > 0) {
        const ssize_t received = recv(fd_, data, size, 0);
        if (received > 0) {
            data += received;
            size -= static_cast<std::size_t>(received);
        } else if (received < 0 && errno == EINTR) {
            continue;
        } else if (received < 0 && errno == EAGAIN) {
            if (!waitFor(fd_, POLLIN, deadline)) {
                return false;
            }
        } else {
            return false; // closed, or broken
        }
    }
    return true;
}

std::optional<nlohmann::json> IpcConnection::request(MessageType type, const std::string& payload) {
    if (fd_ < 0) {
        return std::nullopt; // the reason of the break stays in error_
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout_;
    char header[kHeaderSize];
    std::memcpy(header, kMagic, sizeof kMagic);
    const auto length = static_cast<std::uint32_t>(payload.size());
    const auto code = static_cast<std::uint32_t>(type);
    std::memcpy(header + sizeof kMagic, &length, sizeof length);
    std::memcpy(header + sizeof kMagic + sizeof length, &code, sizeof code);
    if (!sendAll(header, sizeof header, deadline) ||
        !sendAll(payload.data(), payload.size(), deadline)) {
        return fail("envoi à sway impossible");
    }
    if (!receiveAll(header, sizeof header, deadline)) {
        return fail("pas de réponse de sway dans les délais");
    }
    std::uint32_t replyLength = 0;
    std::uint32_t replyCode = 0;
    std::memcpy(&replyLength, header + sizeof kMagic, sizeof replyLength);
    std::memcpy(&replyCode, header + sizeof kMagic + sizeof replyLength, sizeof replyCode);
    if (std::memcmp(header, kMagic, sizeof kMagic) != 0 || replyCode != code ||
        replyLength > kMaxPayload) {
        return fail("réponse qui n'est pas celle de sway");
    }
    std::string body(replyLength, '\0');
    if (!receiveAll(body.data(), body.size(), deadline)) {
        return fail("réponse de sway incomplète");
    }
    nlohmann::json reply = nlohmann::json::parse(body, nullptr, false);
    if (reply.is_discarded()) {
        return fail("réponse de sway illisible");
    }
    return reply;
}

std::optional<std::vector<Output>> parseOutputs(const nlohmann::json& reply) {
    if (!reply.is_array()) {
        return std::nullopt;
    }
    // Missing or mistyped fields read as their defaults: an output without
    // a mode (disabled) is still listed.
    const auto integer = [](const nlohmann::json& object, const char* key) {
        const auto field = object.find(key);
        return field != object.end() && field->is_number() ? field->get<std::int64_t>()
                                                           : std::int64_t{0};
    };
    std::vector<Output> outputs;
    for (const nlohmann::json& entry : reply) {
        if (!entry.is_object() || !entry.contains("name") || !entry["name"].is_string()) {
            continue;
        }
        Output output;
        output.name = entry["name"].get<std::string>();
        output.active = entry.value("active", false);
        if (const auto rect = entry.find("rect"); rect != entry.end() && rect->is_object()) {
            output.x = integer(*rect, "x");
            output.y = integer(*rect, "y");
            output.width = integer(*rect, "width");
            output.height = integer(*rect, "height");
        }
        if (const auto mode = entry.find("current_mode");
            mode != entry.end() && mode->is_object()) {
            output.modeWidth = integer(*mode, "width");
            output.modeHeight = integer(*mode, "height");
        }
        if (const auto scale = entry.find("scale"); scale != entry.end() && scale->is_number()) {
            output.scale = scale->get<double>();
        }
        outputs.push_back(std::move(output));
    }
    return outputs;
}

std::optional<std::string> commandError(const nlohmann::json& reply) {
    if (!reply.is_array() || reply.empty()) {
        return std::string("réponse de sway illisible");
    }
    for (const nlohmann::json& result : reply) {
        if (!result.is_object() || !result.value("success", false)) {
            const auto error = result.find("error");
            return error != result.end() && error->is_string() ? error->get<std::string>()
                                                               : std::string("échec sans détail");
        }
    }
    return std::nullopt;
}

} // namespace quorvi::sway
