#include "server/AccessRules.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <charconv>
#include <cstring>
#include <netinet/in.h>
#include <utility>

namespace quorvi {
namespace {

using AddressBytes = std::array<std::uint8_t, 16>;

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

std::vector<std::string> splitOnCommas(const std::string& text) {
    std::vector<std::string> items;
    std::size_t from = 0;
    for (std::size_t comma; (comma = text.find(',', from)) != std::string::npos; from = comma + 1) {
        items.push_back(trimmed(text.substr(from, comma - from)));
    }
    items.push_back(trimmed(text.substr(from)));
    return items;
}

bool isMappedIPv4(const AddressBytes& bytes) {
    static constexpr std::uint8_t kMappedHead[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    return std::memcmp(bytes.data(), kMappedHead, sizeof kMappedHead) == 0;
}

// The 16-byte form of an address (IPv4 as IPv4-mapped), and whether it was
// written as IPv4. A zone ("%eth0") is ignored: it names an interface, not
// a host.
std::optional<std::pair<AddressBytes, bool>> parseAddress(const std::string& text) {
    const std::string host = text.substr(0, text.find('%'));
    AddressBytes bytes{};
    in_addr v4{};
    if (::inet_pton(AF_INET, host.c_str(), &v4) == 1) {
        bytes[10] = bytes[11] = 0xff;
        std::memcpy(bytes.data() + 12, &v4, 4);
        return std::pair{bytes, true};
    }
    in6_addr v6{};
    if (::inet_pton(AF_INET6, host.c_str(), &v6) == 1) {
        std::memcpy(bytes.data(), &v6, 16);
        return std::pair{bytes, false};
    }
    return std::nullopt;
}

bool isWithin(const AddressBytes& address, const AddressBytes& network, int length) {
    const int wholeBytes = length / 8;
    if (std::memcmp(address.data(), network.data(), static_cast<std::size_t>(wholeBytes)) != 0) {
        return false;
    }
    const int remainingBits = length % 8;
    if (remainingBits == 0) {
        return true;
    }
    const auto mask = static_cast<std::uint8_t>(0xff << (8 - remainingBits));
    return (address[wholeBytes] & mask) == (network[wholeBytes] & mask);
}

} // namespace

std::string canonicalAddress(const std::string& address) {
    const auto parsed = parseAddress(address);
    if (!parsed) {
        return {};
    }
    char text[INET6_ADDRSTRLEN] = {};
    if (isMappedIPv4(parsed->first)) {
        ::inet_ntop(AF_INET, parsed->first.data() + 12, text, sizeof text);
    } else {
        ::inet_ntop(AF_INET6, parsed->first.data(), text, sizeof text);
    }
    return text;
}

std::optional<AllowedNetworks::Prefix> AllowedNetworks::parsePrefix(const std::string& item) {
    const auto slash = item.find('/');
    const auto parsed = parseAddress(item.substr(0, slash));
    if (!parsed) {
        return std::nullopt;
    }
    const auto& [bytes, isIPv4] = *parsed;
    const int familyBits = isIPv4 ? 32 : 128;
    int length = familyBits;
    if (slash != std::string::npos) {
        const std::string digits = item.substr(slash + 1);
        const auto* end = digits.data() + digits.size();
        const auto result = std::from_chars(digits.data(), end, length);
        if (digits.empty() || result.ec != std::errc() || result.ptr != end || length < 0 ||
            length > familyBits) {
            return std::nullopt;
        }
    }
    return Prefix{bytes, isIPv4 ? length + 96 : length};
}

std::vector<AllowedNetworks::Prefix> AllowedNetworks::localNetworks() {
    std::vector<Prefix> prefixes;
    for (const char* network : {"127.0.0.0/8", "10.0.0.0/8", "172.16.0.0/12", "192.168.0.0/16",
                                "169.254.0.0/16", "::1/128", "fe80::/10", "fc00::/7"}) {
        prefixes.push_back(*parsePrefix(network));
    }
    return prefixes;
}

void AllowedNetworks::fallBackToLocalNetworks(const std::string& unreadable) {
    // Guessing what a typo meant could open the screen to everyone; the
    // local network is what the user wanted at the least.
    prefixes_ = localNetworks();
    problem_ = "Réseaux autorisés illisibles (« " + unreadable +
               " »): seul le réseau local peut se connecter";
}

AllowedNetworks AllowedNetworks::parse(const std::string& setting) {
    AllowedNetworks networks;
    if (trimmed(setting).empty()) {
        return networks;
    }
    networks.isEveryone_ = false;
    for (const auto& item : splitOnCommas(setting)) {
        if (item.empty()) {
            continue; // "a, b," is still a list
        }
        std::string lowered = item;
        std::transform(lowered.begin(), lowered.end(), lowered.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (lowered == "lan") {
            const auto local = localNetworks();
            networks.prefixes_.insert(networks.prefixes_.end(), local.begin(), local.end());
        } else if (auto prefix = parsePrefix(item)) {
            networks.prefixes_.push_back(*prefix);
        } else {
            networks.fallBackToLocalNetworks(item);
            return networks;
        }
    }
    if (networks.prefixes_.empty()) {
        networks.fallBackToLocalNetworks(trimmed(setting)); // nothing but commas
    }
    return networks;
}

bool AllowedNetworks::allows(const std::string& peerAddress) const {
    if (isEveryone_) {
        return true;
    }
    const auto parsed = parseAddress(peerAddress);
    return parsed && std::any_of(prefixes_.begin(), prefixes_.end(), [&](const Prefix& prefix) {
               return isWithin(parsed->first, prefix.bytes, prefix.length);
           });
}

std::vector<std::string> parseTrustedAddresses(const std::string& stored) {
    std::vector<std::string> addresses;
    for (const auto& item : splitOnCommas(stored)) {
        const std::string address = canonicalAddress(item);
        if (!address.empty() &&
            std::find(addresses.begin(), addresses.end(), address) == addresses.end()) {
            addresses.push_back(address);
        }
    }
    return addresses;
}

std::string formatTrustedAddresses(const std::vector<std::string>& addresses) {
    std::string text;
    for (const auto& address : addresses) {
        text += (text.empty() ? "" : ",") + address;
    }
    return text;
}

DeviceApproval::Verdict DeviceApproval::arrive(const std::string& address, double now) {
    std::erase_if(refusals_,
                  [now](const auto& refusal) { return now - refusal.second >= kRefusalMemory; });
    if (!isRequired_ || isTrusted(address)) {
        return Verdict::admit;
    }
    if (std::any_of(refusals_.begin(), refusals_.end(),
                    [&](const auto& refusal) { return refusal.first == address; })) {
        return Verdict::refuse;
    }
    pending_ = address;
    pendingSince_ = now;
    return Verdict::hold;
}

std::optional<std::string> DeviceApproval::allowOnce() {
    return std::exchange(pending_, std::nullopt);
}

std::optional<std::string> DeviceApproval::allowAlways() {
    auto address = std::exchange(pending_, std::nullopt);
    if (address && !isTrusted(*address)) {
        trusted_.push_back(*address);
    }
    return address;
}

std::optional<std::string> DeviceApproval::deny(double now) {
    auto address = std::exchange(pending_, std::nullopt);
    if (address) {
        rememberRefusal(*address, now);
    }
    return address;
}

std::optional<std::string> DeviceApproval::expire(double now) {
    if (!pending_ || now - pendingSince_ < kAnswerTimeout) {
        return std::nullopt;
    }
    return deny(now);
}

bool DeviceApproval::forget(const std::string& address) {
    return std::erase(trusted_, canonicalAddress(address)) > 0;
}

bool DeviceApproval::isTrusted(const std::string& address) const {
    return std::find(trusted_.begin(), trusted_.end(), address) != trusted_.end();
}

void DeviceApproval::rememberRefusal(const std::string& address, double now) {
    std::erase_if(refusals_, [&](const auto& refusal) { return refusal.first == address; });
    refusals_.emplace_back(address, now);
}

} // namespace quorvi
