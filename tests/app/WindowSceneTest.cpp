#include "AppTestSupport.h"
#include "app/ContentView.h"
#include "app/MainWindow.h"
#include "app/MainWindowWidgets.h"
#include "app/QtMainQueue.h"
#include "app/QuorviMenu.h"
#include "app/WindowApplication.h"
#include "fakes/FakeDisplayServices.h"
#include "fakes/FakeTransport.h"
#include "fakes/LoopbackClient.h"
#include "fakes/ManualClock.h"
#include "fakes/RecordingEventPoster.h"
#include "fakes/ScriptedFrameCapture.h"
#include "fakes/SwitchablePrivacyGrants.h"
#include "platform/AsioTransport.h"
#include "platform/NotificationCenter.h"
#include "platform/UserDefaults.h"
#include "platform/WorkQueue.h"
#include "server/QuorviServer.h"

#include <QApplication>
#include <gtest/gtest.h>

using namespace quorvi;
using namespace quorvi::testing;

namespace {

constexpr const char* kReady = "Prêt: iPhone peut détecter ce Mac";

class WindowSceneTest : public ::testing::Test {
protected:
    // The real scene, shown, with a real listener on 127.0.0.1 unless a
    // transport is given, run until the server publishes that status.
    void makeScene(bool trayAvailable,
                   std::shared_ptr<NetworkTransport> transport =
                       std::make_shared<AsioTransport>("127.0.0.1", nullptr),
                   const std::string& status = kReady) {
        auto queue = std::make_shared<QtMainQueue>();
        Platform platform{.mainQueue = queue,
                          .transport = transport,
                          .notifications = std::make_shared<InMemoryNotificationCenter>(queue),
                          .clock = std::make_shared<ManualClock>(),
                          .userDefaults = std::make_shared<InMemoryUserDefaults>(),
                          .displays = std::make_shared<fakes::FakeDisplayServices>(),
                          .eventPoster = std::make_shared<fakes::RecordingEventPoster>(),
                          .privacyGrants = std::make_shared<fakes::SwitchablePrivacyGrants>(),
                          .frameCapture = std::make_shared<fakes::ScriptedFrameCapture>(),
                          .videoEncoder = std::make_shared<fakes::ScriptedVideoEncoder>(),
                          .jpegEncoder = std::make_shared<fakes::ScriptedJpegEncoder>(),
                          .computerName = [] { return std::string("Poste de test"); }};
        SceneHooks hooks{[trayAvailable] { return trayAvailable; },
                         [this](SettingsPane pane) { log.pane(pane); }, log.record("relaunch"),
                         log.record("quit"), false};
        scene = std::make_unique<WindowScene>(std::move(platform), ServerOptions{0}, hooks);
        scene->show();
        EXPECT_TRUE(spinUntil([&] { return state().status() == status; })) << state().status();
    }
    PublishedState& state() { return scene->server()->published(); }
    template <typename T> T* find(const char* name) {
        return scene->mainWindow()->content()->findChild<T*>(QString::fromLatin1(name));
    }
    QAction* entry(const QString& path) { return menuEntry(scene->menu()->menu(), path); }

    CallLog log;
    std::unique_ptr<WindowScene> scene;
};

} // namespace

TEST_F(WindowSceneTest, ShowingStartsTheServerAndRestartingFreesItsPort) {
    makeScene(true);
    const auto port = scene->server()->listeningPort();
    state().setLocalAddresses({"192.168.1.20"});
    EXPECT_EQ(find<HeaderStatusItem>("headerAddress")->value(),
              QString("192.168.1.20:%1").arg(port));
    scene->restartApp();
    EXPECT_EQ(log.calls, (Calls{"relaunch", "quit"}));
    EXPECT_FALSE(LoopbackClient(port).isConnected());
}

TEST_F(WindowSceneTest, HidingReopeningAndClosingWithAndWithoutATray) {
    // Tray; still shown, minimised, after hiding (no tray to come back from); calls on close.
    const std::tuple<bool, bool, Calls> rows[] = {{true, false, {}}, {false, true, {"quit"}}};
    for (const auto& [tray, shownAfterHiding, callsOnClose] : rows) {
        SCOPED_TRACE(tray);
        makeScene(tray);
        const auto windows = QApplication::topLevelWidgets().size();
        find<QPushButton>("hideNowButton")->click();
        EXPECT_EQ(scene->mainWindow()->isVisible(), shownAfterHiding);
        EXPECT_EQ(scene->mainWindow()->isMinimized(), shownAfterHiding);
        entry("Ouvrir Quorvi Mac")->trigger();
        EXPECT_TRUE(scene->mainWindow()->isVisible() && !scene->mainWindow()->isMinimized());
        EXPECT_EQ(QApplication::topLevelWidgets().size(), windows);
        log.calls.clear();
        scene->mainWindow()->close();
        EXPECT_EQ(log.calls, callsOnClose);
        EXPECT_EQ(state().status(), kReady);
    }
    entry("Quitter Quorvi Mac")->trigger();
    find<QPushButton>("displaysButton")->click();
    entry("Ouvrir Réglages Accessibility")->trigger();
    EXPECT_EQ(log.calls, (Calls{"quit", "quit", "pane displays", "pane accessibility"}));
}

TEST_F(WindowSceneTest, AFailedListenerIsShownAsAStoppedServer) {
    auto network = std::make_shared<FakeTransport>();
    network->failNextListenerStart("Adresse déjà utilisée");
    makeScene(true, network, "Serveur échoué: Adresse déjà utilisée");
    EXPECT_EQ(find<HeaderStatusItem>("headerServer")->value(), "Erreur");
    EXPECT_EQ(find<HeaderStatusItem>("headerServer")->tone(), StatusTone::danger);
    EXPECT_EQ(find<QPushButton>("headerPrimaryButton")->text(), "Démarrer");
    EXPECT_FALSE(find<QPushButton>("stopButton")->isEnabled());
    EXPECT_TRUE(find<QPushButton>("startServerButton")->isVisible());
}
