#include "app/QuorviMenu.h"

#include "AppTestSupport.h"
#include "app/WindowApplication.h"
#include "server/PublishedState.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <gtest/gtest.h>

using namespace quorvi;
using namespace quorvi::testing;

namespace {

class QuorviMenuTest : public ::testing::Test {
protected:
    QuorviMenuTest() {
        MenuActions actions;
        actions.openMainWindow = [this] { ++opens; };
        actions.openSettingsPane = [this](SettingsPane pane) { panes.push_back(pane); };
        actions.quit = [this] { ++quits; };
        menu = std::make_unique<QuorviMenu>(state, recording.controls(), actions);
    }

    // The texts of a menu's entries, "-" for a divider.
    static QStringList labels(QMenu* menu) {
        QStringList result;
        for (QAction* action : menu->actions()) {
            result << (action->isSeparator() ? QStringLiteral("-") : action->text());
        }
        return result;
    }

    QAction* entry(QMenu* in, const QString& text) {
        for (QAction* action : in->actions()) {
            if (action->text() == text) {
                return action;
            }
        }
        ADD_FAILURE() << text.toStdString();
        return nullptr;
    }

    QMenu* submenu(const QString& text) {
        QAction* action = entry(menu->menu(), text);
        return action != nullptr ? action->menu() : nullptr;
    }

    std::shared_ptr<PublishedState> state = std::make_shared<PublishedState>();
    RecordingControls recording;
    int opens = 0;
    int quits = 0;
    std::vector<SettingsPane> panes;
    std::unique_ptr<QuorviMenu> menu;
};

} // namespace

TEST_F(QuorviMenuTest, EveryEntryInOrder) {
    EXPECT_EQ(labels(menu->menu()),
              QStringList({"Quorvi Mac", "Arrêté · Aucun iPhone", "-", "Ouvrir Quorvi Mac",
                           "Mode d'affichage", "Qualité du flux", "-", "Redémarrer le serveur",
                           "Ouvrir Réglages Screen Recording", "Ouvrir Réglages Accessibility", "-",
                           "Quitter Quorvi Mac"}));
    QAction* title = menu->menu()->actions().at(0);
    EXPECT_TRUE(title->font().bold());
    EXPECT_FALSE(title->isEnabled());
    EXPECT_FALSE(menu->statusLine()->isEnabled());
    ASSERT_NE(submenu("Mode d'affichage"), nullptr);
    EXPECT_EQ(labels(submenu("Mode d'affichage")),
              QStringList({"Miroir · tout le bureau", "Écran étendu · display virtuel", "-",
                           "Ouvrir Réglages Moniteurs"}));
}

TEST_F(QuorviMenuTest, QualityLabelsWithTheCurrentTargetRate) {
    state->setTargetFPS(12);
    QMenu* quality = submenu("Qualité du flux");
    ASSERT_NE(quality, nullptr);
    EXPECT_EQ(labels(quality),
              QStringList({"Économie · 5 FPS", "Défaut · 10 FPS", "Fluide · 15 FPS",
                           "30 FPS · 30 FPS", "Auto · 12 FPS"}));
    // Whichever mode is active, and nothing is marked as selected.
    state->setStreamMode(StreamMode::automatic);
    state->setTargetFPS(30);
    EXPECT_EQ(labels(quality).last(), "Auto · 30 FPS");
    for (QAction* action : quality->actions()) {
        EXPECT_FALSE(action->isCheckable());
        EXPECT_FALSE(action->isChecked());
    }
    for (QAction* action : menu->menu()->actions()) {
        EXPECT_FALSE(action->isCheckable());
    }
    for (int i = 0; i < 5; ++i) {
        quality->actions().at(i)->trigger();
    }
    ASSERT_EQ(recording.streamModes.size(), 5u);
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(recording.streamModes[i], kAllStreamModes[i]);
    }
}

TEST_F(QuorviMenuTest, TheStatusLineFollowsTheServer) {
    state->setStatus("Prêt: iPhone peut détecter ce Mac");
    EXPECT_EQ(menu->statusLine()->text(), "Prêt: iPhone peut détecter ce Mac · Aucun iPhone");
    state->setConnectionName("iPhone connecté");
    EXPECT_EQ(menu->statusLine()->text(), "Prêt: iPhone peut détecter ce Mac · iPhone connecté");
}

TEST_F(QuorviMenuTest, EachEntryCallsItsOperation) {
    entry(menu->menu(), "Ouvrir Quorvi Mac")->trigger();
    EXPECT_EQ(opens, 1);
    entry(submenu("Mode d'affichage"), "Écran étendu · display virtuel")->trigger();
    EXPECT_EQ(recording.extendeds, 1);
    entry(submenu("Mode d'affichage"), "Miroir · tout le bureau")->trigger();
    EXPECT_EQ(recording.mirrors, 1);
    entry(submenu("Mode d'affichage"), "Ouvrir Réglages Moniteurs")->trigger();
    entry(menu->menu(), "Ouvrir Réglages Screen Recording")->trigger();
    entry(menu->menu(), "Ouvrir Réglages Accessibility")->trigger();
    ASSERT_EQ(panes.size(), 3u);
    EXPECT_EQ(panes[0], SettingsPane::displays);
    EXPECT_EQ(panes[1], SettingsPane::screenRecording);
    EXPECT_EQ(panes[2], SettingsPane::accessibility);
    entry(menu->menu(), "Redémarrer le serveur")->trigger();
    EXPECT_EQ(recording.starts, 1);
    EXPECT_EQ(recording.stops, 0);
    entry(menu->menu(), "Quitter Quorvi Mac")->trigger();
    EXPECT_EQ(quits, 1);
    // Quitting is the application's: the menu itself stops nothing.
    EXPECT_EQ(recording.stops, 0);
}

TEST(OpenMainWindow, WithNoWindowNothingIsCreated) {
    const auto before = QApplication::topLevelWidgets().size();
    EXPECT_FALSE(raiseExistingMainWindow());
    EXPECT_EQ(QApplication::topLevelWidgets().size(), before);
}
