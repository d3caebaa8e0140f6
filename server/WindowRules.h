#pragma once

// The few rules that turn the server's published texts into the window's
// short labels and colours, and the window's own small behaviours, as plain
// functions: the widgets only render what these return, so every rule is
// tested without a display.

#include "protocol/Messages.h"
#include "quality/StreamMode.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quorvi {

class PublishedState;

// The colour role of a status: good = success, warning, danger, neutral =
// the secondary text colour.
enum class StatusTone { good, warning, danger, neutral };

// The texts the rules test for. They are the contract with the server's
// published values, so they are compared byte for byte.
inline constexpr std::string_view kConnectedName = "iPhone connecté";
inline constexpr std::string_view kExtendedMarker = "Étendu";
inline constexpr std::string_view kScreenRecordingMissingMarker = "Screen manquant";
inline constexpr std::string_view kAccessibilityMissingMarker = "Accessibility manquant";
inline constexpr std::string_view kStoppedStatus = "Arrêté";
inline constexpr std::string_view kFailedMarker = "échoué";

// Sizes in points (one Qt device-independent pixel).
inline constexpr int kWindowMinimumWidth = 820;
inline constexpr int kWindowMinimumHeight = 600;
inline constexpr int kSplitLayoutMinimumWidth = 760;
inline constexpr int kSidebarMinimumWidth = 264;
inline constexpr int kSidebarIdealWidth = 296;
inline constexpr int kSidebarMaximumWidth = 344;
inline constexpr int kLivePaneMinimumWidth = 420;

inline constexpr std::chrono::milliseconds kHideAfterConnectionDelay{800};
inline constexpr std::chrono::milliseconds kJournalAnimationDuration{180};

// The user-defaults key of the "hide on connection" switch, true when absent.
inline constexpr const char* kHideWindowDuringStreamKey = "hideMacWindowDuringStream";
inline constexpr bool kHideWindowDuringStreamDefault = true;

bool isConnected(std::string_view connectionName);
bool isExtended(std::string_view displayMode);
bool isScreenRecordingMissing(std::string_view permissionSummary);
bool isAccessibilityMissing(std::string_view permissionSummary);
// "Arrêté", or any status that reports a failure.
bool serverIsStopped(std::string_view status);

// "192.168.1.20:54545" from the first address, "En attente" without one.
std::string primaryAddress(const std::vector<std::string>& localAddresses, std::uint16_t port);

// The header's one-word server state; the first rule that holds wins.
std::string serverHeaderValue(std::string_view status, bool connected);
// The same ladder as the header value, but "échoué" is tested before
// "Démarrage": a failed start is shown as danger.
StatusTone serverTone(std::string_view status, bool connected);

// The client's statistics text is "latency · frame rate"; these are its
// two pieces as the live metrics show them.
std::string latencyValue(std::string_view clientStats);
std::string frameRateFigure(std::string_view clientStats);

// "TAP  x 50%  y 25%" for the newest gesture, a hint when there is none.
std::string latestGestureDetail(const std::vector<InputEventMessage>& receivedInputs);
// The newest journal line, or "Aucune activité récente".
std::string recentLogSummary(const std::vector<std::string>& logs);

// Below 760 points the body is one scrolling column, from 760 a split view.
bool isCompactLayout(int bodyWidth);

// The tray's quality entries: "Économie · 5 FPS", …, "30 FPS · 30 FPS",
// and for the automatic mode the rate the server aims at now.
std::string qualityMenuLabel(StreamMode mode, std::int64_t targetFPS);
// The tray's status line: status · connection name.
std::string menuStatusLine(std::string_view status, std::string_view connectionName);

// Everything the window shows that is derived, computed in one go from the
// published state and the port the listener is bound to.
struct DerivedWindowState {
    bool connected = false;
    bool isExtended = false;
    bool screenRecordingMissing = false;
    bool accessibilityMissing = false;
    bool serverIsStopped = false;
    std::string primaryAddress;
    std::string serverHeaderValue;
    StatusTone serverTone = StatusTone::neutral;
    std::string latencyValue;
    std::string frameRateFigure;
    std::string latestGestureDetail;
    std::string recentLogSummary;

    bool operator==(const DerivedWindowState&) const = default;
};

DerivedWindowState deriveWindowState(const PublishedState& state, std::uint16_t port);

// Hiding the application once per connection. The window tells it every
// change of the connection name (not the value shown first); it answers
// whether to hide the application after kHideAfterConnectionDelay. A user
// who brings the window back is left alone until the client disconnects
// and a connection comes anew.
class ConnectionHideRule {
public:
    bool connectionNameChanged(std::string_view newName, bool hideWindowDuringStream);

private:
    bool didHideForCurrentConnection_ = false;
};

// The settings panes the window and the tray link to: one per privacy
// grant and one for the displays. An X11 desktop has no settings for the
// grants (they come from the X server itself), so every pane leads to the
// desktop's display settings, the one place where what is streamed (the
// screens and their arrangement) is changed.
enum class SettingsPane { screenRecording, accessibility, displays };

struct SettingsCommand {
    std::string program;
    std::vector<std::string> arguments;

    bool operator==(const SettingsCommand&) const = default;
};

// The display settings programs to try, in order: the ones of the running
// desktop ($XDG_CURRENT_DESKTOP, a colon-separated list) first, then the
// others, then the desktop-neutral RandR tools.
std::vector<SettingsCommand> settingsPaneCandidates(SettingsPane pane,
                                                    std::string_view currentDesktop);

} // namespace quorvi
