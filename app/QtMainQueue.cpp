#include "app/QtMainQueue.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>
#include <QTimer>

namespace quorvi {

void QtMainQueue::post(std::function<void()> task) {
    auto* application = QCoreApplication::instance();
    if (application == nullptr) {
        return; // the application is gone: nothing is shown any more
    }
    QMetaObject::invokeMethod(application, std::move(task), Qt::QueuedConnection);
}

void QtMainQueue::postAfter(std::chrono::milliseconds delay, std::function<void()> task) {
    // A timer must be started on the thread that runs it: hop first.
    post([delay, task = std::move(task)]() mutable {
        QTimer::singleShot(delay, QCoreApplication::instance(), std::move(task));
    });
}

bool QtMainQueue::isCurrent() const {
    auto* application = QCoreApplication::instance();
    return application != nullptr && QThread::currentThread() == application->thread();
}

} // namespace quorvi
