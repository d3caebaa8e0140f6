// The diagnostics of the session: the live summary and the exported file.
#include "platform/Clock.h"
#include "platform/DesktopFolder.h"
#include "platform/MainQueue.h"
#include "platform/QueueCheck.h"
#include "platform/WorkQueue.h"
#include "server/QuorviServer.h"

namespace quorvi {

SessionDiagnosticsSnapshot QuorviServer::makeDiagnosticsSnapshot() {
    QUORVI_ASSERT_ON(*queue_);
    const double now = platform_.clock->now();
    SessionDiagnosticsSnapshot snapshot;
    snapshot.exportedAt = internetDateTime(now);
    snapshot.startedAt = internetDateTime(sessionStartedAt_.value_or(now));
    snapshot.durationSeconds = durationSeconds(sessionStartedAt_.value_or(now), now);
    snapshot.appVersion = QUORVI_VERSION;
    snapshot.bundleIdentifier = "brenholt.quorvi.mac";
    snapshot.mode = isExtendedModeEnabled_ ? "extended" : "mirror";
    // The work queue's own copies: the published texts belong to the main
    // thread and must not be read here.
    snapshot.displayMode = displayModeCopy_;
    snapshot.displayModeDetail = displayModeDetailCopy_;
    snapshot.captureVisibilitySummary = captureVisibilitySummaryCopy_;
    snapshot.streamMode = std::string(rawValue(configuredMode_));
    snapshot.targetFPS = configuredFPS_;
    snapshot.streamQuality = streamQualityLabel(activePreset_, clientViewportPixels_);
    snapshot.clientViewportPixels =
        diagnosticsSize(clientViewportPixels_.width, clientViewportPixels_.height);
    snapshot.extendedDisplayPoints =
        diagnosticsSize(extendedModeSize_.width, extendedModeSize_.height);
    snapshot.permissionSummary = readPermissionSummary();
    snapshot.localAddresses = readLocalAddresses();
    snapshot.sentFrames = sessionStats_.sentFrames;
    snapshot.inputEvents = sessionStats_.inputEvents;
    snapshot.latencySamplesMs = sessionStats_.latencySamples;
    snapshot.displayedFPSSamples = sessionStats_.displayedFPSSamples;
    snapshot.latencyP50Ms = percentile(sessionStats_.latencySamples, 0.5);
    snapshot.latencyP95Ms = percentile(sessionStats_.latencySamples, 0.95);
    snapshot.displayedFPSMedian = percentile(sessionStats_.displayedFPSSamples, 0.5);
    snapshot.displayedFPSLowP05 = percentile(sessionStats_.displayedFPSSamples, 0.05);
    return snapshot;
}

void QuorviServer::publishDiagnosticsSummary() {
    QUORVI_ASSERT_ON(*queue_);
    // It runs after every frame: only the four figures the line shows are
    // computed, not the addresses and grants of a whole snapshot.
    SessionDiagnosticsSnapshot figures;
    const double now = platform_.clock->now();
    figures.durationSeconds = durationSeconds(sessionStartedAt_.value_or(now), now);
    figures.sentFrames = sessionStats_.sentFrames;
    figures.displayedFPSMedian = percentile(sessionStats_.displayedFPSSamples, 0.5);
    figures.latencyP95Ms = percentile(sessionStats_.latencySamples, 0.95);
    platform_.mainQueue->post([state = published_, text = diagnosticsSummaryText(figures)] {
        state->setDiagnosticsSummary(text);
    });
}

void QuorviServer::exportDiagnostics() {
    std::weak_ptr<QuorviServer> weakSelf = weak_from_this();
    queue_->post([weakSelf] {
        if (auto self = weakSelf.lock()) {
            self->exportDiagnosticsOnQueue();
        }
    });
}

void QuorviServer::exportDiagnosticsOnQueue() {
    QUORVI_ASSERT_ON(*queue_);
    const std::string bytes = encodeDiagnosticsJSON(makeDiagnosticsSnapshot());
    const auto folder = platform_.desktopFolder ? platform_.desktopFolder() : desktopFolder();
    if (!folder) {
        publish("Export diagnostic échoué: dossier Bureau introuvable (HOME inconnu)", std::nullopt,
                true);
        return;
    }
    const std::string path = *folder + "/" + diagnosticsFileName(platform_.clock->now());
    if (const auto failure = writeFileAtomically(path, bytes); !failure.empty()) {
        publish("Export diagnostic échoué: " + failure, std::nullopt, true);
        return;
    }
    platform_.mainQueue->post([state = published_, path] {
        state->setDiagnosticsExportPath(path);
        state->addJournalLine("Diagnostic exporté: " + path);
    });
}

} // namespace quorvi
