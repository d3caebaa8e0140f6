// The published state the window reads, and the rules that turn it into
// the window's labels.
#include "server/WindowRules.h"

#include "server/PublishedState.h"

#include <algorithm>
#include <array>
#include <gtest/gtest.h>
#include <limits>
#include <tuple>

using namespace quorvi;

TEST(PublishedState, KeepsTheThirtyNewestLinesAndTwelveNewestInputsNewestFirst) {
    PublishedState state;
    for (int i = 1; i <= 35; ++i) {
        state.addJournalLine("ligne " + std::to_string(i));
        state.addReceivedInput({.sentAt = static_cast<double>(i)});
    }
    ASSERT_EQ(state.logs().size(), 30u);
    EXPECT_EQ(state.logs().front(), "ligne 35");
    EXPECT_EQ(state.logs().back(), "ligne 6");
    ASSERT_EQ(state.receivedInputs().size(), 12u);
    EXPECT_EQ(state.receivedInputs().front().sentAt, 35);
    EXPECT_EQ(state.receivedInputs().back().sentAt, 24);
}

TEST(WindowRules, MarkersAreFoundByteForByte) {
    EXPECT_FALSE(isConnected("iPhone connecté ") || isConnected("iphone connecté"));
    EXPECT_TRUE(isExtended("Étendu actif") && isExtended("Mode Étendu"));
    EXPECT_FALSE(isExtended("étendu"));
    const std::string both = "Screen manquant · Accessibility manquant";
    EXPECT_TRUE(isScreenRecordingMissing(both) && isAccessibilityMissing(both));
    EXPECT_FALSE(isScreenRecordingMissing("Screen OK · Accessibility manquant"));
    EXPECT_FALSE(isAccessibilityMissing("Screen manquant · Accessibility OK"));
}

TEST(WindowRules, ServerHeaderValueToneAndStoppedFollowTheirLadders) {
    using T = StatusTone;
    // Status, connected, then the header value, its tone and whether stopped.
    const std::tuple<const char*, bool, const char*, T, bool> rows[] = {
        {"Prêt: iPhone peut détecter ce Mac", false, "Prêt", T::good, false},
        {"Démarrage Bonjour sur port 54545", false, "Démarrage", T::warning, false},
        {"Connexion échouée: Connection refused", false, "Erreur", T::danger, true},
        {"Arrêté", false, "Arrêté", T::neutral, true},
        // "Prêt" wins both ladders over "échoué".
        {"Prêt mais envoi échoué", false, "Prêt", T::good, true},
        // The two ladders order "Démarrage" and "échoué" differently.
        {"Démarrage échoué", false, "Démarrage", T::danger, true},
        {"Arrêté ", false, "Actif", T::neutral, false},
        // A connected client wins over everything.
        {"Arrêté", true, "Connecté", T::good, true},
    };
    for (const auto& [status, connected, header, tone, stopped] : rows) {
        EXPECT_EQ(serverHeaderValue(status, connected), header) << status;
        EXPECT_EQ(serverTone(status, connected), tone) << status;
        EXPECT_EQ(serverIsStopped(status), stopped) << status;
    }
}

TEST(WindowRules, StatisticsSplitIntoLatencyAndFrameRate) {
    // The statistics text, then the latency and the frame rate shown.
    const std::array<const char*, 3> rows[] = {
        {"Stats iPhone en attente", "Stats iPhone en attente", "--"},
        {"", "", "--"},
        {"12 ms · 30 iPhone FPS iPhone", "12 ms", "30 FPS"},
    };
    for (const auto& [stats, latency, frameRate] : rows) {
        EXPECT_EQ(latencyValue(stats), latency) << stats;
        EXPECT_EQ(frameRateFigure(stats), frameRate) << stats;
    }
}

// The window's own test sees the address, the journal summary and a
// truncated gesture; these are the edges of the gesture's text.
TEST(WindowRules, TheNewestGestureIsDescribed) {
    EXPECT_EQ(latestGestureDetail({}), "Touchez iPhone pour tester contrôle.");
    EXPECT_EQ(latestGestureDetail({{.phase = "drag", .x = 0.999}, {.phase = "tap"}}),
              "DRAG  x 99%  y 0%");
    EXPECT_EQ(latestGestureDetail({{.phase = "scroll", .x = -0.015, .y = 1.5}}),
              "SCROLL  x -1%  y 150%");
    EXPECT_EQ(latestGestureDetail({{.phase = "défilé"}}), "DÉFILÉ  x 0%  y 0%");
    EXPECT_EQ(latestGestureDetail({{.phase = "hover", .x = std::numeric_limits<double>::max()}}),
              "HOVER  x 9223372036854775807%  y 0%");
}

TEST(ConnectionHide, HidesOncePerConnectionAndOnlyWithTheSwitchOn) {
    ConnectionHideRule rule;
    EXPECT_FALSE(rule.connectionNameChanged("iPhone connecté", false));
    // Turned on during the same connection: the next change still counts.
    EXPECT_TRUE(rule.connectionNameChanged("iPhone connecté", true));
    // A second connection with no disconnection in between: no second hide.
    EXPECT_FALSE(rule.connectionNameChanged("iPhone connecté", true));
    // Any other name ends the connection; the next one hides again.
    EXPECT_FALSE(rule.connectionNameChanged("Déconnecté", true));
    EXPECT_TRUE(rule.connectionNameChanged("iPhone connecté", true));
}

TEST(SettingsPanes, TheRunningDesktopsProgramComesFirst) {
    using C = SettingsCommand;
    EXPECT_EQ(settingsPaneCandidates(SettingsPane::displays, "ubuntu:GNOME").front(),
              (C{"gnome-control-center", {"display"}}));
    const auto kde = settingsPaneCandidates(SettingsPane::screenRecording, "KDE");
    ASSERT_GE(kde.size(), 2u);
    EXPECT_EQ(kde[0], (C{"kcmshell6", {"kcm_kscreen"}}));
    EXPECT_EQ(kde[1], (C{"kcmshell5", {"kcm_kscreen"}}));
    EXPECT_EQ(settingsPaneCandidates(SettingsPane::accessibility, "XFCE").front().program,
              "xfce4-display-settings");
    // Without a known desktop every program is still tried, each once, and
    // the desktop-neutral RandR tools come last.
    const auto none = settingsPaneCandidates(SettingsPane::displays, "");
    EXPECT_EQ(none.back().program, "arandr");
    for (const auto& command : none) {
        EXPECT_EQ(std::count(none.begin(), none.end(), command), 1) << command.program;
    }
}
