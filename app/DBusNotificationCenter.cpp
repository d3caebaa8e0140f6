#include "app/DBusNotificationCenter.h"

#include <QDBusConnection>
#include <QDBusMessage>

namespace quorvi {

// One connected slot per observer, so that removing one disconnects exactly
// its match rule.
class DBusNotificationCenter::Receiver final : public QObject {
    Q_OBJECT
public:
    Receiver(QString interface, QString member, std::function<void()> action)
        : interface_(std::move(interface)), member_(std::move(member)), action_(std::move(action)) {
    }

    bool connectTo(QDBusConnection& bus) {
        // Empty service and path: any sender, any object path.
        return bus.connect(QString(), QString(), interface_, member_, this,
                           SLOT(deliver(QDBusMessage)));
    }

    void disconnectFrom(QDBusConnection& bus) {
        bus.disconnect(QString(), QString(), interface_, member_, this,
                       SLOT(deliver(QDBusMessage)));
    }

public slots:
    void deliver(const QDBusMessage&) { action_(); }

private:
    QString interface_;
    QString member_;
    std::function<void()> action_;
};

DBusNotificationCenter::DBusNotificationCenter()
    : isConnected_(QDBusConnection::sessionBus().isConnected()) {}

DBusNotificationCenter::~DBusNotificationCenter() {
    auto bus = QDBusConnection::sessionBus();
    for (auto& [token, receiver] : receivers_) {
        receiver->disconnectFrom(bus);
    }
}

NotificationCenter::Token DBusNotificationCenter::addObserver(const std::string& name,
                                                              std::function<void()> onMainThread) {
    const Token token = nextToken_++;
    const auto dot = name.rfind('.');
    const QString interface =
        QString::fromStdString(dot == std::string::npos ? std::string() : name.substr(0, dot));
    const QString member =
        QString::fromStdString(name.substr(dot == std::string::npos ? 0 : dot + 1));
    auto receiver = std::make_unique<Receiver>(interface, member, std::move(onMainThread));
    if (isConnected_) {
        auto bus = QDBusConnection::sessionBus();
        receiver->connectTo(bus);
    }
    receivers_[token] = std::move(receiver);
    return token;
}

void DBusNotificationCenter::removeObserver(Token token) {
    const auto found = receivers_.find(token);
    if (found == receivers_.end()) {
        return;
    }
    if (isConnected_) {
        auto bus = QDBusConnection::sessionBus();
        found->second->disconnectFrom(bus);
    }
    receivers_.erase(found);
}

} // namespace quorvi

#include "DBusNotificationCenter.moc"
