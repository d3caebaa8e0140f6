#include "platform/WorkQueue.h"

#include <asio/post.hpp>
#include <future>
#include <pthread.h>

namespace quorvi {

WorkQueue::WorkQueue(std::string label)
    : label_(std::move(label)), guard_(asio::make_work_guard(context_)) {
    thread_ = std::thread([this] {
        // Linux thread names are limited to 15 bytes; keep the tail, which
        // is the distinctive part of "brenholt.quorvi.mac.server".
        std::string name = label_.size() > 15 ? label_.substr(label_.size() - 15) : label_;
        pthread_setname_np(pthread_self(), name.c_str());
        context_.run();
    });
}

WorkQueue::~WorkQueue() {
    shutdown();
}

bool WorkQueue::isCurrent() const {
    return context_.get_executor().running_in_this_thread();
}

void WorkQueue::post(std::function<void()> task) {
    asio::post(context_, std::move(task));
}

void WorkQueue::runSync(const std::function<void()>& task) {
    if (isCurrent() || isShutDown_) {
        task();
        return;
    }
    std::promise<void> done;
    auto finished = done.get_future();
    asio::post(context_, [&task, &done] {
        task();
        done.set_value();
    });
    finished.wait();
}

void WorkQueue::shutdown() {
    if (isShutDown_) {
        return;
    }
    isShutDown_ = true;
    guard_.reset();
    if (thread_.joinable()) {
        thread_.join();
    }
}

} // namespace quorvi
