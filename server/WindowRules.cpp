#include "server/WindowRules.h"

#include "server/PublishedState.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace quorvi {

namespace {

bool contains(std::string_view text, std::string_view part) {
    return text.find(part) != std::string_view::npos;
}

// The pieces of the statistics text between " · " separators.
std::vector<std::string> splitStats(std::string_view clientStats) {
    static constexpr std::string_view kSeparator = " · ";
    std::vector<std::string> pieces;
    std::size_t from = 0;
    while (true) {
        const std::size_t at = clientStats.find(kSeparator, from);
        if (at == std::string_view::npos) {
            pieces.emplace_back(clientStats.substr(from));
            return pieces;
        }
        pieces.emplace_back(clientStats.substr(from, at - from));
        from = at + kSeparator.size();
    }
}

std::string removingAll(std::string text, std::string_view part) {
    std::size_t at = 0;
    while ((at = text.find(part, at)) != std::string::npos) {
        text.erase(at, part.size());
    }
    return text;
}

// Upper case for ASCII and for the Latin-1 letters of UTF-8 ("é" → "É"),
// which covers every phase a client sends; other characters are kept.
std::string upperCased(std::string_view text) {
    std::string result(text);
    for (std::size_t i = 0; i < result.size(); ++i) {
        const auto byte = static_cast<unsigned char>(result[i]);
        if (byte >= 'a' && byte <= 'z') {
            result[i] = static_cast<char>(byte - 'a' + 'A');
        } else if (byte == 0xC3 && i + 1 < result.size()) {
            const auto next = static_cast<unsigned char>(result[i + 1]);
            // U+00E0..U+00FE without U+00F7 (÷), whose capitals are 0x20 lower.
            if (next >= 0xA0 && next <= 0xBE && next != 0xB7) {
                result[i + 1] = static_cast<char>(next - 0x20);
            }
            ++i;
        }
    }
    return result;
}

// x × 100 truncated toward zero; a value no integer can hold is pinned to
// the nearest one, so a hostile client cannot make the conversion undefined.
std::int64_t truncatedPercent(double value) {
    const double scaled = value * 100.0;
    if (std::isnan(scaled)) {
        return 0;
    }
    constexpr double kLimit = 9.2e18;
    if (scaled >= kLimit) {
        return std::numeric_limits<std::int64_t>::max();
    }
    if (scaled <= -kLimit) {
        return std::numeric_limits<std::int64_t>::min();
    }
    return static_cast<std::int64_t>(std::trunc(scaled));
}

std::string lowerCased(std::string_view text) {
    std::string result(text);
    std::transform(result.begin(), result.end(), result.begin(), [](char c) {
        return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    });
    return result;
}

} // namespace

bool isConnected(std::string_view connectionName) {
    return connectionName == kConnectedName;
}

bool isExtended(std::string_view displayMode) {
    return contains(displayMode, kExtendedMarker);
}

bool isScreenRecordingMissing(std::string_view permissionSummary) {
    return contains(permissionSummary, kScreenRecordingMissingMarker);
}

bool isAccessibilityMissing(std::string_view permissionSummary) {
    return contains(permissionSummary, kAccessibilityMissingMarker);
}

bool serverIsStopped(std::string_view status) {
    return status == kStoppedStatus || contains(status, kFailedMarker);
}

std::string primaryAddress(const std::vector<std::string>& localAddresses, std::uint16_t port) {
    if (localAddresses.empty()) {
        return "En attente";
    }
    return localAddresses.front() + ":" + std::to_string(port);
}

std::string serverHeaderValue(std::string_view status, bool connected) {
    if (connected) {
        return "Connecté";
    }
    if (contains(status, "Prêt")) {
        return "Prêt";
    }
    if (contains(status, "Démarrage")) {
        return "Démarrage";
    }
    if (contains(status, kFailedMarker)) {
        return "Erreur";
    }
    if (status == kStoppedStatus) {
        return "Arrêté";
    }
    return "Actif";
}

StatusTone serverTone(std::string_view status, bool connected) {
    if (connected) {
        return StatusTone::good;
    }
    if (contains(status, "Prêt")) {
        return StatusTone::good;
    }
    if (contains(status, kFailedMarker)) {
        return StatusTone::danger;
    }
    if (contains(status, "Démarrage")) {
        return StatusTone::warning;
    }
    return StatusTone::neutral;
}

std::string latencyValue(std::string_view clientStats) {
    if (clientStats.empty()) {
        return {};
    }
    return splitStats(clientStats).front();
}

std::string frameRateFigure(std::string_view clientStats) {
    const auto pieces = splitStats(clientStats);
    if (pieces.size() < 2) {
        return "--";
    }
    return removingAll(pieces[1], " iPhone");
}

