#include "platform/linux/wlroots/SwayVirtualDisplayBackend.h"

#include "platform/linux/ProcessRuns.h"
#include "platform/linux/wlroots/SwayIpc.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <optional>
#include <set>
#include <unistd.h>
#include <utility>
#include <vector>

namespace quorvi {

struct SwayVirtualDisplayBackend::Session {
    Session(OutputResolver resolver, std::string socketPath, std::shared_ptr<WaitClock> waitClock)
        : resolver(std::move(resolver)), socketPath(std::move(socketPath)),
          waitClock(std::move(waitClock)) {}

    std::mutex mutex;
    const OutputResolver resolver;
    const std::string socketPath;
    const std::shared_ptr<WaitClock> waitClock;
    // (socket, output) of the displays made through this session and not
    // removed yet: never taken for leftovers, never taken again.
    std::set<std::pair<std::string, std::string>> live;
};

namespace {

using sway::IpcConnection;
using sway::Output;

// Sway's coordinates are 32-bit.
constexpr std::int64_t kMaxSide = 32767;

// The file that keeps the names of our outputs. Its first line names the
// compositor's socket, whose path holds the compositor's process id: a file
// left by an earlier compositor names outputs that went with it, and whose
// names a new compositor may have given to outputs of someone else.
std::string stateFilePath() {
    const char* folder = std::getenv("XDG_RUNTIME_DIR");
    if (folder != nullptr && *folder != '\0') {
        return std::string(folder) + "/" + SwayVirtualDisplayBackend::kStateFileName;
    }
    return std::string("/tmp/") + SwayVirtualDisplayBackend::kStateFileName + "-" +
           std::to_string(getuid());
}

std::string stateHeader(const std::string& socket) {
    return "sway " + socket;
}

// One output the state file names, with the run using it; no run when it is
// free (given up, or written by a build that did not say).
struct StateEntry {
    std::string name;
    std::optional<ProcessRun> user;
};

std::vector<StateEntry> readState(const std::string& path, const std::string& socket) {
    std::ifstream file(path);
    std::string line;
    std::vector<StateEntry> entries;
    if (!std::getline(file, line) || line != stateHeader(socket)) {
        return entries;
    }
    while (std::getline(file, line)) {
        if (line.empty()) {
            continue;
        }
        const std::optional<ProcessRun> user = ownerOfName(line);
        entries.push_back(
            {user ? line.substr(0, line.size() - ownerTag(*user).size()) : line, user});
    }
    return entries;
}

std::vector<std::string> namesOf(const std::vector<StateEntry>& entries) {
    std::vector<std::string> names;
    for (const StateEntry& entry : entries) {
        names.push_back(entry.name);
    }
    return names;
}

// Another instance of the application that still runs shows this output.
bool isUsedByAnotherRun(const std::vector<StateEntry>& entries, const std::string& name) {
    return std::any_of(entries.begin(), entries.end(), [&](const StateEntry& entry) {
        return entry.name == name && entry.user && *entry.user != currentProcessRun() &&
               isRunning(*entry.user);
    });
}

// Written to a new file then renamed over the old one, so that a crash
// midway leaves the old list whole.
void writeState(const std::string& path, const std::string& socket,
                const std::vector<StateEntry>& entries) {
    std::string text = stateHeader(socket) + "\n";
    for (const StateEntry& entry : entries) {
        text += entry.name + (entry.user ? ownerTag(*entry.user) : std::string()) + "\n";
    }
    std::string temporary = path + ".XXXXXX";
    const int fd = mkstemp(temporary.data());
    if (fd < 0) {
        return; // leftovers then stay for the user to remove; nothing else breaks
    }
    const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    if (!written || std::rename(temporary.c_str(), path.c_str()) != 0) {
        std::remove(temporary.c_str());
    }
}

// Records which run uses the output now (none: it is free).
void markUser(const std::string& path, const std::string& socket, const std::string& name,
              std::optional<ProcessRun> user) {
    std::vector<StateEntry> entries = readState(path, socket);
    const auto found = std::find_if(entries.begin(), entries.end(),
                                    [&](const StateEntry& entry) { return entry.name == name; });
    if (found != entries.end()) {
        found->user = user;
    } else {
        entries.push_back({name, user});
    }
    writeState(path, socket, entries);
}

// Output names go into commands unquoted: only plain ones are taken.
bool isPlainName(const std::string& name) {
    return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
               c == '-' || c == '_';
    });
}

