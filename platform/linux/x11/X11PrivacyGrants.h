#pragma once

#include "platform/linux/x11/X11ErrorHandling.h"
#include "system/PrivacyGrants.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace quorvi {

// The two grants as an X11 desktop can answer them. X has no per-process
// permission: whoever may open the display may read it and, with XTEST,
// drive its pointer. So:
// - screen recording is granted when the display opens and a 1 x 1 image of
//   the root window can be read;
// - accessibility is granted when the XTEST extension is there;
// - under XWayland (its XWAYLAND extension is present) both are refused: a
//   root grab there only shows X clients, and synthetic events only reach
//   them.
// Both answers come from one check on one persistent connection, kept for
// kCacheLifetime, because the frame loop asks on every frame. A server that
// went away answers no until one is back; the connection reopens by itself.
//
// Thread: any; the connection and the cache are guarded by one mutex.
class X11PrivacyGrants final : public PrivacyGrants {
public:
    static constexpr std::chrono::milliseconds kCacheLifetime{500};

    // An empty name means $DISPLAY.
    explicit X11PrivacyGrants(std::string displayName = {});
    ~X11PrivacyGrants() override;

    bool isScreenRecordingGranted() override;
    bool isAccessibilityGranted() override;

private:
    struct Answers {
        bool screenRecording = false;
        bool accessibility = false;
    };
    // What one connection's server offers; the set of extensions of a
    // running server never changes.
    struct Extensions {
        std::uint64_t generation = 0;
        bool hasXTest = false;
        bool isXWayland = false;
    };

    Answers answers();
    Answers check();

    std::mutex mutex_;
    x11::Connection connection_;
    std::optional<Extensions> extensions_;
    Answers cached_;
    std::optional<std::chrono::steady_clock::time_point> checkedAt_;
};

std::shared_ptr<PrivacyGrants> makeX11PrivacyGrants(std::string displayName = {});

} // namespace quorvi