std::string latestGestureDetail(const std::vector<InputEventMessage>& receivedInputs) {
    if (receivedInputs.empty()) {
        return "Touchez iPhone pour tester contrôle.";
    }
    const InputEventMessage& newest = receivedInputs.front();
    return upperCased(newest.phase) + "  x " + std::to_string(truncatedPercent(newest.x)) +
           "%  y " + std::to_string(truncatedPercent(newest.y)) + "%";
}

std::string recentLogSummary(const std::vector<std::string>& logs) {
    if (logs.empty()) {
        return "Aucune activité récente";
    }
    return logs.front();
}

bool isCompactLayout(int bodyWidth) {
    return bodyWidth < kSplitLayoutMinimumWidth;
}

std::string qualityMenuLabel(StreamMode mode, std::int64_t targetFPS) {
    const std::int64_t fps =
        mode == StreamMode::automatic ? targetFPS : resolvedPreset(mode, 0).fps;
    return std::string(title(mode)) + " · " + std::to_string(fps) + " FPS";
}

std::string menuStatusLine(std::string_view status, std::string_view connectionName) {
    return std::string(status) + " · " + std::string(connectionName);
}

DerivedWindowState deriveWindowState(const PublishedState& state, std::uint16_t port) {
    DerivedWindowState derived;
    derived.connected = isConnected(state.connectionName());
    derived.isExtended = isExtended(state.displayMode());
    derived.screenRecordingMissing = isScreenRecordingMissing(state.permissionSummary());
    derived.accessibilityMissing = isAccessibilityMissing(state.permissionSummary());
    derived.serverIsStopped = serverIsStopped(state.status());
    derived.primaryAddress = primaryAddress(state.localAddresses(), port);
    derived.serverHeaderValue = serverHeaderValue(state.status(), derived.connected);
    derived.serverTone = serverTone(state.status(), derived.connected);
    derived.latencyValue = latencyValue(state.clientStats());
    derived.frameRateFigure = frameRateFigure(state.clientStats());
    derived.latestGestureDetail = latestGestureDetail(state.receivedInputs());
    derived.recentLogSummary = recentLogSummary(state.logs());
    return derived;
}

bool ConnectionHideRule::connectionNameChanged(std::string_view newName,
                                               bool hideWindowDuringStream) {
    if (!isConnected(newName)) {
        didHideForCurrentConnection_ = false;
        return false;
    }
    if (!hideWindowDuringStream || didHideForCurrentConnection_) {
        return false;
    }
    didHideForCurrentConnection_ = true;
    return true;
}

std::vector<SettingsCommand> settingsPaneCandidates(SettingsPane /*pane*/,
                                                    std::string_view currentDesktop) {
    struct Entry {
        const char* desktop; // a lower-case $XDG_CURRENT_DESKTOP entry
        SettingsCommand command;
    };
    static const std::vector<Entry> kDesktopPrograms = {
        {"gnome", {"gnome-control-center", {"display"}}},
        {"budgie", {"budgie-control-center", {"display"}}},
        {"x-cinnamon", {"cinnamon-settings", {"display"}}},
        {"mate", {"mate-display-properties", {}}},
        {"kde", {"kcmshell6", {"kcm_kscreen"}}},
        {"kde", {"kcmshell5", {"kcm_kscreen"}}},
        {"xfce", {"xfce4-display-settings", {}}},
        {"lxqt", {"lxqt-config-monitor", {}}},
        {"lxde", {"lxrandr", {}}},
    };
    static const std::vector<SettingsCommand> kNeutralPrograms = {
        {"arandr", {}},
        {"lxrandr", {}},
    };

    std::vector<std::string> desktops;
    std::size_t from = 0;
    const std::string lowered = lowerCased(currentDesktop);
    while (from <= lowered.size()) {
        const std::size_t at = lowered.find(':', from);
        const std::size_t end = at == std::string::npos ? lowered.size() : at;
        if (end > from) {
            desktops.push_back(lowered.substr(from, end - from));
        }
        if (at == std::string::npos) {
            break;
        }
        from = at + 1;
    }

    std::vector<SettingsCommand> candidates;
    const auto add = [&](const SettingsCommand& command) {
        if (std::find(candidates.begin(), candidates.end(), command) == candidates.end()) {
            candidates.push_back(command);
        }
    };
    for (const auto& desktop : desktops) {
        for (const auto& entry : kDesktopPrograms) {
            if (desktop == entry.desktop) {
                add(entry.command);
            }
        }
    }
    for (const auto& entry : kDesktopPrograms) {
        add(entry.command);
    }
    for (const auto& command : kNeutralPrograms) {
        add(command);
    }
    return candidates;
}

} // namespace quorvi
