#include "platform/NotificationCenter.h"

#include "platform/MainQueue.h"

#include <vector>

namespace quorvi {

InMemoryNotificationCenter::InMemoryNotificationCenter(std::shared_ptr<MainQueue> mainQueue)
    : mainQueue_(std::move(mainQueue)) {}

NotificationCenter::Token InMemoryNotificationCenter::addObserver(const std::string& name,
                                                                  std::function<void()> action) {
    std::lock_guard lock(mutex_);
    const Token token = nextToken_++;
    observers_[token] = Observer{name, std::move(action)};
    return token;
}

void InMemoryNotificationCenter::removeObserver(Token token) {
    std::lock_guard lock(mutex_);
    observers_.erase(token);
}

void InMemoryNotificationCenter::postNotification(const std::string& name) {
    std::vector<std::function<void()>> actions;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [token, observer] : observers_) {
            if (observer.name == name) {
                actions.push_back(observer.action);
            }
        }
    }
    for (auto& action : actions) {
        mainQueue_->post(std::move(action));
    }
}

} // namespace quorvi
