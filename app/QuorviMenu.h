#pragma once

#include "app/AutostartEntry.h"
#include "app/MainWindowControls.h"
#include "server/PublishedState.h"

#include <QObject>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

class QAction;
class QMenu;

namespace quorvi {

// What the tray menu asks of the application rather than of the server.
struct MenuActions {
    // Brings the existing main window to the front; never creates one.
    std::function<void()> openMainWindow;
    std::function<void(SettingsPane)> openSettingsPane;
    // Ends the application at once.
    std::function<void()> quit;
    // "Ouvrir à la connexion"; the window shares the same entry.
    std::shared_ptr<AutostartEntry> autostart = AutostartEntry::forCurrentUser();
};

// The tray icon's menu: the main commands without the window. Its texts
// follow the published state (the status line with the client's address,
// the automatic quality's current rate, the device waiting for approval
// and its three answers). No mode or quality is ever shown as selected; the
// one check mark is "Ouvrir à la connexion", a setting of the user's.
//
// Thread: main.
class QuorviMenu final : public QObject {
    Q_OBJECT
public:
    QuorviMenu(std::shared_ptr<PublishedState> state, ServerControls server, MenuActions actions,
               QObject* parent = nullptr);
    ~QuorviMenu() override;

    QMenu* menu() const { return menu_.get(); }

private:
    void refresh();

    std::shared_ptr<PublishedState> state_;
    ServerControls server_;
    MenuActions actions_;
    std::unique_ptr<QMenu> menu_;
    QAction* statusLine_ = nullptr;
    // Shown only while a device waits for an answer.
    std::vector<QAction*> pendingEntries_;
    QAction* pendingLine_ = nullptr;
    QAction* disconnectAction_ = nullptr;
    QAction* autostartAction_ = nullptr;
    std::vector<std::pair<StreamMode, QAction*>> qualityActions_;
};

} // namespace quorvi
