#pragma once

#include "capture/FrameCapture.h"
#include "capture/ScreenCaptureSession.h"

#include <memory>
#include <utility>

namespace quorvi {

// The frame source's view of the real capture session: every call is handed
// on unchanged.
//
// Thread: the server's work queue (the session guards its own shared state).
class SessionFrameCapture final : public FrameCapture {
public:
    explicit SessionFrameCapture(std::shared_ptr<ScreenCaptureSession> session)
        : session_(std::move(session)) {}

    void prepare(DisplayID displayID, const StreamEncodingSettings& settings) override {
        session_->prepare(displayID, settings);
    }
    void stop() override { session_->stop(); }
    std::string diagnosticSubtitle(bool screenRecordingGranted) const override {
        return session_->diagnosticSubtitle(screenRecordingGranted);
    }
    std::optional<CapturedVideoBuffer> latestBuffer(DisplayID displayID) const override {
        return session_->latestBuffer(displayID);
    }

private:
    std::shared_ptr<ScreenCaptureSession> session_;
};

} // namespace quorvi
