#pragma once

#include "platform/UserDefaults.h"

#include <QSettings>
#include <mutex>

namespace quorvi {

// The user's settings in $XDG_CONFIG_HOME/brenholt/QuorviMac.conf. The INI
// store keeps text, so numbers are parsed with the same rules as everywhere
// else. Each write is synced at once: the work queue that writes has no Qt
// event loop to do it later.
//
// Thread: any (a mutex serialises the QSettings object).
class QtUserDefaults final : public UserDefaults {
public:
    QtUserDefaults();
    std::optional<std::string> string(const std::string& key) override;
    std::optional<std::int64_t> integer(const std::string& key) override;
    std::optional<double> number(const std::string& key) override;
    std::optional<bool> boolean(const std::string& key) override;
    void setString(const std::string& key, const std::string& value) override;
    void setInteger(const std::string& key, std::int64_t value) override;
    void setNumber(const std::string& key, double value) override;
    void setBoolean(const std::string& key, bool value) override;

private:
    void write(const std::string& key, const QString& text);

    std::mutex mutex_;
    QSettings settings_;
};

} // namespace quorvi
