#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quorvi {

// A peer's address in the form the journal, the settings and the window
// show: an IPv4-mapped IPv6 address as plain IPv4, no zone ("%eth0"),
// IPv6 in its shortest form. Empty when the text is no IP address.
std::string canonicalAddress(const std::string& address);

// Which peers may connect at all, from the setting "quorviMac.allowedNetworks":
//   absent or empty   every address;
//   "lan"             loopback, the private IPv4 ranges, IPv4 and IPv6
//                     link-local, IPv6 unique-local;
//   "a, b/n, …"       addresses and CIDR prefixes, IPv4 or IPv6 (an
//                     IPv4-mapped peer is matched against the IPv4 ones).
// A setting that does not parse means "lan", never everyone, and keeps a
// French description of what was wrong for the journal.
//
// Thread: any (immutable once parsed).
class AllowedNetworks {
public:
    static AllowedNetworks parse(const std::string& setting);

    bool allows(const std::string& peerAddress) const;
    bool allowsEveryone() const { return isEveryone_; }
    // Set when the setting was malformed.
    const std::optional<std::string>& problem() const { return problem_; }

private:
    // IPv4 is kept in its IPv4-mapped IPv6 form (::ffff:a.b.c.d, length
    // + 96): one comparison serves both families, and "::/0" means all.
    struct Prefix {
        std::array<std::uint8_t, 16> bytes{};
        int length = 0;
    };
    static std::vector<Prefix> localNetworks();
    static std::optional<Prefix> parsePrefix(const std::string& item);
    void fallBackToLocalNetworks(const std::string& unreadable);

    bool isEveryone_ = true;
    std::vector<Prefix> prefixes_;
    std::optional<std::string> problem_;
};

// The trusted addresses as stored in "quorviMac.trustedAddresses": canonical
// addresses separated by commas ("192.168.1.20,fd00::5"). Unreadable items
// are dropped, duplicates kept once, in their first order.
std::vector<std::string> parseTrustedAddresses(const std::string& stored);
std::string formatTrustedAddresses(const std::vector<std::string>& addresses);

// The rules for admitting a newcomer when new devices need the user's
// approval. Only addresses are tracked here; the server keeps the
// connections. Times are the server clock's seconds.
//
// Thread: the server's work queue.
class DeviceApproval {
public:
    static constexpr double kAnswerTimeout = 30.0;
    static constexpr double kRefusalMemory = 30.0;

    enum class Verdict {
        admit,  // replaces the current client at once
        refuse, // closed at once, no prompt
        hold,   // becomes the pending device (replacing any older one)
    };

    void setRequired(bool isRequired) { isRequired_ = isRequired; }
    bool isRequired() const { return isRequired_; }
    void setTrusted(std::vector<std::string> addresses) { trusted_ = std::move(addresses); }
    const std::vector<std::string>& trusted() const { return trusted_; }

    // For a canonical address that passed the allowed networks.
    Verdict arrive(const std::string& address, double now);
    const std::optional<std::string>& pending() const { return pending_; }

    // Each answer ends the pending device and returns its address (none
    // when nobody was pending).
    std::optional<std::string> allowOnce();
    std::optional<std::string> allowAlways();
    std::optional<std::string> deny(double now);
    // The pending device's answer is overdue: it is refused.
    std::optional<std::string> expire(double now);
    // The pending connection went away by itself.
    void dropPending() { pending_.reset(); }

    // True when the list changed.
    bool forget(const std::string& address);

private:
    bool isTrusted(const std::string& address) const;
    void rememberRefusal(const std::string& address, double now);

    bool isRequired_ = false;
    std::vector<std::string> trusted_;
    std::optional<std::string> pending_;
    double pendingSince_ = 0;
    // Address → when it was last refused.
    std::vector<std::pair<std::string, double>> refusals_;
};

} // namespace quorvi
