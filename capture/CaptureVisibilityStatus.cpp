#include "capture/CaptureVisibilityStatus.h"

#include "system/PrivacyGrants.h"

#include <algorithm>
#include <unistd.h>

namespace quorvi {

namespace {

// The line shows at most this many names, then how many more there are.
constexpr std::size_t kNamesShown = 4;

std::string joined(const std::vector<std::string>& names, std::size_t count) {
    std::string text;
    for (std::size_t i = 0; i < count && i < names.size(); ++i) {
        if (i > 0) {
            text += ", ";
        }
        text += names[i];
    }
    return text;
}

bool isThisApplication(const VisibleWindow& window, std::optional<std::int64_t> thisProcessID) {
    if (window.isThisApplication) {
        return true;
    }
    return thisProcessID && window.ownerProcessID && *window.ownerProcessID == *thisProcessID;
}

} // namespace

std::string CaptureVisibilityStatus::journalLine() const {
    const std::string prefix = "Capture visibilité: ";
    if (visibleApps.empty()) {
        return prefix + summary;
    }
    return prefix + joined(visibleApps, visibleApps.size());
}

CaptureVisibilityStatus summarizeVisibleWindows(const std::vector<VisibleWindow>& windows,
                                                std::optional<std::int64_t> thisProcessID) {
    CaptureVisibilityStatus status;
    std::size_t otherWindows = 0;
    for (const VisibleWindow& window : windows) {
        if (!window.applicationName || isThisApplication(window, thisProcessID)) {
            continue;
        }
        ++otherWindows;
        status.visibleApps.push_back(*window.applicationName);
    }
    // std::string compares as unsigned bytes, and the byte order of UTF-8
    // is the code-point order: no locale, case counts ("Safari" < "safari").
    std::sort(status.visibleApps.begin(), status.visibleApps.end());
    status.visibleApps.erase(std::unique(status.visibleApps.begin(), status.visibleApps.end()),
                             status.visibleApps.end());
    if (status.visibleApps.empty()) {
        status.summary = "Aucune autre app visible";
        return status;
    }
    // "fenêtres" stays plural even for one window: the text is fixed.
    status.summary =
        std::to_string(otherWindows) + " fenêtres · " + joined(status.visibleApps, kNamesShown);
    if (status.visibleApps.size() > kNamesShown) {
        status.summary += " +" + std::to_string(status.visibleApps.size() - kNamesShown);
    }
    return status;
}

CaptureVisibilityStatus CaptureVisibilityStatus::current(PrivacyGrants& grants,
                                                         WindowListSource& windows) {
    if (!grants.isScreenRecordingGranted()) {
        return {"Screen Recording manquant", {}};
    }
    const WindowListResult listed = windows.onScreenWindows();
    if (!listed.windows) {
        return {"Diagnostic capture échoué: " + listed.errorDescription, {}};
    }
    return summarizeVisibleWindows(*listed.windows, static_cast<std::int64_t>(getpid()));
}

} // namespace quorvi
