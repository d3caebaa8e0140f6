#include "app/ContentView.h"

#include "AppTestSupport.h"
#include "app/MainWindowWidgets.h"
#include "platform/UserDefaults.h"

#include <QApplication>
#include <QLineEdit>
#include <gtest/gtest.h>

using namespace quorvi;
using namespace quorvi::testing;

// WindowRulesTest pins the rules behind the labels; these prove that each
// widget shows the value its rule gives and each button makes its call.

namespace {

constexpr const char* kMissing = "Screen manquant · Accessibility manquant";
constexpr const char* kGranted = "Screen OK · Accessibility OK";

class ContentViewTest : public ::testing::Test {
protected:
    void SetUp() override { makeView(); }
    void makeView() {
        view.reset();
        view = std::make_unique<ContentView>(state, log.controls(), log.actions(), defaults);
        view->resize(1000, 700);
        view->show();
    }
    template <typename T> T* find(const QString& name) { return view->findChild<T*>(name); }
    // The value the named widget shows: a picker's checked choice, a
    // permission's badge; "-" when hidden or disabled.
    QString shown(const QString& name) {
        QWidget* widget = find<QWidget>(name);
        if (widget == nullptr || !widget->isVisible() || !widget->isEnabled()) {
            return QStringLiteral("-");
        }
        if (qobject_cast<SegmentedPicker*>(widget) != nullptr) {
            for (auto* choice : widget->findChildren<QAbstractButton*>()) {
                widget = choice->isChecked() ? choice : widget;
            }
        }
        if (auto* item = qobject_cast<HeaderStatusItem*>(widget)) {
            return item->value();
        }
        if (auto* row = qobject_cast<DetailRow*>(widget)) {
            return row->value();
        }
        if (auto* metric = qobject_cast<LiveMetric*>(widget)) {
            return metric->value();
        }
        if (auto* elided = qobject_cast<ElidedLabel*>(widget)) {
            return elided->text();
        }
        if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
            return button->text();
        }
        auto* label = qobject_cast<PermissionRow*>(widget) != nullptr
                          ? widget->findChild<Badge*>()
                          : qobject_cast<QLabel*>(widget);
        return label != nullptr ? label->text() : QStringLiteral("?");
    }
    // The button of that text or help, under the named widget if one is
    // given: "Arrêter", "modePicker/Étendu".
    QAbstractButton* button(const QString& path) {
        const QStringList parts = path.split('/');
        QWidget* under = parts.size() > 1 ? find<QWidget>(parts[0]) : view.get();
        for (auto* button : under->findChildren<QAbstractButton*>()) {
            if (button->text() == parts.last() || button->toolTip() == parts.last()) {
                return button;
            }
        }
        return nullptr;
    }
    // Rows "widget: what it shows".
    void expectShown(std::initializer_list<const char*> rows) {
        for (const QString row : rows) {
            const QString name = row.section(QStringLiteral(": "), 0, 0);
            EXPECT_EQ(name + ": " + shown(name), row);
        }
    }

    std::shared_ptr<PublishedState> state = std::make_shared<PublishedState>();
    std::shared_ptr<InMemoryUserDefaults> defaults = std::make_shared<InMemoryUserDefaults>();
    CallLog log;
    std::unique_ptr<ContentView> view;
};

} // namespace

TEST_F(ContentViewTest, StartsTheServerOnlyWhenFirstShown) {
    view->hide();
    view->show();
    view->showMinimized();
    view->showNormal();
    EXPECT_EQ(log.calls, (Calls{"start"}));
    makeView();
    // Coming back to the application refreshes the permissions.
    emit qApp->applicationStateChanged(Qt::ApplicationInactive);
    emit qApp->applicationStateChanged(Qt::ApplicationActive);
    EXPECT_EQ(log.calls, (Calls{"start", "start", "refresh"}));
}

