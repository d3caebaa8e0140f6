#pragma once

#include <string>

namespace quorvi {

class PrivacyGrants;

// The two privacy grants the server depends on, as read at one moment, and
// the one-line French summary the user interface shows. The window flags a
// missing grant by looking for "Screen manquant" and "Accessibility
// manquant" in that summary, so its words are a contract, not decoration.
//
// Thread: any (a plain value).
struct PermissionStatus {
    bool screenRecordingGranted = false;
    bool accessibilityGranted = false;

    // "Screen OK · Accessibility OK", "Screen manquant · Accessibility OK",
    // "Screen OK · Accessibility manquant" or
    // "Screen manquant · Accessibility manquant".
    std::string summary() const;

    // Reads both grants now; never prompts and never changes anything.
    // Thread: any, as PrivacyGrants allows.
    static PermissionStatus current(PrivacyGrants& grants);

    bool operator==(const PermissionStatus&) const = default;
};

} // namespace quorvi
