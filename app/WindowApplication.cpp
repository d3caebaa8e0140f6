#include "app/WindowApplication.h"

#include "app/ContentView.h"
#include "app/DBusNotificationCenter.h"
#include "app/Icons.h"
#include "app/MainWindow.h"
#include "app/MainWindowControls.h"
#include "app/QtMainQueue.h"
#include "app/QtUserDefaults.h"
#include "app/QuorviMenu.h"
#include "app/SignalBridge.h"
#include "platform/linux/DesktopBackendChoice.h"
#include "platform/linux/LinuxPlatform.h"
#include "server/QuorviServer.h"

#include <QApplication>
#include <QCursor>
#include <QMenu>
#include <QPointer>
#include <QProcess>
#include <QSessionManager>
#include <QStandardPaths>
#include <QSystemTrayIcon>
#include <chrono>
#include <csignal>
#include <cstdlib>

namespace quorvi {

namespace {

// As long as the device waits for its answer.
constexpr std::chrono::seconds kPendingMessageDuration{30};

void defaultRelaunch() {
    // The arguments Qt did not consume, so "--port" and "--bind" carry over.
    QProcess::startDetached(QCoreApplication::applicationFilePath(),
                            QCoreApplication::arguments().mid(1));
}

// Brings the first existing main window to the front (shown, raised,
// activated); does nothing, and creates nothing, when there is none.
void raiseExistingMainWindow() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        auto* window = qobject_cast<MainWindow*>(widget);
        if (window == nullptr) {
            continue;
        }
        if (window->isMinimized()) {
            window->showNormal();
        } else {
            window->show();
        }
        window->raise();
        window->activateWindow();
        return;
    }
}

} // namespace

void openDesktopSettingsPane(SettingsPane pane) {
    const char* desktop = std::getenv("XDG_CURRENT_DESKTOP");
    for (const auto& command : settingsPaneCandidates(pane, desktop != nullptr ? desktop : "")) {
        const QString program =
            QStandardPaths::findExecutable(QString::fromStdString(command.program));
        if (program.isEmpty()) {
            continue;
        }
        QStringList arguments;
        for (const auto& argument : command.arguments) {
            arguments << QString::fromStdString(argument);
        }
        // Fire and forget: the window never waits on it, and a program that
        // cannot start changes nothing the user would need to know.
        QProcess::startDetached(program, arguments);
        return;
    }
}

WindowScene::WindowScene(Platform platform, ServerOptions options, SceneHooks hooks)
    : hooks_(std::move(hooks)) {
    auto userDefaults = platform.userDefaults;
    server_ = QuorviServer::create(std::move(platform), options);
    const ServerControls controls = serverControlsFor(server_, options.port);

    WindowActions windowActions;
    windowActions.openSettingsPane = [this](SettingsPane pane) { openSettingsPane(pane); };
    windowActions.hideApplication = [this] { hideApplication(); };
    windowActions.restartApp = [this] { restartApp(); };
    auto* content =
        new ContentView(server_->publishedState(), controls, windowActions, userDefaults);
    window_ = new MainWindow(
        content, [this] { return isTrayAvailable(); },
        [this] {
            if (hooks_.quit) {
                hooks_.quit();
            } else {
                QCoreApplication::quit();
            }
        });
    window_->resize(1080, 720);

    MenuActions menuActions;
    menuActions.openMainWindow = [] { raiseExistingMainWindow(); };
    menuActions.openSettingsPane = [this](SettingsPane pane) { openSettingsPane(pane); };
    menuActions.quit = [this] {
        if (hooks_.quit) {
            hooks_.quit();
        } else {
            QCoreApplication::quit();
        }
    };
    menu_ = std::make_unique<QuorviMenu>(server_->publishedState(), controls, menuActions);

    if (hooks_.showsTrayIcon) {
        tray_ = std::make_unique<QSystemTrayIcon>(brandIcon());
        tray_->setToolTip(QStringLiteral("Quorvi Mac"));
        tray_->setContextMenu(menu_->menu());
        // A pull-down menu: the primary click opens it too, where the menu
        // is the icon's only purpose.
        connect(tray_.get(), &QSystemTrayIcon::activated, this,
                [this](QSystemTrayIcon::ActivationReason reason) {
                    if (reason == QSystemTrayIcon::Trigger) {
                        menu_->menu()->popup(QCursor::pos());
                    }
                });
        tray_->show();
    }

    // A device waiting for approval needs an answer within seconds: the
    // window, hidden during a stream, comes back with the question, and the
    // tray says it where the desktop shows its messages.
    server_->publishedState()->addObserver(
        {nullptr,
         [guard = QPointer<WindowScene>(this)](PublishedProperty property) {
             if (guard && property == PublishedProperty::pendingDevice) {
                 guard->pendingDeviceChanged();
             }
         },
         nullptr});

    // Quitting in any way (the menu, the last window without a tray, the
    // session ending) stops the server on the way out.
    connect(qApp, &QCoreApplication::aboutToQuit, this, [weak = std::weak_ptr(server_)] {
        if (auto server = weak.lock()) {
            server->stop();
        }
    });
    // The session manager must never bring the window back at login: the
    // program starts fresh each time, like a launch with restoration off.
    connect(qApp, &QGuiApplication::saveStateRequest, this, [](QSessionManager& manager) {
        manager.setRestartHint(QSessionManager::RestartNever);
    });
}

