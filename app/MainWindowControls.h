#pragma once

#include "quality/StreamMode.h"
#include "server/WindowRules.h"

#include <cstdint>
#include <functional>
#include <memory>

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
};

} // namespace quorvi
