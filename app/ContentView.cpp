#include "app/ContentView.h"

#include "app/Icons.h"
#include "app/MainWindowWidgets.h"
#include "app/Palette.h"
#include "platform/UserDefaults.h"

#include <QApplication>
#include <QEasingCurve>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
#include <QPropertyAnimation>
#include <QPushButton>
#include <QResizeEvent>
#include <QScrollArea>
#include <QSignalBlocker>
#include <QSplitter>
#include <QStackedWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <array>

namespace quorvi {

namespace {

constexpr int kJournalExpandedHeight = 170;
// The live pane keeps room for its stage when it is part of the column.
constexpr int kLivePaneCompactHeight = 460;

QString qt(const std::string& text) {
    return QString::fromStdString(text);
}

// The choices of the quality picker, in the order of the stream modes.
const std::array<const char*, 5> kQualityChoices = {"Éco", "10", "15", "30", "Auto"};

int qualityIndex(StreamMode mode) {
    for (std::size_t i = 0; i < kAllStreamModes.size(); ++i) {
        if (kAllStreamModes[i] == mode) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

QScrollArea* makeScrollArea(QWidget* parent) {
    auto* area = new QScrollArea(parent);
    area->setFrameShape(QFrame::NoFrame);
    area->setWidgetResizable(true);
    area->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    area->viewport()->setAutoFillBackground(false);
    return area;
}

QLabel* makeLabel(const QString& text, const QFont& font, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setFont(font);
    label->setTextFormat(Qt::PlainText);
    return label;
}

// The choices of the allowed-networks picker.
enum NetworkChoice { everyone = 0, localNetwork = 1, addressList = 2 };

NetworkChoice networkChoice(const std::string& setting) {
    const QString value = qt(setting).trimmed();
    if (value.isEmpty()) {
        return everyone;
    }
    return value.compare(QStringLiteral("lan"), Qt::CaseInsensitive) == 0 ? localNetwork
                                                                          : addressList;
}

QLabel* makeCaption(const QString& text, QWidget* parent) {
    auto* caption = makeLabel(text, scaledFont(0.82), parent);
    caption->setWordWrap(true);
    caption->setStyleSheet(
        QStringLiteral("color: %1;").arg(palette::css(palette::secondaryText())));
    return caption;
}

// The usual ease-in-out curve: the cubic Bézier (0.42, 0) (0.58, 1).
QEasingCurve easeInOut() {
    QEasingCurve curve(QEasingCurve::BezierSpline);
    curve.addCubicBezierSegment(QPointF(0.42, 0), QPointF(0.58, 1), QPointF(1, 1));
    return curve;
}

} // namespace

// The body: one scrolling column below 760 points, a split view from 760.
// The sidebar's content and the live pane move between the two, so their
// state (scroll position aside) is the same in both.
class ContentView::Body final : public QWidget {
public:
    Body(QWidget* sidebarContent, QWidget* livePane, QWidget* parent)
        : QWidget(parent), sidebarContent_(sidebarContent), livePane_(livePane) {
        setObjectName(QStringLiteral("body"));
        stack_ = new QStackedWidget(this);
        auto* layout = new QVBoxLayout(this);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->addWidget(stack_);

        compactScroll_ = makeScrollArea(stack_);
        compactScroll_->setObjectName(QStringLiteral("compactColumn"));
        auto* column = new QWidget;
        column->setObjectName(QStringLiteral("compactColumnContent"));
        compactLayout_ = new QVBoxLayout(column);
        compactLayout_->setContentsMargins(0, 0, 0, 0);
        compactLayout_->setSpacing(0);
        compactScroll_->setWidget(column);

        splitter_ = new QSplitter(Qt::Horizontal, stack_);
        splitter_->setObjectName(QStringLiteral("splitView"));
        splitter_->setChildrenCollapsible(false);
        splitter_->setHandleWidth(1);
        sidebarScroll_ = makeScrollArea(splitter_);
        sidebarScroll_->setObjectName(QStringLiteral("sidebar"));
        sidebarScroll_->setMinimumWidth(kSidebarMinimumWidth);
        sidebarScroll_->setMaximumWidth(kSidebarMaximumWidth);
        splitter_->addWidget(sidebarScroll_);
        livePane_->setMinimumWidth(kLivePaneMinimumWidth);

        stack_->addWidget(compactScroll_);
        stack_->addWidget(splitter_);
        arrange(false);
    }

protected:
    void resizeEvent(QResizeEvent* event) override {
        QWidget::resizeEvent(event);
        arrange(quorvi::isCompactLayout(event->size().width()));
    }

private:
    void arrange(bool compact) {
        if (isArranged_ && compact == isCompact_) {
            return;
        }
        isArranged_ = true;
        isCompact_ = compact;
        if (compact) {
            sidebarScroll_->takeWidget();
            compactLayout_->addWidget(sidebarContent_);
            livePane_->setMinimumHeight(kLivePaneCompactHeight);
            compactLayout_->addWidget(livePane_);
            stack_->setCurrentWidget(compactScroll_);
        } else {
            compactLayout_->removeWidget(sidebarContent_);
            compactLayout_->removeWidget(livePane_);
            livePane_->setMinimumHeight(0);
            sidebarScroll_->setWidget(sidebarContent_);
            splitter_->addWidget(livePane_);
            splitter_->setStretchFactor(0, 0);
            splitter_->setStretchFactor(1, 1);
            // The sidebar starts at its ideal width; the live pane takes the rest.
            splitter_->setSizes({kSidebarIdealWidth,
                                 std::max(kLivePaneMinimumWidth, width() - kSidebarIdealWidth)});
            stack_->setCurrentWidget(splitter_);
        }
        sidebarContent_->show();
        livePane_->show();
    }

    QWidget* sidebarContent_;
    QWidget* livePane_;
    QStackedWidget* stack_ = nullptr;
    QScrollArea* compactScroll_ = nullptr;
    QVBoxLayout* compactLayout_ = nullptr;
    QSplitter* splitter_ = nullptr;
    QScrollArea* sidebarScroll_ = nullptr;
    bool isCompact_ = false;
    bool isArranged_ = false;
};

ContentView::ContentView(std::shared_ptr<PublishedState> state, ServerControls server,
                         WindowActions actions, std::shared_ptr<UserDefaults> userDefaults,
                         QWidget* parent)
    : QWidget(parent), state_(std::move(state)), server_(std::move(server)),
      actions_(std::move(actions)), userDefaults_(std::move(userDefaults)) {
    setObjectName(QStringLiteral("contentView"));
    lastConnectionName_ = state_->connectionName();

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(buildHeader());
    layout->addWidget(makeDivider(Qt::Horizontal, this));
    body_ = new Body(buildSidebar(), buildLivePane(), this);
    layout->addWidget(body_, 1);
    layout->addWidget(makeDivider(Qt::Horizontal, this));
    layout->addWidget(buildJournal());
    applyStyleSheet();

    // The state owns its observers for ever; the guard makes a released
    // window's observer inert.
    state_->addObserver({nullptr,
                         [guard = QPointer<ContentView>(this)](PublishedProperty property) {
                             if (guard) {
                                 guard->propertyChanged(property);
                             }
                         },
                         nullptr});
    connect(qApp, &QGuiApplication::applicationStateChanged, this,
            [this](Qt::ApplicationState applicationState) {
                if (applicationState == Qt::ApplicationActive && server_.refreshPermissions) {
                    server_.refreshPermissions();
                }
            });
    refresh();
    refreshJournalList();
}

ContentView::~ContentView() = default;

bool ContentView::hideMacWindowDuringStream() const {
    if (!userDefaults_) {
        return kHideWindowDuringStreamDefault;
    }
    return userDefaults_->boolean(kHideWindowDuringStreamKey)
        .value_or(kHideWindowDuringStreamDefault);
}

void ContentView::setHideMacWindowDuringStream(bool hide) {
    if (userDefaults_) {
        userDefaults_->setBoolean(kHideWindowDuringStreamKey, hide);
    }
}

void ContentView::openPane(SettingsPane pane) {
    if (actions_.openSettingsPane) {
        actions_.openSettingsPane(pane);
    }
}

void ContentView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // Started when this content is first shown, never again by it: showing
    // a hidden or minimised window must not drop the client.
    if (!hasStartedServer_) {
        hasStartedServer_ = true;
        if (server_.start) {
            server_.start();
        }
        refresh();
    }
    // The entry may have changed while the window was hidden.
    if (autostartSwitch_) {
        const QSignalBlocker blocker(autostartSwitch_);
        autostartSwitch_->setChecked(actions_.autostart->isEnabled());
    }
}

// ---- building ---------------------------------------------------------------------

QWidget* ContentView::buildHeader() {
    auto* header = new QWidget(this);
    header->setObjectName(QStringLiteral("header"));
    header->setAttribute(Qt::WA_StyledBackground, true);

    auto* brandImage = new QLabel(header);
    brandImage->setObjectName(QStringLiteral("brandImage"));
    brandImage->setPixmap(brandPixmap(30, devicePixelRatioF()));
    brandImage->setFixedSize(30, 30);
    auto* brandTitle = makeLabel(QStringLiteral("Quorvi"), scaledFont(1.35, QFont::Bold), header);
    auto* brandSuffix = makeLabel(QStringLiteral("Mac"), scaledFont(0.95, QFont::Medium), header);
    brandSuffix->setStyleSheet(
        QStringLiteral("color: %1;").arg(palette::css(palette::secondaryText())));
    auto* brandWords = new QHBoxLayout;
    brandWords->setContentsMargins(0, 0, 0, 0);
    brandWords->setSpacing(4);
    brandWords->addWidget(brandTitle, 0, Qt::AlignBaseline);
    brandWords->addWidget(brandSuffix, 0, Qt::AlignBaseline);

    serverItem_ = new HeaderStatusItem(QStringLiteral("Serveur"), header);
    serverItem_->setObjectName(QStringLiteral("headerServer"));
    deviceItem_ = new HeaderStatusItem(QStringLiteral("Appareil"), header);
    deviceItem_->setObjectName(QStringLiteral("headerDevice"));
    modeItem_ = new HeaderStatusItem(QStringLiteral("Mode"), header);
    modeItem_->setObjectName(QStringLiteral("headerMode"));
    addressItem_ = new HeaderStatusItem(QStringLiteral("Adresse"), header);
    addressItem_->setObjectName(QStringLiteral("headerAddress"));

    primaryButton_ = makeButton(QStringLiteral("Démarrer"), ButtonKind::prominent, false, header);
    primaryButton_->setObjectName(QStringLiteral("headerPrimaryButton"));
    connect(primaryButton_, &QPushButton::clicked, this, [this] {
        // start() restarts a running server.
        if (server_.start) {
            server_.start();
        }
    });
    auto* refreshButton =
        makeIconButton(QStringLiteral("arrow.clockwise"),
                       QStringLiteral("Actualiser état réseau et permissions"), header);
    refreshButton->setObjectName(QStringLiteral("headerRefreshButton"));
    connect(refreshButton, &QPushButton::clicked, this, [this] {
        if (server_.refreshPermissions) {
            server_.refreshPermissions();
        }
    });

    // The items keep their natural widths side by side; spare room goes
    // before the buttons, and only a window at its narrowest elides them.
    auto* row = new QHBoxLayout(header);
    row->setContentsMargins(14, 10, 12, 10);
    row->setSpacing(10);
    row->addWidget(brandImage);
    row->addSpacing(-4);
    row->addLayout(brandWords);
    row->addSpacing(10);
    row->addWidget(serverItem_);
    row->addSpacing(6);
    row->addWidget(deviceItem_);
    row->addSpacing(6);
    row->addWidget(modeItem_);
    row->addSpacing(6);
    row->addWidget(addressItem_);
    row->addStretch(1);
    row->addWidget(primaryButton_);
    row->addSpacing(-4);
    row->addWidget(refreshButton);
    return header;
}

QWidget* ContentView::buildSidebar() {
    auto* sidebar = new QWidget;
    sidebar->setObjectName(QStringLiteral("sidebarContent"));
    auto* column = new QVBoxLayout(sidebar);
    column->setContentsMargins(14, 14, 14, 14);
    column->setSpacing(12);

    // Connexion
    auto* connection = new SidebarSection(QStringLiteral("Connexion"), sidebar);
    serverRow_ = new DetailRow(QStringLiteral("Serveur"), false, connection);
    serverRow_->setObjectName(QStringLiteral("serverRow"));
    deviceRow_ = new DetailRow(QStringLiteral("Appareil"), false, connection);
    deviceRow_->setObjectName(QStringLiteral("deviceRow"));
    addressRow_ = new DetailRow(QStringLiteral("Adresse"), true, connection);
    addressRow_->setObjectName(QStringLiteral("addressRow"));
    clientAddressRow_ = new DetailRow(QStringLiteral("Adresse appareil"), true, connection);
    clientAddressRow_->setObjectName(QStringLiteral("clientAddressRow"));
    disconnectButton_ =
        makeButton(QStringLiteral("Déconnecter"), ButtonKind::destructive, true, connection);
    disconnectButton_->setObjectName(QStringLiteral("disconnectButton"));
    connect(disconnectButton_, &QPushButton::clicked, this, [this] {
        if (server_.disconnectClient) {
            server_.disconnectClient();
        }
    });
    auto* disconnectRow = new QHBoxLayout;
    disconnectRow->addWidget(disconnectButton_);
    disconnectRow->addStretch(1);
    connection->content()->addWidget(serverRow_);
    connection->content()->addWidget(deviceRow_);
    connection->content()->addWidget(clientAddressRow_);
    connection->content()->addWidget(addressRow_);
    connection->content()->addLayout(disconnectRow);
    column->addWidget(connection);
    column->addWidget(buildAccessSection(sidebar));

    // Affichage
    auto* display = new SidebarSection(QStringLiteral("Affichage"), sidebar);
    modePicker_ = new SegmentedPicker(
        QStringLiteral("Mode"), {QStringLiteral("Miroir"), QStringLiteral("Étendu")}, display);
    modePicker_->setObjectName(QStringLiteral("modePicker"));
    modePicker_->setOnChosen([this](int index) {
        const auto& call = index == 1 ? server_.useExtendedMode : server_.useMirrorMode;
        if (call) {
            call();
        }
    });
    hideSwitch_ = new ToggleSwitch(QStringLiteral("Masquer cette fenêtre à connexion"), display);
    hideSwitch_->setObjectName(QStringLiteral("hideSwitch"));
    hideSwitch_->setChecked(hideMacWindowDuringStream());
    connect(hideSwitch_, &ToggleSwitch::toggled, this,
            [this](bool checked) { setHideMacWindowDuringStream(checked); });
    auto* displaysButton =
        makeButton(QStringLiteral("Moniteurs"), ButtonKind::bordered, true, display);
    displaysButton->setObjectName(QStringLiteral("displaysButton"));
    connect(displaysButton, &QPushButton::clicked, this,
            [this] { openPane(SettingsPane::displays); });
    auto* hideNowButton =
        makeButton(QStringLiteral("Masquer maintenant"), ButtonKind::borderless, true, display);
    hideNowButton->setObjectName(QStringLiteral("hideNowButton"));
    connect(hideNowButton, &QPushButton::clicked, this, [this] {
        if (actions_.hideApplication) {
            actions_.hideApplication();
        }
    });
    auto* displayButtons = new QHBoxLayout;
    displayButtons->setSpacing(8);
    displayButtons->addWidget(displaysButton);
    displayButtons->addWidget(hideNowButton);
    displayButtons->addStretch(1);
    displayCaption_ = makeLabel(QString(), scaledFont(0.82), display);
    displayCaption_->setObjectName(QStringLiteral("displayCaption"));
    displayCaption_->setWordWrap(true);
    displayCaption_->setStyleSheet(
        QStringLiteral("color: %1;").arg(palette::css(palette::secondaryText())));
    targetRow_ = new DetailRow(QStringLiteral("Cible"), false, display);
    targetRow_->setObjectName(QStringLiteral("targetRow"));
    display->content()->addWidget(modePicker_);
    display->content()->addWidget(hideSwitch_);
    display->content()->addLayout(displayButtons);
    display->content()->addWidget(displayCaption_);
    display->content()->addWidget(targetRow_);
    column->addWidget(display);

    // Flux
    auto* stream = new SidebarSection(QStringLiteral("Flux"), sidebar);
    QStringList qualityChoices;
    for (const char* choice : kQualityChoices) {
        qualityChoices << QString::fromUtf8(choice);
    }
    // The label "Qualité" is hidden: the section title says it.
    qualityPicker_ = new SegmentedPicker(QString(), qualityChoices, stream);
    qualityPicker_->setObjectName(QStringLiteral("qualityPicker"));
    qualityPicker_->setAccessibleName(QStringLiteral("Qualité"));
    qualityPicker_->setOnChosen([this](int index) {
        if (server_.setStreamMode && index >= 0 &&
            index < static_cast<int>(kAllStreamModes.size())) {
            server_.setStreamMode(kAllStreamModes[static_cast<std::size_t>(index)]);
        }
    });
    outputRow_ = new DetailRow(QStringLiteral("Sortie"), false, stream);
    outputRow_->setObjectName(QStringLiteral("outputRow"));
    stream->content()->addWidget(qualityPicker_);
    stream->content()->addWidget(outputRow_);
    column->addWidget(stream);

    // Diagnostics
    auto* diagnostics = new SidebarSection(QStringLiteral("Diagnostics"), sidebar);
    sessionRow_ = new DetailRow(QStringLiteral("Session"), true, diagnostics);
    sessionRow_->setObjectName(QStringLiteral("sessionRow"));
    exportPath_ = new ElidedLabel(2, diagnostics);
    exportPath_->setObjectName(QStringLiteral("exportPath"));
    exportPath_->setFont(monospacedFont(0.78));
    exportPath_->setTextColor(palette::secondaryText());
    auto* exportButton =
        makeButton(QStringLiteral("Exporter JSON"), ButtonKind::bordered, true, diagnostics);
    exportButton->setObjectName(QStringLiteral("exportButton"));
    setButtonSymbol(exportButton, QStringLiteral("square.and.arrow.down"));
    connect(exportButton, &QPushButton::clicked, this, [this] {
        if (server_.exportDiagnostics) {
            server_.exportDiagnostics();
        }
    });
    auto* exportRow = new QHBoxLayout;
    exportRow->addWidget(exportButton);
    exportRow->addStretch(1);
    diagnostics->content()->addWidget(sessionRow_);
    diagnostics->content()->addWidget(exportPath_);
    diagnostics->content()->addLayout(exportRow);
    column->addWidget(diagnostics);

    // Permissions
    auto* permissions = new SidebarSection(QStringLiteral("Permissions"), sidebar);
    screenRecordingRow_ =
        new PermissionRow(QStringLiteral("rectangle.inset.filled.and.person.filled"),
                          QStringLiteral("Screen Recording"), permissions);
    screenRecordingRow_->setObjectName(QStringLiteral("screenRecordingRow"));
    accessibilityRow_ = new PermissionRow(QStringLiteral("hand.tap.fill"),
                                          QStringLiteral("Accessibility"), permissions);
    accessibilityRow_->setObjectName(QStringLiteral("accessibilityRow"));
    relaunchButton_ =
        makeButton(QStringLiteral("Relancer Quorvi"), ButtonKind::prominent, true, permissions);
    relaunchButton_->setObjectName(QStringLiteral("relaunchButton"));
    setButtonSymbol(relaunchButton_, QStringLiteral("arrow.clockwise"));
    connect(relaunchButton_, &QPushButton::clicked, this, [this] {
        if (actions_.restartApp) {
            actions_.restartApp();
        }
    });
    auto* relaunchRow = new QHBoxLayout;
    relaunchRow->addWidget(relaunchButton_);
    relaunchRow->addStretch(1);
    permissions->content()->addWidget(screenRecordingRow_);
    permissions->content()->addWidget(makeDivider(Qt::Horizontal, permissions));
    permissions->content()->addWidget(accessibilityRow_);
    permissions->content()->addLayout(relaunchRow);
    column->addWidget(permissions);

    // Serveur
    auto* serverSection = new SidebarSection(QStringLiteral("Serveur"), sidebar);
    auto* refreshButton =
        makeButton(QStringLiteral("Actualiser"), ButtonKind::bordered, true, serverSection);
    refreshButton->setObjectName(QStringLiteral("refreshButton"));
    connect(refreshButton, &QPushButton::clicked, this, [this] {
        if (server_.refreshPermissions) {
            server_.refreshPermissions();
        }
    });
    stopButton_ =
        makeButton(QStringLiteral("Arrêter"), ButtonKind::destructive, true, serverSection);
    stopButton_->setObjectName(QStringLiteral("stopButton"));
    connect(stopButton_, &QPushButton::clicked, this, [this] {
        if (server_.stop) {
            server_.stop();
        }
    });
    auto* serverButtons = new QHBoxLayout;
    serverButtons->setSpacing(8);
    serverButtons->addWidget(refreshButton);
    serverButtons->addWidget(stopButton_);
    serverButtons->addStretch(1);
    if (actions_.autostart) {
        autostartSwitch_ = new ToggleSwitch(QStringLiteral("Ouvrir à la connexion"), serverSection);
        autostartSwitch_->setObjectName(QStringLiteral("autostartSwitch"));
        autostartSwitch_->setChecked(actions_.autostart->isEnabled());
        // The click is passed on; the entry then says what it became.
        connect(autostartSwitch_, &ToggleSwitch::clicked, this,
                [this](bool checked) { actions_.autostart->setEnabled(checked); });
        connect(actions_.autostart.get(), &AutostartEntry::changed, autostartSwitch_,
                [this](bool enabled) {
                    const QSignalBlocker blocker(autostartSwitch_);
                    autostartSwitch_->setChecked(enabled);
                });
        serverSection->content()->addWidget(autostartSwitch_);
    }
    serverSection->content()->addLayout(serverButtons);
    column->addWidget(serverSection);

    column->addStretch(1);
    return sidebar;
}

QWidget* ContentView::buildAccessSection(QWidget* parent) {
    auto* access = new SidebarSection(QStringLiteral("Accès"), parent);

    auto* networksTitle = makeLabel(QStringLiteral("Réseaux autorisés"), scaledFont(0.85), access);
    networksPicker_ = new SegmentedPicker(
        QString(),
        {QStringLiteral("Tous"), QStringLiteral("Réseau local"), QStringLiteral("Liste")}, access);
    networksPicker_->setObjectName(QStringLiteral("networksPicker"));
    networksPicker_->setAccessibleName(QStringLiteral("Réseaux autorisés"));
    networksPicker_->setOnChosen([this](int index) { networkChoiceMade(index); });
    networksField_ = new QLineEdit(access);
    networksField_->setObjectName(QStringLiteral("networksField"));
    networksField_->setFont(monospacedFont(0.85));
    networksField_->setPlaceholderText(QStringLiteral("192.168.1.0/24, fd00::/8"));
    networksField_->setClearButtonEnabled(true);
    connect(networksField_, &QLineEdit::editingFinished, this, &ContentView::submitNetworkList);
    networksCaption_ = makeCaption(QString(), access);
    networksCaption_->setObjectName(QStringLiteral("networksCaption"));

    approvalSwitch_ = new ToggleSwitch(QStringLiteral("Approuver les nouveaux appareils"), access);
    approvalSwitch_->setObjectName(QStringLiteral("approvalSwitch"));
    // The click is passed on; the published value then sets the switch.
    connect(approvalSwitch_, &ToggleSwitch::clicked, this, [this](bool checked) {
        if (server_.setApproveNewDevices) {
            server_.setApproveNewDevices(checked);
        }
    });
    {
        const QSignalBlocker blocker(approvalSwitch_);
        approvalSwitch_->setChecked(state_->approveNewDevices());
    }

    auto* trustedTitle =
        makeLabel(QStringLiteral("Appareils de confiance"), scaledFont(0.85), access);
    trustedList_ = new QWidget(access);
    trustedList_->setObjectName(QStringLiteral("trustedList"));
    auto* trustedColumn = new QVBoxLayout(trustedList_);
    trustedColumn->setContentsMargins(0, 0, 0, 0);
    trustedColumn->setSpacing(2);
    trustedEmpty_ = makeCaption(QStringLiteral("Aucun appareil de confiance."), access);
    trustedEmpty_->setObjectName(QStringLiteral("trustedEmpty"));

    access->content()->addWidget(networksTitle);
    access->content()->addWidget(networksPicker_);
    access->content()->addWidget(networksField_);
    access->content()->addWidget(networksCaption_);
    access->content()->addWidget(makeDivider(Qt::Horizontal, access));
    access->content()->addWidget(approvalSwitch_);
    access->content()->addWidget(trustedTitle);
    access->content()->addWidget(trustedList_);
    access->content()->addWidget(trustedEmpty_);
    refreshTrustedAddresses();
    return access;
}

QWidget* ContentView::buildPendingCard(QWidget* parent) {
    pendingCard_ = new QFrame(parent);
    pendingCard_->setObjectName(QStringLiteral("pendingCard"));
    auto* icon = new SymbolLabel(22, pendingCard_);
    icon->setSymbol(QStringLiteral("iphone"), palette::warning());
    auto* title = makeLabel(QStringLiteral("Appareil en attente"), scaledFont(1.0, QFont::Bold),
                            pendingCard_);
    pendingAddress_ = makeLabel(QString(), monospacedFont(0.95), pendingCard_);
    pendingAddress_->setObjectName(QStringLiteral("pendingAddress"));
    pendingAddress_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto* heading = new QHBoxLayout;
    heading->setSpacing(8);
    heading->addWidget(title);
    heading->addWidget(pendingAddress_, 1);
    auto* text = makeCaption(
        QStringLiteral("Il demande à voir et piloter cet écran. Sans réponse, il est refusé "
                       "au bout de 30 secondes."),
        pendingCard_);

    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(8);
    const std::tuple<const char*, ButtonKind, std::function<void()> ServerControls::*> choices[] = {
        {"Autoriser une fois", ButtonKind::prominent, &ServerControls::allowPendingDevice},
        {"Toujours autoriser", ButtonKind::bordered, &ServerControls::alwaysAllowPendingDevice},
        {"Refuser", ButtonKind::destructive, &ServerControls::denyPendingDevice},
    };
    for (const auto& [label, kind, call] : choices) {
        auto* button = makeButton(QString::fromUtf8(label), kind, true, pendingCard_);
        connect(button, &QPushButton::clicked, this, [this, call] {
            if (server_.*call) {
                (server_.*call)();
            }
        });
        buttons->addWidget(button);
    }
    buttons->addStretch(1);

    auto* texts = new QVBoxLayout;
    texts->setSpacing(6);
    texts->addLayout(heading);
    texts->addWidget(text);
    texts->addLayout(buttons);
    auto* row = new QHBoxLayout(pendingCard_);
    row->setContentsMargins(14, 12, 14, 12);
    row->setSpacing(12);
    row->addWidget(icon, 0, Qt::AlignTop);
    row->addLayout(texts, 1);
    pendingCard_->setVisible(false);
    return pendingCard_;
}

QWidget* ContentView::buildLivePane() {
    auto* pane = new QWidget;
    pane->setObjectName(QStringLiteral("livePane"));

    liveTitle_ = makeLabel(QString(), scaledFont(1.45, QFont::Bold), pane);
    liveTitle_->setObjectName(QStringLiteral("liveTitle"));
    liveSubtitle_ = makeLabel(QString(), scaledFont(0.92), pane);
    liveSubtitle_->setObjectName(QStringLiteral("liveSubtitle"));
    liveSubtitle_->setWordWrap(true);
    liveSubtitle_->setStyleSheet(
        QStringLiteral("color: %1;").arg(palette::css(palette::secondaryText())));
    auto* titles = new QVBoxLayout;
    titles->setSpacing(3);
    titles->addWidget(liveTitle_);
    titles->addWidget(liveSubtitle_);

    statusPill_ = new QFrame(pane);
    statusPill_->setObjectName(QStringLiteral("statusPill"));
    statusPillIcon_ = new SymbolLabel(14, statusPill_);
    statusPillText_ = makeLabel(QString(), scaledFont(0.85, QFont::DemiBold), statusPill_);
    statusPillText_->setObjectName(QStringLiteral("statusPillText"));
    auto* pillRow = new QHBoxLayout(statusPill_);
    pillRow->setContentsMargins(10, 4, 12, 4);
    pillRow->setSpacing(6);
    pillRow->addWidget(statusPillIcon_);
    pillRow->addWidget(statusPillText_);

    auto* top = new QHBoxLayout;
    top->setSpacing(12);
    top->addLayout(titles, 1);
    top->addWidget(statusPill_, 0, Qt::AlignTop);

    auto* stagePanel = new QFrame(pane);
    stagePanel->setObjectName(QStringLiteral("canvasPanel"));
    stages_ = new QStackedWidget(stagePanel);
    connectionStage_ = buildConnectionStage();
    connectedStage_ = buildConnectedStage();
    stages_->addWidget(connectionStage_);
    stages_->addWidget(connectedStage_);
    auto* stageLayout = new QVBoxLayout(stagePanel);
    stageLayout->setContentsMargins(22, 20, 22, 20);
    stageLayout->addWidget(stages_);

    auto* column = new QVBoxLayout(pane);
    column->setContentsMargins(20, 18, 20, 18);
    column->setSpacing(14);
    column->addLayout(top);
    column->addWidget(buildPendingCard(pane));
    column->addWidget(stagePanel, 1);
    return pane;
}

QWidget* ContentView::buildConnectionStage() {
    auto* stage = new QWidget;
    stage->setObjectName(QStringLiteral("connectionStage"));
    auto* icon = new SymbolLabel(56, stage);
    icon->setSymbol(QStringLiteral("iphone.and.arrow.forward"), palette::accent());
    auto* title =
        makeLabel(QStringLiteral("Aucun iPhone connecté"), scaledFont(1.3, QFont::Bold), stage);
    title->setAlignment(Qt::AlignHCenter);
    title->setStyleSheet(QStringLiteral("color: %1;").arg(palette::css(palette::canvasText())));
    auto* text = makeLabel(QStringLiteral("Quorvi cherche appareils via réseau local."),
                           scaledFont(0.95), stage);
    text->setAlignment(Qt::AlignHCenter);
    text->setWordWrap(true);
    text->setStyleSheet(
        QStringLiteral("color: %1;").arg(palette::css(palette::canvasSecondaryText())));

    auto* steps = new QWidget(stage);
    steps->setObjectName(QStringLiteral("guideSteps"));
    steps->setMaximumWidth(380);
    auto* stepsColumn = new QVBoxLayout(steps);
    stepsColumn->setContentsMargins(0, 0, 0, 0);
    stepsColumn->setSpacing(10);
    stepsColumn->addWidget(new GuideStep(
        QStringLiteral("1"), QStringLiteral("Ouvre Quorvi sur iPhone ou iPad."), steps));
    stepsColumn->addWidget(
        new GuideStep(QStringLiteral("2"),
                      QStringLiteral("Vérifie Wi-Fi local identique sur deux appareils."), steps));
    stepsColumn->addWidget(new GuideStep(
        QStringLiteral("3"), QStringLiteral("Choisis ce Mac dans liste disponible."), steps));

    startServerButton_ =
        makeButton(QStringLiteral("Démarrer serveur"), ButtonKind::prominent, false, stage);
    startServerButton_->setObjectName(QStringLiteral("startServerButton"));
    setButtonSymbol(startServerButton_, QStringLiteral("play.fill"));
    connect(startServerButton_, &QPushButton::clicked, this, [this] {
        if (server_.start) {
            server_.start();
        }
    });

    auto* column = new QVBoxLayout(stage);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(10);
    column->addStretch(1);
    column->addWidget(icon, 0, Qt::AlignHCenter);
    column->addSpacing(4);
    column->addWidget(title);
    column->addWidget(text);
    column->addSpacing(10);
    column->addWidget(steps, 0, Qt::AlignHCenter);
    column->addSpacing(6);
    column->addWidget(startServerButton_, 0, Qt::AlignHCenter);
    column->addStretch(1);
    return stage;
}

QWidget* ContentView::buildConnectedStage() {
    auto* stage = new QWidget;
    stage->setObjectName(QStringLiteral("connectedStage"));
    const QString canvasText =
        QStringLiteral("color: %1;").arg(palette::css(palette::canvasText()));
    const QString canvasSecondary =
        QStringLiteral("color: %1;").arg(palette::css(palette::canvasSecondaryText()));

    auto* icon = new SymbolLabel(48, stage);
    icon->setSymbol(QStringLiteral("iphone.gen3"), palette::accent());
    auto* title = makeLabel(QStringLiteral("iPhone connecté"), scaledFont(1.3, QFont::Bold), stage);
    title->setStyleSheet(canvasText);
    connectedSubtitle_ = makeLabel(QString(), scaledFont(0.95), stage);
    connectedSubtitle_->setObjectName(QStringLiteral("connectedSubtitle"));
    connectedSubtitle_->setStyleSheet(canvasSecondary);
    connectedSubtitle_->setWordWrap(true);
    connectedAddress_ = makeLabel(QString(), monospacedFont(0.9), stage);
    connectedAddress_->setObjectName(QStringLiteral("connectedAddress"));
    connectedAddress_->setStyleSheet(canvasSecondary);
    connectedAddress_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto* titles = new QVBoxLayout;
    titles->setSpacing(2);
    titles->addWidget(title);
    titles->addWidget(connectedAddress_);
    titles->addWidget(connectedSubtitle_);
    auto* identity = new QHBoxLayout;
    identity->setSpacing(14);
    identity->addWidget(icon, 0, Qt::AlignVCenter);
    identity->addLayout(titles, 1);

    liveBadge_ = new Badge(stage);
    liveBadge_->setObjectName(QStringLiteral("liveBadge"));
    liveBadge_->setBadge(QStringLiteral("LIVE"), palette::success());
    displayModeText_ = makeLabel(QString(), scaledFont(0.95, QFont::Medium), stage);
    displayModeText_->setObjectName(QStringLiteral("displayModeText"));
    displayModeText_->setStyleSheet(canvasText);
    auto* live = new QHBoxLayout;
    live->setSpacing(8);
    live->addWidget(liveBadge_);
    live->addWidget(displayModeText_, 1);
    auto* stageDisconnect =
        makeButton(QStringLiteral("Déconnecter"), ButtonKind::destructive, true, stage);
    stageDisconnect->setObjectName(QStringLiteral("stageDisconnectButton"));
    connect(stageDisconnect, &QPushButton::clicked, this, [this] {
        if (server_.disconnectClient) {
            server_.disconnectClient();
        }
    });
    live->addWidget(stageDisconnect);

    auto* gestureCard = new QFrame(stage);
    gestureCard->setObjectName(QStringLiteral("gestureCard"));
    auto* gestureIcon = new SymbolLabel(20, gestureCard);
    gestureIcon->setSymbol(QStringLiteral("hand.tap.fill"), palette::accent());
    gestureTitle_ = makeLabel(QString(), scaledFont(0.95, QFont::DemiBold), gestureCard);
    gestureTitle_->setObjectName(QStringLiteral("gestureTitle"));
    gestureTitle_->setStyleSheet(canvasText);
    gestureDetail_ = makeLabel(QString(), monospacedFont(1.0), gestureCard);
    gestureDetail_->setObjectName(QStringLiteral("gestureDetail"));
    gestureDetail_->setStyleSheet(canvasSecondary);
    auto* gestureTexts = new QVBoxLayout;
    gestureTexts->setSpacing(3);
    gestureTexts->addWidget(gestureTitle_);
    gestureTexts->addWidget(gestureDetail_);
    auto* gestureRow = new QHBoxLayout(gestureCard);
    gestureRow->setContentsMargins(14, 12, 14, 12);
    gestureRow->setSpacing(12);
    gestureRow->addWidget(gestureIcon, 0, Qt::AlignTop);
    gestureRow->addLayout(gestureTexts, 1);

    auto* metrics = new QFrame(stage);
    metrics->setObjectName(QStringLiteral("metricsRow"));
    latencyMetric_ = new LiveMetric(QStringLiteral("Latence"), metrics);
    latencyMetric_->setObjectName(QStringLiteral("metricLatence"));
    fpsMetric_ = new LiveMetric(QStringLiteral("FPS"), metrics);
    fpsMetric_->setObjectName(QStringLiteral("metricFPS"));
    framesMetric_ = new LiveMetric(QStringLiteral("Frames"), metrics);
    framesMetric_->setObjectName(QStringLiteral("metricFrames"));
    gesturesMetric_ = new LiveMetric(QStringLiteral("Gestes"), metrics);
    gesturesMetric_->setObjectName(QStringLiteral("metricGestes"));
    auto* metricsRow = new QHBoxLayout(metrics);
    metricsRow->setContentsMargins(6, 8, 6, 8);
    metricsRow->setSpacing(0);
    const std::array<LiveMetric*, 4> figures = {latencyMetric_, fpsMetric_, framesMetric_,
                                                gesturesMetric_};
    for (std::size_t i = 0; i < figures.size(); ++i) {
        if (i > 0) {
            metricsRow->addWidget(makeDivider(Qt::Vertical, metrics));
        }
        metricsRow->addWidget(figures[i], 1);
    }

    // A column of readable width, centred in a wide pane.
    auto* content = new QWidget(stage);
    content->setMaximumWidth(640);
    auto* column = new QVBoxLayout(content);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(14);
    column->addLayout(identity);
    column->addLayout(live);
    column->addWidget(gestureCard);
    column->addWidget(metrics);
    auto* across = new QHBoxLayout;
    across->addStretch(1);
    across->addWidget(content, 100);
    across->addStretch(1);
    auto* centring = new QVBoxLayout(stage);
    centring->setContentsMargins(0, 0, 0, 0);
    centring->addStretch(1);
    centring->addLayout(across);
    centring->addStretch(2);
    return stage;
}

QWidget* ContentView::buildJournal() {
    auto* drawer = new QWidget(this);
    drawer->setObjectName(QStringLiteral("journal"));
    drawer->setAttribute(Qt::WA_StyledBackground, true);

    auto* header = new QPushButton(drawer);
    header->setObjectName(QStringLiteral("journalHeader"));
    header->setFlat(true);
    header->setCursor(Qt::PointingHandCursor);
    header->setAccessibleName(QStringLiteral("Journal / Debug"));
    auto* terminal = new SymbolLabel(15, header);
    terminal->setSymbol(QStringLiteral("terminal"), palette::secondaryText());
    auto* title =
        makeLabel(QStringLiteral("Journal / Debug"), scaledFont(0.9, QFont::DemiBold), header);
    journalSummary_ = new ElidedLabel(1, header);
    journalSummary_->setObjectName(QStringLiteral("journalSummary"));
    journalSummary_->setFont(scaledFont(0.88));
    journalSummary_->setTextColor(palette::secondaryText());
    journalChevron_ = new SymbolLabel(14, header);
    journalChevron_->setObjectName(QStringLiteral("journalChevron"));
    auto* headerRow = new QHBoxLayout(header);
    headerRow->setContentsMargins(16, 0, 16, 0);
    headerRow->setSpacing(8);
    headerRow->addWidget(terminal);
    headerRow->addWidget(title);
    headerRow->addSpacing(6);
    headerRow->addWidget(journalSummary_, 1);
    headerRow->addWidget(journalChevron_);
    header->setFixedHeight(36);
    connect(header, &QPushButton::clicked, this, &ContentView::toggleJournal);

    journalPanel_ = new QWidget(drawer);
    journalPanel_->setObjectName(QStringLiteral("journalPanel"));
    journalList_ = new QListWidget(journalPanel_);
    journalList_->setObjectName(QStringLiteral("journalList"));
    journalList_->setFont(monospacedFont(0.85));
    journalList_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    journalList_->setTextElideMode(Qt::ElideRight);
    journalList_->setSelectionMode(QAbstractItemView::NoSelection);
    journalList_->setFocusPolicy(Qt::NoFocus);
    journalList_->setUniformItemSizes(true);
    auto* panelLayout = new QVBoxLayout(journalPanel_);
    panelLayout->setContentsMargins(12, 0, 12, 10);
    panelLayout->addWidget(journalList_);
    journalPanel_->setMaximumHeight(0);
    journalPanel_->setVisible(false);

    journalAnimation_ = new QPropertyAnimation(journalPanel_, "maximumHeight", this);
    journalAnimation_->setDuration(static_cast<int>(kJournalAnimationDuration.count()));
    journalAnimation_->setEasingCurve(easeInOut());
    connect(journalAnimation_, &QPropertyAnimation::finished, this, [this] {
        if (!isJournalExpanded_) {
            journalPanel_->setVisible(false);
        }
    });

    auto* column = new QVBoxLayout(drawer);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addWidget(header);
    column->addWidget(journalPanel_);
    return drawer;
}

namespace {

// The pending device is the one thing that waits on the user: it stands out
// in the warning colour.
QString pendingCardStyle() {
    QColor fill = palette::warning();
    fill.setAlphaF(0.12f);
    QColor edge = palette::warning();
    edge.setAlphaF(0.55f);
    return QStringLiteral("QFrame#pendingCard { background: %1; border: 1px solid %2;"
                          " border-radius: 10px; }")
        .arg(palette::css(fill), palette::css(edge));
}

} // namespace

void ContentView::applyStyleSheet() {
    const QString panel = palette::css(palette::panelBackground());
    const QString border = palette::css(palette::border());
    const QString accent = palette::css(palette::accent());
    const QString accentHover = palette::css(palette::accent().lighter(115));
    const QString accentPressed = palette::css(palette::accent().darker(120));
    const QString canvas = palette::css(palette::canvas());
    const QString secondary = palette::css(palette::secondaryText());
    const QString danger = palette::css(palette::danger());
    QColor glass(255, 255, 255);
    glass.setAlphaF(0.75f);
    setStyleSheet(QStringLiteral(R"(
QWidget#header, QWidget#journal { background: %1; }
QFrame#sectionCard { background: %1; border: 1px solid %2; border-radius: 10px; }
QLabel#sectionTitle { color: %7; }
QFrame#canvasPanel { background: %6; border: 1px solid %2; border-radius: 14px; }
QFrame#gestureCard, QFrame#metricsRow { background: %9; border: 1px solid %2; border-radius: 10px; }
QSplitter#splitView::handle { background: %2; }
QScrollArea#sidebar, QWidget#sidebarContent, QScrollArea#compactColumn,
QWidget#compactColumnContent, QWidget#livePane { background: transparent; }
QPushButton[kind="prominent"] { background: %3; color: white; border: 1px solid %5;
    border-radius: 6px; padding: 5px 14px; }
QPushButton[kind="prominent"][small="true"] { padding: 3px 10px; }
QPushButton[kind="prominent"]:hover { background: %4; }
QPushButton[kind="prominent"]:pressed { background: %5; }
QPushButton[kind="bordered"], QPushButton[kind="destructive"] { background: %1;
    border: 1px solid %2; border-radius: 6px; padding: 4px 12px; }
QPushButton[kind="bordered"][small="true"], QPushButton[kind="destructive"][small="true"] {
    padding: 3px 10px; }
QPushButton[iconOnly="true"] { padding: 2px 6px; }
QPushButton#headerRefreshButton { padding: 5px 9px; min-height: 15px; }
QPushButton[kind="bordered"]:hover, QPushButton[kind="destructive"]:hover { border-color: %7; }
QPushButton[kind="bordered"]:pressed, QPushButton[kind="destructive"]:pressed { background: %2; }
QPushButton[kind="destructive"] { color: %8; }
QPushButton[kind="destructive"]:disabled, QPushButton[kind="bordered"]:disabled { color: %7; }
QPushButton[kind="borderless"] { background: transparent; border: none; color: %3;
    padding: 3px 4px; }
QPushButton[kind="borderless"]:hover { color: %4; text-decoration: underline; }
QPushButton[segment] { background: %1; border: 1px solid %2; padding: 4px 6px; margin: 0; }
QPushButton[segment="first"] { border-top-left-radius: 6px; border-bottom-left-radius: 6px; }
QPushButton[segment="last"] { border-top-right-radius: 6px; border-bottom-right-radius: 6px;
    border-left: none; }
QPushButton[segment="middle"] { border-left: none; }
QPushButton[segment]:checked { background: %3; color: white; border-color: %3; }
QPushButton[segment]:hover:!checked { background: %2; }
QPushButton#journalHeader { border: none; text-align: left; }
QPushButton#journalHeader:hover { background: %2; }
QScrollBar:vertical { background: transparent; width: 10px; margin: 2px 1px; }
QScrollBar::handle:vertical { background: %2; border-radius: 4px; min-height: 28px; }
QScrollBar::handle:vertical:hover { background: %7; }
QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { height: 0; }
QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical { background: none; }
QListWidget#journalList { background: %6; color: #1c1c1f; border: 1px solid %2;
    border-radius: 8px; padding: 4px; }
QListWidget#journalList::item { padding: 2px 4px; }
QLineEdit#networksField { background: %6; color: #1c1c1f; border: 1px solid %2;
    border-radius: 6px; padding: 3px 6px; }
QLineEdit#networksField:focus { border-color: %3; }
)")
                      .arg(panel, border, accent, accentHover, accentPressed, canvas, secondary,
                           danger, palette::css(glass)) +
                  pendingCardStyle());
}

