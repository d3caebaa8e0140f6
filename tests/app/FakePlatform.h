#pragma once

#include "app/QtMainQueue.h"
#include "fakes/FakeDisplayServices.h"
#include "fakes/ManualClock.h"
#include "fakes/RecordingAdvertiser.h"
#include "fakes/RecordingEventPoster.h"
#include "fakes/ScriptedFrameCapture.h"
#include "fakes/ScriptedJpegEncoder.h"
#include "fakes/ScriptedVideoEncoder.h"
#include "fakes/SwitchablePrivacyGrants.h"
#include "platform/AsioTransport.h"
#include "platform/NotificationCenter.h"
#include "platform/Platform.h"
#include "platform/UserDefaults.h"

#include <memory>
#include <string>

namespace quorvi::testing {

// What the real scene is built with in these tests: the Qt main queue, a
// real TCP listener on 127.0.0.1, and fakes for the screen, the grants,
// the encoders and DNS-SD.
inline Platform fakePlatform(std::shared_ptr<UserDefaults> userDefaults) {
    auto mainQueue = std::make_shared<QtMainQueue>();
    Platform platform;
    platform.mainQueue = mainQueue;
    platform.transport = std::make_shared<AsioTransport>(
        "127.0.0.1", std::make_shared<RecordingAdvertiserFactory>());
    platform.notifications = std::make_shared<InMemoryNotificationCenter>(mainQueue);
    platform.clock = std::make_shared<ManualClock>();
    platform.userDefaults = std::move(userDefaults);
    auto displays = std::make_shared<fakes::FakeDisplayServices>();
    displays->addDisplay(1, DisplayRect{0, 0, 1920, 1200});
    displays->setPointer(DisplayPoint{960, 600});
    platform.displays = displays;
    platform.eventPoster = std::make_shared<fakes::RecordingEventPoster>();
    platform.frameCapture = std::make_shared<fakes::ScriptedFrameCapture>();
    platform.jpegEncoder = std::make_shared<fakes::ScriptedJpegEncoder>();
    platform.videoEncoder = std::make_shared<fakes::ScriptedVideoEncoder>();
    platform.privacyGrants = std::make_shared<fakes::SwitchablePrivacyGrants>();
    platform.computerName = [] { return std::string("Poste de test"); };
    return platform;
}

} // namespace quorvi::testing
