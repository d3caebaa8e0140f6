#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace quorvi {

class MainQueue;

// A system-wide center of named notifications from other processes
// ("brenholt.quorvi.mac.useMirrorMode"). Observers are called on the main
// thread. The application implements it on D-Bus session-bus signals.
//
// Thread: any.
class NotificationCenter {
public:
    using Token = std::uint64_t;
    virtual ~NotificationCenter() = default;
    virtual Token addObserver(const std::string& name, std::function<void()> onMainThread) = 0;
    virtual void removeObserver(Token token) = 0;
};

// A center that only this process can post to: used by tests, and where no
// session bus exists.
class InMemoryNotificationCenter final : public NotificationCenter {
public:
    explicit InMemoryNotificationCenter(std::shared_ptr<MainQueue> mainQueue);
    Token addObserver(const std::string& name, std::function<void()> onMainThread) override;
    void removeObserver(Token token) override;

    // Delivers the notification to its observers on the main queue.
    void postNotification(const std::string& name);

private:
    struct Observer {
        std::string name;
        std::function<void()> action;
    };
    std::shared_ptr<MainQueue> mainQueue_;
    mutable std::mutex mutex_;
    std::map<Token, Observer> observers_;
    Token nextToken_ = 1;
};

} // namespace quorvi
