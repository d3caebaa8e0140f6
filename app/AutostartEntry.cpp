#include "app/AutostartEntry.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <algorithm>

namespace quorvi {

namespace {

// An Exec value: quoted when the path needs it, with the characters the
// desktop entry format reserves inside quotes escaped, then the backslashes
// doubled once more for the string value itself.
QString execValue(const QString& program) {
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    const bool needsQuotes =
        std::any_of(program.begin(), program.end(), [](QChar c) { return reserved.contains(c); });
    if (!needsQuotes) {
        return program;
    }
    QString quoted;
    for (QChar c : program) {
        if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') ||
            c == QLatin1Char('\\')) {
            quoted += QLatin1Char('\\');
        }
        quoted += c;
    }
    quoted.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

} // namespace

AutostartEntry::AutostartEntry(QString configHome, QString program)
    : configHome_(std::move(configHome)), program_(std::move(program)) {}

std::shared_ptr<AutostartEntry> AutostartEntry::forCurrentUser() {
    static const auto entry =
        std::make_shared<AutostartEntry>(userConfigHome(), QCoreApplication::applicationFilePath());
    return entry;
}

QString AutostartEntry::userConfigHome() {
    const QString configured = qEnvironmentVariable("XDG_CONFIG_HOME");
    // A relative XDG_CONFIG_HOME counts as unset, as desktops treat it.
    if (QDir::isAbsolutePath(configured)) {
        return configured;
    }
    return QDir::homePath() + QStringLiteral("/.config");
}

QString AutostartEntry::path() const {
    return configHome_ + QStringLiteral("/autostart/brenholt.quorvi.mac.desktop");
}

bool AutostartEntry::isEnabled() const {
    return QFile::exists(path());
}

bool AutostartEntry::setEnabled(bool enabled) {
    bool done = false;
    if (!enabled) {
        done = !QFile::exists(path()) || QFile::remove(path());
    } else if (QDir().mkpath(configHome_ + QStringLiteral("/autostart"))) {
        QSaveFile file(path());
        if (file.open(QIODevice::WriteOnly)) {
            const QString text = QStringLiteral("[Desktop Entry]\n"
                                                "Type=Application\n"
                                                "Name=Quorvi Mac\n"
                                                "Comment=Écran de cet ordinateur sur le téléphone\n"
                                                "Exec=%1\n"
                                                "Icon=brenholt.quorvi.mac\n"
                                                "Terminal=false\n"
                                                "X-GNOME-Autostart-enabled=true\n")
                                     .arg(execValue(program_));
            file.write(text.toUtf8());
            done = file.commit();
        }
    }
    emit changed(isEnabled());
    return done;
}

} // namespace quorvi
