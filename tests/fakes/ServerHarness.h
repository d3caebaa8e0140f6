#pragma once

#include "fakes/DrainableMainQueue.h"
#include "fakes/FakeDisplayServices.h"
#include "fakes/FakeVirtualDisplayBackend.h"
#include "fakes/ManualClock.h"
#include "fakes/RecordingAdvertiser.h"
#include "fakes/RecordingEventPoster.h"
#include "fakes/ScriptedFrameCapture.h"
#include "fakes/ScriptedWindowList.h"
#include "fakes/SwitchablePrivacyGrants.h"
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
    template <typename T> using Ptr = std::shared_ptr<T>;
    template <typename T, typename... Args> static Ptr<T> make(Args&&... args) {
        return std::make_shared<T>(std::forward<Args>(args)...);
    }

    Ptr<DrainableMainQueue> mainQueue = make<DrainableMainQueue>();
    Ptr<ManualClock> clock = make<ManualClock>();
    Ptr<RecordingAdvertiserFactory> advertisers = make<RecordingAdvertiserFactory>();
    Ptr<InMemoryNotificationCenter> notifications = make<InMemoryNotificationCenter>(mainQueue);
    Ptr<InMemoryUserDefaults> userDefaults = make<InMemoryUserDefaults>();
    // The screen: one 1920 × 1200 main display (ID 1) with the pointer in
    // the middle, a capture without a picture until a test gives one.
    Ptr<fakes::FakeDisplayServices> displays = make<fakes::FakeDisplayServices>();
    Ptr<fakes::RecordingEventPoster> eventPoster = make<fakes::RecordingEventPoster>();
    Ptr<fakes::ScriptedFrameCapture> capture = make<fakes::ScriptedFrameCapture>();
    Ptr<fakes::ScriptedJpegEncoder> jpeg = make<fakes::ScriptedJpegEncoder>();
    Ptr<fakes::ScriptedVideoEncoder> video = make<fakes::ScriptedVideoEncoder>();
    Ptr<fakes::SwitchablePrivacyGrants> grants = make<fakes::SwitchablePrivacyGrants>();
    Ptr<fakes::FakeVirtualDisplayBackend> virtualDisplays =
        make<fakes::FakeVirtualDisplayBackend>(displays);
    Ptr<ScriptedWindowList> windowList = make<ScriptedWindowList>();
    // What the machine's interfaces are said to hold.
    Ptr<std::vector<std::string>> addresses = make<std::vector<std::string>>(1, "192.0.2.7");
    std::shared_ptr<QuorviServer> server;
    std::vector<std::string> statusHistory;

    explicit ServerHarness(std::uint16_t port = 0,
                           std::shared_ptr<NetworkTransport> transport = nullptr,
                           const std::function<void(InMemoryUserDefaults&)>& plant = nullptr) {
        if (plant) {
            plant(*userDefaults);
        }
        displays->addDisplay(1, DisplayRect{0, 0, 1920, 1200});
        displays->setPointer(DisplayPoint{960, 600});
        Platform platform{.mainQueue = mainQueue,
                          .transport =
                              transport ? transport
                                        : std::make_shared<AsioTransport>("127.0.0.1", advertisers),
                          .notifications = notifications,
                          .clock = clock,
                          .userDefaults = userDefaults,
                          .displays = displays,
                          .eventPoster = eventPoster,
                          .privacyGrants = grants,
                          .localAddresses = [list = addresses] { return *list; },
                          .windowList = windowList,
                          .frameCapture = capture,
                          .videoEncoder = video,
                          .jpegEncoder = jpeg,
                          .virtualDisplayBackend = virtualDisplays,
                          .computerName = [] { return std::string("Poste de test"); }};
        server = QuorviServer::create(platform, ServerOptions{port});
        // A plain pointer: the state owns its observers, so a shared one
        // would keep it alive for ever.
        PublishedState* state = server->publishedState().get();
        state->addObserver({.didChange = [this, state](PublishedProperty property) {
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

    // True once the status is, or has been since the call, the given text:
    // frames may replace a status a moment after it was shown.
    bool waitForStatus(const std::string& status) {
        const std::size_t from = statusHistory.size();
        return state().status() == status || mainQueue->drainUntil([&] {
            return std::find(statusHistory.begin() + static_cast<std::ptrdiff_t>(from),
                             statusHistory.end(), status) != statusHistory.end();
        });
    }

    // What the work queue holds has run, and what it published was shown.
    void settle() {
        for (int i = 0; i < 3; ++i) {
            server->runOnWorkQueueForTesting([] {});
        }
        mainQueue->drain();
    }

    // Starts, then waits until the listener is ready and the start's
    // visibility probe, which runs on a thread of its own, has journaled:
    // its line would otherwise land at any moment in a test.
    bool startAndSettle() {
        server->start();
        return waitForStatus("Prêt: iPhone peut détecter ce Mac") &&
               mainQueue->drainUntil([&] { return journalHas("Capture visibilité: "); });
    }

    bool journalHas(const std::string& prefix) {
        const auto& logs = state().logs();
        return std::any_of(logs.begin(), logs.end(),
                           [&](const std::string& line) { return line.rfind(prefix, 0) == 0; });
    }
};

} // namespace quorvi::testing
