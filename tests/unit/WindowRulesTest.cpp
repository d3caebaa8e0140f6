#include "server/WindowRules.h"

#include "server/PublishedState.h"

#include <gtest/gtest.h>
#include <limits>

using namespace quorvi;

namespace {

InputEventMessage gesture(std::string phase, double x, double y) {
    InputEventMessage message;
    message.phase = std::move(phase);
    message.x = x;
    message.y = y;
    return message;
}

} // namespace

TEST(WindowRules, ConnectedOnlyForTheExactName) {
    struct Row {
        const char* name;
        bool connected;
    };
    const Row rows[] = {
        {"iPhone connecté", true},
        {"Aucun iPhone", false},
        {"iPhone connecté ", false},
        {" iPhone connecté", false},
        {"iphone connecté", false},
        {"Déconnecté", false},
        {"", false},
        {"iPhone connecte", false},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(isConnected(row.name), row.connected) << row.name;
    }
}

TEST(WindowRules, ExtendedAndPermissionTestsLookForTheirWords) {
    EXPECT_TRUE(isExtended("Étendu actif"));
    EXPECT_TRUE(isExtended("Mode Étendu"));
    EXPECT_FALSE(isExtended("Miroir actif"));
    EXPECT_FALSE(isExtended("étendu"));
    EXPECT_FALSE(isExtended(""));

    struct Row {
        const char* summary;
        bool screenMissing;
        bool accessibilityMissing;
    };
    const Row rows[] = {
        {"Screen manquant · Accessibility manquant", true, true},
        {"Screen manquant", true, false},
        {"Accessibility manquant", false, true},
        {"Screen OK · Accessibility OK", false, false},
        {"Permissions inconnues", false, false},
        {"", false, false},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(isScreenRecordingMissing(row.summary), row.screenMissing) << row.summary;
        EXPECT_EQ(isAccessibilityMissing(row.summary), row.accessibilityMissing) << row.summary;
    }
}

TEST(WindowRules, ServerHeaderValueToneAndStoppedFollowTheirLadders) {
    struct Row {
        const char* status;
        bool connected;
        const char* header;
        StatusTone tone;
        bool stopped;
    };
    const Row rows[] = {
        {"Prêt: iPhone peut détecter ce Mac", false, "Prêt", StatusTone::good, false},
        {"Démarrage Bonjour sur port 54545", false, "Démarrage", StatusTone::warning, false},
        {"Connexion échouée: Connection refused", false, "Erreur", StatusTone::danger, true},
        {"Arrêté", false, "Arrêté", StatusTone::neutral, true},
        // "Prêt" wins both ladders over "échoué".
        {"Prêt mais envoi échoué", false, "Prêt", StatusTone::good, true},
        // The two ladders order "Démarrage" and "échoué" differently.
        {"Démarrage échoué", false, "Démarrage", StatusTone::danger, true},
        {"Streaming 42", false, "Actif", StatusTone::neutral, false},
        {"", false, "Actif", StatusTone::neutral, false},
        {"Arrêté ", false, "Actif", StatusTone::neutral, false},
        // A connected client wins over everything.
        {"Arrêté", true, "Connecté", StatusTone::good, true},
        {"Envoi échoué: Broken pipe", true, "Connecté", StatusTone::good, true},
        {"Streaming 42", true, "Connecté", StatusTone::good, false},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(serverHeaderValue(row.status, row.connected), row.header) << row.status;
        EXPECT_EQ(serverTone(row.status, row.connected), row.tone) << row.status;
        EXPECT_EQ(serverIsStopped(row.status), row.stopped) << row.status;
    }
}

TEST(WindowRules, PrimaryAddressUsesTheFirstAddressAndThePort) {
    EXPECT_EQ(primaryAddress({}, 54545), "En attente");
    EXPECT_EQ(primaryAddress({"192.168.1.20"}, 54545), "192.168.1.20:54545");
    EXPECT_EQ(primaryAddress({"10.0.0.2", "192.168.1.20"}, 54999), "10.0.0.2:54999");
    EXPECT_EQ(primaryAddress({"10.0.0.2"}, 1), "10.0.0.2:1");
}

