#pragma once

#include "system/PrivacyGrants.h"

#include <atomic>

namespace quorvi::fakes {

// Grants the test turns on and off (both granted at first). Thread: any.
class SwitchablePrivacyGrants final : public PrivacyGrants {
public:
    void setScreenRecording(bool granted) { screenRecording_ = granted; }
    void setAccessibility(bool granted) { accessibility_ = granted; }

    bool isScreenRecordingGranted() override { return screenRecording_; }
    bool isAccessibilityGranted() override { return accessibility_; }

private:
    std::atomic<bool> screenRecording_{true};
    std::atomic<bool> accessibility_{true};
};

} // namespace quorvi::fakes
