#include "platform/ComputerName.h"

#include <fstream>
#include <sstream>
#include <unistd.h>

namespace quorvi {
namespace {

constexpr std::size_t kMaximumServiceNameBytes = 63;

std::string trim(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

// machine-info is a shell-style assignment file; the value may be quoted.
std::string prettyHostName(const std::string& machineInfoText) {
    std::istringstream lines(machineInfoText);
    std::string line;
    std::string value;
    while (std::getline(lines, line)) {
        line = trim(line);
        const std::string key = "PRETTY_HOSTNAME=";
        if (line.rfind(key, 0) != 0) {
            continue;
        }
        value = trim(line.substr(key.size()));
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
            value.back() == value.front()) {
            const char quote = value.front();
            std::string unquoted;
            for (std::size_t i = 1; i + 1 < value.size(); ++i) {
                if (quote == '"' && value[i] == '\\' && i + 2 < value.size()) {
                    ++i;
                }
                unquoted += value[i];
            }
            value = unquoted;
        }
    }
    return trim(value);
}

std::string cutAtCharacterBoundary(const std::string& text, std::size_t limit) {
    if (text.size() <= limit) {
        return text;
    }
    std::size_t end = limit;
    // Step back over UTF-8 continuation bytes (10xxxxxx).
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
        --end;
    }
    return trim(text.substr(0, end));
}

} // namespace

std::string chooseServiceName(const std::string& machineInfoText, const std::string& hostName) {
    std::string name = prettyHostName(machineInfoText);
    if (name.empty()) {
        name = trim(hostName);
    }
    name = cutAtCharacterBoundary(name, kMaximumServiceNameBytes);
    return name.empty() ? "Quorvi Mac" : name;
}

std::string computerLocalizedName(const std::string& machineInfoPath) {
    std::ifstream file(machineInfoPath);
    std::stringstream text;
    if (file) {
        text << file.rdbuf();
    }
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) != 0) {
        host[0] = '\0';
    }
    return chooseServiceName(text.str(), host);
}

} // namespace quorvi
