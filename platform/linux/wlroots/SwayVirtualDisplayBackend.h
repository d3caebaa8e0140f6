#pragma once

#include "display/VirtualDisplayBackend.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace quorvi {

// Virtual displays on sway, through its IPC socket: a headless output made
// with `create_output`, given the display's mode and scale and placed right
// of the main output with top edges aligned.
//
// Outputs belong to the compositor, not to our connection, and sway 1.7
// cannot unplug one. So an output of ours is never given back: removing a
// display disables its output, and the next creation takes it again. The
// headless outputs of wlroots 0.15 (Debian 12) refuse even to be disabled;
// there removing shrinks the output to one pixel at the main output's right
// edge instead, where it keeps out of the way until taken again. The names
// of our outputs are kept in "$XDG_RUNTIME_DIR/quorvi-mac-sway-outputs",
// tied to the compositor's socket, each with the run (process id and start
// time) that shows it, so that every start and every creation remove the
// outputs a killed run left showing, and only those: another instance that
// still runs keeps its output, and outputs we did not make are never
// touched.
//
// Thread: any; one caller at a time (a mutex). The displays it makes share
// that mutex and may outlive the backend.
class SwayVirtualDisplayBackend final : public VirtualDisplayBackend {
public:
    // The identifier of the output of that name in the global display
    // space; 0 while the Wayland side does not know it yet. Called during
    // create(), under the backend's mutex: it must not call the backend.
    using OutputResolver = std::function<DisplayID(const std::string& outputName)>;

    static constexpr const char* kStateFileName = "quorvi-mac-sway-outputs";
    // How long a new output may take to reach the Wayland side.
    static constexpr std::chrono::milliseconds kResolveTimeout{2000};
    static constexpr std::chrono::milliseconds kResolvePollInterval{20};
    // Bounds every exchange with the compositor.
    static constexpr std::chrono::milliseconds kIpcTimeout{2000};

    // An empty socket path means $SWAYSOCK, read at each creation. waitClock
    // paces the wait for the resolver (the steady clock when null).
    explicit SwayVirtualDisplayBackend(OutputResolver resolver, std::string socketPath = {},
                                       std::shared_ptr<WaitClock> waitClock = nullptr);
    ~SwayVirtualDisplayBackend() override;

    // Failures: unavailable when there is no sway to talk to (no socket, or
    // one that does not answer as sway); creationFailed otherwise (a command
    // sway refuses or does not apply, an output the resolver never knows),
    // with the reason in French for the journal.
    VirtualDisplayCreation create(const VirtualDisplayDescriptor& descriptor,
                                  const VirtualDisplaySettings& settings) override;
    std::vector<std::string> removeLeftovers() override;

    struct Session;

private:
    std::shared_ptr<Session> session_;
};

// The backend the application's virtual display controller is built with on
// sway.
std::shared_ptr<VirtualDisplayBackend>
makeSwayVirtualDisplayBackend(SwayVirtualDisplayBackend::OutputResolver resolver);

} // namespace quorvi
