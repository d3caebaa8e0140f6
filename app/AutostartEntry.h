#pragma once

#include <QObject>
#include <QString>
#include <memory>

namespace quorvi {

// "Ouvrir à la connexion": the user's own XDG autostart entry,
// CONFIG_HOME/autostart/brenholt.quorvi.mac.desktop. The desktop session
// starts the program at login while the file exists; nothing outside the
// user's folder is touched. The file on disk is the only state, so the tray
// menu and the window, which share one instance, always agree with what
// another copy of the program or the user did to it.
//
// Thread: main.
class AutostartEntry final : public QObject {
    Q_OBJECT
public:
    // configHome holds the autostart folder; program is what the entry runs.
    AutostartEntry(QString configHome, QString program);

    // The one entry of this user and this program, shared by the menu and
    // the window.
    static std::shared_ptr<AutostartEntry> forCurrentUser();
    // $XDG_CONFIG_HOME when it is an absolute path, else ~/.config.
    static QString userConfigHome();

    QString path() const;
    bool isEnabled() const;
    // Writes or removes the entry; false when the folder refused it.
    bool setEnabled(bool enabled);

signals:
    void changed(bool enabled);

private:
    QString configHome_;
    QString program_;
};

} // namespace quorvi
