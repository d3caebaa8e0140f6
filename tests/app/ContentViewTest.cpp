#include "app/ContentView.h"

#include "AppTestSupport.h"
#include "app/MainWindowWidgets.h"
#include "platform/UserDefaults.h"
#include "server/PublishedState.h"

#include <QApplication>
#include <QListWidget>
#include <QPropertyAnimation>
#include <QPushButton>
#include <gtest/gtest.h>

using namespace quorvi;
using namespace quorvi::testing;
using namespace std::chrono_literals;

namespace {

class ContentViewTest : public ::testing::Test {
protected:
    void SetUp() override { makeView(); }

    void makeView() {
        view.reset();
        view =
            std::make_unique<ContentView>(state, recording.controls(), actions.actions(), defaults);
    }

    void showAt(int width, int height) {
        view->resize(width, height);
        view->show();
        spinUntil([&] { return view->width() == width; }, 2s);
        spin(20ms);
    }

    QString text(const char* name) {
        if (auto* label = child<QLabel>(*view, name)) {
            return label->text();
        }
        if (auto* elided = child<ElidedLabel>(*view, name)) {
            return elided->text();
        }
        return {};
    }

    std::shared_ptr<PublishedState> state = std::make_shared<PublishedState>();
    std::shared_ptr<InMemoryUserDefaults> defaults = std::make_shared<InMemoryUserDefaults>();
    RecordingControls recording;
    RecordingWindowActions actions;
    std::unique_ptr<ContentView> view;
};

InputEventMessage tap(double x, double y) {
    InputEventMessage message;
    message.phase = "tap";
    message.x = x;
    message.y = y;
    return message;
}

} // namespace

TEST_F(ContentViewTest, CompactBelow760SplitFrom760) {
    showAt(759, 640);
    EXPECT_TRUE(view->isCompactLayout());
    showAt(760, 640);
    EXPECT_FALSE(view->isCompactLayout());
    auto* sidebar = child<QWidget>(*view, "sidebar");
    auto* livePane = child<QWidget>(*view, "livePane");
    ASSERT_NE(sidebar, nullptr);
    ASSERT_NE(livePane, nullptr);
    EXPECT_EQ(sidebar->minimumWidth(), 264);
    EXPECT_EQ(sidebar->maximumWidth(), 344);
    EXPECT_GE(livePane->minimumWidth(), 420);
    EXPECT_TRUE(livePane->isVisible());
    showAt(1280, 800);
    EXPECT_FALSE(view->isCompactLayout());
    EXPECT_GE(sidebar->width(), 264);
    EXPECT_LE(sidebar->width(), 344);
    EXPECT_GE(livePane->width(), 420);
    // And back: the same widgets move into the column, with their state.
    auto* toggle = child<ToggleSwitch>(*view, "hideSwitch");
    toggle->setChecked(false);
    showAt(700, 640);
    EXPECT_TRUE(view->isCompactLayout());
    EXPECT_FALSE(toggle->isChecked());
    EXPECT_EQ(defaults->boolean("hideMacWindowDuringStream"), false);
    EXPECT_TRUE(livePane->isVisible());
    EXPECT_TRUE(child<QWidget>(*view, "sidebarContent")->isVisible());
}