bool isHeadless(const std::string& name) {
    return name.rfind("HEADLESS-", 0) == 0;
}

const Output* findOutput(const std::vector<Output>& outputs, const std::string& name) {
    const auto found = std::find_if(outputs.begin(), outputs.end(),
                                    [&](const Output& output) { return output.name == name; });
    return found == outputs.end() ? nullptr : &*found;
}

// What a removed display's output looks like where it cannot be disabled.
bool isParked(const Output& output) {
    return output.active && output.modeWidth == 1 && output.modeHeight == 1;
}

// The output at the layout's origin, else the first active one; never one
// of ours.
const Output* mainOutput(const std::vector<Output>& outputs, const std::set<std::string>& ours) {
    const Output* first = nullptr;
    for (const Output& output : outputs) {
        if (!output.active || ours.count(output.name) != 0) {
            continue;
        }
        if (output.x == 0 && output.y == 0) {
            return &output;
        }
        if (first == nullptr) {
            first = &output;
        }
    }
    return first;
}

std::string sizeText(std::int64_t width, std::int64_t height) {
    return std::to_string(width) + "x" + std::to_string(height);
}

std::optional<std::vector<Output>> readOutputs(IpcConnection& connection) {
    const auto reply = connection.request(sway::MessageType::getOutputs, {});
    return reply ? sway::parseOutputs(*reply) : std::nullopt;
}

std::string lostReason(const IpcConnection& connection) {
    return "sway ne répond plus (" + connection.error() + ")";
}

// Nothing when sway took the command; else why, in words for the journal.
std::optional<std::string> runCommand(IpcConnection& connection, const std::string& command) {
    const auto reply = connection.request(sway::MessageType::runCommand, command);
    if (!reply) {
        return lostReason(connection);
    }
    if (const auto error = sway::commandError(*reply)) {
        return "sway a refusé « " + command + " »: " + *error;
    }
    return std::nullopt;
}

// Takes the output out of the layout: disabled where the compositor can,
// else (wlroots 0.15's headless outputs) shrunk to one pixel right of the
// main output. Failures are left as they are: the output is ours and is
// retired again at the next creation.
void retire(IpcConnection& connection, const std::string& name, const std::set<std::string>& ours) {
    // Sway takes the command even when the compositor then fails to apply it,
    // so only the outputs it lists afterwards tell.
    (void)runCommand(connection, "output " + name + " disable");
    const auto outputs = readOutputs(connection);
    const Output* output = outputs ? findOutput(*outputs, name) : nullptr;
    if (output == nullptr || !output->active) {
        return;
    }
    std::int64_t x = 0;
    std::int64_t y = 0;
    if (const Output* main = mainOutput(*outputs, ours)) {
        x = main->x + main->width;
        y = main->y;
    }
    // "enable" too: sway keeps the refused "disable" in the output's
    // configuration and would otherwise try it again with every change.
    (void)runCommand(connection, "output " + name + " enable mode 1x1 scale 1 pos " +
                                     std::to_string(x) + " " + std::to_string(y));
}

std::set<std::string> oursFromState(const std::string& statePath, const std::string& socket,
                                    const std::string& name) {
    const std::vector<std::string> names = namesOf(readState(statePath, socket));
    std::set<std::string> ours(names.begin(), names.end());
    ours.insert(name);
    return ours;
}

