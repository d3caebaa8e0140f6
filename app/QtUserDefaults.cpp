#include "app/QtUserDefaults.h"

namespace quorvi {

QtUserDefaults::QtUserDefaults()
    : settings_(QSettings::NativeFormat, QSettings::UserScope, "brenholt", "QuorviMac") {}

std::optional<std::string> QtUserDefaults::string(const std::string& key) {
    std::lock_guard lock(mutex_);
    const QVariant value = settings_.value(QString::fromStdString(key));
    if (!value.isValid()) {
        return std::nullopt;
    }
    return value.toString().toStdString();
}

std::optional<std::int64_t> QtUserDefaults::integer(const std::string& key) {
    const auto text = string(key);
    return text ? parseStoredInteger(*text) : std::nullopt;
}

std::optional<double> QtUserDefaults::number(const std::string& key) {
    const auto text = string(key);
    return text ? parseStoredNumber(*text) : std::nullopt;
}

std::optional<bool> QtUserDefaults::boolean(const std::string& key) {
    const auto text = string(key);
    return text ? parseStoredBoolean(*text) : std::nullopt;
}

void QtUserDefaults::setString(const std::string& key, const std::string& value) {
    write(key, QString::fromStdString(value));
}

void QtUserDefaults::setInteger(const std::string& key, std::int64_t value) {
    write(key, QString::number(value));
}

void QtUserDefaults::setNumber(const std::string& key, double value) {
    write(key, QString::fromStdString(formatStoredNumber(value)));
}

void QtUserDefaults::setBoolean(const std::string& key, bool value) {
    write(key, value ? "true" : "false");
}

void QtUserDefaults::write(const std::string& key, const QString& text) {
    std::lock_guard lock(mutex_);
    settings_.setValue(QString::fromStdString(key), text);
    settings_.sync();
}

} // namespace quorvi
