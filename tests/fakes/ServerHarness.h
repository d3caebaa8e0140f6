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
    std::shared_ptr<DrainableMainQueue> mainQueue = std::make_shared<DrainableMainQueue>();
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
    std::shared_ptr<RecordingAdvertiserFactory> advertisers =
        std::make_shared<RecordingAdvertiserFactory>();
    std::shared_ptr<InMemoryNotificationCenter> notifications =
        std::make_shared<InMemoryNotificationCenter>(mainQueue);
    std::shared_ptr<InMemoryUserDefaults> userDefaults = std::make_shared<InMemoryUserDefaults>();
    // The screen: one 1920 × 1200 main display (ID 1) with the pointer in
    // the middle, a capture without a picture until a test gives one.
    std::shared_ptr<fakes::FakeDisplayServices> displays =
        std::make_shared<fakes::FakeDisplayServices>();
    std::shared_ptr<fakes::RecordingEventPoster> eventPoster =
        std::make_shared<fakes::RecordingEventPoster>();
    std::shared_ptr<fakes::ScriptedFrameCapture> capture =
        std::make_shared<fakes::ScriptedFrameCapture>();
    std::shared_ptr<fakes::ScriptedJpegEncoder> jpeg =
        std::make_shared<fakes::ScriptedJpegEncoder>();
    std::shared_ptr<fakes::ScriptedVideoEncoder> video =
        std::make_shared<fakes::ScriptedVideoEncoder>();
    std::shared_ptr<fakes::SwitchablePrivacyGrants> grants =
        std::make_shared<fakes::SwitchablePrivacyGrants>();
    std::shared_ptr<fakes::FakeVirtualDisplayBackend> virtualDisplays =
        std::make_shared<fakes::FakeVirtualDisplayBackend>(displays);
    std::shared_ptr<ScriptedWindowList> windowList = std::make_shared<ScriptedWindowList>();
    // What the machine's interfaces are said to hold.
    std::shared_ptr<std::vector<std::string>> addresses =
        std::make_shared<std::vector<std::string>>(std::vector<std::string>{"192.0.2.7"});
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
        displays->addDisplay(1, DisplayRect{0, 0, 1920, 1200});
        displays->setPointer(DisplayPoint{960, 600});
        platform.displays = displays;
        platform.eventPoster = eventPoster;
        platform.frameCapture = capture;
        platform.jpegEncoder = jpeg;
        platform.videoEncoder = video;
        platform.privacyGrants = grants;
        platform.windowList = windowList;
        platform.localAddresses = [list = addresses] { return *list; };
        virtualDisplays->setNextID(100);
        platform.virtualDisplayBackend = virtualDisplays;
        platform.computerName = [] { return std::string("Poste de test"); };
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

    // True once the status is, or has been since the call, the given text:
    // frames may replace a status a moment after it was shown.
    bool waitForStatus(const std::string& status,
                       std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        return waitForStatusMatching([&](const std::string& s) { return s == status; }, timeout);
    }

    bool waitForStatusPrefix(const std::string& prefix,
                             std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        return waitForStatusMatching([&](const std::string& s) { return s.rfind(prefix, 0) == 0; },
                                     timeout);
    }

    bool waitForStatusMatching(const std::function<bool(const std::string&)>& matches,
                               std::chrono::milliseconds timeout) {
        const std::size_t from = statusHistory.size();
        if (matches(state().status())) {
            return true;
        }
        return mainQueue->drainUntil(
            [&] {
                for (std::size_t i = from; i < statusHistory.size(); ++i) {
                    if (matches(statusHistory[i])) {
                        return true;
                    }
                }
                return false;
            },
            timeout);
    }

    // Starts, then waits until the listener is ready and the start's
    // visibility probe has reported.
    bool startAndSettle() {
        server->start();
        return waitForStatus("Prêt: iPhone peut détecter ce Mac") && waitForVisibilityProbe();
    }

    // Every start() probes the visible windows on a thread of its own; its
    // journal line would otherwise land at any moment in a test.
    bool waitForVisibilityProbe() {
        return mainQueue->drainUntil(
            [&] { return journalHasLineStartingWith("Capture visibilité: "); },
            std::chrono::seconds(10));
    }

    // startAndSettle(), returning the port.
    std::uint16_t startAndWaitUntilReady() {
        startAndSettle();
        return server->listeningPort();
    }

    bool journalContains(const std::string& line) {
        const auto& logs = state().logs();
        return std::find(logs.begin(), logs.end(), line) != logs.end();
    }

    bool journalHasLineStartingWith(const std::string& prefix) {
        const auto& logs = state().logs();
        return std::any_of(logs.begin(), logs.end(),
                           [&](const std::string& line) { return line.rfind(prefix, 0) == 0; });
    }
};

} // namespace quorvi::testing
