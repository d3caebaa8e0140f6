#pragma once

#include <string>

namespace quorvi {

// The name the service is advertised under: PRETTY_HOSTNAME of
// machine-info, else the host name, else "Quorvi Mac". Cut to the 63 bytes
// DNS-SD allows, never inside a UTF-8 character.
std::string computerLocalizedName(const std::string& machineInfoPath = "/etc/machine-info");

// The pure rule, for tests.
std::string chooseServiceName(const std::string& machineInfoText, const std::string& hostName);

} // namespace quorvi
