// Mirror and extended modes, the client's viewport and the size it asks of
// the virtual display.
#include "capture/FrameCapture.h"
#include "display/VirtualDisplayController.h"
#include "platform/QueueCheck.h"
#include "platform/UserDefaults.h"
#include "platform/WorkQueue.h"
#include "server/QuorviServer.h"

#include <algorithm>
#include <cmath>

namespace quorvi {
namespace {

// One side of the virtual display in points: a quarter of the viewport's
// pixels, within [minimum, maximum], and even.
std::int64_t virtualSide(double viewportPixels, std::int64_t minimum, std::int64_t maximum) {
    const double rounded = std::round(viewportPixels * 0.25);
    if (!(rounded > static_cast<double>(minimum))) {
        return minimum;
    }
    if (rounded > static_cast<double>(maximum)) {
        return maximum;
    }
    auto side = static_cast<std::int64_t>(rounded);
    return side % 2 != 0 ? side + 1 : side;
}

std::string pixelSize(SizeInPoints points) {
    return std::to_string(2 * static_cast<std::int64_t>(points.width)) + "x" +
           std::to_string(2 * static_cast<std::int64_t>(points.height));
}

} // namespace

void QuorviServer::useExtendedMode() {
    std::weak_ptr<QuorviServer> weakSelf = weak_from_this();
    queue_->post([weakSelf] {
        if (auto self = weakSelf.lock()) {
            self->applyExtendedMode(true);
        }
    });
}

void QuorviServer::useMirrorMode() {
    std::weak_ptr<QuorviServer> weakSelf = weak_from_this();
    queue_->post([weakSelf] {
        if (auto self = weakSelf.lock()) {
            self->applyMirrorMode(true);
        }
    });
}

void QuorviServer::refreshDisplayState() {
    std::weak_ptr<QuorviServer> weakSelf = weak_from_this();
    queue_->post([weakSelf] {
        if (auto self = weakSelf.lock()) {
            self->refreshDisplayStateOnQueue();
        }
    });
}

void QuorviServer::applyStoredDisplayMode() {
    QUORVI_ASSERT_ON(*queue_);
    // A run that was killed or crashed left its virtual display behind, with
    // the screen grown around it: it goes at every start, whatever the mode.
    for (const std::string& name : virtualDisplay_->removeLeftovers()) {
        publishJournalLine("Écran virtuel abandonné retiré: " + name);
    }
    if (storedDisplayMode_ == StoredDisplayMode::extended) {
        applyExtendedMode(false);
    } else {
        applyMirrorMode(false);
    }
}

void QuorviServer::applyExtendedMode(bool persist) {
    QUORVI_ASSERT_ON(*queue_);
    if (persist) {
        storedDisplayMode_ = StoredDisplayMode::extended;
        if (platform_.userDefaults) {
            platform_.userDefaults->setString(kDisplayModeKey, "extended");
        }
    }
    const auto width = static_cast<std::int64_t>(extendedModeSize_.width);
    const auto height = static_cast<std::int64_t>(extendedModeSize_.height);
    DisplayID id = 0;
    try {
        id = virtualDisplay_->start(width, height);
    } catch (const VirtualDisplayError& error) {
        isExtendedModeEnabled_ = false;
        std::string line = "Écran virtuel échoué: " + error.description();
        if (!error.reason().empty()) {
            line += " (" + error.reason() + ")";
        }
        publishDisplayMode("Étendu échoué", error.description(),
                           line + " · écrans: " + onlineScreensText());
        return;
    }
    // The capture follows on the next frame: a new display restarts it.
    isExtendedModeEnabled_ = true;
    const std::string name = persist ? "Écran virtuel créé" : "Mode étendu restauré";
    publishDisplayMode("Étendu actif",
                       "Display #" + std::to_string(id) + " · " + pixelSize(extendedModeSize_),
                       name + ": #" + std::to_string(id) + " · écrans: " + onlineScreensText());
}

void QuorviServer::applyMirrorMode(bool persist) {
    QUORVI_ASSERT_ON(*queue_);
    if (persist) {
        storedDisplayMode_ = StoredDisplayMode::mirror;
        if (platform_.userDefaults) {
            platform_.userDefaults->setString(kDisplayModeKey, "mirror");
        }
    }
    virtualDisplay_->stop();
    if (frameCapture_) {
        frameCapture_->stop();
    }
    isExtendedModeEnabled_ = false;
    publishDisplayMode("Miroir actif", "Capture écran principal",
                       persist ? "Mode miroir activé · écrans: " + onlineScreensText()
                               : std::string("Mode miroir restauré"));
}

void QuorviServer::refreshDisplayStateOnQueue() {
    QUORVI_ASSERT_ON(*queue_);
    const std::string screens = onlineScreensText();
    if (isExtendedModeEnabled_) {
        if (const auto id = onlineVirtualDisplayID()) {
            publishDisplayMode("Étendu actif",
                               "Display virtuel #" + std::to_string(*id) + " reconnu",
                               "Écrans online: " + screens);
            return;
        }
    }
    isExtendedModeEnabled_ = false;
    publishDisplayMode("Miroir actif", "Capture écran principal", "Écrans online: " + screens);
}

void QuorviServer::storeExtendedModeSize(SizeInPoints size) {
    if (platform_.userDefaults) {
        platform_.userDefaults->setNumber(kExtendedWidthKey, size.width);
        platform_.userDefaults->setNumber(kExtendedHeightKey, size.height);
    }
}

void QuorviServer::handleViewport(const InputEventMessage& message) {
    QUORVI_ASSERT_ON(*queue_);
    if (!message.viewportWidth || !message.viewportHeight || !(*message.viewportWidth > 0) ||
        !(*message.viewportHeight > 0)) {
        return;
    }
    clientViewportPixels_ = {*message.viewportWidth, *message.viewportHeight};
    const std::int64_t w = virtualSide(*message.viewportWidth, 360, 1600);
    const std::int64_t h = virtualSide(*message.viewportHeight, 180, 1000);
    if (std::abs(static_cast<double>(w) - extendedModeSize_.width) < 2 &&
        std::abs(static_cast<double>(h) - extendedModeSize_.height) < 2) {
        publishCurrentQuality();
        return;
    }
    extendedModeSize_ = {static_cast<double>(w), static_cast<double>(h)};
    storeExtendedModeSize(extendedModeSize_);
    publishCurrentQuality();
    if (!isExtendedModeEnabled_) {
        return; // used the next time extended mode is entered
    }
    DisplayID id = 0;
    try {
        id = virtualDisplay_->start(w, h);
    } catch (const VirtualDisplayError& error) {
        isExtendedModeEnabled_ = false;
        publishDisplayMode("Étendu échoué", error.description(),
                           "Resize écran échoué: " + error.description());
        return;
    }
    const auto target = streamTargetWidth(activePreset_.settings, clientViewportPixels_);
    publishDisplayMode("Étendu actif",
                       "Display #" + std::to_string(id) + " · " + pixelSize(extendedModeSize_),
                       "Écran adapté iPhone/iPad: display " + pixelSize(extendedModeSize_) +
                           " · stream " + (target ? std::to_string(*target) + "px" : "auto"));
}

} // namespace quorvi
