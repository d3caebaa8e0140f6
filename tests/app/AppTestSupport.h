#pragma once

#include "app/MainWindowControls.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QMenu>
#include <QTimer>
#include <chrono>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

// Readable texts in failure messages.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace quorvi::testing {

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

// Runs the event loop until a timer of this delay, started now, fires: by
// then every timer started earlier with no longer a delay has fired too.
inline bool runTimersStartedBefore(std::chrono::milliseconds delay) {
    auto fired = std::make_shared<bool>(false);
    QTimer::singleShot(delay, QCoreApplication::instance(), [fired] { *fired = true; });
    return spinUntil([&] { return *fired; }, delay + std::chrono::seconds(10));
}

// The entry of that text, "submenu/entry" for one in a submenu; or null.
inline QAction* menuEntry(QMenu* menu, const QString& path) {
    QAction* found = nullptr;
    for (const QString& text : path.split('/')) {
        found = nullptr;
        for (QAction* action : menu != nullptr ? menu->actions() : QList<QAction*>{}) {
            found = action->text() == text ? action : found;
        }
        menu = found != nullptr ? found->menu() : nullptr;
    }
    return found;
}

using Calls = std::vector<std::string>;

inline std::string modeCall(StreamMode mode) {
    return "mode " + std::to_string(static_cast<int>(mode));
}

// The server calls and desktop actions of a window or menu under test.
struct CallLog {
    Calls calls;

    std::function<void()> record(std::string name) {
        return [this, name] { calls.push_back(name); };
    }
    void pane(SettingsPane pane) {
        const char* names[] = {"pane screen", "pane accessibility", "pane displays"};
        calls.emplace_back(names[static_cast<int>(pane)]);
    }
    ServerControls controls() {
        return {record("start"),
                record("stop"),
                record("refresh"),
                record("export"),
                record("mirror"),
                record("extended"),
                [this](StreamMode mode) { calls.push_back(modeCall(mode)); },
                [] { return std::uint16_t{54545}; },
                record("disconnect"),
                record("allow once"),
                record("allow always"),
                record("deny"),
                [this](const std::string& address) { calls.push_back("forget " + address); },
                [this](const std::string& networks) { calls.push_back("networks " + networks); },
                [this](bool on) { calls.push_back(on ? "approve on" : "approve off"); }};
    }
    WindowActions actions() {
        return {[this](SettingsPane p) { pane(p); }, record("hide"), record("restart")};
    }
};

} // namespace quorvi::testing
