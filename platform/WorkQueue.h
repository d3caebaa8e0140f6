#pragma once

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <functional>
#include <string>
#include <thread>

namespace quorvi {

// The server's serial work queue: one Asio io_context run by one thread.
// Everything posted here runs one task at a time, in order. Network
// callbacks, timers and all server state live on it.
//
// Thread: created and destroyed on any thread except its own; post() from any
// thread; runSync() only from a thread that is not the queue itself.
class WorkQueue {
public:
    explicit WorkQueue(std::string label);
    ~WorkQueue();
    WorkQueue(const WorkQueue&) = delete;
    WorkQueue& operator=(const WorkQueue&) = delete;

    // The queue key: true when the calling thread is this queue's thread.
    bool isCurrent() const;

    void post(std::function<void()> task);

    // Runs task on the queue and waits until it has run. Called from the
    // queue itself it would wait forever, so that case runs the task inline;
    // callers that care (stop()) test isCurrent() first, as the design asks.
    // After shutdown() the task runs inline on the caller.
    void runSync(const std::function<void()>& task);

    // Stops accepting work, lets queued tasks finish, joins the thread.
    // Idempotent; must not be called from the queue.
    void shutdown();

    asio::io_context& context() { return context_; }

private:
    std::string label_;
    mutable asio::io_context context_;
    asio::executor_work_guard<asio::io_context::executor_type> guard_;
    std::thread thread_;
    bool isShutDown_ = false;
};

} // namespace quorvi