// ---- state ----------------------------------------------------------------------

void ContentView::propertyChanged(PublishedProperty property) {
    if (property == PublishedProperty::connectionName) {
        connectionNameChanged();
    }
    if (property == PublishedProperty::logs) {
        refreshJournalList();
    }
    if (property == PublishedProperty::approveNewDevices) {
        const QSignalBlocker blocker(approvalSwitch_);
        approvalSwitch_->setChecked(state_->approveNewDevices());
    }
    if (property == PublishedProperty::trustedAddresses) {
        refreshTrustedAddresses();
    }
    refresh();
}

void ContentView::connectionNameChanged() {
    const std::string& name = state_->connectionName();
    if (name == lastConnectionName_) {
        return;
    }
    lastConnectionName_ = name;
    if (hideRule_.connectionNameChanged(name, hideMacWindowDuringStream())) {
        QTimer::singleShot(kHideAfterConnectionDelay, this, [this] {
            if (actions_.hideApplication) {
                actions_.hideApplication();
            }
        });
    }
}

void ContentView::toggleJournal() {
    isJournalExpanded_ = !isJournalExpanded_;
    journalAnimation_->stop();
    journalAnimation_->setStartValue(journalPanel_->isVisible() ? journalPanel_->height() : 0);
    journalAnimation_->setEndValue(isJournalExpanded_ ? kJournalExpandedHeight : 0);
    journalPanel_->setVisible(true);
    journalAnimation_->start();
    refresh();
}

