#include "display/VirtualDisplayController.h"

#include "display/VirtualDisplayOwner.h"
#include "fakes/FakeVirtualDisplayBackend.h"
#include "fakes/ManualClock.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>

namespace quorvi {
namespace {

using Failure = VirtualDisplayCreation::Failure;
using Kind = VirtualDisplayError::Kind;
using Lines = std::vector<std::string>;

struct VirtualDisplayControllerTest : ::testing::Test {
    VirtualDisplayControllerTest() { displays->addDisplay(1, {0, 0, 1512, 982}); }
    Lines layout() { return VirtualDisplayController::onlineDisplayDescriptions(*displays); }
    // The error start() threw; fails the test when it threw none.
    std::optional<VirtualDisplayError> startError(std::int64_t width, std::int64_t height) {
        try {
            controller.start(width, height);
        } catch (const VirtualDisplayError& error) {
            return error;
        }
        ADD_FAILURE() << "no VirtualDisplayError";
        return std::nullopt;
    }

    std::shared_ptr<fakes::FakeDisplayServices> displays =
        std::make_shared<fakes::FakeDisplayServices>();
    std::shared_ptr<fakes::FakeVirtualDisplayBackend> backend =
        std::make_shared<fakes::FakeVirtualDisplayBackend>(displays);
    std::shared_ptr<testing::ManualClock> clock =
        std::make_shared<testing::ManualClock>(1'700'000'000.99);
    std::shared_ptr<fakes::ManualWaitClock> waitClock = std::make_shared<fakes::ManualWaitClock>();
    VirtualDisplayController controller{backend, displays, clock, waitClock};
};

// Every way a start fails, each after a display of another size existed:
// the old display is gone and no new one is left behind. A display that
// never comes online is looked for every 50 ms for three seconds.
TEST_F(VirtualDisplayControllerTest, EveryFailureHasItsKindAndLeavesNoDisplay) {
    const std::string failed = "Création écran virtuel échouée";
    const struct {
        Failure failure;
        DisplayID nextID;
        bool comesOnline;
        std::int64_t width, height;
        Kind kind;
        std::string description, reason;
    } rows[] = {
        {Failure::unavailable, 100, true, 9, 9, Kind::classesUnavailable,
         "CGVirtualDisplay runtime indisponible", "pas de RandR"},
        {Failure::creationFailed, 100, true, 9, 9, Kind::displayCreationFailed, failed,
         "pas de RandR"},
        {Failure::none, 0, true, 9, 9, Kind::displayIDUnavailable,
         "Display ID virtuel indisponible", ""},
        {Failure::none, 4294967295u, false, 9, 9, Kind::displayNotOnline,
         "Display virtuel #4294967295 créé mais pas reconnu comme écran macOS", ""},
        {Failure::none, 100, true, 0, 9, Kind::displayCreationFailed, failed,
         "taille invalide 0x9"},
        {Failure::none, 100, true, 9, 1 << 21, Kind::displayCreationFailed, failed,
         "taille invalide 9x2097152"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.description + " " + row.reason);
        backend->setScript({});
        controller.start(1024, 768);
        const int sleeps = waitClock->sleeps;
        backend->setScript({row.failure, "pas de RandR", row.nextID, row.comesOnline});

        const auto error = startError(row.width, row.height);

        ASSERT_TRUE(error);
        EXPECT_EQ(error->kind(), row.kind);
        EXPECT_EQ(error->description(), row.description);
        EXPECT_EQ(error->reason(), row.reason);
        const bool notOnline = row.kind == Kind::displayNotOnline;
        EXPECT_EQ(error->displayID(), notOnline ? row.nextID : 0);
        EXPECT_EQ(controller.displayID(), std::nullopt);
        EXPECT_EQ(backend->liveCount(), 0);
        EXPECT_EQ(layout(), Lines{"#1 1512x982 @ 0,0"});
        EXPECT_EQ(waitClock->sleeps - sleeps, notOnline ? 60 : 0);
    }
    VirtualDisplayController bare;
    EXPECT_THROW(bare.start(9, 9), VirtualDisplayError);
}

// The display is placed right of the main display, top edges aligned, with
// the main display's bounds truncated; without a main display it stays put.
TEST_F(VirtualDisplayControllerTest, MakesKeepsAndRemovesAHiDPIDisplayRightOfTheMainDisplay) {
    controller.stop(); // harmless without a display
    EXPECT_EQ(controller.start(700, 323), 100u);
    const auto made = backend->creations().at(0);
    EXPECT_EQ(made.descriptor,
              (VirtualDisplayDescriptor{"Quorvi", 0x5156, 4'359, 28'928, 1400, 646, 150, 95}));
    EXPECT_EQ(made.settings, (VirtualDisplaySettings{true, {{700, 323, 60}}}));
    EXPECT_EQ(layout(), (Lines{"#1 1512x982 @ 0,0", "#100 1400x646 @ 1512,0"}));

    // The same size while online is kept; another size, or a display that
    // went offline, is removed before the new one is made.
    EXPECT_EQ(controller.start(700, 323), 100u);
    EXPECT_EQ(controller.start(100, 100), 101u);
    displays->removeDisplay(101);
    displays->removeDisplay(1);
    displays->addDisplay(1, {-20.5, 40.9, 1000.75, 700});
    EXPECT_EQ(controller.start(100, 100), 102u);
    EXPECT_EQ(layout(), (Lines{"#1 1000x700 @ -20,40", "#102 200x200 @ 980,40"}));
    displays->setMainID(0);
    EXPECT_EQ(controller.start(50, 50), 103u);
    EXPECT_EQ(layout().back(), "#103 100x100 @ 0,0");
    for (const auto& creation : backend->creations()) {
        EXPECT_EQ(creation.liveBefore, 0);
    }

    // Cancelling starts keeps what a finished one made. A stop, even twice,
    // removes it; the next start makes one afresh, and a controller that
    // goes away removes its own.
    controller.cancelStart();
    EXPECT_EQ(controller.displayID(), 103u);
    controller.stop();
    controller.stop();
    EXPECT_EQ(controller.displayID(), std::nullopt);
    EXPECT_EQ(layout(), Lines{"#1 1000x700 @ -20,40"});
    EXPECT_EQ(controller.start(1280, 800), 104u);
    {
        VirtualDisplayController other(backend, displays, clock, waitClock);
        other.start(640, 480);
        EXPECT_EQ(backend->liveCount(), 2);
    }
    EXPECT_EQ(backend->liveCount(), 1);
}

TEST_F(VirtualDisplayControllerTest, SeesADisplayThatCameOnlineInTheLastSlice) {
    backend->setScript({.comesOnline = false});
    waitClock->onSleep = [&](int sleeps) {
        if (sleeps == 60) {
            displays->addDisplay(100, {1512, 0, 2560, 1600});
        }
    };
    EXPECT_EQ(controller.start(1280, 800), 100u);
    EXPECT_EQ(controller.displayID(), 100u);
}

// The stop comes from another thread while start() sleeps between two looks
// for the display, so start() holds no lock then: the display is gone as
// soon as stop() returns, and the start fails at its next look.
TEST_F(VirtualDisplayControllerTest, StopFromAnotherThreadEndsAStartThatWaits) {
    backend->setScript({.comesOnline = false});
    int liveAfterStop = -1;
    waitClock->onSleep = [&](int sleeps) {
        if (sleeps == 2) {
            std::thread([&] {
                controller.stop();
                liveAfterStop = backend->liveCount();
            }).join();
        }
    };
    const auto error = startError(1280, 800);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind(), Kind::displayCreationFailed); // interrupted, not timed out
    EXPECT_EQ(liveAfterStop, 0);
    EXPECT_EQ(waitClock->sleeps, 2);
    EXPECT_EQ(controller.displayID(), std::nullopt);
    EXPECT_EQ(backend->liveCount(), 0);
}

// cancelStart() ends a start that waits just as stop() does.
TEST_F(VirtualDisplayControllerTest, CancelStartEndsAStartThatWaits) {
    backend->setScript({.comesOnline = false});
    waitClock->onSleep = [&](int sleeps) {
        if (sleeps == 2) {
            controller.cancelStart();
        }
    };
    const auto error = startError(1280, 800);
    EXPECT_TRUE(error && error->kind() == Kind::displayCreationFailed);
    EXPECT_EQ(waitClock->sleeps, 2);
    EXPECT_EQ(backend->liveCount(), 0);
}

// Starts and stops from two threads and reads from a third: whatever the
// interleaving, nothing races or deadlocks, and a last stop leaves no display.
TEST_F(VirtualDisplayControllerTest, StartsAndStopsFromSeveralThreads) {
    std::atomic<bool> isDone = false;
    std::thread starter([&] {
        for (int i = 0; i < 200; ++i) {
            try {
                controller.start(640 + 2 * (i % 3), 480);
            } catch (const VirtualDisplayError&) {
                // A stop overtook this start.
            }
        }
        isDone = true;
    });
    std::thread stopper([&] {
        while (!isDone) {
            controller.stop();
            std::this_thread::yield();
        }
    });
    std::thread reader([&] {
        while (!isDone) {
            (void)controller.displayID();
            std::this_thread::yield();
        }
    });
    starter.join();
    stopper.join();
    reader.join();
    controller.stop();
    EXPECT_EQ(backend->liveCount(), 0);
    EXPECT_EQ(displays->onlineDisplayIDs(), std::vector<DisplayID>{1});
}

TEST(VirtualDisplayOwner, ANameCarriesTheRunThatMadeItAndOnlyAWholeTagCounts) {
    const ProcessRun run{4242, 123456789};
    EXPECT_EQ(ownerOfName("Quorvi-17-3" + ownerTag(run)), run);
    const std::pair<const char*, std::optional<ProcessRun>> names[] = {
        {"Quorvi-17-3-p1-t0", ProcessRun{1, 0}},
        {"Quorvi-17-3", std::nullopt},                     // made before names were tagged
        {"Quorvi-17-3-p-t5", std::nullopt},                // no process id
        {"Quorvi-17-3-p0-t5", std::nullopt},               // no process is 0
        {"Quorvi-17-3-p12-t", std::nullopt},               // no start time
        {"Quorvi-17-3-x12-t5", std::nullopt},              // not a process tag
        {"p12-t5", std::nullopt},                          // the tag must follow a name
        {"Quorvi-p99999999999999999999-t5", std::nullopt}, // out of range
    };
    for (const auto& [name, owner] : names) {
        SCOPED_TRACE(name);
        EXPECT_EQ(ownerOfName(name), owner);
    }
}

} // namespace
} // namespace quorvi
