#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace quorvi::testing {

// A blocking TCP client on 127.0.0.1 for end-to-end tests.
// Thread: the test thread.
class LoopbackClient {
public:
    explicit LoopbackClient(std::uint16_t port);
    ~LoopbackClient();
    LoopbackClient(const LoopbackClient&) = delete;
    LoopbackClient& operator=(const LoopbackClient&) = delete;

    bool isConnected() const { return fd_ >= 0; }
    bool send(const std::string& bytes);
    // Waits for the peer to close (end of stream); false on timeout.
    bool waitForEndOfStream(std::chrono::milliseconds timeout);
    // Reads one line (without its line feed); nullopt on timeout or close.
    std::optional<std::string> readLine(std::chrono::milliseconds timeout);
    // Sends RST instead of FIN when closing.
    void closeWithReset();
    // Half-closes, reads until the server closes, then closes.
    void close();

private:
    int fd_ = -1;
    std::string pending_;
};

} // namespace quorvi::testing