// Takes out of the layout what runs that ended without removing their
// displays left showing: outputs of ours, neither live nor parked. The
// names of those it retired.
template <typename IsLive>
std::vector<std::string> retireLeftovers(IpcConnection& connection,
                                         const std::vector<Output>& outputs,
                                         const std::vector<std::string>& ours, IsLive isLive) {
    const std::set<std::string> oursSet(ours.begin(), ours.end());
    std::vector<std::string> retired;
    for (const std::string& name : ours) {
        const Output* output = findOutput(outputs, name);
        if (output != nullptr && !isLive(name) && output->active && !isParked(*output)) {
            retire(connection, name, oursSet);
            retired.push_back(name);
        }
    }
    return retired;
}

VirtualDisplayCreation unavailable(std::string reason) {
    return VirtualDisplayCreation::failed(VirtualDisplayCreation::Failure::unavailable,
                                          std::move(reason));
}

VirtualDisplayCreation creationFailed(std::string reason) {
    return VirtualDisplayCreation::failed(VirtualDisplayCreation::Failure::creationFailed,
                                          std::move(reason));
}

// One output of ours showing a display. Each call talks to sway on a
// connection of its own: sway may have answered others in between.
class SwayVirtualDisplay final : public VirtualDisplay {
public:
    SwayVirtualDisplay(std::shared_ptr<SwayVirtualDisplayBackend::Session> session,
                       std::string socket, std::string statePath, std::string name, DisplayID id)
        : session_(std::move(session)), socket_(std::move(socket)),
          statePath_(std::move(statePath)), name_(std::move(name)), id_(id) {}

    ~SwayVirtualDisplay() override {
        std::lock_guard lock(session_->mutex);
        session_->live.erase({socket_, name_});
        std::string error;
        auto connection =
            IpcConnection::open(socket_, SwayVirtualDisplayBackend::kIpcTimeout, error);
        if (connection) {
            retire(*connection, name_, oursFromState(statePath_, socket_, name_));
        }
        markUser(statePath_, socket_, name_, std::nullopt);
    }

    DisplayID displayID() override { return id_; }

    // (x, y) is in the global display space, whose origin is the main
    // output's top-left corner in sway's layout.
    void moveTo(std::int32_t x, std::int32_t y) override {
        std::lock_guard lock(session_->mutex);
        std::string error;
        auto connection =
            IpcConnection::open(socket_, SwayVirtualDisplayBackend::kIpcTimeout, error);
        const auto outputs = connection ? readOutputs(*connection) : std::nullopt;
        const Output* main =
            outputs ? mainOutput(*outputs, oursFromState(statePath_, socket_, name_)) : nullptr;
        if (main == nullptr) {
            return;
        }
        (void)runCommand(*connection, "output " + name_ + " pos " + std::to_string(x + main->x) +
                                          " " + std::to_string(y + main->y));
    }

private:
    std::shared_ptr<SwayVirtualDisplayBackend::Session> session_;
    std::string socket_;
    std::string statePath_;
    std::string name_;
    DisplayID id_;
};

} // namespace

SwayVirtualDisplayBackend::SwayVirtualDisplayBackend(OutputResolver resolver,
                                                     std::string socketPath,
                                                     std::shared_ptr<WaitClock> waitClock)
    : session_(std::make_shared<Session>(std::move(resolver), std::move(socketPath),
                                         waitClock ? std::move(waitClock)
                                                   : std::make_shared<SteadyWaitClock>())) {}

SwayVirtualDisplayBackend::~SwayVirtualDisplayBackend() = default;

