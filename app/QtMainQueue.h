#pragma once

#include "platform/MainQueue.h"

namespace quorvi {

// The main queue on the Qt event loop of the application's main thread.
// Thread: post from any thread; tasks run on the thread of QCoreApplication.
class QtMainQueue final : public MainQueue {
public:
    void post(std::function<void()> task) override;
    void postAfter(std::chrono::milliseconds delay, std::function<void()> task) override;
    bool isCurrent() const override;
};

} // namespace quorvi