TEST(WindowRules, StatisticsSplitIntoLatencyAndFrameRate) {
    struct Row {
        const char* stats;
        const char* latency;
        const char* frameRate;
    };
    const Row rows[] = {
        {"42 ms · 29 FPS iPhone", "42 ms", "29 FPS"},
        {"42 ms · 29 FPS", "42 ms", "29 FPS"},
        {"Stats iPhone en attente", "Stats iPhone en attente", "--"},
        {"", "", "--"},
        {"a · b iPhone · c", "a", "b"},
        {" · ", "", ""},
        {"12 ms · 30 iPhone FPS iPhone", "12 ms", "30 FPS"},
        {"12 ms ·29 FPS", "12 ms ·29 FPS", "--"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(latencyValue(row.stats), row.latency) << row.stats;
        EXPECT_EQ(frameRateFigure(row.stats), row.frameRate) << row.stats;
    }
}

TEST(WindowRules, LatestGestureDetailReadsTheNewestGesture) {
    EXPECT_EQ(latestGestureDetail({}), "Touchez iPhone pour tester contrôle.");
    EXPECT_EQ(latestGestureDetail({gesture("tap", 0.5, 0.25)}), "TAP  x 50%  y 25%");
    EXPECT_EQ(latestGestureDetail({gesture("drag", 0.999, 0.0), gesture("tap", 0.5, 0.5)}),
              "DRAG  x 99%  y 0%");
    // Truncated toward zero, not rounded.
    EXPECT_EQ(latestGestureDetail({gesture("press", 0.129, 0.871)}), "PRESS  x 12%  y 87%");
    EXPECT_EQ(latestGestureDetail({gesture("scroll", -0.015, 1.5)}), "SCROLL  x -1%  y 150%");
    EXPECT_EQ(latestGestureDetail({gesture("", 0, 0)}), "  x 0%  y 0%");
    EXPECT_EQ(latestGestureDetail({gesture("défilé", 0, 0)}), "DÉFILÉ  x 0%  y 0%");
    EXPECT_EQ(latestGestureDetail({gesture("hover", std::numeric_limits<double>::max(), 0)}),
              "HOVER  x 9223372036854775807%  y 0%");
}

TEST(WindowRules, RecentLogSummaryIsTheNewestLine) {
    EXPECT_EQ(recentLogSummary({}), "Aucune activité récente");
    EXPECT_EQ(recentLogSummary({"Nouveau", "Ancien"}), "Nouveau");
}

TEST(WindowRules, LayoutIsCompactBelow760) {
    EXPECT_TRUE(isCompactLayout(0));
    EXPECT_TRUE(isCompactLayout(759));
    EXPECT_FALSE(isCompactLayout(760));
    EXPECT_FALSE(isCompactLayout(820));
}

TEST(WindowRules, TrayQualityLabels) {
    EXPECT_EQ(qualityMenuLabel(StreamMode::economy, 12), "Économie · 5 FPS");
    EXPECT_EQ(qualityMenuLabel(StreamMode::balanced, 12), "Défaut · 10 FPS");
    EXPECT_EQ(qualityMenuLabel(StreamMode::fluid, 12), "Fluide · 15 FPS");
    EXPECT_EQ(qualityMenuLabel(StreamMode::highFrameRate, 12), "30 FPS · 30 FPS");
    EXPECT_EQ(qualityMenuLabel(StreamMode::automatic, 12), "Auto · 12 FPS");
    EXPECT_EQ(qualityMenuLabel(StreamMode::automatic, 30), "Auto · 30 FPS");
    EXPECT_EQ(menuStatusLine("Arrêté", "Aucun iPhone"), "Arrêté · Aucun iPhone");
}

TEST(WindowRules, DerivedStateFromThePublishedValues) {
    PublishedState state;
    auto initial = deriveWindowState(state, 54545);
    EXPECT_FALSE(initial.connected);
    EXPECT_FALSE(initial.isExtended);
    EXPECT_FALSE(initial.screenRecordingMissing);
    EXPECT_FALSE(initial.accessibilityMissing);
    EXPECT_TRUE(initial.serverIsStopped);
    EXPECT_EQ(initial.primaryAddress, "En attente");
    EXPECT_EQ(initial.serverHeaderValue, "Arrêté");
    EXPECT_EQ(initial.serverTone, StatusTone::neutral);
    EXPECT_EQ(initial.latencyValue, "Stats iPhone en attente");
    EXPECT_EQ(initial.frameRateFigure, "--");
    EXPECT_EQ(initial.latestGestureDetail, "Touchez iPhone pour tester contrôle.");
    EXPECT_EQ(initial.recentLogSummary, "Aucune activité récente");

    state.setStatus("Streaming 3");
    state.setConnectionName("iPhone connecté");
    state.setDisplayMode("Étendu actif");
    state.setPermissionSummary("Screen manquant · Accessibility manquant");
    state.setLocalAddresses({"192.168.1.20"});
    state.setClientStats("35 ms · 28 FPS iPhone");
    state.addReceivedInput(gesture("tap", 0.5, 0.25));
    state.addJournalLine("Client prêt");
    const auto live = deriveWindowState(state, 54999);
    EXPECT_TRUE(live.connected);
    EXPECT_TRUE(live.isExtended);
    EXPECT_TRUE(live.screenRecordingMissing);
    EXPECT_TRUE(live.accessibilityMissing);
    EXPECT_FALSE(live.serverIsStopped);
    EXPECT_EQ(live.primaryAddress, "192.168.1.20:54999");
    EXPECT_EQ(live.serverHeaderValue, "Connecté");
    EXPECT_EQ(live.serverTone, StatusTone::good);
    EXPECT_EQ(live.latencyValue, "35 ms");
    EXPECT_EQ(live.frameRateFigure, "28 FPS");
    EXPECT_EQ(live.latestGestureDetail, "TAP  x 50%  y 25%");
    EXPECT_EQ(live.recentLogSummary, "Client prêt");
}

TEST(ConnectionHide, HidesOncePerConnection) {
    ConnectionHideRule rule;
    EXPECT_TRUE(rule.connectionNameChanged("iPhone connecté", true));
    EXPECT_TRUE(rule.didHideForCurrentConnection());
    // A second connection with no disconnection in between: no second hide.
    EXPECT_FALSE(rule.connectionNameChanged("iPhone connecté", true));
    EXPECT_TRUE(rule.didHideForCurrentConnection());
    // Any other name ends the connection; the next one hides again.
    EXPECT_FALSE(rule.connectionNameChanged("Déconnecté", true));
    EXPECT_FALSE(rule.didHideForCurrentConnection());
    EXPECT_TRUE(rule.connectionNameChanged("iPhone connecté", true));
}

TEST(ConnectionHide, NothingWhileTheSwitchIsOff) {
    ConnectionHideRule rule;
    EXPECT_FALSE(rule.connectionNameChanged("iPhone connecté", false));
    EXPECT_FALSE(rule.didHideForCurrentConnection());
    // Turned on during the same connection: the next change still counts.
    EXPECT_TRUE(rule.connectionNameChanged("iPhone connecté", true));
}

TEST(SettingsPanes, TheRunningDesktopsProgramComesFirst) {
    const auto gnome = settingsPaneCandidates(SettingsPane::displays, "ubuntu:GNOME");
    ASSERT_FALSE(gnome.empty());
    EXPECT_EQ(gnome.front(), (SettingsCommand{"gnome-control-center", {"display"}}));

    const auto kde = settingsPaneCandidates(SettingsPane::screenRecording, "KDE");
    ASSERT_GE(kde.size(), 2u);
    EXPECT_EQ(kde[0], (SettingsCommand{"kcmshell6", {"kcm_kscreen"}}));
    EXPECT_EQ(kde[1], (SettingsCommand{"kcmshell5", {"kcm_kscreen"}}));

    const auto xfce = settingsPaneCandidates(SettingsPane::accessibility, "XFCE");
    EXPECT_EQ(xfce.front().program, "xfce4-display-settings");

    // Without a known desktop every program is still tried, each once, and
    // the desktop-neutral RandR tools come last.
    const auto none = settingsPaneCandidates(SettingsPane::displays, "");
    EXPECT_EQ(none.back().program, "arandr");
    for (std::size_t i = 0; i < none.size(); ++i) {
        for (std::size_t j = i + 1; j < none.size(); ++j) {
            EXPECT_NE(none[i], none[j]);
        }
    }
    EXPECT_EQ(settingsPaneCandidates(SettingsPane::displays, "LXDE").front().program, "lxrandr");
}
