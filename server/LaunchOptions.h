#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quorvi {

// What the command line of quorvi-mac asks for.
struct LaunchOptions {
    bool isHeadless = false;
    std::uint16_t port = 54545;
    // "" listens on every address (what a phone on the network needs).
    std::string bindAddress;
    // The desktop back-end asked for ("x11", "wlroots"); empty lets the
    // platform choose from the session it finds.
    std::string backend;
    // --allow NETWORKS and --approve-new-devices: this run's access rules
    // instead of the stored ones.
    std::optional<std::string> allowedNetworks;
    std::optional<bool> approveNewDevices;
};

struct LaunchOptionsParse {
    std::optional<LaunchOptions> options;
    std::string error; // French, for stderr; the process exits with 2
    bool isHelp = false;
};

LaunchOptionsParse parseLaunchOptions(const std::vector<std::string>& arguments);
std::string launchUsage();

} // namespace quorvi
