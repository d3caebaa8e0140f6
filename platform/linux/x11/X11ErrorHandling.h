#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

// Xlib's connection type, declared here so that no X11 header leaks out of
// the adapters' .cpp files.
struct _XDisplay;

namespace quorvi::x11 {

using XDisplay = ::_XDisplay;

// Installs, once for the whole process, the Xlib handlers that keep X
// trouble from ending it: a protocol error is recorded for its connection
// (Xlib's default prints it and exits), and a lost server is only noted (the
// per-connection exit handler that Connection installs then marks the
// connection lost instead of calling exit()). Safe to call from any thread,
// any number of times; every adapter calls it before opening a display.
void installErrorHandlers();

// One X protocol error as the server reported it.
struct Error {
    int errorCode = 0;
    int requestCode = 0;
    int minorCode = 0;
    unsigned long serial = 0;
};

// Readable text of an error ("BadMatch (invalid parameter attributes)"), for
// journal lines.
std::string errorText(XDisplay* display, const Error& error);

// Catches the protocol errors caused by the requests made on one connection
// during its lifetime. Errors are reported asynchronously by X, so sync()
// waits for the server to have answered every request made so far.
//
// Thread: the thread using the connection, while it holds it.
class ErrorTrap {
public:
    explicit ErrorTrap(XDisplay* display);
    ErrorTrap(const ErrorTrap&) = delete;
    ErrorTrap& operator=(const ErrorTrap&) = delete;

    // The first error since the trap was made, after a round trip.
    std::optional<Error> sync();

private:
    XDisplay* display_;
    unsigned long firstSerial_;
};

// An X connection that survives its server. It opens lazily; an IO error
// (the server went away) marks it lost instead of ending the process; the
// next display() after a loss opens a new connection, so a restarted server
// is picked up. Failed opens are retried at most every retryInterval, since
// callers may ask many times a second.
//
// Thread: one caller at a time; the owning adapter serializes with its own
// mutex.
// Why a Connection gave no answer, in the words every adapter reports.
inline constexpr const char* kServerUnreachable = "serveur X injoignable";
inline constexpr const char* kServerLost = "connexion au serveur X perdue";

class Connection {
public:
    static constexpr std::chrono::milliseconds kRetryInterval{250};

    // An empty name means $DISPLAY.
    explicit Connection(std::string displayName = {});
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // The live display, opened now if needed; null when the server cannot be
    // reached.
    XDisplay* display();

    // To be asked after using display(): when the server was lost meanwhile,
    // closes the dead connection and returns true; whatever the calls
    // answered must then be treated as "no answer".
    bool dropIfLost();

    // Increments with each connection opened: per-connection state cached by
    // an adapter (atoms, extension support) is stale when it changed.
    std::uint64_t generation() const { return generation_; }

private:
    static void onIOErrorExit(XDisplay* display, void* connection);
    void close();

    std::string displayName_;
    XDisplay* display_ = nullptr;
    bool isLost_ = false;
    std::uint64_t generation_ = 0;
    std::chrono::steady_clock::time_point nextAttempt_{};
};

} // namespace quorvi::x11
