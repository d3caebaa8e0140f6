#pragma once

#include "app/AutostartEntry.h"
#include "quality/StreamMode.h"
#include "server/WindowRules.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace quorvi {

class QuorviServer;

// The server operations the window and the tray menu call. None returns
// anything they wait for: results come back as published values. A plain
// bundle of calls, so that tests can record them.
//
// Thread: main.
struct ServerControls {
    std::function<void()> start;
    std::function<void()> stop;
    std::function<void()> refreshPermissions;
    std::function<void()> exportDiagnostics;
    std::function<void()> useMirrorMode;
    std::function<void()> useExtendedMode;
    std::function<void(StreamMode)> setStreamMode;
    // The port the listener is bound to, for the address the window shows.
    std::function<std::uint16_t()> listeningPort;
    // Who may connect: each is stored by the server, which publishes the
    // value in effect; the widgets then show that.
    std::function<void()> disconnectClient;
    std::function<void()> allowPendingDevice;
    std::function<void()> alwaysAllowPendingDevice;
    std::function<void()> denyPendingDevice;
    std::function<void(const std::string&)> forgetTrustedAddress;
    // "" everyone, "lan", or a comma-separated list of addresses and prefixes.
    std::function<void(const std::string&)> setAllowedNetworks;
    std::function<void(bool)> setApproveNewDevices;
};

// The calls on the real server. They hold it weakly: the scene owns it.
// configuredPort stands in for the listening port until the listener has
// one (before the first start).
ServerControls serverControlsFor(const std::shared_ptr<QuorviServer>& server,
                                 std::uint16_t configuredPort);

// What the window asks of the desktop rather than of the server.
struct WindowActions {
    std::function<void(SettingsPane)> openSettingsPane;
    // Hides the whole application at once (the tray brings it back).
    std::function<void()> hideApplication;
    // Starts the program anew and ends this process at once.
    std::function<void()> restartApp;
    // "Ouvrir à la connexion"; the tray menu shares the same entry.
    std::shared_ptr<AutostartEntry> autostart = AutostartEntry::forCurrentUser();
};

} // namespace quorvi