TEST_F(ContentViewTest, HeaderButtonAndStopFollowTheStoppedTest) {
    showAt(1000, 700);
    auto* primary = child<QPushButton>(*view, "headerPrimaryButton");
    auto* stop = child<QPushButton>(*view, "stopButton");
    auto* startServer = child<QPushButton>(*view, "startServerButton");
    ASSERT_NE(primary, nullptr);
    ASSERT_NE(stop, nullptr);
    ASSERT_NE(startServer, nullptr);
    EXPECT_EQ(stop->text(), "Arrêter");
    EXPECT_EQ(startServer->text(), "Démarrer serveur");

    struct Row {
        const char* status;
        const char* button;
        bool stopEnabled;
        const char* header;
    };
    const Row rows[] = {
        {"Arrêté", "Démarrer", false, "Arrêté"},
        {"Prêt: iPhone peut détecter ce Mac", "Redémarrer", true, "Prêt"},
        {"Démarrage Bonjour sur port 54545", "Redémarrer", true, "Démarrage"},
        {"Connexion échouée: Address already in use", "Démarrer", false, "Erreur"},
        {"Démarrage échoué", "Démarrer", false, "Démarrage"},
    };
    for (const auto& row : rows) {
        state->setStatus(row.status);
        EXPECT_EQ(primary->text(), row.button) << row.status;
        EXPECT_EQ(primary->property("symbol").toString(),
                  std::string(row.button) == "Démarrer" ? "play.fill" : "arrow.clockwise");
        EXPECT_EQ(stop->isEnabled(), row.stopEnabled) << row.status;
        EXPECT_EQ(startServer->isVisible(), !row.stopEnabled) << row.status;
        EXPECT_EQ(child<HeaderStatusItem>(*view, "headerServer")->value(), row.header);
    }
    state->setStatus("Prêt: iPhone peut détecter ce Mac");
    EXPECT_EQ(child<HeaderStatusItem>(*view, "headerServer")->tone(), StatusTone::good);
    state->setStatus("Démarrage échoué");
    EXPECT_EQ(child<HeaderStatusItem>(*view, "headerServer")->tone(), StatusTone::danger);

    state->setStatus("Prêt: iPhone peut détecter ce Mac");
    primary->click();
    EXPECT_EQ(recording.starts, 2); // once on the first show, once here
    stop->click();
    EXPECT_EQ(recording.stops, 1);
    // The application becoming active refreshes too: count from here.
    const int refreshes = recording.refreshes;
    child<QPushButton>(*view, "headerRefreshButton")->click();
    child<QPushButton>(*view, "refreshButton")->click();
    EXPECT_EQ(recording.refreshes, refreshes + 2);
    EXPECT_EQ(child<QPushButton>(*view, "headerRefreshButton")->toolTip(),
              "Actualiser état réseau et permissions");
}

TEST_F(ContentViewTest, RelaunchOnlyWhileAPermissionIsMissing) {
    showAt(1000, 700);
    auto* relaunch = child<QPushButton>(*view, "relaunchButton");
    ASSERT_NE(relaunch, nullptr);
    EXPECT_EQ(relaunch->text(), "Relancer Quorvi");
    struct Row {
        const char* summary;
        bool shown;
    };
    const Row rows[] = {
        {"Permissions inconnues", false},        {"Screen manquant", true},
        {"Accessibility manquant", true},        {"Screen manquant · Accessibility manquant", true},
        {"Screen OK · Accessibility OK", false},
    };
    for (const auto& row : rows) {
        state->setPermissionSummary(row.summary);
        EXPECT_EQ(relaunch->isVisibleTo(view.get()), row.shown) << row.summary;
    }
    state->setPermissionSummary("Screen manquant");
    relaunch->click();
    EXPECT_EQ(actions.restarts, 1);
}

TEST_F(ContentViewTest, PermissionRowsBadgesAndButtons) {
    showAt(1000, 700);
    auto* screen = child<PermissionRow>(*view, "screenRecordingRow");
    auto* accessibility = child<PermissionRow>(*view, "accessibilityRow");
    ASSERT_NE(screen, nullptr);
    ASSERT_NE(accessibility, nullptr);

    state->setPermissionSummary("Screen manquant · Accessibility manquant");
    EXPECT_EQ(screen->badge()->text(), "Requis");
    EXPECT_EQ(screen->primaryButton()->text(), "Réglages");
    EXPECT_FALSE(screen->settingsButton()->isVisibleTo(view.get()));
    EXPECT_EQ(accessibility->badge()->text(), "Requis");
    EXPECT_EQ(accessibility->primaryButton()->text(), "Réglages");
    screen->primaryButton()->click();
    accessibility->primaryButton()->click();
    ASSERT_EQ(actions.panes.size(), 2u);
    EXPECT_EQ(actions.panes[0], SettingsPane::screenRecording);
    EXPECT_EQ(actions.panes[1], SettingsPane::accessibility);

    state->setPermissionSummary("Screen OK · Accessibility OK");
    EXPECT_EQ(screen->badge()->text(), "Autorisé");
    EXPECT_EQ(screen->primaryButton()->text(), "Tester");
    EXPECT_TRUE(screen->settingsButton()->isVisibleTo(view.get()));
    EXPECT_EQ(screen->settingsButton()->toolTip(), "Ouvrir Réglages Système");
    EXPECT_FALSE(accessibility->settingsButton()->isVisibleTo(view.get()));
    EXPECT_EQ(accessibility->badge()->text(), "Autorisé");
    const int refreshes = recording.refreshes;
    screen->primaryButton()->click();
    EXPECT_EQ(recording.refreshes, refreshes + 1);
    screen->settingsButton()->click();
    ASSERT_EQ(actions.panes.size(), 3u);
    EXPECT_EQ(actions.panes[2], SettingsPane::screenRecording);
}

