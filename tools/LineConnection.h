#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace quorvi::client {

// One TCP connection that sends and receives newline-delimited lines.
//
// Thread: one at a time.
class LineConnection {
public:
    enum class ReadStatus {
        line,    // a whole line, its line feed removed
        closed,  // the peer closed; a partial line is left in pendingBytes()
        stopped, // the deadline passed or shouldStop() said so
        failed,  // a socket error; see error()
        tooLong, // a line beyond kMaxLineLength
    };

    // A frame line of a large screen at high JPEG quality stays far below.
    static constexpr std::size_t kMaxLineLength = 64 * 1024 * 1024;

    // Connects within timeout; on failure returns null and a French reason
    // ("Connexion refusée par 127.0.0.1:54545 …"). From source, a local
    // IP address, when one is given.
    static std::unique_ptr<LineConnection> connect(const std::string& host, std::uint16_t port,
                                                   std::chrono::milliseconds timeout,
                                                   std::string& error,
                                                   const std::string& source = {});

    ~LineConnection();
    LineConnection(const LineConnection&) = delete;
    LineConnection& operator=(const LineConnection&) = delete;

    // Sends the line and a line feed, all of it. False on failure (error()).
    bool sendLine(const std::string& line);

    // Waits for the next line until deadline (none: no limit), polling
    // shouldStop every 100 ms.
    ReadStatus readLine(std::string& line,
                        std::optional<std::chrono::steady_clock::time_point> deadline,
                        const std::function<bool()>& shouldStop);

    std::size_t pendingBytes() const { return buffer_.size() - consumed_; }
    const std::string& error() const { return error_; }

private:
    explicit LineConnection(int socket) : socket_(socket) {}

    int socket_ = -1;
    std::string buffer_;
    std::size_t consumed_ = 0; // bytes of buffer_ already handed out
    std::size_t scanned_ = 0;  // bytes of buffer_ known to hold no line feed
    std::string error_;
};

} // namespace quorvi::client
