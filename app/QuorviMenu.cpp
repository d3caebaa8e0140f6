#include "app/QuorviMenu.h"

#include "server/WindowRules.h"

#include <QAction>
#include <QMenu>
#include <QPointer>

namespace quorvi {

namespace {

QString qt(const std::string& text) {
    return QString::fromStdString(text);
}

template <typename Call> void callIfSet(const Call& call) {
    if (call) {
        call();
    }
}

} // namespace

QuorviMenu::QuorviMenu(std::shared_ptr<PublishedState> state, ServerControls server,
                       MenuActions actions, QObject* parent)
    : QObject(parent), state_(std::move(state)), server_(std::move(server)),
      actions_(std::move(actions)), menu_(std::make_unique<QMenu>()) {
    menu_->setObjectName(QStringLiteral("quorviMenu"));
    menu_->setTitle(QStringLiteral("Quorvi Mac"));

    // Texts, not commands: shown disabled, as a menu shows information.
    QAction* title = menu_->addAction(QStringLiteral("Quorvi Mac"));
    QFont emphasised = title->font();
    emphasised.setBold(true);
    title->setFont(emphasised);
    title->setEnabled(false);
    statusLine_ = menu_->addAction(QString());
    statusLine_->setEnabled(false);
    menu_->addSeparator();

    pendingLine_ = menu_->addAction(QString());
    pendingLine_->setEnabled(false);
    pendingEntries_.push_back(pendingLine_);
    const std::pair<const char*, std::function<void()> ServerControls::*> answers[] = {
        {"Autoriser une fois", &ServerControls::allowPendingDevice},
        {"Toujours autoriser", &ServerControls::alwaysAllowPendingDevice},
        {"Refuser", &ServerControls::denyPendingDevice},
    };
    for (const auto& [label, call] : answers) {
        QAction* answer = menu_->addAction(QString::fromUtf8(label));
        connect(answer, &QAction::triggered, this, [this, call] { callIfSet(server_.*call); });
        pendingEntries_.push_back(answer);
    }
    pendingEntries_.push_back(menu_->addSeparator());

    connect(menu_->addAction(QStringLiteral("Ouvrir Quorvi Mac")), &QAction::triggered, this,
            [this] { callIfSet(actions_.openMainWindow); });

    QMenu* displayMenu = menu_->addMenu(QStringLiteral("Mode d'affichage"));
    connect(displayMenu->addAction(QStringLiteral("Miroir · tout le bureau")), &QAction::triggered,
            this, [this] { callIfSet(server_.useMirrorMode); });
    connect(displayMenu->addAction(QStringLiteral("Écran étendu · display virtuel")),
            &QAction::triggered, this, [this] { callIfSet(server_.useExtendedMode); });
    displayMenu->addSeparator();
    connect(displayMenu->addAction(QStringLiteral("Ouvrir Réglages Moniteurs")),
            &QAction::triggered, this, [this] {
                if (actions_.openSettingsPane) {
                    actions_.openSettingsPane(SettingsPane::displays);
                }
            });

    QMenu* qualityMenu = menu_->addMenu(QStringLiteral("Qualité du flux"));
    for (StreamMode mode : kAllStreamModes) {
        QAction* action = qualityMenu->addAction(QString());
        connect(action, &QAction::triggered, this, [this, mode] {
            if (server_.setStreamMode) {
                server_.setStreamMode(mode);
            }
        });
        qualityActions_.emplace_back(mode, action);
    }
    menu_->addSeparator();

    disconnectAction_ = menu_->addAction(QStringLiteral("Déconnecter"));
    connect(disconnectAction_, &QAction::triggered, this,
            [this] { callIfSet(server_.disconnectClient); });
    connect(menu_->addAction(QStringLiteral("Redémarrer le serveur")), &QAction::triggered, this,
            [this] { callIfSet(server_.start); });
    connect(menu_->addAction(QStringLiteral("Ouvrir Réglages Screen Recording")),
            &QAction::triggered, this, [this] {
                if (actions_.openSettingsPane) {
                    actions_.openSettingsPane(SettingsPane::screenRecording);
                }
            });
    connect(menu_->addAction(QStringLiteral("Ouvrir Réglages Accessibility")), &QAction::triggered,
            this, [this] {
                if (actions_.openSettingsPane) {
                    actions_.openSettingsPane(SettingsPane::accessibility);
                }
            });
    menu_->addSeparator();
    if (actions_.autostart) {
        autostartAction_ = menu_->addAction(QStringLiteral("Ouvrir à la connexion"));
        autostartAction_->setCheckable(true);
        autostartAction_->setChecked(actions_.autostart->isEnabled());
        // The entry tells what it became, whether the change worked or not.
        connect(autostartAction_, &QAction::triggered, this,
                [this](bool checked) { actions_.autostart->setEnabled(checked); });
        connect(actions_.autostart.get(), &AutostartEntry::changed, autostartAction_,
                &QAction::setChecked);
        // The file may change behind the program's back (another copy, the
        // user's own hands): read it again each time the menu opens.
        connect(menu_.get(), &QMenu::aboutToShow, this,
                [this] { autostartAction_->setChecked(actions_.autostart->isEnabled()); });
    }
    connect(menu_->addAction(QStringLiteral("Quitter Quorvi Mac")), &QAction::triggered, this,
            [this] { callIfSet(actions_.quit); });

    state_->addObserver({nullptr,
                         [guard = QPointer<QuorviMenu>(this)](PublishedProperty property) {
                             if (guard && (property == PublishedProperty::status ||
                                           property == PublishedProperty::connectionName ||
                                           property == PublishedProperty::targetFPS ||
                                           property == PublishedProperty::pendingDevice ||
                                           property == PublishedProperty::connectedDevice)) {
                                 guard->refresh();
                             }
                         },
                         nullptr});
    refresh();
}

QuorviMenu::~QuorviMenu() = default;

void QuorviMenu::refresh() {
    QString status = qt(menuStatusLine(state_->status(), state_->connectionName()));
    const std::string& client = state_->connectedDevice();
    if (!client.empty()) {
        status += QStringLiteral(" (%1)").arg(qt(client));
    }
    statusLine_->setText(status);
    const std::string& pending = state_->pendingDevice();
    pendingLine_->setText(QStringLiteral("Appareil en attente: %1").arg(qt(pending)));
    for (QAction* entry : pendingEntries_) {
        entry->setVisible(!pending.empty());
    }
    disconnectAction_->setEnabled(isConnected(state_->connectionName()) || !client.empty());
    for (const auto& [mode, action] : qualityActions_) {
        action->setText(qt(qualityMenuLabel(mode, state_->targetFPS())));
    }
}

} // namespace quorvi
