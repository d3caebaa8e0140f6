#pragma once

#include "capture/WindowListSource.h"

#include <mutex>

namespace quorvi::testing {

// A window list the test sets. Thread: any.
class ScriptedWindowList final : public WindowListSource {
public:
    void setWindows(std::vector<VisibleWindow> windows) {
        std::lock_guard lock(mutex_);
        result_ = {std::move(windows), {}};
    }
    // The list cannot be read, for that reason.
    void fail(std::string reason) {
        std::lock_guard lock(mutex_);
        result_ = {std::nullopt, std::move(reason)};
    }

    WindowListResult onScreenWindows() override {
        std::lock_guard lock(mutex_);
        return result_;
    }

private:
    std::mutex mutex_;
    WindowListResult result_{std::vector<VisibleWindow>{}, {}};
};

} // namespace quorvi::testing
