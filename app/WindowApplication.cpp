#include "app/WindowApplication.h"

#include "app/DBusNotificationCenter.h"
#include "app/QtMainQueue.h"
#include "app/QtUserDefaults.h"
#include "platform/linux/LinuxPlatform.h"
#include "server/QuorviServer.h"

#include <QApplication>
#include <QWidget>

namespace quorvi {

int runWindowApplication(int argc, char** argv, const LaunchOptions& options) {
    QApplication application(argc, argv);
    application.setOrganizationName("brenholt");
    application.setApplicationName("QuorviMac");
    auto mainQueue = std::make_shared<QtMainQueue>();
    auto platform = makeLinuxPlatform(mainQueue, std::make_shared<DBusNotificationCenter>(),
                                      options.bindAddress);
    platform.userDefaults = std::make_shared<QtUserDefaults>();
    auto server = QuorviServer::create(platform, ServerOptions{options.port});
    QWidget window;
    window.setWindowTitle("Quorvi Mac");
    window.resize(820, 600);
    window.show();
    server->start();
    const int code = QApplication::exec();
    server.reset();
    return code;
}

} // namespace quorvi
