#pragma once

#include "platform/linux/gnome/DBusConnection.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quorvi::gnome {

// One stream of a screen-cast session: its D-Bus object and, once the
// session started, the PipeWire node that carries its pictures.
struct ScreenCastStream {
    std::string objectPath;
    std::optional<std::uint32_t> pipeWireNode;
};

// One screen-cast session of Mutter, alone or bound to a remote-desktop
// session when input is injected, on a bus connection of its own: Mutter
// ends the sessions when that connection closes, so nothing outlives this
// object, even after a crash. Streams are recorded before start(); input is
// injected after it, in the coordinates of one of the session's streams
// (its pixels).
//
// Only input needs the remote-desktop session: each one adds a pointer
// device to the seat, and when one goes, Mutter 43 tells Wayland clients
// the seat has no pointer left until another comes (a desktop without a
// real mouse, as a headless one). Capture and virtual monitors therefore
// use screen-cast sessions alone, so that their coming and going never
// takes the pointer away from the input's session.
//
// Thread: one thread at a time; owners serialize with their own lock.
class MutterSession {
public:
    enum class Kind {
        // Pictures only.
        screenCast,
        // Pictures and input.
        remoteDesktop,
    };

    // Creates the sessions; nullptr with the reason in French when Mutter's
    // services do not answer.
    static std::unique_ptr<MutterSession> create(Kind kind, std::string& error);
    ~MutterSession();
    MutterSession(const MutterSession&) = delete;
    MutterSession& operator=(const MutterSession&) = delete;

    // The monitor on connector ("Meta-0"), pointer drawn in; the index of the
    // stream, or nullopt with the reason.
    std::optional<std::size_t> recordMonitor(const std::string& connector, std::string& error);
    // A new virtual monitor that exists while its stream is consumed; its
    // size is the one its consumer fixes when it connects.
    std::optional<std::size_t> recordVirtual(std::string& error);

    // Starts the sessions and waits until every stream has its PipeWire
    // node.
    bool start(std::string& error);

    const ScreenCastStream& stream(std::size_t index) const { return streams_.at(index); }
    std::size_t streamCount() const { return streams_.size(); }

    // Input, on a remote-desktop session only; false when Mutter refused it
    // (the session is then usually closed). Points are the stream's pixels.
    bool movePointer(std::size_t streamIndex, double x, double y);
    // An evdev button code (BTN_LEFT = 272).
    bool setButton(std::int32_t button, bool isPressed);
    // Smooth scroll in pixels from a finger source; isFinal ends the scroll
    // (kinetic scrolling may follow).
    bool scroll(double dx, double dy, bool isFinal);

    // False once Mutter closed the session or the bus went away.
    bool isAlive();

private:
    MutterSession() = default;
    std::optional<std::size_t> addStream(const char* method, const std::string& connector,
                                         std::string& error);
    // The session that is started, stopped and closed: the remote-desktop
    // one when there is one.
    const std::string& controlledPath() const;

    std::unique_ptr<dbus::Connection> bus_;
    std::string remoteDesktopPath_;
    std::string screenCastPath_;
    std::vector<ScreenCastStream> streams_;
    bool isStarted_ = false;
    bool isClosed_ = false;
};

} // namespace quorvi::gnome
