#include "platform/linux/wlroots/WlrootsPrivacyGrants.h"

namespace quorvi {

WlrootsPrivacyGrants::WlrootsPrivacyGrants() : session_(std::chrono::milliseconds(250)) {}

bool WlrootsPrivacyGrants::isScreenRecordingGranted() {
    return offers("zwlr_screencopy_manager_v1");
}

bool WlrootsPrivacyGrants::isAccessibilityGranted() {
    return offers("zwlr_virtual_pointer_manager_v1");
}

bool WlrootsPrivacyGrants::offers(const char* interfaceName) {
    std::lock_guard lock(mutex_);
    wayland::Connection* connection = session_.current();
    return connection != nullptr && connection->hasGlobal(interfaceName);
}

} // namespace quorvi
