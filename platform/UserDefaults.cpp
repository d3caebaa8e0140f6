#include "platform/UserDefaults.h"

#include <charconv>
#include <cmath>

namespace quorvi {

std::optional<std::int64_t> parseStoredInteger(const std::string& text) {
    std::int64_t value = 0;
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, value);
    if (text.empty() || result.ec != std::errc() || result.ptr != end) {
        return std::nullopt;
    }
    return value;
}

std::optional<double> parseStoredNumber(const std::string& text) {
    double value = 0;
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, value);
    if (text.empty() || result.ec != std::errc() || result.ptr != end || !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

std::optional<bool> parseStoredBoolean(const std::string& text) {
    if (text == "true" || text == "1") {
        return true;
    }
    if (text == "false" || text == "0") {
        return false;
    }
    return std::nullopt;
}

std::string formatStoredNumber(double value) {
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

std::optional<std::string> InMemoryUserDefaults::string(const std::string& key) {
    return raw(key);
}

std::optional<std::int64_t> InMemoryUserDefaults::integer(const std::string& key) {
    const auto text = raw(key);
    return text ? parseStoredInteger(*text) : std::nullopt;
}

std::optional<double> InMemoryUserDefaults::number(const std::string& key) {
    const auto text = raw(key);
    return text ? parseStoredNumber(*text) : std::nullopt;
}

std::optional<bool> InMemoryUserDefaults::boolean(const std::string& key) {
    const auto text = raw(key);
    return text ? parseStoredBoolean(*text) : std::nullopt;
}

void InMemoryUserDefaults::setString(const std::string& key, const std::string& value) {
    setRaw(key, value);
}

void InMemoryUserDefaults::setInteger(const std::string& key, std::int64_t value) {
    setRaw(key, std::to_string(value));
}

void InMemoryUserDefaults::setNumber(const std::string& key, double value) {
    setRaw(key, formatStoredNumber(value));
}

void InMemoryUserDefaults::setBoolean(const std::string& key, bool value) {
    setRaw(key, value ? "true" : "false");
}

void InMemoryUserDefaults::setRaw(const std::string& key, const std::string& text) {
    std::lock_guard lock(mutex_);
    values_[key] = text;
}

std::optional<std::string> InMemoryUserDefaults::raw(const std::string& key) {
    std::lock_guard lock(mutex_);
    const auto found = values_.find(key);
    if (found == values_.end()) {
        return std::nullopt;
    }
    return found->second;
}

} // namespace quorvi
