#pragma once

#include "capture/WindowListSource.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quorvi {

class PrivacyGrants;

// What the phone will see besides this application's own windows: the
// other applications with windows on screen, and one short French line
// about them. The permission refresh publishes the line and writes
// journalLine() to the journal; the diagnostics export copies the line.
//
// Thread: any (a plain value).
struct CaptureVisibilityStatus {
    // "Screen Recording manquant", "Diagnostic capture échoué: " + reason,
    // "Aucune autre app visible", or for example
    // "9 fenêtres · Finder, Mail, Safari, Slack +1".
    std::string summary;
    // Names of the other applications, each once, in byte order of their
    // UTF-8 text (case-sensitive, not locale-aware); empty when the
    // permission is missing or the window list could not be read.
    std::vector<std::string> visibleApps;

    // "Capture visibilité: " followed by visibleApps joined with ", ", or by
    // the summary when no application is listed.
    std::string journalLine() const;

    // Asks the grants and the window list now. Never fails: a missing
    // screen-recording grant and an unreadable window list become summaries
    // with no applications. Windows of this process (by process ID or by
    // the source's own flag) are left out, as the capture leaves them out.
    //
    // Thread: a background task; it blocks on the platform and touches no
    // shared state.
    static CaptureVisibilityStatus current(PrivacyGrants& grants, WindowListSource& windows);

    bool operator==(const CaptureVisibilityStatus&) const = default;
};

// The summary rules over a window list: windows without an application name
// and windows of this application (isThisApplication, or ownerProcessID
// equal to thisProcessID) are neither counted nor named; the others are
// counted one by one and named once each.
//
// Thread: any (pure).
CaptureVisibilityStatus summarizeVisibleWindows(const std::vector<VisibleWindow>& windows,
                                                std::optional<std::int64_t> thisProcessID);

} // namespace quorvi