WindowScene::~WindowScene() {
    if (server_) {
        server_->stop();
    }
    tray_.reset();
    delete window_;
    window_ = nullptr;
    menu_.reset();
    server_.reset();
}

void WindowScene::show() {
    window_->show();
    window_->raise();
    window_->activateWindow();
}

void WindowScene::pendingDeviceChanged() {
    const std::string& address = server_->publishedState()->pendingDevice();
    if (address.empty()) {
        return;
    }
    show();
    if (tray_) {
        tray_->showMessage(
            QStringLiteral("Appareil en attente"),
            QStringLiteral("%1 demande à se connecter.").arg(QString::fromStdString(address)),
            QSystemTrayIcon::Information,
            static_cast<int>(std::chrono::milliseconds(kPendingMessageDuration).count()));
    }
}

bool WindowScene::isTrayAvailable() const {
    if (hooks_.isTrayAvailable) {
        return hooks_.isTrayAvailable();
    }
    return tray_ != nullptr && QSystemTrayIcon::isSystemTrayAvailable();
}

void WindowScene::openSettingsPane(SettingsPane pane) const {
    if (hooks_.openSettingsPane) {
        hooks_.openSettingsPane(pane);
    } else {
        openDesktopSettingsPane(pane);
    }
}

void WindowScene::hideApplication() {
    if (!isTrayAvailable()) {
        // Nothing would bring a hidden window back: the taskbar can.
        window_->showMinimized();
        return;
    }
    // Only the application's own windows: the tray icon of an XEmbed tray
    // is a top-level widget too, and hiding it would take the way back.
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (qobject_cast<MainWindow*>(widget) != nullptr && widget->isVisible()) {
            widget->hide();
        }
    }
}

void WindowScene::restartApp() {
    // The listener lets go of the port before the new process asks for it.
    server_->stop();
    if (hooks_.relaunch) {
        hooks_.relaunch();
    } else {
        defaultRelaunch();
    }
    if (hooks_.quit) {
        hooks_.quit();
    } else {
        QCoreApplication::quit();
    }
}

int runWindowApplication(int argc, char** argv, const LaunchOptions& options) {
    QApplication application(argc, argv);
    application.setOrganizationName("brenholt");
    application.setApplicationName("QuorviMac");
    application.setWindowIcon(brandIcon());
    // On Wayland this is the window's app id: what docks and window lists
    // show, and how our own windows are told apart from the others.
    QGuiApplication::setDesktopFileName("brenholt.quorvi.mac");
    // The tray keeps the application alive with its window closed; the
    // window itself decides to quit where there is no tray.
    QApplication::setQuitOnLastWindowClosed(false);

    auto mainQueue = std::make_shared<QtMainQueue>();
    auto notifications = std::make_shared<DBusNotificationCenter>();
    auto platform = makeLinuxPlatform(mainQueue, notifications, options.bindAddress,
                                      makeDesktopBackend(options.backend));
    platform.userDefaults = std::make_shared<QtUserDefaults>();

    int exitCode = 0;
    {
        WindowScene scene(platform, ServerOptions{options.port, options.allowedNetworks,
                                                  options.approveNewDevices});
        if (!notifications->isConnected()) {
            scene.server()->publishJournalLine(
                "Notifications indisponibles: pas de bus de session D-Bus");
        }
        SignalBridge signalBridge({SIGINT, SIGTERM}, [&scene](int) {
            scene.server()->stop();
            QCoreApplication::exit(0);
        });
        scene.show();
        exitCode = QApplication::exec();
    }
    return exitCode;
}

} // namespace quorvi