TEST_F(ContentViewTest, ModePickerCallsTheServerAndShowsThePublishedMode) {
    showAt(1000, 700);
    auto* picker = child<SegmentedPicker>(*view, "modePicker");
    ASSERT_NE(picker, nullptr);
    ASSERT_EQ(picker->count(), 2);
    EXPECT_EQ(picker->label(), "Mode");
    EXPECT_EQ(picker->button(0)->text(), "Miroir");
    EXPECT_EQ(picker->button(1)->text(), "Étendu");
    EXPECT_EQ(picker->selectedIndex(), 0);

    picker->button(1)->click();
    EXPECT_EQ(recording.extendeds, 1);
    // Until the server says so, the picker still shows the mirror.
    EXPECT_EQ(picker->selectedIndex(), 0);
    EXPECT_TRUE(picker->button(0)->isChecked());
    EXPECT_FALSE(picker->button(1)->isChecked());

    state->setDisplayMode("Étendu actif");
    EXPECT_EQ(picker->selectedIndex(), 1);
    EXPECT_EQ(child<HeaderStatusItem>(*view, "headerMode")->value(), "Étendu");
    EXPECT_EQ(child<HeaderStatusItem>(*view, "headerMode")->icon(), "rectangle.2.swap");
    EXPECT_EQ(text("displayCaption"),
              "Déplace fenêtre vers display Quorvi dans Réglages Moniteurs.");
    picker->button(0)->click();
    EXPECT_EQ(recording.mirrors, 1);

    state->setDisplayMode("Miroir actif");
    EXPECT_EQ(child<HeaderStatusItem>(*view, "headerMode")->value(), "Miroir");
    EXPECT_EQ(child<HeaderStatusItem>(*view, "headerMode")->icon(), "rectangle.on.rectangle");
    EXPECT_EQ(text("displayCaption"), "Miroir capture bureau principal, autres apps comprises.");

    child<QPushButton>(*view, "displaysButton")->click();
    ASSERT_EQ(actions.panes.size(), 1u);
    EXPECT_EQ(actions.panes[0], SettingsPane::displays);
}

TEST_F(ContentViewTest, QualityPickerCallsSetStreamMode) {
    showAt(1000, 700);
    auto* picker = child<SegmentedPicker>(*view, "qualityPicker");
    ASSERT_NE(picker, nullptr);
    ASSERT_EQ(picker->count(), 5);
    EXPECT_TRUE(picker->label().isEmpty());
    const char* labels[] = {"Éco", "10", "15", "30", "Auto"};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(picker->button(i)->text(), QString::fromUtf8(labels[i]));
    }
    EXPECT_EQ(picker->selectedIndex(), 1); // balanced

    picker->button(0)->click();
    picker->button(4)->click();
    picker->button(3)->click();
    ASSERT_EQ(recording.streamModes.size(), 3u);
    EXPECT_EQ(recording.streamModes[0], StreamMode::economy);
    EXPECT_EQ(recording.streamModes[1], StreamMode::automatic);
    EXPECT_EQ(recording.streamModes[2], StreamMode::highFrameRate);

    state->setStreamMode(StreamMode::fluid);
    EXPECT_EQ(picker->selectedIndex(), 2);
}

TEST_F(ContentViewTest, TwoConnectionsInARowHideOnce) {
    showAt(1000, 700);
    state->setConnectionName("iPhone connecté");
    // 0.8 s later, not at once.
    spin(400ms);
    EXPECT_EQ(actions.hides, 0);
    EXPECT_TRUE(view->didHideForCurrentConnection());
    EXPECT_TRUE(spinUntil([&] { return actions.hides == 1; }, 2s));

    // A new client replacing the old one: the name stays "iPhone connecté".
    state->setConnectionName("iPhone connecté");
    spin(1100ms);
    EXPECT_EQ(actions.hides, 1);

    // After a disconnection the next connection hides again.
    state->setConnectionName("Déconnecté");
    EXPECT_FALSE(view->didHideForCurrentConnection());
    state->setConnectionName("iPhone connecté");
    EXPECT_TRUE(spinUntil([&] { return actions.hides == 2; }, 2s));
}

