#pragma once

#include "platform/linux/wlroots/WaylandSession.h"
#include "system/PrivacyGrants.h"

#include <mutex>

namespace quorvi {

// What a wlroots compositor lets its clients do: read the screen when it
// offers screen copy, post pointer events when it offers virtual pointers.
// Both are answered from the globals of one kept connection, read for news
// (a compositor that went away) at most four times a second.
//
// Thread: any; a mutex serializes the connection.
class WlrootsPrivacyGrants final : public PrivacyGrants {
public:
    WlrootsPrivacyGrants();

    bool isScreenRecordingGranted() override;
    bool isAccessibilityGranted() override;

private:
    bool offers(const char* interfaceName);

    std::mutex mutex_;
    wayland::Session session_;
};

} // namespace quorvi