TEST_F(ContentViewTest, EachButtonMakesItsCall) {
    const std::tuple<const char*, const char*, Calls> rows[] = {
        {kGranted, "Redémarrer", {"start"}},
        {kGranted, "Démarrer serveur", {"start"}},
        {kGranted, "Arrêter", {"stop"}},
        {kGranted, "Actualiser état réseau et permissions", {"refresh"}},
        {kGranted, "Actualiser", {"refresh"}},
        {kGranted, "Exporter JSON", {"export"}},
        {kGranted, "Moniteurs", {"pane displays"}},
        {kGranted, "Masquer maintenant", {"hide"}},
        {kMissing, "Relancer Quorvi", {"restart"}},
        // A picker reports a new choice and keeps showing the published one.
        {kGranted, "modePicker/Miroir", {}},
        {kGranted, "modePicker/Étendu", {"extended"}},
        {kGranted, "qualityPicker/Éco", {modeCall(StreamMode::economy)}},
        {kGranted, "qualityPicker/10", {}},
        {kGranted, "qualityPicker/15", {modeCall(StreamMode::fluid)}},
        {kGranted, "qualityPicker/30", {modeCall(StreamMode::highFrameRate)}},
        {kGranted, "qualityPicker/Auto", {modeCall(StreamMode::automatic)}},
        {kMissing, "screenRecordingRow/Réglages", {"pane screen"}},
        {kMissing, "accessibilityRow/Réglages", {"pane accessibility"}},
        {kGranted, "screenRecordingRow/Tester", {"refresh"}},
        {kGranted, "screenRecordingRow/Ouvrir Réglages Système", {"pane screen"}},
    };
    state->setStatus("Prêt: iPhone peut détecter ce Mac");
    for (const auto& [permissions, path, calls] : rows) {
        SCOPED_TRACE(std::string(path) + " with " + permissions);
        state->setPermissionSummary(permissions);
        log.calls.clear();
        ASSERT_NE(button(path), nullptr);
        button(path)->click();
        EXPECT_EQ(log.calls, calls);
        expectShown({"modePicker: Miroir", "qualityPicker: 10"});
    }
    state->setDisplayMode("Étendu actif");
    button("modePicker/Miroir")->click();
    EXPECT_EQ(log.calls.back(), "mirror");
}

TEST_F(ContentViewTest, EachWidgetShowsItsPublishedValue) {
    expectShown(
        {"headerServer: Arrêté", "headerPrimaryButton: Démarrer", "headerDevice: Aucun appareil",
         "headerAddress: En attente", "liveTitle: Prêt à connecter", "statusPillText: En attente",
         "journalSummary: Aucune activité récente", "accessibilityRow: Autorisé", "stopButton: -",
         "startServerButton: Démarrer serveur", "exportPath: -", "relaunchButton: -"});

    state->setStatus("Streaming");
    state->setConnectionName("iPhone connecté");
    state->setLocalAddresses({"192.168.1.20", "10.0.0.4"});
    state->setPermissionSummary("Accessibility manquant");
    state->setDisplayMode("Étendu actif");
    state->setDisplayModeDetail("Capture écran virtuel");
    state->setStreamMode(StreamMode::fluid);
    state->setStreamQuality("15 FPS · bonne qualité");
    state->setClientStats("42 ms · 9 FPS iPhone");
    state->setSentFrames(40);
    state->setDiagnosticsSummary("3 frames · 0 erreur");
    state->setDiagnosticsExportPath("/root/Desktop/QuorviDiagnostics.json");
    state->addReceivedInput({.phase = "tap", .x = 0.5, .y = 0.25});
    state->addReceivedInput({.phase = "tap", .x = 0.129, .y = 0.871});
    state->addJournalLine("Ancien");
    state->addJournalLine("Nouveau");
    expectShown(
        {"headerServer: Connecté", "headerPrimaryButton: Redémarrer",
         "headerDevice: iPhone connecté", "headerMode: Étendu", "headerAddress: 192.168.1.20:54545",
         "serverRow: Streaming", "deviceRow: iPhone connecté", "addressRow: 192.168.1.20:54545",
         "modePicker: Étendu", "targetRow: Capture écran virtuel", "qualityPicker: 15",
         "outputRow: 15 FPS · bonne qualité", "sessionRow: 3 frames · 0 erreur",
         "exportPath: /root/Desktop/QuorviDiagnostics.json", "screenRecordingRow: Autorisé",
         "accessibilityRow: Requis", "relaunchButton: Relancer Quorvi", "stopButton: Arrêter"});
    expectShown({"liveTitle: Session en direct", "statusPillText: Flux actif",
                 "connectedSubtitle: 15 FPS · bonne qualité", "displayModeText: Étendu actif",
                 "gestureTitle: Dernier geste", "gestureDetail: TAP  x 12%  y 87%",
                 "metricLatence: 42 ms", "metricFPS: 9 FPS", "metricFrames: 40", "metricGestes: 2",
                 "journalSummary: Nouveau", "startServerButton: -"});
    EXPECT_EQ(find<HeaderStatusItem>("headerServer")->tone(), StatusTone::good);
}

