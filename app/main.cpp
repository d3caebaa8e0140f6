#include "app/DBusNotificationCenter.h"
#include "app/HeadlessPrinter.h"
#include "app/QtMainQueue.h"
#include "app/QtUserDefaults.h"
#include "app/SignalBridge.h"
#include "app/WindowApplication.h"
#include "platform/NotificationCenter.h"
#include "platform/linux/DesktopBackendChoice.h"
#include "platform/linux/LinuxPlatform.h"
#include "server/LaunchOptions.h"
#include "server/QuorviServer.h"

#include <QCoreApplication>
#include <csignal>
#include <cstdlib>
#include <iostream>

namespace {

int runHeadless(int argc, char** argv, const quorvi::LaunchOptions& options) {
    QCoreApplication application(argc, argv);
    application.setOrganizationName("brenholt");
    application.setApplicationName("QuorviMac");

    auto mainQueue = std::make_shared<quorvi::QtMainQueue>();
    auto notifications = std::make_shared<quorvi::DBusNotificationCenter>();
    quorvi::DesktopBackend backend = quorvi::makeDesktopBackend(options.backend);
    std::cout << "backend: " << backend.name << std::endl;
    auto platform = quorvi::makeLinuxPlatform(mainQueue, notifications, options.bindAddress,
                                              std::move(backend));
    platform.userDefaults = std::make_shared<quorvi::QtUserDefaults>();
    auto server = quorvi::QuorviServer::create(
        platform,
        quorvi::ServerOptions{options.port, options.allowedNetworks, options.approveNewDevices});
    auto state = server->publishedState();
    quorvi::HeadlessPrinter printer(*state, std::cout);

    quorvi::SignalBridge signalBridge({SIGINT, SIGTERM, SIGUSR1}, [&](int number) {
        if (number == SIGUSR1) {
            server->exportDiagnostics();
            return;
        }
        server->stop();
        // A moment for the last reports (the listener's cancellation) to
        // reach the output before the loop ends.
        mainQueue->postAfter(std::chrono::milliseconds(150), [] { QCoreApplication::exit(0); });
    });

    if (!notifications->isConnected()) {
        server->publishJournalLine("Notifications indisponibles: pas de bus de session D-Bus");
    }
    mainQueue->post([server] { server->start(); });
    const int code = QCoreApplication::exec();
    server.reset();
    return code;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> arguments(argv + 1, argv + argc);
    const auto parsed = quorvi::parseLaunchOptions(arguments);
    if (parsed.isHelp) {
        std::cout << quorvi::launchUsage();
        return 0;
    }
    if (!parsed.options) {
        std::cerr << "quorvi-mac: " << parsed.error << "\n" << quorvi::launchUsage();
        return 2;
    }
    // Qt opens its window on Wayland natively when the session is one, else
    // on X; without either there is nowhere to show a window.
    const auto isSet = [](const char* name) {
        const char* value = std::getenv(name);
        return value != nullptr && *value != '\0';
    };
    if (parsed.options->isHeadless || (!isSet("DISPLAY") && !isSet("WAYLAND_DISPLAY"))) {
        return runHeadless(argc, argv, *parsed.options);
    }
    return quorvi::runWindowApplication(argc, argv, *parsed.options);
}
