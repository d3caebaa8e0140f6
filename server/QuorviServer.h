#pragma once

#include "platform/Clock.h"
#include "platform/DisplayServices.h"
#include "platform/NetworkTransport.h"
#include "platform/NotificationCenter.h"
#include "platform/Platform.h"
#include "protocol/Messages.h"
#include "quality/Diagnostics.h"
#include "quality/SessionStats.h"
#include "quality/StreamMode.h"
#include "quality/StreamQuality.h"
#include "server/AccessRules.h"
#include "server/FrameTimings.h"
#include "server/InputLineBuffer.h"
#include "server/PublishedState.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quorvi {

class FrameCapture;
class InputInjector;
class RepeatingTimer;
class ScreenFrameSource;
class VideoEncoder;
class VirtualDisplayController;
class WorkQueue;

enum class StoredDisplayMode { mirror, extended };

struct SizeInPoints {
    double width = 0;
    double height = 0;
};

// The one object that runs a streaming session: the listener and its DNS-SD
// service, the single client connection, the receive path and every value
// the user interface shows.
//
// Thread: public operations on the main thread (stop() from any thread);
// everything else on its serial work queue. Published values live in
// PublishedState, written only on the main queue. Handlers given to the
// network, timers and the notification center hold the server weakly.
class QuorviServer : public std::enable_shared_from_this<QuorviServer> {
public:
    static constexpr std::int64_t kMaxReceiveBufferSize = 8'388'608;
    static constexpr std::size_t kMaxReadLength = 65'536;
    static constexpr const char* kServiceType = "_quorvi._tcp";
    static constexpr const char* kQueueLabel = "brenholt.quorvi.mac.server";

    // Builds the server in the documented order and registers its observers.
    static std::shared_ptr<QuorviServer> create(Platform platform, ServerOptions options = {});
    ~QuorviServer();
    QuorviServer(const QuorviServer&) = delete;
    QuorviServer& operator=(const QuorviServer&) = delete;

    // Thread: main. Stops whatever runs, then listens and advertises.
    void start();
    // Thread: any, the work queue included.
    void stop();

    // Thread: main. The state the interface observes; shared so that late
    // main-queue updates stay valid even while the server is released.
    PublishedState& published() { return *published_; }
    std::shared_ptr<PublishedState> publishedState() const { return published_; }

    // Thread: any. Applied on the work queue.
    void setStreamMode(StreamMode mode);

    // A journal line that leaves the status alone ("Bonjour indisponible: …").
    // Thread: any.
    void publishJournalLine(std::string line);

    // Operations other Parts fill in; callable from the main thread.
    void useExtendedMode();
    void useMirrorMode();
    void refreshDisplayState();
    void refreshPermissions();
    void exportDiagnostics();

    // Who may connect. Callable from the main thread; applied on the work
    // queue and shown through published(). The three answers act on the
    // device pending at the time they run, and do nothing when none is.
    void allowPendingDevice();
    // Also adds the address to the trusted ones, kept across restarts.
    void alwaysAllowPendingDevice();
    void denyPendingDevice();
    // Ends the current client; the server goes on listening.
    void disconnectClient();
    void forgetTrustedAddress(std::string address);
    // Stored, and in effect for the next connection ("" everyone, "lan",
    // or a list of addresses and prefixes).
    void setAllowedNetworks(std::string networks);
    void setApproveNewDevices(bool isRequired);

    // The port the listener is bound to (0 before the first start). Thread: any.
    std::uint16_t listeningPort() const { return listeningPort_.load(); }

    // A copy of the session's counters and samples. Thread: any but the main
    // thread while the work queue waits on it (never the case on Linux).
    SessionStats currentSessionStats();

    // The send timer's period while it runs (tests check pacing with it).
    std::optional<std::chrono::milliseconds> sendTimerPeriod();

    // For tests and diagnostics: runs fn on the work queue and waits.
    void runOnWorkQueueForTesting(const std::function<void()>& fn);
    WorkQueue& workQueue() { return *queue_; }

private:
    QuorviServer(Platform platform, ServerOptions options);
    void buildComponents();
    void registerObservers();

