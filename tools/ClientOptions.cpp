#include "tools/ClientOptions.h"

#include "protocol/JsonCodec.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>

namespace quorvi::client {

namespace {

std::optional<std::int64_t> parseInteger(const std::string& text) {
    std::int64_t value = 0;
    const char* end = text.data() + text.size();
    const auto [rest, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc() || rest != end || text.empty()) {
        return std::nullopt;
    }
    return value;
}

std::optional<double> parseDouble(const std::string& text) {
    if (text.empty()) {
        return std::nullopt;
    }
    errno = 0;
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (errno != 0 || end != text.c_str() + text.size() || !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

// "A<separator>B" into two parts.
bool splitPair(const std::string& text, char separator, std::string& first, std::string& second) {
    const auto at = text.find(separator);
    if (at == std::string::npos || text.find(separator, at + 1) != std::string::npos) {
        return false;
    }
    first = text.substr(0, at);
    second = text.substr(at + 1);
    return true;
}

} // namespace

bool parseHostAndPort(const std::string& text, std::string& host, std::uint16_t& port) {
    std::string portText;
    if (!text.empty() && text.front() == '[') {
        const auto close = text.find(']');
        if (close == std::string::npos) {
            return false;
        }
        host = text.substr(1, close - 1);
        const std::string rest = text.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':') {
                return false;
            }
            portText = rest.substr(1);
            if (portText.empty()) {
                return false;
            }
        }
    } else {
        const auto first = text.find(':');
        if (first != std::string::npos && text.find(':', first + 1) == std::string::npos) {
            host = text.substr(0, first);
            portText = text.substr(first + 1);
            if (portText.empty()) {
                return false;
            }
        } else {
            host = text;
        }
    }
    if (host.empty()) {
        return false;
    }
    if (!portText.empty()) {
        const std::optional<std::int64_t> value = parseInteger(portText);
        if (!value || *value < 1 || *value > 65535) {
            return false;
        }
        port = static_cast<std::uint16_t>(*value);
    }
    return true;
}

std::string usageText() {
    return "usage: quorvi-client HOTE[:PORT] [options]\n"
           "  Se connecte au serveur Quorvi (port 54545 par défaut), lit les trames,\n"
           "  décode leur image (JPEG, H.264, HEVC) et affiche une ligne par trame,\n"
           "  puis un résumé.\n"
           "options:\n"
           "  --frames N        s'arrête après N trames\n"
           "  --seconds S       s'arrête après S secondes\n"
           "  --save FICHIER    enregistre la dernière image décodée en PNG\n"
           "  --dump FICHIER    écrit les unités d'accès vidéo reçues (Annex-B brut)\n"
           "  --tap X,Y         envoie un tap en (X, Y), fractions de l'écran\n"
           "  --viewport LxH    envoie la taille de la vue\n"
           "  --stats L,D       envoie les statistiques (latence ms, images/s affichées)\n"
           "  --send LIGNE      envoie une ligne JSON telle quelle\n"
           "  --bind ADRESSE    se connecte depuis cette adresse locale (ex. 127.0.0.2)\n"
           "  -h, --help        affiche cette aide\n"
           "Les messages à envoyer partent une fois, juste après la connexion, dans\n"
           "l'ordre donné.\n";
}

ParsedOptions parseClientOptions(const std::vector<std::string>& arguments) {
    ClientOptions options;
    std::optional<std::string> address;
    const auto fail = [](std::string reason) { return ParsedOptions{std::nullopt, reason}; };

    for (std::size_t i = 0; i < arguments.size(); ++i) {
        std::string argument = arguments[i];
        if (argument == "-h" || argument == "--help") {
            options.isHelpRequested = true;
            return ParsedOptions{options, {}};
        }
        if (argument.rfind("--", 0) != 0 || argument == "--") {
            if (argument == "--" || argument.rfind("-", 0) == 0) {
                return fail("option inconnue: " + argument);
            }
            if (address) {
                return fail("une seule adresse attendue, reçu aussi: " + argument);
            }
            address = argument;
            continue;
        }
        // --name=value or --name value
        std::string name = argument;
        std::optional<std::string> value;
        if (const auto equals = argument.find('='); equals != std::string::npos) {
            name = argument.substr(0, equals);
            value = argument.substr(equals + 1);
        }
        static const char* const kNames[] = {"--frames",   "--seconds", "--save", "--dump", "--tap",
                                             "--viewport", "--stats",   "--send", "--bind"};
        bool isKnown = false;
        for (const char* known : kNames) {
            isKnown = isKnown || name == known;
        }
        if (!isKnown) {
            return fail("option inconnue: " + name);
        }
        if (!value) {
            if (i + 1 >= arguments.size()) {
                return fail("valeur manquante après " + name);
            }
            value = arguments[++i];
        }

        if (name == "--frames") {
            const std::optional<std::int64_t> count = parseInteger(*value);
            if (!count || *count < 1) {
                return fail("--frames attend un entier positif, reçu: " + *value);
            }
            options.frameLimit = count;
        } else if (name == "--seconds") {
            const std::optional<double> seconds = parseDouble(*value);
            if (!seconds || *seconds <= 0) {
                return fail("--seconds attend une durée positive, reçu: " + *value);
            }
            options.secondsLimit = seconds;
        } else if (name == "--save" || name == "--dump") {
            if (value->empty()) {
                return fail(name + " attend un nom de fichier");
            }
            (name == "--save" ? options.savePath : options.dumpPath) = *value;
        } else if (name == "--tap") {
            std::string x;
            std::string y;
            const std::optional<double> xValue =
                splitPair(*value, ',', x, y) ? parseDouble(x) : std::nullopt;
            const std::optional<double> yValue = xValue ? parseDouble(y) : std::nullopt;
            if (!xValue || !yValue) {
                return fail("--tap attend X,Y (deux nombres, ex. 0.5,0.25), reçu: " + *value);
            }
            options.outgoing.emplace_back(TapToSend{*xValue, *yValue});
        } else if (name == "--viewport") {
            std::string width;
            std::string height;
            std::optional<double> widthValue;
            std::optional<double> heightValue;
            if (splitPair(*value, 'x', width, height)) {
                widthValue = parseDouble(width);
                heightValue = parseDouble(height);
            }
            if (!widthValue || !heightValue || *widthValue <= 0 || *heightValue <= 0) {
                return fail("--viewport attend LxH (deux nombres positifs, ex. 390x844), reçu: " +
                            *value);
            }
            options.outgoing.emplace_back(ViewportToSend{*widthValue, *heightValue});
        } else if (name == "--stats") {
            std::string latency;
            std::string fps;
            std::optional<std::int64_t> latencyValue;
            std::optional<std::int64_t> fpsValue;
            if (splitPair(*value, ',', latency, fps)) {
                latencyValue = parseInteger(latency);
                fpsValue = parseInteger(fps);
            }
            if (!latencyValue || !fpsValue) {
                return fail("--stats attend L,D (deux entiers, ex. 40,30), reçu: " + *value);
            }
            options.outgoing.emplace_back(StatsToSend{*latencyValue, *fpsValue});
        } else if (name == "--bind") {
            if (value->empty()) {
                return fail("--bind attend une adresse IP locale");
            }
            options.bindAddress = *value;
        } else if (name == "--send") {
            if (value->find('\n') != std::string::npos) {
                return fail("--send attend une seule ligne, sans saut de ligne");
            }
            options.outgoing.emplace_back(RawLineToSend{*value});
        }
    }

    if (!address) {
        return fail("adresse du serveur manquante (HOTE[:PORT])");
    }
    if (!parseHostAndPort(*address, options.host, options.port)) {
        return fail("adresse invalide: " + *address + " (attendu HOTE[:PORT], port 1 à 65535)");
    }
    return ParsedOptions{options, {}};
}

std::string outgoingLine(const Outgoing& message, double sentAt) {
    if (const auto* raw = std::get_if<RawLineToSend>(&message)) {
        return raw->line;
    }
    InputEventMessage event;
    event.sentAt = sentAt;
    if (const auto* tap = std::get_if<TapToSend>(&message)) {
        event.kind = "input";
        event.phase = "tap";
        event.x = tap->x;
        event.y = tap->y;
    } else if (const auto* viewport = std::get_if<ViewportToSend>(&message)) {
        event.kind = "viewport";
        event.viewportWidth = viewport->width;
        event.viewportHeight = viewport->height;
    } else if (const auto* stats = std::get_if<StatsToSend>(&message)) {
        event.kind = "stats";
        event.latencyMs = stats->latencyMs;
        event.displayedFPS = stats->displayedFPS;
    }
    // Every number was checked finite when parsed, so encoding cannot fail.
    return encodeInputEventMessage(event).value.value_or(std::string());
}

} // namespace quorvi::client