TEST_F(ContentViewTest, AConnectionWithTheSwitchOffHidesNothing) {
    auto* toggle = child<ToggleSwitch>(*view, "hideSwitch");
    ASSERT_NE(toggle, nullptr);
    EXPECT_EQ(toggle->text(), "Masquer cette fenêtre à connexion");
    EXPECT_TRUE(toggle->isChecked()); // true when nothing is stored
    toggle->click();
    EXPECT_EQ(defaults->boolean("hideMacWindowDuringStream"), false);
    showAt(1000, 700);
    state->setConnectionName("iPhone connecté");
    spin(1100ms);
    EXPECT_EQ(actions.hides, 0);
    EXPECT_FALSE(view->didHideForCurrentConnection());

    // The stored value is read by the next window too.
    makeView();
    EXPECT_FALSE(child<ToggleSwitch>(*view, "hideSwitch")->isChecked());
}

TEST_F(ContentViewTest, TheWaitingLatencyWrapsAndShrinksBeforeItIsCut) {
    defaults->setBoolean("hideMacWindowDuringStream", false);
    makeView();
    showAt(1000, 700);
    state->setConnectionName("iPhone connecté");
    spin(50ms);
    auto* metric = child<LiveMetric>(*view, "metricLatence");
    ASSERT_NE(metric, nullptr);
    auto* value = metric->findChild<ElidedLabel*>();
    ASSERT_NE(value, nullptr);
    ASSERT_EQ(value->text(), "Stats iPhone en attente");
    EXPECT_EQ(value->displayedLines().join(' '), "Stats iPhone en attente");

    // Where even the smallest size is too wide, the rest is elided.
    value->setText(QString(60, QLatin1Char('8')));
    spin(20ms);
    EXPECT_TRUE(value->displayedLines().join(' ').endsWith(QChar(0x2026)));
    EXPECT_LT(value->displayedFont().pointSizeF(), value->font().pointSizeF());

    // A short value keeps the full size, on one line.
    value->setText(QStringLiteral("42 ms"));
    spin(20ms);
    EXPECT_EQ(value->displayedLines(), QStringList{"42 ms"});
    EXPECT_EQ(value->displayedFont().pointSizeF(), value->font().pointSizeF());
}

TEST_F(ContentViewTest, TheNameShownFirstIsNotAChange) {
    state->setConnectionName("iPhone connecté");
    makeView();
    showAt(1000, 700);
    spin(1100ms);
    EXPECT_EQ(actions.hides, 0);
}

TEST_F(ContentViewTest, HideNowHidesAtOnceWhateverTheSetting) {
    defaults->setBoolean("hideMacWindowDuringStream", false);
    makeView();
    showAt(1000, 700);
    auto* hideNow = child<QPushButton>(*view, "hideNowButton");
    ASSERT_NE(hideNow, nullptr);
    EXPECT_EQ(hideNow->text(), "Masquer maintenant");
    hideNow->click();
    EXPECT_EQ(actions.hides, 1);
}

TEST_F(ContentViewTest, StartsTheServerOnlyWhenFirstShown) {
    EXPECT_EQ(recording.starts, 0);
    showAt(1000, 700);
    EXPECT_EQ(recording.starts, 1);
    view->hide();
    spin(20ms);
    view->show();
    spin(20ms);
    view->showMinimized();
    spin(20ms);
    view->showNormal();
    spin(20ms);
    EXPECT_EQ(recording.starts, 1);
    // A new content starts it again.
    makeView();
    showAt(1000, 700);
    EXPECT_EQ(recording.starts, 2);
}

TEST_F(ContentViewTest, RefreshesPermissionsWhenTheApplicationBecomesActive) {
    showAt(1000, 700);
    const int before = recording.refreshes;
    emit qApp->applicationStateChanged(Qt::ApplicationActive);
    EXPECT_EQ(recording.refreshes, before + 1);
    emit qApp->applicationStateChanged(Qt::ApplicationInactive);
    EXPECT_EQ(recording.refreshes, before + 1);
}

