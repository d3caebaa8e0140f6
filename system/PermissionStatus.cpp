#include "system/PermissionStatus.h"

#include "system/PrivacyGrants.h"

namespace quorvi {

std::string PermissionStatus::summary() const {
    std::string text = screenRecordingGranted ? "Screen OK" : "Screen manquant";
    text += " · ";
    text += accessibilityGranted ? "Accessibility OK" : "Accessibility manquant";
    return text;
}

PermissionStatus PermissionStatus::current(PrivacyGrants& grants) {
    PermissionStatus status;
    status.screenRecordingGranted = grants.isScreenRecordingGranted();
    status.accessibilityGranted = grants.isAccessibilityGranted();
    return status;
}

} // namespace quorvi
