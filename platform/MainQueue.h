#pragma once

#include <chrono>
#include <functional>

namespace quorvi {

// The main thread's queue: every published property is written through it.
// The application implements it on the Qt event loop; tests on a queue they
// drain themselves. Tasks run in the order they were posted.
//
// Thread: post() and postAfter() from any thread; tasks run on the main thread.
class MainQueue {
public:
    virtual ~MainQueue() = default;
    virtual void post(std::function<void()> task) = 0;
    virtual void postAfter(std::chrono::milliseconds delay, std::function<void()> task) = 0;
    virtual bool isCurrent() const = 0;
};

} // namespace quorvi
