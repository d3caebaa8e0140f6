#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace quorvi::client {

// What the reference client can send once connected.
struct TapToSend {
    double x = 0; // fractions of the display, 0 left/top, 1 right/bottom
    double y = 0;
};
struct ViewportToSend {
    double width = 0;
    double height = 0;
};
struct StatsToSend {
    std::int64_t latencyMs = 0;
    std::int64_t displayedFPS = 0;
};
struct RawLineToSend {
    std::string line; // sent as given, a line feed appended
};
using Outgoing = std::variant<TapToSend, ViewportToSend, StatsToSend, RawLineToSend>;

// The command line of quorvi-client.
struct ClientOptions {
    std::string host;
    std::uint16_t port = 54545;
    std::optional<std::int64_t> frameLimit;
    std::optional<double> secondsLimit;
    std::optional<std::string> savePath;
    std::optional<std::string> dumpPath;
    // The local address to connect from (127.0.0.2 to look like another
    // device on this machine); the system's choice when absent.
    std::optional<std::string> bindAddress;
    // In the order given on the command line.
    std::vector<Outgoing> outgoing;
    bool isHelpRequested = false;
};

// The options, or a French reason why the command line is wrong.
struct ParsedOptions {
    std::optional<ClientOptions> options;
    std::string error;
};

ParsedOptions parseClientOptions(const std::vector<std::string>& arguments);

// "HOST", "HOST:PORT", "[IPV6]" or "[IPV6]:PORT"; a bare IPv6 address
// (several colons, no brackets) is a host without port.
bool parseHostAndPort(const std::string& text, std::string& host, std::uint16_t& port);

std::string usageText();

// The JSON line (without line feed) of a message to send; sentAt is the
// time of sending, in seconds since 1970.
std::string outgoingLine(const Outgoing& message, double sentAt);

} // namespace quorvi::client