TEST_F(ContentViewTest, HidesShortlyAfterEachNewConnectionWhenTheSwitchAllows) {
    // Connected when the window is made, switch turned off, whether it hides.
    const std::tuple<bool, bool, bool> rows[] = {
        {false, false, true}, {true, false, false}, {false, true, false}};
    for (const auto& [connectedFirst, switchOff, hides] : rows) {
        SCOPED_TRACE(::testing::Message() << connectedFirst << switchOff);
        state->setConnectionName(connectedFirst ? "iPhone connecté" : "Aucun iPhone");
        makeView();
        if (switchOff) {
            find<ToggleSwitch>("hideSwitch")->click();
        }
        log.calls.clear();
        state->setConnectionName("iPhone connecté");
        EXPECT_EQ(log.calls, Calls{}); // not at once
        ASSERT_TRUE(runTimersStartedBefore(kHideAfterConnectionDelay));
        std::erase(log.calls, "refresh"); // the window may become active meanwhile
        EXPECT_EQ(log.calls, hides ? Calls{"hide"} : Calls{});
    }
    // The switch is stored: the next window starts with it off.
    makeView();
    EXPECT_FALSE(find<ToggleSwitch>("hideSwitch")->isChecked());
}

TEST_F(ContentViewTest, OneColumnBelow760ASplitViewFrom760) {
    for (const int width : {759, 760}) {
        view->resize(width, 700);
        ASSERT_TRUE(spinUntil([&] { return find<QWidget>("body")->width() == width; }));
        EXPECT_EQ(find<QWidget>("compactColumn")->isVisible(), width < 760);
        EXPECT_EQ(find<QWidget>("splitView")->isVisible(), width >= 760);
        EXPECT_TRUE(find<QWidget>("sidebarContent")->isVisible() &&
                    find<QWidget>("livePane")->isVisible());
    }
}

TEST_F(ContentViewTest, AccessSectionShowsWhoMayConnectAndPassesEachAnswerOn) {
    // The published setting and the choice it shows; only a list shows its field.
    const std::pair<const char*, const char*> settings[] = {
        {"", "Tous"}, {" LAN ", "Réseau local"}, {"10.0.0.0/8, fd00::5", "Liste"}};
    for (const auto& [setting, choice] : settings) {
        SCOPED_TRACE(setting);
        state->setAllowedNetworks(setting);
        EXPECT_EQ(shown("networksPicker"), choice);
        EXPECT_EQ(shown("networksField") != "-", std::string(choice) == "Liste");
    }
    auto* field = find<QLineEdit>("networksField");
    EXPECT_EQ(field->text(), "10.0.0.0/8, fd00::5");
    // "Liste" brings the last list back; an emptied field never means everyone.
    state->setAllowedNetworks("");
    log.calls.clear();
    button("networksPicker/Liste")->click();
    EXPECT_EQ(shown("networksPicker"), "Liste");
    field->clear();
    emit field->editingFinished();
    field->setText("192.168.1.0/24");
    emit field->editingFinished();
    button("networksPicker/Réseau local")->click();
    EXPECT_EQ(log.calls,
              (Calls{"networks 10.0.0.0/8, fd00::5", "networks 192.168.1.0/24", "networks lan"}));
    expectShown({"networksPicker: Tous", "networksField: -", "pendingCard: -",
                 "clientAddressRow: -", "disconnectButton: -",
                 "trustedEmpty: Aucun appareil de confiance."});

    state->setApproveNewDevices(true);
    state->setTrustedAddresses({"192.168.1.20", "fd00::5"});
    state->setPendingDevice("127.0.0.2");
    state->setConnectionName("iPhone connecté");
    state->setConnectedDevice("127.0.0.1");
    expectShown({"pendingAddress: 127.0.0.2", "clientAddressRow: 127.0.0.1",
                 "connectedAddress: 127.0.0.1", "trustedEmpty: -"});
    EXPECT_TRUE(find<ToggleSwitch>("approvalSwitch")->isChecked());
    EXPECT_EQ(view->findChildren<QWidget*>("trustedRow").size(), 2);
    const std::pair<const char*, const char*> rows[] = {
        {"pendingCard/Autoriser une fois", "allow once"},
        {"pendingCard/Toujours autoriser", "allow always"},
        {"pendingCard/Refuser", "deny"},
        {"connectedStage/Déconnecter", "disconnect"},
        {"trustedList/Oublier fd00::5", "forget fd00::5"},
        {"Approuver les nouveaux appareils", "approve off"},
    };
    for (const auto& [path, call] : rows) {
        SCOPED_TRACE(path);
        log.calls.clear();
        ASSERT_NE(button(path), nullptr);
        button(path)->click();
        EXPECT_EQ(log.calls, Calls{call});
    }
    log.calls.clear();
    find<QPushButton>("disconnectButton")->click();
    EXPECT_EQ(log.calls, Calls{"disconnect"});

    state->setTrustedAddresses({"192.168.1.20"});
    state->setPendingDevice("");
    EXPECT_EQ(view->findChildren<QWidget*>("trustedRow").size(), 1);
    expectShown({"pendingCard: -"});
}
