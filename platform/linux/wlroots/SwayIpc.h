#pragma once

#include <chrono>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace quorvi::sway {

// The messages of sway's IPC (i3's framing) that we send.
enum class MessageType : std::uint32_t {
    runCommand = 0,
    getOutputs = 3,
};

// One connection to sway's IPC socket: "i3-ipc", the payload's length and
// the message type as native 32-bit integers, then a JSON payload; the reply
// has the same header. Every exchange is bounded by the timeout, so a
// compositor that accepts but never answers cannot hang the caller.
//
// Thread: one caller at a time (the owner's mutex).
class IpcConnection {
public:
    // Nothing when the socket cannot be reached; error then says why, in
    // French.
    static std::optional<IpcConnection> open(const std::string& socketPath,
                                             std::chrono::milliseconds timeout, std::string& error);

    IpcConnection(IpcConnection&& other) noexcept;
    IpcConnection& operator=(IpcConnection&& other) noexcept;
    IpcConnection(const IpcConnection&) = delete;
    IpcConnection& operator=(const IpcConnection&) = delete;
    ~IpcConnection();

    // The reply's payload, or nothing when sway did not answer in time,
    // answered something that is not sway's framing, or the connection
    // broke; error() then says why. A broken connection stays broken.
    std::optional<nlohmann::json> request(MessageType type, const std::string& payload);
    const std::string& error() const { return error_; }

private:
    IpcConnection(int fd, std::chrono::milliseconds timeout) : fd_(fd), timeout_(timeout) {}
    bool sendAll(const char* data, std::size_t size,
                 std::chrono::steady_clock::time_point deadline);
    bool receiveAll(char* data, std::size_t size, std::chrono::steady_clock::time_point deadline);
    std::nullopt_t fail(std::string why);

    int fd_ = -1;
    std::chrono::milliseconds timeout_;
    std::string error_;
};

// One output as GET_OUTPUTS describes it. The rectangle is in sway's layout
// (logical pixels); the mode in pixels.
struct Output {
    std::string name;
    bool active = false;
    std::int64_t x = 0;
    std::int64_t y = 0;
    std::int64_t width = 0;
    std::int64_t height = 0;
    std::int64_t modeWidth = 0;
    std::int64_t modeHeight = 0;
    double scale = 1;
};

// The outputs of a GET_OUTPUTS reply; nothing when it is not a list.
std::optional<std::vector<Output>> parseOutputs(const nlohmann::json& reply);

// Sway's error for the first command of a RUN_COMMAND reply that failed;
// nothing when every one succeeded.
std::optional<std::string> commandError(const nlohmann::json& reply);

} // namespace quorvi::sway
