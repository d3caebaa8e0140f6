#include "server/LaunchOptions.h"

#include <charconv>

namespace quorvi {
namespace {

std::optional<std::uint16_t> parsePort(const std::string& text) {
    unsigned value = 0;
    const auto* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, value);
    if (text.empty() || result.ec != std::errc() || result.ptr != end || value > 65535) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(value);
}

} // namespace

std::string launchUsage() {
    return "Usage: quorvi-mac [--headless] [--port N] [--bind ADRESSE] [--backend NOM]\n"
           "                  [--allow RÉSEAUX] [--approve-new-devices]\n"
           "  --headless      sans fenêtre; affiche chaque changement d'état sur une ligne\n"
           "  --port N        port TCP d'écoute et annoncé (défaut 54545; 0 = port libre)\n"
           "  --bind ADRESSE  n'écouter que sur cette adresse (défaut: toutes)\n"
           "  --backend NOM   bureau à utiliser: x11, wlroots ou gnome (défaut: celui de la "
           "session)\n"
           "  --allow RÉSEAUX qui peut se connecter pour cette fois: lan, ou adresses et\n"
           "                  préfixes séparés par des virgules (192.168.1.0/24,fd00::/8)\n"
           "  --approve-new-devices  demander l'autorisation pour tout appareil inconnu\n";
}

LaunchOptionsParse parseLaunchOptions(const std::vector<std::string>& arguments) {
    LaunchOptions options;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        auto valueOf = [&](const std::string& name) -> std::optional<std::string> {
            const std::string prefix = name + "=";
            if (argument.rfind(prefix, 0) == 0) {
                return argument.substr(prefix.size());
            }
            if (argument == name && i + 1 < arguments.size()) {
                return arguments[++i];
            }
            return std::nullopt;
        };
        if (argument == "--headless") {
            options.isHeadless = true;
        } else if (argument == "--help" || argument == "-h") {
            return {std::nullopt, {}, true};
        } else if (argument == "--port" || argument.rfind("--port=", 0) == 0) {
            const auto value = valueOf("--port");
            if (!value) {
                return {std::nullopt, "--port attend un numéro de port (0 à 65535)", false};
            }
            const auto port = parsePort(*value);
            if (!port) {
                return {std::nullopt,
                        "Port invalide: « " + *value + " » (attendu: un entier de 0 à 65535)",
                        false};
            }
            options.port = *port;
        } else if (argument == "--bind" || argument.rfind("--bind=", 0) == 0) {
            const auto value = valueOf("--bind");
            if (!value || value->empty()) {
                return {std::nullopt, "--bind attend une adresse IP", false};
            }
            options.bindAddress = *value;
        } else if (argument == "--allow" || argument.rfind("--allow=", 0) == 0) {
            const auto value = valueOf("--allow");
            if (!value) {
                return {std::nullopt, "--allow attend « lan » ou une liste de réseaux", false};
            }
            options.allowedNetworks = *value;
        } else if (argument == "--approve-new-devices") {
            options.approveNewDevices = true;
        } else if (argument == "--backend" || argument.rfind("--backend=", 0) == 0) {
            const auto value = valueOf("--backend");
            if (!value || (*value != "x11" && *value != "wlroots" && *value != "gnome")) {
                return {std::nullopt,
                        "Bureau inconnu: « " + value.value_or("") +
                            " » (attendu: x11, wlroots ou gnome)",
                        false};
            }
            options.backend = *value;
        } else {
            return {std::nullopt, "Option inconnue: « " + argument + " »", false};
        }
    }
    return {options, {}, false};
}

} // namespace quorvi