TEST_F(ContentViewTest, AddressShowsTheListeningPort) {
    recording.port = 54999;
    makeView();
    showAt(1000, 700);
    EXPECT_EQ(child<HeaderStatusItem>(*view, "headerAddress")->value(), "En attente");
    state->setLocalAddresses({"192.168.1.20", "10.0.0.4"});
    EXPECT_EQ(child<HeaderStatusItem>(*view, "headerAddress")->value(), "192.168.1.20:54999");
    EXPECT_EQ(child<DetailRow>(*view, "addressRow")->value(), "192.168.1.20:54999");
}

TEST_F(ContentViewTest, SidebarRowsShowThePublishedTexts) {
    showAt(1000, 700);
    state->setStatus("Prêt: iPhone peut détecter ce Mac");
    state->setDisplayModeDetail("Capture écran principal");
    state->setStreamQuality("Défaut · bonne qualité");
    state->setDiagnosticsSummary("3 frames · 0 erreur");
    EXPECT_EQ(child<DetailRow>(*view, "serverRow")->value(), "Prêt: iPhone peut détecter ce Mac");
    EXPECT_EQ(child<DetailRow>(*view, "serverRow")->icon(), "bolt.horizontal.circle.fill");
    EXPECT_EQ(child<DetailRow>(*view, "serverRow")->tone(), StatusTone::good);
    EXPECT_EQ(child<DetailRow>(*view, "deviceRow")->value(), "Aucun iPhone");
    EXPECT_EQ(child<DetailRow>(*view, "deviceRow")->tone(), StatusTone::neutral);
    EXPECT_EQ(child<DetailRow>(*view, "targetRow")->value(), "Capture écran principal");
    EXPECT_EQ(child<DetailRow>(*view, "outputRow")->value(), "Défaut · bonne qualité");
    EXPECT_EQ(child<DetailRow>(*view, "sessionRow")->value(), "3 frames · 0 erreur");

    auto* path = child<ElidedLabel>(*view, "exportPath");
    EXPECT_FALSE(path->isVisibleTo(view.get()));
    state->setDiagnosticsExportPath("/root/Desktop/QuorviDiagnostics-2024.json");
    EXPECT_TRUE(path->isVisibleTo(view.get()));
    EXPECT_EQ(path->text(), "/root/Desktop/QuorviDiagnostics-2024.json");
    auto* exportButton = child<QPushButton>(*view, "exportButton");
    EXPECT_EQ(exportButton->text(), "Exporter JSON");
    exportButton->click();
    EXPECT_EQ(recording.exports, 1);
}

TEST_F(ContentViewTest, LivePaneWaitingAndConnected) {
    showAt(1000, 700);
    EXPECT_EQ(text("liveTitle"), "Prêt à connecter");
    EXPECT_EQ(text("liveSubtitle"),
              "Ouvre Quorvi sur iPhone ou iPad, puis garde appareils sur même Wi-Fi.");
    EXPECT_EQ(text("statusPillText"), "En attente");
    EXPECT_TRUE(child<QWidget>(*view, "connectionStage")->isVisible());
    EXPECT_FALSE(child<QWidget>(*view, "connectedStage")->isVisible());
    EXPECT_NE(buttonWithText(*view, "Démarrer serveur"), nullptr);

    state->setStatus("Streaming");
    state->setConnectionName("iPhone connecté");
    state->setStreamQuality("10 FPS · bonne qualité");
    state->setDisplayMode("Miroir actif");
    state->setClientStats("42 ms · 9 FPS iPhone");
    state->setSentFrames(40);
    EXPECT_EQ(text("liveTitle"), "Session en direct");
    EXPECT_EQ(text("liveSubtitle"), "Entrées et qualité du flux sont suivies en temps réel.");
    EXPECT_EQ(text("statusPillText"), "Flux actif");
    EXPECT_TRUE(child<QWidget>(*view, "connectedStage")->isVisible());
    EXPECT_EQ(text("connectedSubtitle"), "10 FPS · bonne qualité");
    EXPECT_EQ(child<Badge>(*view, "liveBadge")->text(), "LIVE");
    EXPECT_EQ(text("displayModeText"), "Miroir actif");
    EXPECT_EQ(text("gestureTitle"), "Aucun geste reçu");
    EXPECT_EQ(text("gestureDetail"), "Touchez iPhone pour tester contrôle.");
    EXPECT_EQ(child<LiveMetric>(*view, "metricLatence")->value(), "42 ms");
    EXPECT_EQ(child<LiveMetric>(*view, "metricFPS")->value(), "9 FPS");
    EXPECT_EQ(child<LiveMetric>(*view, "metricFrames")->value(), "40");
    EXPECT_EQ(child<LiveMetric>(*view, "metricGestes")->value(), "0");
    EXPECT_EQ(child<HeaderStatusItem>(*view, "headerDevice")->value(), "iPhone connecté");
    EXPECT_EQ(child<HeaderStatusItem>(*view, "headerDevice")->tone(), StatusTone::good);
    EXPECT_EQ(child<HeaderStatusItem>(*view, "headerServer")->value(), "Connecté");

    state->addReceivedInput(tap(0.5, 0.25));
    state->addReceivedInput(tap(0.129, 0.871));
    EXPECT_EQ(text("gestureTitle"), "Dernier geste");
    EXPECT_EQ(text("gestureDetail"), "TAP  x 12%  y 87%");
    EXPECT_EQ(child<LiveMetric>(*view, "metricGestes")->value(), "2");
}

