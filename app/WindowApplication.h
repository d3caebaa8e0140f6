#pragma once

#include "platform/Platform.h"
#include "server/LaunchOptions.h"
#include "server/WindowRules.h"

#include <QObject>
#include <functional>
#include <memory>

class QSystemTrayIcon;

namespace quorvi {

class MainWindow;
class QuorviMenu;
class QuorviServer;

// The application with its main window and tray icon. Returns the exit code.
// Thread: main.
int runWindowApplication(int argc, char** argv, const LaunchOptions& options);

// What the scene asks of the desktop; tests replace them.
struct SceneHooks {
    // Default: QSystemTrayIcon::isSystemTrayAvailable(), asked each time.
    std::function<bool()> isTrayAvailable;
    // Default: the desktop's display settings program, when one is installed.
    std::function<void(SettingsPane)> openSettingsPane;
    // Default: starts this program again with the same arguments, detached.
    std::function<void()> relaunch;
    // Default: QCoreApplication::quit().
    std::function<void()> quit;
    // Default true; tests on the offscreen platform have no tray to show in.
    bool showsTrayIcon = true;
};

// The application scene: the one server, created with the scene and kept
// for its whole life; the main window, whose content starts the server
// when it is first shown; and the tray icon with its menu. Quitting, in
// whatever way, stops the server (which removes the virtual display).
//
// Thread: main.
class WindowScene final : public QObject {
    Q_OBJECT
public:
    WindowScene(Platform platform, ServerOptions options, SceneHooks hooks = {});
    ~WindowScene() override;

    // Shows the main window; its first showing starts the server.
    void show();

    const std::shared_ptr<QuorviServer>& server() const { return server_; }
    MainWindow* mainWindow() const { return window_; }
    QuorviMenu* menu() const { return menu_.get(); }

    // Hides the whole application; where there is no tray to come back
    // from, minimises the window instead.
    void hideApplication();
    // Stops the server, starts the program anew and quits at once.
    void restartApp();

private:
    bool isTrayAvailable() const;
    void pendingDeviceChanged();
    void openSettingsPane(SettingsPane pane) const;

    SceneHooks hooks_;
    std::shared_ptr<QuorviServer> server_;
    MainWindow* window_ = nullptr; // owned here, deleted in the destructor
    std::unique_ptr<QuorviMenu> menu_;
    std::unique_ptr<QSystemTrayIcon> tray_;
};

// Opens the desktop's display settings, the first installed program of
// settingsPaneCandidates; nothing when none is installed; a program that
// fails to start is ignored.
void openDesktopSettingsPane(SettingsPane pane);

} // namespace quorvi
