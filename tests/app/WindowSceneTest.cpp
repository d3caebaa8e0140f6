#include "AppTestSupport.h"
#include "FakePlatform.h"
#include "app/ContentView.h"
#include "app/MainWindow.h"
#include "app/MainWindowWidgets.h"
#include "app/QuorviMenu.h"
#include "app/WindowApplication.h"
#include "fakes/LoopbackClient.h"
#include "platform/UserDefaults.h"
#include "server/QuorviServer.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QMenu>
#include <gtest/gtest.h>

using namespace quorvi;
using namespace quorvi::testing;
using namespace std::chrono_literals;

namespace {

constexpr const char* kReady = "Prêt: iPhone peut détecter ce Mac";

class WindowSceneTest : public ::testing::Test {
protected:
    void makeScene(std::uint16_t port, bool trayAvailable) {
        SceneHooks hooks;
        hooks.isTrayAvailable = [this] { return trayAvailable_; };
        hooks.openSettingsPane = [this](SettingsPane pane) { panes.push_back(pane); };
        hooks.relaunch = [this] { ++relaunches; };
        hooks.quit = [this] { ++quits; };
        hooks.showsTrayIcon = false;
        trayAvailable_ = trayAvailable;
        scene = std::make_unique<WindowScene>(fakePlatform(defaults), ServerOptions{port}, hooks);
        auto* state = scene->server()->publishedState().get();
        state->addObserver({nullptr, [this, state](PublishedProperty property) {
                                if (property == PublishedProperty::status) {
                                    statuses.push_back(state->status());
                                }
                            }});
    }

    PublishedState& state() { return scene->server()->published(); }

    bool waitForStatus(const std::string& status) {
        return spinUntil([&] { return state().status() == status; }, 10s);
    }

    QAction* menuEntry(const QString& text) {
        for (QAction* action : scene->menu()->menu()->actions()) {
            if (action->text() == text) {
                return action;
            }
        }
        return nullptr;
    }

    void TearDown() override {
        scene.reset();
        spin(50ms);
    }

    std::shared_ptr<InMemoryUserDefaults> defaults = std::make_shared<InMemoryUserDefaults>();
    std::unique_ptr<WindowScene> scene;
    std::vector<std::string> statuses;
    std::vector<SettingsPane> panes;
    int relaunches = 0;
    int quits = 0;
    bool trayAvailable_ = true;
};

} // namespace

TEST_F(WindowSceneTest, ShowingTheWindowStartsTheServerAndTheAddressUsesItsPort) {
    makeScene(54999, true);
    EXPECT_EQ(scene->mainWindow()->windowTitle(), "Quorvi Mac");
    EXPECT_EQ(scene->mainWindow()->minimumSize(), QSize(820, 600));
    EXPECT_EQ(state().status(), "Arrêté");
    scene->show();
    ASSERT_TRUE(waitForStatus(kReady));
    EXPECT_EQ(scene->server()->listeningPort(), 54999);

    auto* content = scene->mainWindow()->content();
    auto* address = content->findChild<HeaderStatusItem*>("headerAddress");
    ASSERT_NE(address, nullptr);
    state().setLocalAddresses({"192.168.1.20"});
    EXPECT_EQ(address->value(), "192.168.1.20:54999");
    EXPECT_EQ(content->findChild<DetailRow*>("addressRow")->value(), "192.168.1.20:54999");
    EXPECT_EQ(content->findChild<QPushButton*>("headerPrimaryButton")->text(), "Redémarrer");
}

TEST_F(WindowSceneTest, UnhidingTheWindowKeepsTheConnectedClient) {
    makeScene(0, true);
    scene->show();
    ASSERT_TRUE(waitForStatus(kReady));
    LoopbackClient client(scene->server()->listeningPort());
    ASSERT_TRUE(client.isConnected());
    ASSERT_TRUE(spinUntil([&] { return state().connectionName() == "iPhone connecté"; }, 10s));

    // Hidden 0.8 s after the connection (the switch is on by default).
    ASSERT_TRUE(spinUntil([&] { return !scene->mainWindow()->isVisible(); }, 3s));
    const auto startsBefore = std::count(statuses.begin(), statuses.end(), kReady);

    // The tray brings the same window back; the server is not restarted.
    const auto windowsBefore = QApplication::topLevelWidgets().size();
    menuEntry("Ouvrir Quorvi Mac")->trigger();
    spin(300ms);
    EXPECT_TRUE(scene->mainWindow()->isVisible());
    EXPECT_EQ(QApplication::topLevelWidgets().size(), windowsBefore);
    EXPECT_EQ(state().connectionName(), "iPhone connecté");
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), kReady), startsBefore);
    EXPECT_FALSE(client.waitForEndOfStream(200ms));
    // Shown again during the same connection: not hidden a second time.
    spin(1000ms);
    EXPECT_TRUE(scene->mainWindow()->isVisible());
}

TEST_F(WindowSceneTest, WithoutATrayHidingMinimisesAndClosingQuits) {
    makeScene(0, false);
    scene->show();
    ASSERT_TRUE(waitForStatus(kReady));
    scene->hideApplication();
    spin(50ms);
    EXPECT_TRUE(scene->mainWindow()->isVisible());
    EXPECT_TRUE(scene->mainWindow()->isMinimized());
    EXPECT_EQ(quits, 0);
    scene->mainWindow()->close();
    EXPECT_EQ(quits, 1);
}

TEST_F(WindowSceneTest, WithATrayClosingKeepsTheServer) {
    makeScene(0, true);
    scene->show();
    ASSERT_TRUE(waitForStatus(kReady));
    scene->mainWindow()->close();
    spin(50ms);
    EXPECT_FALSE(scene->mainWindow()->isVisible());
    EXPECT_EQ(quits, 0);
    EXPECT_EQ(state().status(), kReady);
    menuEntry("Ouvrir Quorvi Mac")->trigger();
    EXPECT_TRUE(scene->mainWindow()->isVisible());
    menuEntry("Quitter Quorvi Mac")->trigger();
    EXPECT_EQ(quits, 1);
}

TEST_F(WindowSceneTest, RestartStopsRelaunchesAndQuits) {
    makeScene(0, true);
    scene->show();
    ASSERT_TRUE(waitForStatus(kReady));
    const auto port = scene->server()->listeningPort();
    scene->restartApp();
    EXPECT_EQ(relaunches, 1);
    EXPECT_EQ(quits, 1);
    // The port is free for the new process.
    LoopbackClient late(port);
    EXPECT_FALSE(late.isConnected());
}

TEST_F(WindowSceneTest, SettingsPanesFromTheWindowAndTheMenu) {
    makeScene(0, true);
    auto* content = scene->mainWindow()->content();
    content->findChild<QPushButton*>("displaysButton")->click();
    QMenu* displayMenu = nullptr;
    for (QAction* action : scene->menu()->menu()->actions()) {
        if (action->menu() != nullptr && action->text() == "Mode d'affichage") {
            displayMenu = action->menu();
        }
    }
    ASSERT_NE(displayMenu, nullptr);
    displayMenu->actions().last()->trigger();
    menuEntry("Ouvrir Réglages Accessibility")->trigger();
    ASSERT_EQ(panes.size(), 3u);
    EXPECT_EQ(panes[0], SettingsPane::displays);
    EXPECT_EQ(panes[1], SettingsPane::displays);
    EXPECT_EQ(panes[2], SettingsPane::accessibility);
}