void ContentView::refreshJournalList() {
    const auto& logs = state_->logs();
    journalList_->clear();
    if (logs.empty()) {
        journalList_->addItem(QStringLiteral("Aucune activité récente."));
        return;
    }
    for (const auto& line : logs) {
        auto* item = new QListWidgetItem(qt(line), journalList_);
        item->setToolTip(qt(line));
    }
}

void ContentView::refresh() {
    const std::uint16_t port = server_.listeningPort ? server_.listeningPort() : 0;
    derived_ = deriveWindowState(*state_, port);
    const DerivedWindowState& d = derived_;

    // Header.
    serverItem_->setState(qt(d.serverHeaderValue), d.serverTone, QStringLiteral("circle.fill"));
    deviceItem_->setState(
        d.connected ? QStringLiteral("iPhone connecté") : QStringLiteral("Aucun appareil"),
        d.connected ? StatusTone::good : StatusTone::neutral, QStringLiteral("iphone"));
    const QString modeIcon = d.isExtended ? QStringLiteral("rectangle.2.swap")
                                          : QStringLiteral("rectangle.on.rectangle");
    modeItem_->setState(d.isExtended ? QStringLiteral("Étendu") : QStringLiteral("Miroir"),
                        StatusTone::neutral, modeIcon);
    addressItem_->setState(qt(d.primaryAddress), StatusTone::neutral, QStringLiteral("network"));
    const QString primaryText =
        d.serverIsStopped ? QStringLiteral("Démarrer") : QStringLiteral("Redémarrer");
    const QString primarySymbol =
        d.serverIsStopped ? QStringLiteral("play.fill") : QStringLiteral("arrow.clockwise");
    if (primaryButton_->text() != primaryText) {
        primaryButton_->setText(primaryText);
    }
    if (primaryButton_->property("symbol").toString() != primarySymbol) {
        setButtonSymbol(primaryButton_, primarySymbol);
    }

    // Connexion.
    serverRow_->setState(QStringLiteral("bolt.horizontal.circle.fill"), qt(state_->status()),
                         d.serverTone);
    deviceRow_->setState(QStringLiteral("iphone"), qt(state_->connectionName()),
                         d.connected ? StatusTone::good : StatusTone::neutral);
    addressRow_->setState(QStringLiteral("network"), qt(d.primaryAddress), StatusTone::neutral);

    const QString clientAddress = qt(state_->connectedDevice());
    const bool hasClient = d.connected || !clientAddress.isEmpty();
    clientAddressRow_->setState(QStringLiteral("network"), clientAddress, StatusTone::neutral);
    clientAddressRow_->setVisible(!clientAddress.isEmpty());
    disconnectButton_->setVisible(hasClient);
    refreshAccess();

    // Affichage.
    modePicker_->setSelectedIndex(d.isExtended ? 1 : 0);
    displayCaption_->setText(
        d.isExtended
            ? QStringLiteral("Déplace fenêtre vers display Quorvi dans Réglages Moniteurs.")
            : QStringLiteral("Miroir capture bureau principal, autres apps comprises."));
    targetRow_->setState(modeIcon, qt(state_->displayModeDetail()), StatusTone::neutral);

    // Flux.
    qualityPicker_->setSelectedIndex(qualityIndex(state_->streamMode()));
    outputRow_->setState(QStringLiteral("dot.radiowaves.left.and.right"),
                         qt(state_->streamQuality()), StatusTone::neutral);

    // Diagnostics.
    sessionRow_->setState(QStringLiteral("waveform.path.ecg"), qt(state_->diagnosticsSummary()),
                          StatusTone::neutral);
    exportPath_->setText(qt(state_->diagnosticsExportPath()));
    exportPath_->setVisible(!state_->diagnosticsExportPath().empty());

    // Permissions.
    const bool screenGranted = !d.screenRecordingMissing;
    screenRecordingRow_->setState(
        screenGranted, screenGranted ? QStringLiteral("Tester") : QStringLiteral("Réglages"),
        [this, screenGranted] {
            if (screenGranted) {
                if (server_.refreshPermissions) {
                    server_.refreshPermissions();
                }
            } else {
                openPane(SettingsPane::screenRecording);
            }
        },
        screenGranted ? std::function<void()>([this] { openPane(SettingsPane::screenRecording); })
                      : std::function<void()>());
    accessibilityRow_->setState(!d.accessibilityMissing, QStringLiteral("Réglages"),
                                [this] { openPane(SettingsPane::accessibility); }, {});
    relaunchButton_->setVisible(d.screenRecordingMissing || d.accessibilityMissing);

    // Serveur.
    stopButton_->setEnabled(!d.serverIsStopped);

    // Live pane.
    liveTitle_->setText(d.connected ? QStringLiteral("Session en direct")
                                    : QStringLiteral("Prêt à connecter"));
    liveSubtitle_->setText(
        d.connected ? QStringLiteral("Entrées et qualité du flux sont suivies en temps réel.")
                    : QStringLiteral(
                          "Ouvre Quorvi sur iPhone ou iPad, puis garde appareils sur même Wi-Fi."));
    const QColor pillColor = d.connected ? palette::success() : palette::secondaryText();
    statusPillIcon_->setSymbol(d.connected ? QStringLiteral("dot.radiowaves.left.and.right")
                                           : QStringLiteral("antenna.radiowaves.left.and.right"),
                               pillColor);
    const QString pillText =
        d.connected ? QStringLiteral("Flux actif") : QStringLiteral("En attente");
    if (statusPillText_->text() != pillText) {
        statusPillText_->setText(pillText);
        QColor fill = pillColor;
        fill.setAlphaF(0.12f);
        QColor edge = pillColor;
        edge.setAlphaF(0.35f);
        statusPill_->setStyleSheet(
            QStringLiteral("QFrame#statusPill { background: %1; border: 1px solid %2;"
                           " border-radius: 12px; } QLabel { color: %3; }")
                .arg(palette::css(fill), palette::css(edge), palette::css(pillColor)));
    }
    stages_->setCurrentWidget(d.connected ? connectedStage_ : connectionStage_);
    startServerButton_->setVisible(d.serverIsStopped);

    connectedSubtitle_->setText(qt(state_->streamQuality()));
    connectedAddress_->setText(clientAddress);
    connectedAddress_->setVisible(!clientAddress.isEmpty());
    displayModeText_->setText(qt(state_->displayMode()));
    gestureTitle_->setText(state_->receivedInputs().empty() ? QStringLiteral("Aucun geste reçu")
                                                            : QStringLiteral("Dernier geste"));
    gestureDetail_->setText(qt(d.latestGestureDetail));
    latencyMetric_->setValue(qt(d.latencyValue));
    fpsMetric_->setValue(qt(d.frameRateFigure));
    framesMetric_->setValue(QString::number(state_->sentFrames()));
    gesturesMetric_->setValue(QString::number(state_->receivedInputs().size()));

    // Journal.
    journalSummary_->setText(qt(d.recentLogSummary));
    journalChevron_->setSymbol(isJournalExpanded_ ? QStringLiteral("chevron.down")
                                                  : QStringLiteral("chevron.up"),
                               palette::secondaryText());
}

} // namespace quorvi

