#pragma once

#include "fakes/DrainableMainQueue.h"
#include "fakes/ManualClock.h"
#include "fakes/RecordingAdvertiser.h"
#include "platform/AsioTransport.h"
#include "platform/NotificationCenter.h"
#include "platform/UserDefaults.h"
#include "server/QuorviServer.h"

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace quorvi::testing {

// A server on 127.0.0.1 with an ephemeral port, a drainable main queue and
// recording fakes. Every status the server shows is kept in order.
// Thread: the test thread is the main thread.
struct ServerHarness {
    std::shared_ptr<DrainableMainQueue> mainQueue = std::make_shared<DrainableMainQueue>();
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
    std::shared_ptr<RecordingAdvertiserFactory> advertisers =
        std::make_shared<RecordingAdvertiserFactory>();
    std::shared_ptr<InMemoryNotificationCenter> notifications =
        std::make_shared<InMemoryNotificationCenter>(mainQueue);
    std::shared_ptr<InMemoryUserDefaults> userDefaults = std::make_shared<InMemoryUserDefaults>();
    std::shared_ptr<QuorviServer> server;
    std::vector<std::string> statusHistory;

    explicit ServerHarness(std::uint16_t port = 0,
                           std::shared_ptr<NetworkTransport> transport = nullptr,
                           const std::function<void(InMemoryUserDefaults&)>& plant = nullptr) {
        if (plant) {
            plant(*userDefaults);
        }
        Platform platform;
        platform.mainQueue = mainQueue;
        platform.transport =
            transport ? transport : std::make_shared<AsioTransport>("127.0.0.1", advertisers);
        platform.notifications = notifications;
        platform.clock = clock;
        platform.userDefaults = userDefaults;
        platform.computerName = [] { return std::string("Poste de test"); };
        server = QuorviServer::create(platform, ServerOptions{port});
        auto state = server->publishedState();
        state->addObserver({nullptr, [this, state](PublishedProperty property) {
                                if (property == PublishedProperty::status) {
                                    statusHistory.push_back(state->status());
                                }
                            }});
    }

    ~ServerHarness() {
        server.reset();
        mainQueue->drain();
    }

    PublishedState& state() { return server->published(); }

    bool waitForStatus(const std::string& status,
                       std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        return mainQueue->drainUntil([&] { return state().status() == status; }, timeout);
    }

    bool waitForStatusPrefix(const std::string& prefix,
                             std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        return mainQueue->drainUntil([&] { return state().status().rfind(prefix, 0) == 0; },
                                     timeout);
    }

    // Starts and waits until the listener is ready; returns the port.
    std::uint16_t startAndWaitUntilReady() {
        server->start();
        waitForStatus("Prêt: iPhone peut détecter ce Mac");
        return server->listeningPort();
    }

    bool journalContains(const std::string& line) {
        const auto& logs = state().logs();
        return std::find(logs.begin(), logs.end(), line) != logs.end();
    }
};

} // namespace quorvi::testing