    // ---- work queue -----------------------------------------------------------
    void stopOnQueue();
    // Runs the newcomer through the access rules before it may replace anyone.
    void accept(std::shared_ptr<Connection> newConnection);
    // Makes it the current client, replacing the one before.
    void admit(std::shared_ptr<Connection> newConnection, const std::string& address);
    void refuse(const std::shared_ptr<Connection>& refused, const std::string& address,
                const std::string& reason);
    void hold(std::shared_ptr<Connection> pending, const std::string& address);
    // The pending device's answer: admitted, or refused for the reason given.
    void resolvePending(std::optional<std::string> address, bool isAllowed,
                        const std::string& reason);
    void checkPendingTimeout();
    void loadAccessSettings();
    void applyAllowedNetworks(const std::string& setting);
    void storeTrustedAddresses();
    void handleListenerState(const ListenerState& state);
    void handleConnectionState(const ConnectionState& state);
    void storeAndStartListener(std::shared_ptr<Listener> newListener);

    // Receive path.
    void armReceive(std::shared_ptr<Connection> readConnection);
    void handleReceived(const std::shared_ptr<Connection>& readConnection,
                        std::optional<Bytes> data, bool isComplete,
                        std::optional<NetworkError> error);
    void consumeInputLines();
    void dispatchGesture(const InputEventMessage& message);
    void handleViewport(const InputEventMessage& message);
    void handleClientStats(const InputEventMessage& message);

    // Hooks into the frame loop, diagnostics and display management.
    // Re-arms the send timer at the preset's rate; only for a ready client.
    void startSendingFrames();
    void stopSendingFrames();
    // The ready client, if any: the only one the timer is ever armed for.
    bool hasLiveConnection() const { return connection_ && isConnectionReady_; }
    // The current connection failed or was cancelled.
    void endConnection();
    void sendFrame();
    void handleSendCompletion(const std::shared_ptr<Connection>& sentOn, std::int64_t sequence,
                              bool hasPicture, const std::string& subtitle,
                              const FrameSendTimes& times, std::optional<NetworkError> error);
    // The display frames and gestures go to: the virtual display while
    // extended mode is live and it is online, else the main display.
    DisplayID streamedDisplayID();
    // 0 on a platform without display services.
    DisplayID mainDisplayID();
    // The virtual display's ID while it exists and is online.
    std::optional<DisplayID> onlineVirtualDisplayID();
    // streamedDisplayID for a frame, with one display query: extended mode
    // whose virtual display went offline falls back to mirror, and says so.
    DisplayID validatedStreamedDisplayID();
    std::string onlineScreensText();
    void injectGesture(const InputEventMessage& message);
    void publishDiagnosticsSummary();
    SessionDiagnosticsSnapshot makeDiagnosticsSnapshot();
    void exportDiagnosticsOnQueue();
    void loadStoredSettings();
    void applyStoredDisplayMode();
    void startPermissionMonitoring();
    void refreshPermissionSummaryOnly();
    std::vector<std::string> readLocalAddresses();
    std::string readPermissionSummary();

    // Display modes.
    void applyExtendedMode(bool persist);
    void applyMirrorMode(bool persist);
    void refreshDisplayStateOnQueue();
    void storeExtendedModeSize(SizeInPoints size);

    // Stream modes and presets.
    void applyStreamMode(StreamMode mode);
    void storeStreamMode(StreamMode mode);
    void publishCurrentQuality();

    // Keys of the user's stored settings.
    static constexpr const char* kDisplayModeKey = "quorviMac.displayMode";
    static constexpr const char* kStreamModeKey = "quorviMac.streamMode";
    static constexpr const char* kAutoLevelKey = "quorviMac.autoLevel";
    static constexpr const char* kExtendedWidthKey = "quorviMac.extendedWidth";
    static constexpr const char* kExtendedHeightKey = "quorviMac.extendedHeight";
    static constexpr const char* kAllowedNetworksKey = "quorviMac.allowedNetworks";
    static constexpr const char* kApproveNewDevicesKey = "quorviMac.approveNewDevices";
    static constexpr const char* kTrustedAddressesKey = "quorviMac.trustedAddresses";

