#pragma once

#include "system/PrivacyGrants.h"

#include <atomic>

namespace quorvi::fakes {

// Grants the test turns on and off (both granted at first), counting how
// often each was asked.
//
// Thread: any.
class SwitchablePrivacyGrants final : public PrivacyGrants {
public:
    void setScreenRecording(bool granted) { screenRecording_ = granted; }
    void setAccessibility(bool granted) { accessibility_ = granted; }

    int screenRecordingQueries() const { return screenRecordingQueries_; }
    int accessibilityQueries() const { return accessibilityQueries_; }

    bool isScreenRecordingGranted() override {
        ++screenRecordingQueries_;
        return screenRecording_;
    }

    bool isAccessibilityGranted() override {
        ++accessibilityQueries_;
        return accessibility_;
    }

private:
    std::atomic<bool> screenRecording_{true};
    std::atomic<bool> accessibility_{true};
    std::atomic<int> screenRecordingQueries_{0};
    std::atomic<int> accessibilityQueries_{0};
};

} // namespace quorvi::fakes
