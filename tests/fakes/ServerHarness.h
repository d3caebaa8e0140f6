#pragma once

#include "fakes/DrainableMainQueue.h"
#include "fakes/FakeDisplayServices.h"
#include "fakes/FakeVirtualDisplayBackend.h"
#include "fakes/ManualClock.h"
#include "fakes/RecordingAdvertiser.h"
#include "fakes/RecordingEventPoster.h"
#include "fakes/ScriptedFrameCapture.h"
#include "fakes/ScriptedJpegEncoder.h"
#include "fakes/ScriptedVideoEncoder.h"
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
    template <typename T> static Ptr<T> make() { return std::make_shared<T>(); }

    Ptr<DrainableMainQueue> mainQueue = make<DrainableMainQueue>();
    Ptr<ManualClock> clock = make<ManualClock>();
    Ptr<RecordingAdvertiserFactory> advertisers = make<RecordingAdvertiserFactory>();
    Ptr<InMemoryNotificationCenter> notifications =
        std::make_shared<InMemoryNotificationCenter>(mainQueue);
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
        std::make_shared<fakes::FakeVirtualDisplayBackend>(displays);
    Ptr<ScriptedWindowList> windowList = make<ScriptedWindowList>();
    // What the machine's interfaces are said to hold.
    Ptr<std::vector<std::string>> addresses =
        std::make_shared<std::vector<std::string>>(std::vector<std::string>{"192.0.2.7"});
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

    // True once the status is, or has been since the call, the given text
    // (or one starting with it): frames may replace a status a moment after
    // it was shown.
    bool waitForStatus(const std::string& status, bool isPrefix = false) {
        const std::size_t from = statusHistory.size();
        const auto matches = [&](const std::string& s) {
            return isPrefix ? s.rfind(status, 0) == 0 : s == status;
        };
        return matches(state().status()) || mainQueue->drainUntil([&] {
            return std::any_of(statusHistory.begin() + static_cast<std::ptrdiff_t>(from),
                               statusHistory.end(), matches);
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

    // Whether a journal line starts with the prefix (or is the whole line).
    bool journalHas(const std::string& prefix) {
        const auto& logs = state().logs();
        return std::any_of(logs.begin(), logs.end(),
                           [&](const std::string& line) { return line.rfind(prefix, 0) == 0; });
    }
};

} // namespace quorvi::testing