namespace quorvi {

// ---- access -----------------------------------------------------------------------

void ContentView::networkChoiceMade(int index) {
    isEditingNetworkList_ = index == addressList;
    if (index == addressList) {
        // A list typed before is applied again at once; otherwise the empty
        // field waits for one.
        refresh();
        networksField_->setFocus();
        if (!networksField_->text().trimmed().isEmpty()) {
            submitNetworkList();
        }
        return;
    }
    {
        // Leaving the field must not apply what it holds over this choice.
        const QSignalBlocker blocker(networksField_);
        networksField_->clearFocus();
    }
    if (server_.setAllowedNetworks) {
        server_.setAllowedNetworks(index == localNetwork ? "lan" : "");
    }
    // The published value until the server's own arrives.
    refreshAccess();
}

void ContentView::submitNetworkList() {
    const std::string list = networksField_->text().trimmed().toStdString();
    // An emptied field is no choice of everyone: that takes "Tous".
    if (list.empty() || list == state_->allowedNetworks() || !server_.setAllowedNetworks) {
        return;
    }
    server_.setAllowedNetworks(list);
}

void ContentView::refreshAccess() {
    const std::string& setting = state_->allowedNetworks();
    const NetworkChoice published = networkChoice(setting);
    if (published == addressList) {
        isEditingNetworkList_ = false;
        if (!networksField_->hasFocus() && networksField_->text() != qt(setting)) {
            networksField_->setText(qt(setting));
        }
    }
    const bool showsList = published == addressList || isEditingNetworkList_;
    networksPicker_->setSelectedIndex(showsList ? addressList : published);
    networksField_->setVisible(showsList);
    const QString caption =
        showsList ? QStringLiteral("Adresses et préfixes séparés par des virgules, Entrée pour "
                                   "appliquer.")
        : published == localNetwork
            ? QStringLiteral("Cette machine et les réseaux privés seulement.")
            : QStringLiteral("Tout appareil qui atteint ce port peut se connecter.");
    networksCaption_->setText(caption);

    const QString pending = qt(state_->pendingDevice());
    pendingAddress_->setText(pending);
    pendingCard_->setVisible(!pending.isEmpty());
}

void ContentView::refreshTrustedAddresses() {
    const auto& addresses = state_->trustedAddresses();
    trustedEmpty_->setVisible(addresses.empty());
    if (addresses == shownTrustedAddresses_) {
        return;
    }
    shownTrustedAddresses_ = addresses;
    for (QWidget* row :
         trustedList_->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
        delete row;
    }
    for (const std::string& address : addresses) {
        auto* row = new QWidget(trustedList_);
        row->setObjectName(QStringLiteral("trustedRow"));
        auto* text = new ElidedLabel(1, row);
        text->setFont(monospacedFont(0.88));
        text->setText(qt(address));
        auto* forget = makeButton(QStringLiteral("Oublier"), ButtonKind::borderless, true, row);
        forget->setToolTip(QStringLiteral("Oublier %1").arg(qt(address)));
        connect(forget, &QPushButton::clicked, this, [this, address] {
            if (server_.forgetTrustedAddress) {
                server_.forgetTrustedAddress(address);
            }
        });
        auto* line = new QHBoxLayout(row);
        line->setContentsMargins(0, 0, 0, 0);
        line->setSpacing(6);
        line->addWidget(text, 1);
        line->addWidget(forget);
        trustedList_->layout()->addWidget(row);
    }
}

} // namespace quorvi
