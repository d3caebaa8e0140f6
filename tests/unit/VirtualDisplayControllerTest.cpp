#include "display/VirtualDisplayController.h"

#include "fakes/FakeVirtualDisplayBackend.h"
#include "fakes/ManualClock.h"

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
    std::shared_ptr<testing::ManualClock> clock = std::make_shared<testing::ManualClock>();
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
        int sleeps;
    } rows[] = {
        {Failure::unavailable, 100, true, 9, 9, Kind::classesUnavailable,
         "CGVirtualDisplay runtime indisponible", "pas de RandR", 0},
        {Failure::creationFailed, 100, true, 9, 9, Kind::displayCreationFailed, failed,
         "pas de RandR", 0},
        {Failure::none, 0, true, 9, 9, Kind::displayIDUnavailable,
         "Display ID virtuel indisponible", "", 0},
        {Failure::none, 4294967295u, false, 9, 9, Kind::displayNotOnline,
         "Display virtuel #4294967295 créé mais pas reconnu comme écran macOS", "", 60},
        {Failure::none, 100, true, 0, 9, Kind::displayCreationFailed, failed, "taille invalide 0x9",
         0},
        {Failure::none, 100, true, 9, 1 << 21, Kind::displayCreationFailed, failed,
         "taille invalide 9x2097152", 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.description + " " + row.reason);
        backend->failWith(Failure::none, "");
        backend->setNextID(100);
        backend->setComesOnline(true);
        controller.start(1024, 768);
        const int sleeps = waitClock->sleeps;
        backend->failWith(row.failure, "pas de RandR");
        backend->setNextID(row.nextID);
        backend->setComesOnline(row.comesOnline);

        const auto error = startError(row.width, row.height);

        ASSERT_TRUE(error);
        EXPECT_EQ(error->kind(), row.kind);
        EXPECT_EQ(error->description(), row.description);
        EXPECT_STREQ(error->what(), row.description.c_str());
        EXPECT_EQ(error->reason(), row.reason);
        EXPECT_EQ(error->displayID(), row.kind == Kind::displayNotOnline ? row.nextID : 0);
        EXPECT_EQ(controller.displayID(), std::nullopt);
        EXPECT_EQ(backend->liveCount(), 0);
        EXPECT_EQ(layout(), Lines{"#1 1512x982 @ 0,0"});
        EXPECT_EQ(waitClock->sleeps - sleeps, row.sleeps);
    }
    VirtualDisplayController bare;
    EXPECT_THROW(bare.start(9, 9), VirtualDisplayError);
}

// The display is placed right of the main display, top edges aligned, with
// the main display's bounds truncated; without a main display it stays put.
TEST_F(VirtualDisplayControllerTest, MakesAHiDPIDisplayRightOfTheMainDisplayAndKeepsIt) {
    clock->set(1'700'000'000.99);
    EXPECT_EQ(controller.start(700, 323), 100u);
    const auto creations = backend->creations();
    const VirtualDisplayDescriptor expected{"Quorvi", 0x5156, 4'359, 28'928, 1400, 646, 150, 95};
    EXPECT_EQ(creations.at(0).descriptor, expected);
    EXPECT_EQ(creations.at(0).settings, (VirtualDisplaySettings{true, {{700, 323, 60}}}));
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
}

TEST_F(VirtualDisplayControllerTest, SeesADisplayThatCameOnlineInTheLastSlice) {
    backend->setComesOnline(false);
    waitClock->onSleep = [&](int sleeps) {
        if (sleeps == 60) {
            displays->addDisplay(100, {1512, 0, 2560, 1600});
        }
    };
    EXPECT_EQ(controller.start(1280, 800), 100u);
    EXPECT_EQ(controller.displayID(), 100u);
}

TEST_F(VirtualDisplayControllerTest, StopAndDestructionRemoveTheDisplay) {
    controller.stop(); // harmless without a display
    const DisplayID first = controller.start(1280, 800);
    controller.stop();
    controller.stop();
    EXPECT_EQ(controller.displayID(), std::nullopt);
    EXPECT_EQ(layout(), Lines{"#1 1512x982 @ 0,0"});
    EXPECT_NE(controller.start(1280, 800), first); // afresh, not reused
    {
        VirtualDisplayController other(backend, displays, clock, waitClock);
        other.start(640, 480);
        EXPECT_EQ(backend->liveCount(), 2);
    }
    EXPECT_EQ(backend->liveCount(), 1);
}

// The stop comes from another thread while start() sleeps between two looks
// for the display, so start() holds no lock then: the display is gone as
// soon as stop() returns, and the start fails at its next look.
TEST_F(VirtualDisplayControllerTest, StopFromAnotherThreadEndsAStartThatWaits) {
    backend->setComesOnline(false);
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

} // namespace
} // namespace quorvi
