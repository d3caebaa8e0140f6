#include "app/QuorviMenu.h"

#include "AppTestSupport.h"
#include "server/PublishedState.h"

#include <gtest/gtest.h>

using namespace quorvi;
using namespace quorvi::testing;

TEST(QuorviMenu, EachEntryMakesItsCallAndTheTextsFollowTheServer) {
    auto state = std::make_shared<PublishedState>();
    CallLog log;
    QuorviMenu menu(
        state, log.controls(),
        {log.record("open"), [&](SettingsPane pane) { log.pane(pane); }, log.record("quit")});
    state->setTargetFPS(12);
    state->setPendingDevice("127.0.0.2");
    state->setConnectedDevice("127.0.0.1");
    const std::pair<const char*, std::string> rows[] = {
        {"Ouvrir Quorvi Mac", "open"},
        {"Mode d'affichage/Miroir · tout le bureau", "mirror"},
        {"Mode d'affichage/Écran étendu · display virtuel", "extended"},
        {"Mode d'affichage/Ouvrir Réglages Moniteurs", "pane displays"},
        {"Qualité du flux/Économie · 5 FPS", modeCall(StreamMode::economy)},
        {"Qualité du flux/Défaut · 10 FPS", modeCall(StreamMode::balanced)},
        {"Qualité du flux/Fluide · 15 FPS", modeCall(StreamMode::fluid)},
        {"Qualité du flux/30 FPS · 30 FPS", modeCall(StreamMode::highFrameRate)},
        {"Qualité du flux/Auto · 12 FPS", modeCall(StreamMode::automatic)},
        {"Autoriser une fois", "allow once"},
        {"Toujours autoriser", "allow always"},
        {"Refuser", "deny"},
        {"Déconnecter", "disconnect"},
        {"Redémarrer le serveur", "start"},
        {"Ouvrir Réglages Screen Recording", "pane screen"},
        {"Ouvrir Réglages Accessibility", "pane accessibility"},
        // Quitting is the application's: the menu itself stops nothing.
        {"Quitter Quorvi Mac", "quit"},
    };
    for (const auto& [path, call] : rows) {
        SCOPED_TRACE(path);
        log.calls.clear();
        ASSERT_NE(menuEntry(menu.menu(), path), nullptr);
        menuEntry(menu.menu(), path)->trigger();
        EXPECT_EQ(log.calls, Calls{call});
    }

    EXPECT_NE(menuEntry(menu.menu(), "Appareil en attente: 127.0.0.2"), nullptr);
    QAction* statusLine = menu.menu()->actions().at(1);
    EXPECT_EQ(statusLine->text(), "Arrêté · Aucun iPhone (127.0.0.1)");
    // No device waits and none is connected: nothing to answer or end.
    state->setPendingDevice("");
    state->setConnectedDevice("");
    EXPECT_FALSE(menuEntry(menu.menu(), "Refuser")->isVisible());
    EXPECT_FALSE(menuEntry(menu.menu(), "Déconnecter")->isEnabled());
    state->setStatus("Prêt: iPhone peut détecter ce Mac");
    state->setConnectionName("iPhone connecté");
    EXPECT_EQ(statusLine->text(), "Prêt: iPhone peut détecter ce Mac · iPhone connecté");
    state->setTargetFPS(30);
    EXPECT_NE(menuEntry(menu.menu(), "Qualité du flux/Auto · 30 FPS"), nullptr);
}