VirtualDisplayCreation SwayVirtualDisplayBackend::create(const VirtualDisplayDescriptor& descriptor,
                                                         const VirtualDisplaySettings& settings) {
    std::lock_guard lock(session_->mutex);
    std::string socket = session_->socketPath;
    if (const char* variable = std::getenv("SWAYSOCK"); socket.empty() && variable != nullptr) {
        socket = variable;
    }
    if (socket.empty()) {
        return unavailable("pas de sway ici (SWAYSOCK absent)");
    }

    // One point is one logical pixel; a hiDPI display has two pixels per
    // point, which sway's scale 2 turns back into points.
    const auto size = virtualDisplayPixelSize(descriptor, settings);
    if (!size) {
        return creationFailed("aucun mode demandé");
    }
    const int scale = settings.isHiDPI ? 2 : 1;
    const std::int64_t pixelsWide = size->wide;
    const std::int64_t pixelsHigh = size->high;
    if (pixelsWide <= 0 || pixelsHigh <= 0 || pixelsWide > kMaxSide || pixelsHigh > kMaxSide) {
        return creationFailed("taille " + sizeText(pixelsWide, pixelsHigh) +
                              " hors des limites de sway");
    }

    std::string error;
    std::optional<IpcConnection> connection = IpcConnection::open(socket, kIpcTimeout, error);
    if (!connection) {
        return unavailable("sway injoignable sur " + socket + " (" + error + ")");
    }
    std::optional<std::vector<Output>> outputs = readOutputs(*connection);
    if (!outputs) {
        return unavailable("le socket " + socket + " ne répond pas comme sway (" +
                           connection->error() + ")");
    }

    // Ours: the outputs the state file names for this compositor that are
    // still there.
    const std::string statePath = stateFilePath();
    const std::vector<StateEntry> entries = readState(statePath, socket);
    std::vector<std::string> ours;
    for (const std::string& name : namesOf(entries)) {
        if (isPlainName(name) && findOutput(*outputs, name) != nullptr &&
            std::find(ours.begin(), ours.end(), name) == ours.end()) {
            ours.push_back(name);
        }
    }
    // Live: shown by this backend, or by another instance that still runs.
    const auto isLive = [&](const std::string& name) {
        return session_->live.count({socket, name}) != 0 || isUsedByAnotherRun(entries, name);
    };
    const auto oursSet = [&] { return std::set<std::string>(ours.begin(), ours.end()); };
    retireLeftovers(*connection, *outputs, ours, isLive);

    // An output of ours first, else one that nobody uses, else a new one.
    std::string name;
    for (const std::string& candidate : ours) {
        if (!isLive(candidate)) {
            name = candidate;
            break;
        }
    }
    for (const Output& output : *outputs) {
        if (name.empty() && !output.active && isHeadless(output.name) && isPlainName(output.name) &&
            !isLive(output.name)) {
            name = output.name;
        }
    }
    if (name.empty()) {
        outputs = readOutputs(*connection);
        if (!outputs) {
            return creationFailed(lostReason(*connection));
        }
        // Sway only makes outputs on its headless, Wayland or X11 backends.
        if (const auto refused = runCommand(*connection, "create_output")) {
            return unavailable(*refused + " (sway doit avoir le moteur headless, "
                                          "WLR_BACKENDS=drm,libinput,headless)");
        }
        const auto after = readOutputs(*connection);
        if (!after) {
            return creationFailed(lostReason(*connection));
        }
        for (const Output& output : *after) {
            if (name.empty() && findOutput(*outputs, output.name) == nullptr &&
                isPlainName(output.name)) {
                name = output.name;
            }
        }
        if (name.empty()) {
            return creationFailed("sortie créée par sway introuvable");
        }
    }
    if (std::find(ours.begin(), ours.end(), name) == ours.end()) {
        ours.push_back(name);
    }
    // Before the output shows anything: a crash from here on leaves it known.
    std::vector<StateEntry> written;
    for (const std::string& known : ours) {
        const auto entry = std::find_if(entries.begin(), entries.end(),
                                        [&](const StateEntry& e) { return e.name == known; });
        written.push_back({known, known == name
                                      ? std::optional(currentProcessRun())
                                      : (entry != entries.end() ? entry->user : std::nullopt)});
    }
    writeState(statePath, socket, written);

    // From here on, a failure takes the output out of the layout again.
    const auto undo = [&](std::string reason) {
        retire(*connection, name, oursSet());
        return creationFailed(std::move(reason));
    };
    outputs = readOutputs(*connection);
    if (!outputs) {
        return creationFailed(lostReason(*connection));
    }
    // Right of the main output, top edges aligned.
    std::int64_t x = 0;
    std::int64_t y = 0;
    if (const Output* main = mainOutput(*outputs, oursSet())) {
        x = main->x + main->width;
        y = main->y;
    }
    std::string mode = sizeText(pixelsWide, pixelsHigh);
    // Written by hand: printf would follow the locale's decimal comma.
    const double refreshRate = settings.modes.front().refreshRate;
    if (refreshRate > 0 && refreshRate < 1000) {
        const long millihertz = std::lround(refreshRate * 1000);
        const std::string fraction = std::to_string(1000 + millihertz % 1000).substr(1);
        mode += "@" + std::to_string(millihertz / 1000) + "." + fraction + "Hz";
    }
    if (const auto refused =
            runCommand(*connection, "output " + name + " enable mode " + mode + " scale " +
                                        std::to_string(scale) + " pos " + std::to_string(x) + " " +
                                        std::to_string(y))) {
        return undo(*refused);
    }
    // Sway answers before knowing whether the compositor applied it.
    outputs = readOutputs(*connection);
    const Output* made = outputs ? findOutput(*outputs, name) : nullptr;
    if (made == nullptr || !made->active || made->modeWidth != pixelsWide ||
        made->modeHeight != pixelsHigh || made->scale != scale) {
        return undo("sway n'a pas appliqué le mode " + sizeText(pixelsWide, pixelsHigh) +
                    " à l'échelle " + std::to_string(scale) + " sur " + name);
    }

    // The Wayland side learns of the output a moment later.
    session_->live.insert({socket, name});
    WaitClock& clock = *session_->waitClock;
    const double deadline = clock.now() + std::chrono::duration<double>(kResolveTimeout).count();
    DisplayID id = session_->resolver ? session_->resolver(name) : 0;
    while (id == 0 && session_->resolver && clock.now() < deadline) {
        clock.sleepFor(kResolvePollInterval);
        id = session_->resolver(name);
    }
    if (id == 0) {
        session_->live.erase({socket, name});
        return undo("sortie " + name + " absente des sorties Wayland");
    }

    VirtualDisplayCreation creation;
    creation.display = std::make_unique<SwayVirtualDisplay>(session_, socket, statePath, name, id);
    return creation;
}

