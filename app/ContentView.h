#pragma once

#include "app/MainWindowControls.h"
#include "server/PublishedState.h"
#include "server/WindowRules.h"

#include <QWidget>
#include <memory>
#include <string>
#include <vector>

class QFrame;
class QLabel;
class QLineEdit;
class QListWidget;
class QPropertyAnimation;
class QPushButton;
class QScrollArea;
class QSplitter;
class QStackedWidget;
class QVBoxLayout;

namespace quorvi {

class Badge;
class DetailRow;
class ElidedLabel;
class HeaderStatusItem;
class LiveMetric;
class PermissionRow;
class SegmentedPicker;
class SymbolLabel;
class ToggleSwitch;
class UserDefaults;

// The main window's content: the header, the body (a scrolling column
// below 760 points, a sidebar and the live pane side by side from 760) and
// the journal drawer. Everything it shows is a published value of the
// server or a rule of WindowRules over them; every button calls a server
// operation or a desktop action. It redraws on the published state's
// change notifications, which all come on the main thread.
//
// Its own behaviours: it starts the server the first time it is shown (a
// window that is hidden and shown again keeps its client), it hides the
// application shortly after a client connects (once per connection, when
// the user's switch allows it), and it refreshes the permissions whenever
// the application becomes active.
//
// Thread: main.
class ContentView final : public QWidget {
    Q_OBJECT
public:
    ContentView(std::shared_ptr<PublishedState> state, ServerControls server, WindowActions actions,
                std::shared_ptr<UserDefaults> userDefaults, QWidget* parent = nullptr);
    ~ContentView() override;

protected:
    void showEvent(QShowEvent* event) override;

private:
    class Body;

    QWidget* buildHeader();
    QWidget* buildSidebar();
    QWidget* buildAccessSection(QWidget* parent);
    QWidget* buildPendingCard(QWidget* parent);
    QWidget* buildLivePane();
    QWidget* buildConnectionStage();
    QWidget* buildConnectedStage();
    QWidget* buildJournal();
    void applyStyleSheet();

    // Flips the drawer inside its 0.18 s ease-in-out animation.
    void toggleJournal();
    bool hideMacWindowDuringStream() const;

    void propertyChanged(PublishedProperty property);
    void connectionNameChanged();
    void refresh();
    void refreshJournalList();
    void refreshAccess();
    void refreshTrustedAddresses();
    void networkChoiceMade(int index);
    void submitNetworkList();
    void setHideMacWindowDuringStream(bool hide);
    void openPane(SettingsPane pane);

    std::shared_ptr<PublishedState> state_;
    ServerControls server_;
    WindowActions actions_;
    std::shared_ptr<UserDefaults> userDefaults_;

    DerivedWindowState derived_;
    ConnectionHideRule hideRule_;
    std::string lastConnectionName_;
    bool isJournalExpanded_ = false;
    bool hasStartedServer_ = false;
    // "Liste" was chosen but no list applied yet: the field is shown empty
    // until the user enters one, rather than switching to everyone.
    bool isEditingNetworkList_ = false;
    std::vector<std::string> shownTrustedAddresses_;

    // Header.
    HeaderStatusItem* serverItem_ = nullptr;
    HeaderStatusItem* deviceItem_ = nullptr;
    HeaderStatusItem* modeItem_ = nullptr;
    HeaderStatusItem* addressItem_ = nullptr;
    QPushButton* primaryButton_ = nullptr;

    // Sidebar.
    DetailRow* serverRow_ = nullptr;
    DetailRow* deviceRow_ = nullptr;
    DetailRow* addressRow_ = nullptr;
    DetailRow* clientAddressRow_ = nullptr;
    QPushButton* disconnectButton_ = nullptr;
    SegmentedPicker* networksPicker_ = nullptr;
    QLineEdit* networksField_ = nullptr;
    QLabel* networksCaption_ = nullptr;
    ToggleSwitch* approvalSwitch_ = nullptr;
    QWidget* trustedList_ = nullptr;
    QLabel* trustedEmpty_ = nullptr;
    SegmentedPicker* modePicker_ = nullptr;
    ToggleSwitch* hideSwitch_ = nullptr;
    QLabel* displayCaption_ = nullptr;
    DetailRow* targetRow_ = nullptr;
    SegmentedPicker* qualityPicker_ = nullptr;
    DetailRow* outputRow_ = nullptr;
    DetailRow* sessionRow_ = nullptr;
    ElidedLabel* exportPath_ = nullptr;
    PermissionRow* screenRecordingRow_ = nullptr;
    PermissionRow* accessibilityRow_ = nullptr;
    QPushButton* relaunchButton_ = nullptr;
    QPushButton* stopButton_ = nullptr;
    ToggleSwitch* autostartSwitch_ = nullptr;

    // Live pane.
    QLabel* liveTitle_ = nullptr;
    QLabel* liveSubtitle_ = nullptr;
    QWidget* statusPill_ = nullptr;
    SymbolLabel* statusPillIcon_ = nullptr;
    QLabel* statusPillText_ = nullptr;
    QFrame* pendingCard_ = nullptr;
    QLabel* pendingAddress_ = nullptr;
    QStackedWidget* stages_ = nullptr;
    QWidget* connectionStage_ = nullptr;
    QWidget* connectedStage_ = nullptr;
    QPushButton* startServerButton_ = nullptr;
    QLabel* connectedSubtitle_ = nullptr;
    QLabel* connectedAddress_ = nullptr;
    Badge* liveBadge_ = nullptr;
    QLabel* displayModeText_ = nullptr;
    QLabel* gestureTitle_ = nullptr;
    QLabel* gestureDetail_ = nullptr;
    LiveMetric* latencyMetric_ = nullptr;
    LiveMetric* fpsMetric_ = nullptr;
    LiveMetric* framesMetric_ = nullptr;
    LiveMetric* gesturesMetric_ = nullptr;

    // Body and journal.
    Body* body_ = nullptr;
    ElidedLabel* journalSummary_ = nullptr;
    SymbolLabel* journalChevron_ = nullptr;
    QWidget* journalPanel_ = nullptr;
    QListWidget* journalList_ = nullptr;
    QPropertyAnimation* journalAnimation_ = nullptr;
};

} // namespace quorvi
