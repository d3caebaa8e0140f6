#pragma once

#include <string>
#include <system_error>

namespace quorvi {

// The French description of a socket error, shown after the server's
// prefixes ("Connexion échouée: " …). Common errors get a French text; the
// rest fall back to the system's own message.
std::string describeNetworkError(const std::error_code& error);

} // namespace quorvi