std::vector<std::string> SwayVirtualDisplayBackend::removeLeftovers() {
    std::lock_guard lock(session_->mutex);
    std::string socket = session_->socketPath;
    if (const char* variable = std::getenv("SWAYSOCK"); socket.empty() && variable != nullptr) {
        socket = variable;
    }
    std::string error;
    std::optional<IpcConnection> connection =
        socket.empty() ? std::nullopt : IpcConnection::open(socket, kIpcTimeout, error);
    const auto outputs = connection ? readOutputs(*connection) : std::nullopt;
    if (!outputs) {
        return {};
    }
    const std::string statePath = stateFilePath();
    const std::vector<StateEntry> entries = readState(statePath, socket);
    const std::vector<std::string> retired =
        retireLeftovers(*connection, *outputs, namesOf(entries), [&](const std::string& name) {
            return session_->live.count({socket, name}) != 0 || isUsedByAnotherRun(entries, name);
        });
    for (const std::string& name : retired) {
        markUser(statePath, socket, name, std::nullopt);
    }
    return retired;
}

std::shared_ptr<VirtualDisplayBackend>
makeSwayVirtualDisplayBackend(SwayVirtualDisplayBackend::OutputResolver resolver) {
    return std::make_shared<SwayVirtualDisplayBackend>(std::move(resolver));
}

} // namespace quorvi
