#pragma once

#include <QObject>
#include <functional>
#include <initializer_list>

class QSocketNotifier;

namespace quorvi {

// Turns POSIX signals into calls on the Qt main thread, through a pipe: a
// signal handler may only write a byte, the event loop does the rest.
//
// Thread: main.
class SignalBridge final : public QObject {
    Q_OBJECT
public:
    SignalBridge(std::initializer_list<int> signalNumbers, std::function<void(int)> onSignal,
                 QObject* parent = nullptr);
    ~SignalBridge() override;

private:
    void readSignals();

    std::function<void(int)> onSignal_;
    QSocketNotifier* notifier_ = nullptr;
};

} // namespace quorvi