TEST_F(ContentViewTest, JournalDrawerTogglesInAnAnimation) {
    showAt(1000, 700);
    EXPECT_FALSE(view->isJournalExpanded());
    EXPECT_EQ(child<ElidedLabel>(*view, "journalSummary")->text(), "Aucune activité récente");
    EXPECT_EQ(child<SymbolLabel>(*view, "journalChevron")->symbol(), "chevron.up");
    auto* list = child<QListWidget>(*view, "journalList");
    ASSERT_EQ(list->count(), 1);
    EXPECT_EQ(list->item(0)->text(), "Aucune activité récente.");

    auto* animation = view->findChild<QPropertyAnimation*>();
    ASSERT_NE(animation, nullptr);
    EXPECT_EQ(animation->duration(), 180);
    EXPECT_EQ(animation->propertyName(), "maximumHeight");

    child<QPushButton>(*view, "journalHeader")->click();
    EXPECT_TRUE(view->isJournalExpanded());
    EXPECT_EQ(child<SymbolLabel>(*view, "journalChevron")->symbol(), "chevron.down");
    EXPECT_EQ(animation->state(), QAbstractAnimation::Running);
    EXPECT_TRUE(spinUntil([&] { return animation->state() == QAbstractAnimation::Stopped; }, 2s));
    EXPECT_GT(list->height(), 40);

    state->addJournalLine("Ancien");
    state->addJournalLine("Nouveau");
    ASSERT_EQ(list->count(), 2);
    EXPECT_EQ(list->item(0)->text(), "Nouveau");
    EXPECT_EQ(list->item(1)->text(), "Ancien");
    EXPECT_EQ(child<ElidedLabel>(*view, "journalSummary")->text(), "Nouveau");

    view->toggleJournal();
    EXPECT_FALSE(view->isJournalExpanded());
    EXPECT_TRUE(spinUntil([&] { return animation->state() == QAbstractAnimation::Stopped; }, 2s));
    EXPECT_FALSE(child<QWidget>(*view, "journalPanel")->isVisible());
}

TEST_F(ContentViewTest, HeaderItemsAndSectionsInOrder) {
    showAt(1000, 700);
    EXPECT_EQ(child<HeaderStatusItem>(*view, "headerServer")->icon(), "circle.fill");
    EXPECT_EQ(child<HeaderStatusItem>(*view, "headerDevice")->value(), "Aucun appareil");
    EXPECT_EQ(child<HeaderStatusItem>(*view, "headerDevice")->icon(), "iphone");
    EXPECT_EQ(child<HeaderStatusItem>(*view, "headerAddress")->icon(), "network");
    QStringList titles;
    for (auto* section : child<QWidget>(*view, "sidebarContent")->findChildren<SidebarSection*>()) {
        titles << section->title();
    }
    EXPECT_EQ(titles, QStringList({"Connexion", "Affichage", "Flux", "Diagnostics", "Permissions",
                                   "Serveur"}));
}
