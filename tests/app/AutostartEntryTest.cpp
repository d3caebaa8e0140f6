#include "app/AutostartEntry.h"

#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace quorvi;

TEST(AutostartEntry, WritesAndRemovesTheUsersOwnEntryUnderConfigInHome) {
    QTemporaryDir home;
    const QByteArray savedHome = qgetenv("HOME");
    const QByteArray savedConfig = qgetenv("XDG_CONFIG_HOME");
    qputenv("HOME", QFile::encodeName(home.path()));
    qunsetenv("XDG_CONFIG_HOME");
    AutostartEntry entry(AutostartEntry::userConfigHome(), "/usr/bin/quorvi-mac");
    qputenv("HOME", savedHome);
    if (!savedConfig.isEmpty()) {
        qputenv("XDG_CONFIG_HOME", savedConfig);
    }
    const QString path = home.path() + "/.config/autostart/brenholt.quorvi.mac.desktop";
    EXPECT_FALSE(entry.isEnabled());
    ASSERT_TRUE(entry.setEnabled(true));
    EXPECT_EQ(QSettings(path, QSettings::IniFormat).value("Desktop Entry/Exec"),
              "/usr/bin/quorvi-mac");
    ASSERT_TRUE(entry.setEnabled(false));
    EXPECT_FALSE(QFile::exists(path));
}
