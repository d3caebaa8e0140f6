#include "platform/linux/gnome/MutterSession.h"

#include <chrono>
#include <systemd/sd-bus.h>

namespace quorvi::gnome {

namespace {

constexpr const char* kRemoteDesktopName = "org.gnome.Mutter.RemoteDesktop";
constexpr const char* kRemoteDesktopSessionInterface = "org.gnome.Mutter.RemoteDesktop.Session";
constexpr const char* kScreenCastName = "org.gnome.Mutter.ScreenCast";
constexpr const char* kScreenCastSessionInterface = "org.gnome.Mutter.ScreenCast.Session";

// The pointer drawn into the pictures, as the stream must show it.
constexpr std::uint32_t kCursorModeEmbedded = 1;

// NotifyPointerAxis flags.
constexpr std::uint32_t kAxisFinish = 1U << 0;
constexpr std::uint32_t kAxisSourceFinger = 1U << 2;

// Mutter announces a stream's node right after Start; a loaded compositor
// may take a moment.
constexpr auto kStreamNodeTimeout = std::chrono::seconds(5);

std::optional<std::string> readObjectPath(const dbus::Message& reply) {
    const char* path = nullptr;
    if (!reply || sd_bus_message_read(reply.get(), "o", &path) < 0 || path == nullptr) {
        return std::nullopt;
    }
    return std::string(path);
}

} // namespace

std::unique_ptr<MutterSession> MutterSession::create(Kind kind, std::string& error) {
    std::unique_ptr<MutterSession> session(new MutterSession());
    session->bus_ = dbus::Connection::openSessionBus(error);
    if (session->bus_ == nullptr) {
        return nullptr;
    }
    std::string callError;
    std::string sessionID;
    if (kind == Kind::remoteDesktop) {
        const auto remoteDesktopPath = readObjectPath(
            session->bus_->call(kRemoteDesktopName, "/org/gnome/Mutter/RemoteDesktop",
                                "org.gnome.Mutter.RemoteDesktop", "CreateSession", callError));
        if (!remoteDesktopPath) {
            error = "service de bureau à distance de GNOME injoignable (" + callError + ")";
            return nullptr;
        }
        session->remoteDesktopPath_ = *remoteDesktopPath;
        sessionID =
            dbus::readStringProperty(*session->bus_, kRemoteDesktopName, remoteDesktopPath->c_str(),
                                     kRemoteDesktopSessionInterface, "SessionId", callError);
        if (sessionID.empty()) {
            error = "session de bureau à distance sans identifiant (" + callError + ")";
            return nullptr;
        }
    }
    const auto screenCastPath = readObjectPath(session->bus_->call(
        kScreenCastName, "/org/gnome/Mutter/ScreenCast", "org.gnome.Mutter.ScreenCast",
        "CreateSession", callError, [&sessionID](sd_bus_message* m) {
            if (sessionID.empty()) {
                return sd_bus_message_append(m, "a{sv}", 0);
            }
            return sd_bus_message_append(m, "a{sv}", 1, "remote-desktop-session-id", "s",
                                         sessionID.c_str());
        }));
    if (!screenCastPath) {
        error = "service de capture d'écran de GNOME injoignable (" + callError + ")";
        return nullptr;
    }
    session->screenCastPath_ = *screenCastPath;
    MutterSession* self = session.get();
    const bool isRemote = kind == Kind::remoteDesktop;
    session->bus_->subscribe(
        isRemote ? kRemoteDesktopName : kScreenCastName, session->controlledPath().c_str(),
        isRemote ? kRemoteDesktopSessionInterface : kScreenCastSessionInterface, "Closed",
        [self](sd_bus_message*) { self->isClosed_ = true; });
    return session;
}

const std::string& MutterSession::controlledPath() const {
    return remoteDesktopPath_.empty() ? screenCastPath_ : remoteDesktopPath_;
}

MutterSession::~MutterSession() {
    // Closing the connection would end the sessions too; stopping first ends
    // them at once rather than when Mutter notices the connection is gone.
    if (bus_ != nullptr && !controlledPath().empty() && !isClosed_) {
        std::string error;
        const bool isRemote = !remoteDesktopPath_.empty();
        bus_->call(isRemote ? kRemoteDesktopName : kScreenCastName, controlledPath().c_str(),
                   isRemote ? kRemoteDesktopSessionInterface : kScreenCastSessionInterface, "Stop",
                   error, {}, std::chrono::seconds(1));
    }
}

std::optional<std::size_t>
MutterSession::addStream(const char* method, const std::string& connector, std::string& error) {
    std::string callError;
    const bool hasConnector = !connector.empty();
    const auto path = readObjectPath(bus_->call(
        kScreenCastName, screenCastPath_.c_str(), kScreenCastSessionInterface, method, callError,
        [&](sd_bus_message* m) {
            if (hasConnector) {
                const int result = sd_bus_message_append(m, "s", connector.c_str());
                if (result < 0) {
                    return result;
                }
            }
            return sd_bus_message_append(m, "a{sv}", 1, "cursor-mode", "u", kCursorModeEmbedded);
        }));
    if (!path) {
        error = callError;
        return std::nullopt;
    }
    const std::size_t index = streams_.size();
    streams_.push_back(ScreenCastStream{*path, std::nullopt});
    bus_->subscribe(kScreenCastName, path->c_str(), "org.gnome.Mutter.ScreenCast.Stream",
                    "PipeWireStreamAdded", [this, index](sd_bus_message* message) {
                        std::uint32_t node = 0;
                        if (sd_bus_message_read(message, "u", &node) >= 0) {
                            streams_[index].pipeWireNode = node;
                        }
                    });
    return index;
}

std::optional<std::size_t> MutterSession::recordMonitor(const std::string& connector,
                                                        std::string& error) {
    if (connector.empty()) {
        error = "écran sans connecteur";
        return std::nullopt;
    }
    return addStream("RecordMonitor", connector, error);
}

std::optional<std::size_t> MutterSession::recordVirtual(std::string& error) {
    return addStream("RecordVirtual", "", error);
}

bool MutterSession::start(std::string& error) {
    std::string callError;
    const bool isRemote = !remoteDesktopPath_.empty();
    if (!bus_->call(isRemote ? kRemoteDesktopName : kScreenCastName, controlledPath().c_str(),
                    isRemote ? kRemoteDesktopSessionInterface : kScreenCastSessionInterface,
                    "Start", callError)) {
        error = "démarrage de la session refusé (" + callError + ")";
        return false;
    }
    isStarted_ = true;
    const bool hasEveryNode = bus_->waitFor(
        [this] {
            if (isClosed_) {
                return true;
            }
            for (const ScreenCastStream& stream : streams_) {
                if (!stream.pipeWireNode) {
                    return false;
                }
            }
            return true;
        },
        kStreamNodeTimeout);
    if (isClosed_) {
        error = "session fermée par GNOME";
        return false;
    }
    if (!hasEveryNode) {
        error = "GNOME n'a pas publié le flux PipeWire";
        return false;
    }
    return true;
}

bool MutterSession::movePointer(std::size_t streamIndex, double x, double y) {
    if (remoteDesktopPath_.empty() || streamIndex >= streams_.size()) {
        return false;
    }
    std::string error;
    const std::string& stream = streams_[streamIndex].objectPath;
    return static_cast<bool>(bus_->call(
        kRemoteDesktopName, remoteDesktopPath_.c_str(), kRemoteDesktopSessionInterface,
        "NotifyPointerMotionAbsolute", error,
        [&](sd_bus_message* m) { return sd_bus_message_append(m, "sdd", stream.c_str(), x, y); }));
}

bool MutterSession::setButton(std::int32_t button, bool isPressed) {
    if (remoteDesktopPath_.empty()) {
        return false;
    }
    std::string error;
    return static_cast<bool>(
        bus_->call(kRemoteDesktopName, remoteDesktopPath_.c_str(), kRemoteDesktopSessionInterface,
                   "NotifyPointerButton", error, [&](sd_bus_message* m) {
                       return sd_bus_message_append(m, "ib", button, isPressed ? 1 : 0);
                   }));
}

bool MutterSession::scroll(double dx, double dy, bool isFinal) {
    if (remoteDesktopPath_.empty()) {
        return false;
    }
    const std::uint32_t flags = kAxisSourceFinger | (isFinal ? kAxisFinish : 0U);
    std::string error;
    return static_cast<bool>(bus_->call(
        kRemoteDesktopName, remoteDesktopPath_.c_str(), kRemoteDesktopSessionInterface,
        "NotifyPointerAxis", error,
        [&](sd_bus_message* m) { return sd_bus_message_append(m, "ddu", dx, dy, flags); }));
}

bool MutterSession::isAlive() {
    if (!bus_->process()) {
        return false;
    }
    return !isClosed_;
}

} // namespace quorvi::gnome
