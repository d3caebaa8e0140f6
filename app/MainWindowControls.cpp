#include "app/MainWindowControls.h"

#include "server/QuorviServer.h"

namespace quorvi {

namespace {

// A call that does nothing once the server is gone (the scene releases it
// last, but a late Qt event must never reach a dead object).
std::function<void()> weakCall(const std::shared_ptr<QuorviServer>& server,
                               void (QuorviServer::*operation)()) {
    return [weak = std::weak_ptr<QuorviServer>(server), operation] {
        if (auto strong = weak.lock()) {
            ((*strong).*operation)();
        }
    };
}

} // namespace

ServerControls serverControlsFor(const std::shared_ptr<QuorviServer>& server,
                                 std::uint16_t configuredPort) {
    ServerControls controls;
    controls.start = weakCall(server, &QuorviServer::start);
    controls.stop = weakCall(server, &QuorviServer::stop);
    controls.refreshPermissions = weakCall(server, &QuorviServer::refreshPermissions);
    controls.exportDiagnostics = weakCall(server, &QuorviServer::exportDiagnostics);
    controls.useMirrorMode = weakCall(server, &QuorviServer::useMirrorMode);
    controls.useExtendedMode = weakCall(server, &QuorviServer::useExtendedMode);
    controls.setStreamMode = [weak = std::weak_ptr<QuorviServer>(server)](StreamMode mode) {
        if (auto strong = weak.lock()) {
            strong->setStreamMode(mode);
        }
    };
    controls.listeningPort = [weak = std::weak_ptr<QuorviServer>(server), configuredPort] {
        const auto strong = weak.lock();
        const std::uint16_t port = strong ? strong->listeningPort() : 0;
        return port != 0 ? port : configuredPort;
    };
    controls.disconnectClient = weakCall(server, &QuorviServer::disconnectClient);
    controls.allowPendingDevice = weakCall(server, &QuorviServer::allowPendingDevice);
    controls.alwaysAllowPendingDevice = weakCall(server, &QuorviServer::alwaysAllowPendingDevice);
    controls.denyPendingDevice = weakCall(server, &QuorviServer::denyPendingDevice);
    controls.forgetTrustedAddress =
        [weak = std::weak_ptr<QuorviServer>(server)](const std::string& address) {
            if (auto strong = weak.lock()) {
                strong->forgetTrustedAddress(address);
            }
        };
    controls.setAllowedNetworks =
        [weak = std::weak_ptr<QuorviServer>(server)](const std::string& networks) {
            if (auto strong = weak.lock()) {
                strong->setAllowedNetworks(networks);
            }
        };
    controls.setApproveNewDevices = [weak = std::weak_ptr<QuorviServer>(server)](bool required) {
        if (auto strong = weak.lock()) {
            strong->setApproveNewDevices(required);
        }
    };
    return controls;
}

} // namespace quorvi
