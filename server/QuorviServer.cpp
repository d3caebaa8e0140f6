#include "server/QuorviServer.h"

#include "capture/ScreenCaptureSession.h"
#include "capture/ScreenFrameSource.h"
#include "capture/SessionFrameCapture.h"
#include "capture/VideoFrameEncoder.h"
#include "display/VirtualDisplayController.h"
#include "input/InputInjector.h"
#include "platform/Clock.h"
#include "platform/MainQueue.h"
#include "platform/QueueCheck.h"
#include "platform/RepeatingTimer.h"
#include "platform/WorkQueue.h"

#include <cstdlib>
#include <thread>

namespace quorvi {

std::shared_ptr<QuorviServer> QuorviServer::create(Platform platform, ServerOptions options) {
    // The last reference may be dropped by a work-queue handler that had
    // locked its weak pointer; the teardown joins the work queue, so it then
    // runs on a short-lived thread of its own instead of on the queue. The
    // server stops right there, though: the owner let go a moment ago and
    // expects the listener, the client and the virtual display gone, not
    // gone whenever that thread gets to run.
    auto* raw = new QuorviServer(std::move(platform), options);
    std::shared_ptr<QuorviServer> server(raw, [](QuorviServer* server) {
        if (server->queue_->isCurrent()) {
            server->stop();
            std::thread([server] { delete server; }).detach();
        } else {
            delete server;
        }
    });
    server->registerObservers();
    return server;
}

QuorviServer::QuorviServer(Platform platform, ServerOptions options)
    : platform_(std::move(platform)), options_(options),
      published_(std::make_shared<PublishedState>()),
      queue_(std::make_unique<WorkQueue>(kQueueLabel)), lastAutoAdjustment_(kDistantPast) {
    buildComponents();
    // Published values start at their initial texts (PublishedState), the
    // work queue and the other fields at theirs (above); then the stored
    // settings replace the defaults. The queue is tagged by construction:
    // WorkQueue::isCurrent() is the key.
    loadStoredSettings();
    loadAccessSettings();
}

void QuorviServer::buildComponents() {
    frameCapture_ = platform_.frameCapture;
    if (!frameCapture_ && platform_.captureService && platform_.displays) {
        frameCapture_ = std::make_shared<SessionFrameCapture>(
            std::make_shared<ScreenCaptureSession>(platform_.captureService, platform_.displays));
    }
    videoEncoder_ = platform_.videoEncoder;
    if (!videoEncoder_) {
        videoEncoder_ = std::make_shared<VideoFrameEncoder>();
    }
    if (frameCapture_ && platform_.displays && platform_.jpegEncoder && platform_.privacyGrants) {
        frameSource_ = std::make_unique<ScreenFrameSource>(
            frameCapture_, videoEncoder_, platform_.jpegEncoder, platform_.privacyGrants,
            platform_.displays, platform_.clock);
    }
    if (platform_.displays && platform_.eventPoster) {
        inputInjector_ =
            std::make_unique<InputInjector>(*platform_.displays, *platform_.eventPoster);
    }
    if (platform_.virtualDisplayBackend && platform_.displays) {
        virtualDisplay_ = std::make_unique<VirtualDisplayController>(
            platform_.virtualDisplayBackend, platform_.displays, platform_.clock);
    } else {
        virtualDisplay_ = std::make_unique<VirtualDisplayController>();
    }
}

void QuorviServer::registerObservers() {
    if (!platform_.notifications) {
        return;
    }
    std::weak_ptr<QuorviServer> weakSelf = weak_from_this();
    auto observe = [&](const std::string& name, std::function<void(QuorviServer&)> action) {
        debugObservers_.push_back(platform_.notifications->addObserver(name, [weakSelf, action] {
            if (auto self = weakSelf.lock()) {
                action(*self);
            }
        }));
    };
    observe("brenholt.quorvi.mac.useExtendedMode", [](QuorviServer& s) { s.useExtendedMode(); });
    observe("brenholt.quorvi.mac.useMirrorMode", [](QuorviServer& s) { s.useMirrorMode(); });
    observe("brenholt.quorvi.mac.refreshDisplays",
            [](QuorviServer& s) { s.refreshDisplayState(); });
    observe("brenholt.quorvi.mac.allowPendingDevice",
            [](QuorviServer& s) { s.allowPendingDevice(); });
    observe("brenholt.quorvi.mac.alwaysAllowPendingDevice",
            [](QuorviServer& s) { s.alwaysAllowPendingDevice(); });
    observe("brenholt.quorvi.mac.denyPendingDevice",
            [](QuorviServer& s) { s.denyPendingDevice(); });
    observe("brenholt.quorvi.mac.disconnectClient", [](QuorviServer& s) { s.disconnectClient(); });
    auto mainQueue = platform_.mainQueue;
    observe("com.apple.accessibility.api", [weakSelf, mainQueue](QuorviServer&) {
        // The grant changes a moment after the system says so.
        mainQueue->postAfter(std::chrono::milliseconds(500), [weakSelf] {
            if (auto self = weakSelf.lock()) {
                self->refreshPermissions();
            }
        });
    });
}

QuorviServer::~QuorviServer() {
    stop();
    queue_->runSync([this] {
        if (permissionRefreshTimer_) {
            permissionRefreshTimer_->cancel();
            permissionRefreshTimer_.reset();
        }
        sendTimer_.reset();
    });
    if (platform_.notifications) {
        for (auto token : debugObservers_) {
            platform_.notifications->removeObserver(token);
        }
    }
    queue_->shutdown();
}

// ---- lifecycle ----------------------------------------------------------------------

void QuorviServer::start() {
    stop();
    startPermissionMonitoring();
    platform_.mainQueue->post(
        [state = published_, addresses = readLocalAddresses(), summary = readPermissionSummary()] {
            state->setLocalAddresses(addresses);
            state->setPermissionSummary(summary);
        });
    refreshPermissions();

    auto creation = platform_.transport->makeListener(options_.port);
    if (!creation.listener) {
        const std::string description =
            creation.error ? creation.error->description : std::string("erreur inconnue");
        publish("Erreur serveur: " + description, std::nullopt, true);
        return;
    }
    auto newListener = creation.listener;
    listeningPort_ = newListener->port();
    const std::string name =
        platform_.computerName ? platform_.computerName() : std::string("Quorvi Mac");
    newListener->setService({name.empty() ? std::string("Quorvi Mac") : name, kServiceType});

    std::weak_ptr<QuorviServer> weakSelf = weak_from_this();
    newListener->setNewConnectionHandler([weakSelf](std::shared_ptr<Connection> newConnection) {
        if (auto self = weakSelf.lock()) {
            self->accept(std::move(newConnection));
        }
    });
    const Listener* identity = newListener.get();
    newListener->setStateHandler([weakSelf, identity](const ListenerState& state) {
        auto self = weakSelf.lock();
        // Reports of a listener that a later start() replaced are stale.
        if (self && self->lastStartedListener_ == identity) {
            self->handleListenerState(state);
        }
    });
    newListener->setServiceProblemHandler([weakSelf](const std::string& reason) {
        if (auto self = weakSelf.lock()) {
            self->publishJournalLine("Bonjour indisponible: " + reason);
        }
    });

    // Stored, started and announced on the work queue, in this order, so the
    // old listener's cancellation report is handled before the new one
    // exists and "Démarrage…" comes before "Prêt…".
    const std::uint16_t port = newListener->port();
    queue_->post([weakSelf, newListener, port] {
        auto self = weakSelf.lock();
        if (!self) {
            return;
        }
        self->storeAndStartListener(newListener);
        self->publish("Démarrage Bonjour sur port " + std::to_string(port), std::nullopt, false);
        if (const auto& problem = self->allowedNetworks_.problem()) {
            self->publishJournalLine(*problem);
        }
        self->applyStoredDisplayMode();
    });
}

void QuorviServer::storeAndStartListener(std::shared_ptr<Listener> newListener) {
    QUORVI_ASSERT_ON(*queue_);
    listener_ = std::move(newListener);
    lastStartedListener_ = listener_.get();
    listener_->start(*queue_);
}

void QuorviServer::stop() {
    // First cut short a start of the virtual display that may be waiting for
    // it to come online, so the work queue is free at once; then stop the
    // queue's work, the send ticks included; only then remove the display.
    // Removed while ticks still ran, the display would look lost to the next
    // frame, which would journal a loss the server caused itself.
    virtualDisplay_->cancelStart();
    if (queue_->isCurrent()) {
        stopOnQueue();
    } else {
        queue_->runSync([this] { stopOnQueue(); });
    }
    // On the calling thread: the controller needs no main thread and is safe
    // against a start() under way on the work queue.
    virtualDisplay_->stop();
}

void QuorviServer::stopOnQueue() {
    QUORVI_ASSERT_ON(*queue_);
    stopSendingFrames();
    sendTimer_.reset();
    isConnectionReady_ = false;
    frameSequence_ = 0;
    if (frameCapture_) {
        frameCapture_->stop();
    }
    if (connection_) {
        connection_->cancel();
        connection_.reset();
        platform_.mainQueue->post([state = published_] { state->setConnectedDevice(""); });
    }
    if (pendingConnection_) {
        std::exchange(pendingConnection_, nullptr)->cancel();
        deviceApproval_.dropPending();
        pendingTimer_.reset();
        platform_.mainQueue->post([state = published_] { state->setPendingDevice(""); });
    }
    if (listener_) {
        listener_->cancel();
        listener_.reset();
    }
    receiveBuffer_.clear();
    if (const char* path = std::getenv("QUORVI_FRAME_TIMINGS"); path != nullptr && *path != '\0') {
        frameTimings_.writeSummaryLine(path);
    }
    publish("Arrêté", "Aucun iPhone", false);
    publishSentFrames(0);
}

void QuorviServer::admit(std::shared_ptr<Connection> newConnection, const std::string& address) {
    QUORVI_ASSERT_ON(*queue_);
    if (connection_) {
        connection_->cancel();
    }
    connection_ = newConnection;
    hasConnectionEnded_ = false;
    isConnectionReady_ = false;
    receiveBuffer_.clear();
    frameSequence_ = 0;
    // The replaced client's ticks end here; the newcomer's start once it is
    // ready.
    stopSendingFrames();
    sessionStartedAt_ = platform_.clock->now();
    sessionStats_ = SessionStats{};
    publishDiagnosticsSummary();
    publishSentFrames(0);
    platform_.mainQueue->post(
        [state = published_, address] { state->setConnectedDevice(address); });
    // A newcomer cannot decode P-frames of a stream it joins midway.
    videoEncoder_->forceKeyFrame();

    std::weak_ptr<QuorviServer> weakSelf = weak_from_this();
    const Connection* identity = newConnection.get();
    newConnection->setStateHandler([weakSelf, identity](const ConnectionState& state) {
        auto self = weakSelf.lock();
        // A replaced connection's late "cancelled" must not stop the new
        // session's frames.
        if (self && self->connection_.get() == identity) {
            self->handleConnectionState(state);
        }
    });
    newConnection->start(*queue_);
    armReceive(newConnection);
}

void QuorviServer::handleListenerState(const ListenerState& state) {
    QUORVI_ASSERT_ON(*queue_);
    switch (state.kind) {
    case ListenerStateKind::ready:
        publish("Prêt: iPhone peut détecter ce Mac", std::nullopt, true);
        break;
    case ListenerStateKind::failed:
        publish("Serveur échoué: " + (state.error ? state.error->description : std::string()),
                std::nullopt, true);
        break;
    case ListenerStateKind::cancelled:
        publish("Arrêté", std::nullopt, true);
        break;
    case ListenerStateKind::setup:
    case ListenerStateKind::waiting:
        break;
    }
}

void QuorviServer::handleConnectionState(const ConnectionState& state) {
    QUORVI_ASSERT_ON(*queue_);
    switch (state.kind) {
    case ConnectionStateKind::ready:
        isConnectionReady_ = true;
        publish("Connecté", "iPhone connecté", true);
        sessionStartedAt_ = platform_.clock->now();
        sessionStats_ = SessionStats{};
        publishDiagnosticsSummary();
        startSendingFrames();
        break;
    case ConnectionStateKind::failed:
        endConnection();
        publish("Connexion échouée: " + (state.error ? state.error->description : std::string()),
                "Aucun iPhone", true);
        break;
    case ConnectionStateKind::cancelled:
        endConnection();
        publish("Déconnecté", "Aucun iPhone", true);
        break;
    case ConnectionStateKind::setup:
    case ConnectionStateKind::preparing:
    case ConnectionStateKind::waiting:
        break;
    }
}

// Nobody watches any more: the ticks end and so does the capture stream,
// which would otherwise go on grabbing the screen at the preset's rate until
// the next client. Settings chosen meanwhile apply when one is ready.
void QuorviServer::endConnection() {
    QUORVI_ASSERT_ON(*queue_);
    hasConnectionEnded_ = true;
    isConnectionReady_ = false;
    stopSendingFrames();
    platform_.mainQueue->post([state = published_] { state->setConnectedDevice(""); });
    if (frameCapture_) {
        frameCapture_->stop();
    }
}

SessionStats QuorviServer::currentSessionStats() {
    SessionStats copy;
    queue_->runSync([&] { copy = sessionStats_; });
    return copy;
}

std::optional<std::chrono::milliseconds> QuorviServer::sendTimerPeriod() {
    std::optional<std::chrono::milliseconds> period;
    queue_->runSync([&] {
        if (sendTimer_ && !sendTimer_->isCancelled()) {
            period = sendTimer_->period();
        }
    });
    return period;
}

void QuorviServer::runOnWorkQueueForTesting(const std::function<void()>& fn) {
    queue_->runSync(fn);
}

// ---- publication ----------------------------------------------------------------------

void QuorviServer::publish(std::optional<std::string> status,
                           std::optional<std::string> connectionName, bool log) {
    // Always a hop, even from the main thread, so that statuses keep the
    // order in which they were issued.
    platform_.mainQueue->post([state = published_, status = std::move(status),
                               connectionName = std::move(connectionName), log] {
        if (status) {
            state->setStatus(*status);
            if (log) {
                state->addJournalLine(*status);
            }
        }
        if (connectionName) {
            state->setConnectionName(*connectionName);
        }
        state->boundJournal();
    });
}

void QuorviServer::publishJournalLine(std::string line) {
    platform_.mainQueue->post(
        [state = published_, line = std::move(line)] { state->addJournalLine(line); });
}

void QuorviServer::publishSentFrames(std::int64_t value) {
    platform_.mainQueue->post([state = published_, value] { state->setSentFrames(value); });
}

} // namespace quorvi
