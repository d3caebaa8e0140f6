#pragma once

#include "protocol/Messages.h"
#include "quality/StreamMode.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace quorvi {

// The values the user interface observes.
enum class PublishedProperty {
    status,
    connectionName,
    sentFrames,
    receivedInputs,
    logs,
    localAddresses,
    permissionSummary,
    captureVisibilitySummary,
    displayMode,
    displayModeDetail,
    targetFPS,
    streamMode,
    streamQuality,
    clientStats,
    diagnosticsSummary,
    diagnosticsExportPath,
    // Who may connect.
    pendingDevice,
    connectedDevice,
    allowedNetworks,
    approveNewDevices,
    trustedAddresses,
};

// Inserts at the front and keeps the newest `limit` entries.
template <typename T> void insertNewestFirst(std::vector<T>& list, T item, std::size_t limit) {
    list.insert(list.begin(), std::move(item));
    if (list.size() > limit) {
        list.resize(limit);
    }
}

// The server's published properties. Every write announces the change to the
// observers before it takes effect (and again after, for observers that want
// the new value, such as the headless printer).
//
// Thread: main queue only, for reads and writes.
class PublishedState {
public:
    static constexpr std::size_t kJournalLimit = 30;
    static constexpr std::size_t kRecentInputLimit = 12;

    struct Observer {
        std::function<void(PublishedProperty)> willChange;
        std::function<void(PublishedProperty)> didChange;
        // A new journal line, after it was inserted.
        std::function<void(const std::string&)> journalLineAdded;
    };

    const std::string& status() const { return status_; }
    const std::string& connectionName() const { return connectionName_; }
    std::int64_t sentFrames() const { return sentFrames_; }
    const std::vector<InputEventMessage>& receivedInputs() const { return receivedInputs_; }
    const std::vector<std::string>& logs() const { return logs_; }
    const std::vector<std::string>& localAddresses() const { return localAddresses_; }
    const std::string& permissionSummary() const { return permissionSummary_; }
    const std::string& captureVisibilitySummary() const { return captureVisibilitySummary_; }
    const std::string& displayMode() const { return displayMode_; }
    const std::string& displayModeDetail() const { return displayModeDetail_; }
    std::int64_t targetFPS() const { return targetFPS_; }
    StreamMode streamMode() const { return streamMode_; }
    const std::string& streamQuality() const { return streamQuality_; }
    const std::string& clientStats() const { return clientStats_; }
    const std::string& diagnosticsSummary() const { return diagnosticsSummary_; }
    const std::string& diagnosticsExportPath() const { return diagnosticsExportPath_; }
    // The address of the device waiting for the user's answer; empty when none.
    const std::string& pendingDevice() const { return pendingDevice_; }
    // The current client's address; empty when none.
    const std::string& connectedDevice() const { return connectedDevice_; }
    // The allowed-networks setting in effect ("" everyone, "lan", or a list).
    const std::string& allowedNetworks() const { return allowedNetworks_; }
    bool approveNewDevices() const { return approveNewDevices_; }
    const std::vector<std::string>& trustedAddresses() const { return trustedAddresses_; }

    void setStatus(std::string value) {
        write(PublishedProperty::status, status_, std::move(value));
    }
    void setConnectionName(std::string value) {
        write(PublishedProperty::connectionName, connectionName_, std::move(value));
    }
    void setSentFrames(std::int64_t value) {
        write(PublishedProperty::sentFrames, sentFrames_, value);
    }
    void setLocalAddresses(std::vector<std::string> value) {
        write(PublishedProperty::localAddresses, localAddresses_, std::move(value));
    }
    void setPermissionSummary(std::string value) {
        write(PublishedProperty::permissionSummary, permissionSummary_, std::move(value));
    }
    void setCaptureVisibilitySummary(std::string value) {
        write(PublishedProperty::captureVisibilitySummary, captureVisibilitySummary_,
              std::move(value));
    }
    void setDisplayMode(std::string value) {
        write(PublishedProperty::displayMode, displayMode_, std::move(value));
    }
    void setDisplayModeDetail(std::string value) {
        write(PublishedProperty::displayModeDetail, displayModeDetail_, std::move(value));
    }
    void setTargetFPS(std::int64_t value) {
        write(PublishedProperty::targetFPS, targetFPS_, value);
    }
    void setStreamMode(StreamMode value) {
        write(PublishedProperty::streamMode, streamMode_, value);
    }
    void setStreamQuality(std::string value) {
        write(PublishedProperty::streamQuality, streamQuality_, std::move(value));
    }
    void setClientStats(std::string value) {
        write(PublishedProperty::clientStats, clientStats_, std::move(value));
    }
    void setDiagnosticsSummary(std::string value) {
        write(PublishedProperty::diagnosticsSummary, diagnosticsSummary_, std::move(value));
    }
    void setDiagnosticsExportPath(std::string value) {
        write(PublishedProperty::diagnosticsExportPath, diagnosticsExportPath_, std::move(value));
    }
    void setPendingDevice(std::string value) {
        write(PublishedProperty::pendingDevice, pendingDevice_, std::move(value));
    }
    void setConnectedDevice(std::string value) {
        write(PublishedProperty::connectedDevice, connectedDevice_, std::move(value));
    }
    void setAllowedNetworks(std::string value) {
        write(PublishedProperty::allowedNetworks, allowedNetworks_, std::move(value));
    }
    void setApproveNewDevices(bool value) {
        write(PublishedProperty::approveNewDevices, approveNewDevices_, value);
    }
    void setTrustedAddresses(std::vector<std::string> value) {
        write(PublishedProperty::trustedAddresses, trustedAddresses_, std::move(value));
    }

    // Newest first, cut at 30.
    void addJournalLine(std::string line);
    // Newest first, cut at 12.
    void addReceivedInput(InputEventMessage message);
    // Applies the journal bound without inserting (publish does it every time).
    void boundJournal();

    void addObserver(Observer observer) { observers_.push_back(std::move(observer)); }

private:
    template <typename T> void write(PublishedProperty property, T& field, T value) {
        announce(property, true);
        field = std::move(value);
        announce(property, false);
    }
    void announce(PublishedProperty property, bool isBefore);

    std::string status_ = "Arrêté";
    std::string connectionName_ = "Aucun iPhone";
    std::int64_t sentFrames_ = 0;
    std::vector<InputEventMessage> receivedInputs_;
    std::vector<std::string> logs_;
    std::vector<std::string> localAddresses_;
    std::string permissionSummary_ = "Permissions inconnues";
    std::string captureVisibilitySummary_ = "Capture non testée";
    std::string displayMode_ = "Miroir actif";
    std::string displayModeDetail_ = "Capture écran principal";
    std::int64_t targetFPS_ = 10;
    StreamMode streamMode_ = StreamMode::balanced;
    std::string streamQuality_ = "Défaut · bonne qualité";
    std::string clientStats_ = "Stats iPhone en attente";
    std::string diagnosticsSummary_ = "Aucune session mesurée";
    std::string diagnosticsExportPath_;
    std::string pendingDevice_;
    std::string connectedDevice_;
    std::string allowedNetworks_;
    bool approveNewDevices_ = false;
    std::vector<std::string> trustedAddresses_;

    std::vector<Observer> observers_;
};

} // namespace quorvi
