#include <QApplication>
#include <gtest/gtest.h>

namespace {

QtMessageHandler standardHandler = nullptr;

// The offscreen platform warns about every window operation it does not
// model (raise, size hints); the tests do not rely on them.
void quietOffscreenWarnings(QtMsgType type, const QMessageLogContext& context,
                            const QString& message) {
    if (message.startsWith(QLatin1String("This plugin does not support"))) {
        return;
    }
    if (standardHandler != nullptr) {
        standardHandler(type, context, message);
    }
}

} // namespace

// One QApplication for every widget test. The tests run on the offscreen
// platform unless the environment asks for another.
int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    ::testing::InitGoogleTest(&argc, argv);
    standardHandler = qInstallMessageHandler(quietOffscreenWarnings);
    QApplication application(argc, argv);
    return RUN_ALL_TESTS();
}
