#pragma once

#include "app/MainWindowControls.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QWidget>
#include <chrono>
#include <functional>
#include <vector>

namespace quorvi::testing {

// Runs the Qt event loop for a while (timers, posted tasks, deferred
// deletes), on the test thread, which is the main thread.
inline void spin(std::chrono::milliseconds duration) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < duration.count()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

inline bool spinUntil(const std::function<bool()>& predicate,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    QElapsedTimer timer;
    timer.start();
    while (!predicate()) {
        if (timer.elapsed() > timeout.count()) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

// The server calls of a window or menu under test, counted.
struct RecordingControls {
    int starts = 0;
    int stops = 0;
    int refreshes = 0;
    int exports = 0;
    int mirrors = 0;
    int extendeds = 0;
    std::vector<StreamMode> streamModes;
    std::uint16_t port = 54545;

    ServerControls controls() {
        ServerControls c;
        c.start = [this] { ++starts; };
        c.stop = [this] { ++stops; };
        c.refreshPermissions = [this] { ++refreshes; };
        c.exportDiagnostics = [this] { ++exports; };
        c.useMirrorMode = [this] { ++mirrors; };
        c.useExtendedMode = [this] { ++extendeds; };
        c.setStreamMode = [this](StreamMode mode) { streamModes.push_back(mode); };
        c.listeningPort = [this] { return port; };
        return c;
    }
};

struct RecordingWindowActions {
    std::vector<SettingsPane> panes;
    int hides = 0;
    int restarts = 0;

    WindowActions actions() {
        WindowActions a;
        a.openSettingsPane = [this](SettingsPane pane) { panes.push_back(pane); };
        a.hideApplication = [this] { ++hides; };
        a.restartApp = [this] { ++restarts; };
        return a;
    }
};

template <typename T> T* child(QObject& root, const char* name) {
    return root.findChild<T*>(QString::fromLatin1(name));
}

// The first button under root whose text is exactly the given one.
inline QAbstractButton* buttonWithText(QObject& root, const QString& text) {
    for (auto* button : root.findChildren<QAbstractButton*>()) {
        if (button->text() == text) {
            return button;
        }
    }
    return nullptr;
}

} // namespace quorvi::testing
