#pragma once

#include "platform/NotificationCenter.h"

#include <QObject>
#include <map>
#include <memory>

namespace quorvi {

// Named notifications from other processes, as D-Bus session-bus signals:
// "a.b.c.member" is the signal "member" of interface "a.b.c", from any path
// and any sender, e.g.
//   dbus-send --session --type=signal / brenholt.quorvi.mac.useMirrorMode
//
// Thread: main (Qt delivers the signals there; add and remove there too).
class DBusNotificationCenter final : public QObject, public NotificationCenter {
    Q_OBJECT
public:
    DBusNotificationCenter();
    ~DBusNotificationCenter() override;

    // False without a session bus: observers are then kept but never called.
    bool isConnected() const { return isConnected_; }

    Token addObserver(const std::string& name, std::function<void()> onMainThread) override;
    void removeObserver(Token token) override;

private:
    class Receiver;
    bool isConnected_ = false;
    Token nextToken_ = 1;
    std::map<Token, std::unique_ptr<Receiver>> receivers_;
};

} // namespace quorvi
