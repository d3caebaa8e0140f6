// quorvi-screencast-node: holds a screen-cast session of one GNOME monitor
// (pointer drawn in, as the server asks for it) and prints the PipeWire node
// that carries it, so that a reference pipeline (GStreamer's pipewiresrc)
// can encode the very stream the server reads. Mutter ends the session with
// this process's bus connection: it runs until killed or until Mutter closes
// the session. Single-threaded.
//
// Usage: quorvi-screencast-node [CONNECTOR]   (Meta-0 unless given; the
//        session bus comes from $DBUS_SESSION_BUS_ADDRESS)
#include "platform/linux/gnome/MutterSession.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>

namespace {

volatile std::sig_atomic_t isStopRequested = 0;

void requestStop(int) {
    isStopRequested = 1;
}

} // namespace

int main(int argc, char** argv) {
    const std::string connector = argc > 1 ? argv[1] : "Meta-0";
    std::string error;
    auto session =
        quorvi::gnome::MutterSession::create(quorvi::gnome::MutterSession::Kind::screenCast, error);
    std::optional<std::size_t> index;
    if (session != nullptr) {
        index = session->recordMonitor(connector, error);
    }
    if (!index || !session->start(error) || !session->stream(*index).pipeWireNode) {
        std::fprintf(stderr, "quorvi-screencast-node: %s\n", error.c_str());
        return 1;
    }
    std::printf("%u\n", *session->stream(*index).pipeWireNode);
    std::fflush(stdout);
    std::signal(SIGTERM, requestStop);
    std::signal(SIGINT, requestStop);
    while (isStopRequested == 0 && session->isAlive()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return 0;
}
