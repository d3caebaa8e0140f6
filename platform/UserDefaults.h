#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace quorvi {

// The application's small persistent store ("quorviMac.streamMode", …).
// Readers get a value only when the stored one has the right form: an
// integer that parses as an integer, a number that parses as a number.
//
// Thread: any; implementations serialise access themselves.
class UserDefaults {
public:
    virtual ~UserDefaults() = default;
    virtual std::optional<std::string> string(const std::string& key) = 0;
    virtual std::optional<std::int64_t> integer(const std::string& key) = 0;
    virtual std::optional<double> number(const std::string& key) = 0;
    virtual std::optional<bool> boolean(const std::string& key) = 0;
    virtual void setString(const std::string& key, const std::string& value) = 0;
    virtual void setInteger(const std::string& key, std::int64_t value) = 0;
    virtual void setNumber(const std::string& key, double value) = 0;
    virtual void setBoolean(const std::string& key, bool value) = 0;
};

// A store kept in memory, holding values as the text an INI file would, so
// that it parses exactly like the application's store. For tests, and for
// runs that must not touch the user's settings.
class InMemoryUserDefaults final : public UserDefaults {
public:
    std::optional<std::string> string(const std::string& key) override;
    std::optional<std::int64_t> integer(const std::string& key) override;
    std::optional<double> number(const std::string& key) override;
    std::optional<bool> boolean(const std::string& key) override;
    void setString(const std::string& key, const std::string& value) override;
    void setInteger(const std::string& key, std::int64_t value) override;
    void setNumber(const std::string& key, double value) override;
    void setBoolean(const std::string& key, bool value) override;

    // Raw access, to plant odd values as a hand-edited file would hold.
    void setRaw(const std::string& key, const std::string& text);
    std::optional<std::string> raw(const std::string& key);

private:
    std::mutex mutex_;
    std::map<std::string, std::string> values_;
};

// The parsing rules shared by every store that keeps text.
std::optional<std::int64_t> parseStoredInteger(const std::string& text);
std::optional<double> parseStoredNumber(const std::string& text);
std::optional<bool> parseStoredBoolean(const std::string& text);
std::string formatStoredNumber(double value);

} // namespace quorvi
