#include "app/HeadlessPrinter.h"

#include "app/QtMainQueue.h"

#include <chrono>
#include <cmath>

namespace quorvi {
namespace {

std::string joined(const std::vector<std::string>& items) {
    std::string text;
    for (const auto& item : items) {
        text += (text.empty() ? "" : ", ") + item;
    }
    return text;
}

} // namespace

HeadlessPrinter::HeadlessPrinter(PublishedState& state, std::ostream& out)
    : HeadlessPrinter(state, out, std::make_shared<QtMainQueue>(),
                      std::make_shared<SystemClock>()) {}

HeadlessPrinter::HeadlessPrinter(PublishedState& state, std::ostream& out,
                                 std::shared_ptr<MainQueue> queue,
                                 std::shared_ptr<const Clock> clock)
    : state_(state), out_(out), queue_(std::move(queue)), clock_(std::move(clock)) {
    PublishedState::Observer observer;
    observer.didChange = [this](PublishedProperty property) { print(property); };
    observer.journalLineAdded = [this](const std::string& line) {
        out_ << "journal: " << line << std::endl;
    };
    state_.addObserver(std::move(observer));
}

void HeadlessPrinter::print(PublishedProperty property) {
    std::string name;
    std::string value;
    switch (property) {
    case PublishedProperty::status:
        name = "status";
        value = state_.status();
        break;
    case PublishedProperty::connectionName:
        name = "connectionName";
        value = state_.connectionName();
        break;
    case PublishedProperty::localAddresses:
        name = "localAddresses";
        value = joined(state_.localAddresses());
        break;
    case PublishedProperty::permissionSummary:
        name = "permissionSummary";
        value = state_.permissionSummary();
        break;
    case PublishedProperty::captureVisibilitySummary:
        name = "captureVisibilitySummary";
        value = state_.captureVisibilitySummary();
        break;
    case PublishedProperty::displayMode:
        name = "displayMode";
        value = state_.displayMode();
        break;
    case PublishedProperty::displayModeDetail:
        name = "displayModeDetail";
        value = state_.displayModeDetail();
        break;
    case PublishedProperty::targetFPS:
        name = "targetFPS";
        value = std::to_string(state_.targetFPS());
        break;
    case PublishedProperty::streamMode:
        name = "streamMode";
        value = std::string(rawValue(state_.streamMode()));
        break;
    case PublishedProperty::streamQuality:
        name = "streamQuality";
        value = state_.streamQuality();
        break;
    case PublishedProperty::clientStats:
        name = "clientStats";
        value = state_.clientStats();
        break;
    case PublishedProperty::diagnosticsSummary:
        printDiagnostics(state_.diagnosticsSummary());
        return;
    case PublishedProperty::diagnosticsExportPath:
        name = "diagnosticsExportPath";
        value = state_.diagnosticsExportPath();
        break;
    case PublishedProperty::pendingDevice:
        name = "pendingDevice";
        value = state_.pendingDevice();
        break;
    case PublishedProperty::connectedDevice:
        name = "connectedDevice";
        value = state_.connectedDevice();
        break;
    case PublishedProperty::allowedNetworks:
        name = "allowedNetworks";
        value = state_.allowedNetworks();
        break;
    case PublishedProperty::approveNewDevices:
        name = "approveNewDevices";
        value = state_.approveNewDevices() ? "true" : "false";
        break;
    case PublishedProperty::trustedAddresses:
        name = "trustedAddresses";
        value = joined(state_.trustedAddresses());
        break;
    case PublishedProperty::sentFrames:
    case PublishedProperty::receivedInputs:
    case PublishedProperty::logs:
        // Counters and lists change with every frame or gesture; the
        // journal lines tell what happened.
        return;
    }
    // Writing the same text again is not a change.
    auto [previous, isNew] = lastPrinted_.try_emplace(property, value);
    if (!isNew && previous->second == value) {
        return;
    }
    previous->second = value;
    out_ << name << ": " << value << std::endl;
}

void HeadlessPrinter::printDiagnostics(const std::string& value) {
    const auto printed = lastPrinted_.find(PublishedProperty::diagnosticsSummary);
    if (printed != lastPrinted_.end() && printed->second == value) {
        // Back to what the last line says: the values in between are moot.
        pendingDiagnostics_.reset();
        return;
    }
    pendingDiagnostics_ = value;
    flushDiagnostics();
}

void HeadlessPrinter::flushDiagnostics() {
    if (!pendingDiagnostics_) {
        return;
    }
    const double now = clock_->now();
    // A clock set back counts as a second gone by rather than a long wait.
    const bool isDue = !lastDiagnosticsTime_ || now < *lastDiagnosticsTime_ ||
                       now >= *lastDiagnosticsTime_ + kDiagnosticsInterval;
    if (isDue) {
        lastPrinted_[PublishedProperty::diagnosticsSummary] = *pendingDiagnostics_;
        out_ << "diagnosticsSummary: " << *pendingDiagnostics_ << std::endl;
        pendingDiagnostics_.reset();
        lastDiagnosticsTime_ = now;
        return;
    }
    if (isFlushScheduled_) {
        return;
    }
    // Held for the rest of the second; the flush prints whatever is latest
    // then, so the last value is shown even when the changes stop.
    isFlushScheduled_ = true;
    const double remaining = *lastDiagnosticsTime_ + kDiagnosticsInterval - now;
    const auto delay = std::chrono::milliseconds(static_cast<long>(std::ceil(remaining * 1000)));
    queue_->postAfter(delay, [weak = std::weak_ptr<HeadlessPrinter*>(self_)] {
        if (const auto self = weak.lock()) {
            (*self)->isFlushScheduled_ = false;
            (*self)->flushDiagnostics();
        }
    });
}

} // namespace quorvi
