#include "app/SignalBridge.h"

#include <QSocketNotifier>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace quorvi {
namespace {

int signalPipe[2] = {-1, -1};

extern "C" void writeSignalNumber(int number) {
    const unsigned char byte = static_cast<unsigned char>(number);
    [[maybe_unused]] const auto written = ::write(signalPipe[1], &byte, 1);
}

} // namespace

SignalBridge::SignalBridge(std::initializer_list<int> signalNumbers,
                           std::function<void(int)> onSignal, QObject* parent)
    : QObject(parent), onSignal_(std::move(onSignal)) {
    if (signalPipe[0] < 0 && ::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;
    }
    notifier_ = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &SignalBridge::readSignals);
    for (int number : signalNumbers) {
        struct sigaction action {};
        action.sa_handler = writeSignalNumber;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        ::sigaction(number, &action, nullptr);
    }
}

SignalBridge::~SignalBridge() = default;

void SignalBridge::readSignals() {
    unsigned char byte = 0;
    while (::read(signalPipe[0], &byte, 1) == 1) {
        onSignal_(byte);
    }
}

} // namespace quorvi