    // ---- publication: any thread -> main queue -------------------------------------
    void publish(std::optional<std::string> status, std::optional<std::string> connectionName,
                 bool log);
    void publishSentFrames(std::int64_t value);
    void publish(StreamMode mode, const StreamPreset& preset, std::string qualityLabel,
                 std::optional<std::string> stats, std::string log);
    void publishClientStats(std::string text);
    // Also keeps the work-queue copy that the diagnostics read.
    void publishDisplayMode(std::string displayMode, std::string displayModeDetail,
                            std::string log);

    Platform platform_;
    ServerOptions options_;
    std::shared_ptr<PublishedState> published_;

    // Declared before the fields whose Asio objects it runs, destroyed after.
    std::unique_ptr<WorkQueue> queue_;

    // Components, each owned here; used on the work queue.
    std::shared_ptr<FrameCapture> frameCapture_;
    std::shared_ptr<VideoEncoder> videoEncoder_;
    std::unique_ptr<ScreenFrameSource> frameSource_;
    std::unique_ptr<InputInjector> inputInjector_;
    std::unique_ptr<VirtualDisplayController> virtualDisplay_;

    // ---- confined to the work queue ---------------------------------------------
    std::shared_ptr<Listener> listener_;
    const Listener* lastStartedListener_ = nullptr;
    std::shared_ptr<Connection> connection_;
    // Who may connect, and the newcomer waiting for the user's answer: not
    // started, never read, sent nothing. The timer checks the answer's
    // deadline on the server clock while one waits.
    AllowedNetworks allowedNetworks_;
    DeviceApproval deviceApproval_;
    std::shared_ptr<Connection> pendingConnection_;
    std::unique_ptr<RepeatingTimer> pendingTimer_;
    // A refusal journaled a moment ago is not journaled again: a flood of
    // connections would otherwise push every other line out of the journal.
    std::string lastRefusalLine_;
    double lastRefusalAt_ = kDistantPast;
    std::unique_ptr<RepeatingTimer> sendTimer_;
    InputLineBuffer receiveBuffer_{static_cast<std::size_t>(kMaxReceiveBufferSize)};
    std::int64_t frameSequence_ = 0;
    bool isFrameSendInFlight_ = false;
    // The current connection reported failed or cancelled: sends it aborts
    // afterwards are a consequence, not news ("Envoi échoué" would hide why).
    bool hasConnectionEnded_ = false;
    // The current connection reported ready and has not ended since.
    bool isConnectionReady_ = false;
    bool isExtendedModeEnabled_ = false;
    std::int64_t configuredFPS_ = 10;
    StreamMode configuredMode_ = StreamMode::balanced;
    StreamPreset activePreset_ = resolvedPreset(StreamMode::balanced, 2);
    std::int64_t autoLevel_ = 2;
    StoredDisplayMode storedDisplayMode_ = StoredDisplayMode::mirror;
    double lastAutoAdjustment_;
    SizeInPoints extendedModeSize_{700, 323};
    ViewportPixels clientViewportPixels_{0, 0};
    std::string displayModeCopy_ = "Miroir actif";
    std::string displayModeDetailCopy_ = "Capture écran principal";
    std::string captureVisibilitySummaryCopy_ = "Capture non testée";
    std::optional<double> sessionStartedAt_;
    SessionStats sessionStats_;
    std::unique_ptr<RepeatingTimer> permissionRefreshTimer_;
    // The last frame's bytes, reused once the connection let go of them: a
    // fresh 500 KB string per frame costs page faults on every frame.
    std::shared_ptr<std::string> sendBuffer_;
    // Tick and capture to last byte sent, written on stop() to the file named
    // by QUORVI_FRAME_TIMINGS (the end-to-end benchmark).
    FrameTimings frameTimings_;

    // ---- main thread -------------------------------------------------------------
    std::vector<NotificationCenter::Token> debugObservers_;

    std::atomic<std::uint16_t> listeningPort_{0};
};

} // namespace quorvi
