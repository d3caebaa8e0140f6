#include "display/VirtualDisplayController.h"

#include "fakes/FakeDisplayServices.h"
#include "fakes/FakeVirtualDisplayBackend.h"
#include "fakes/ManualClock.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <limits>
#include <optional>
#include <thread>

namespace quorvi {
namespace {

using namespace std::chrono_literals;
using fakes::FakeDisplayServices;
using fakes::FakeVirtualDisplayBackend;
using fakes::ManualWaitClock;
using Failure = VirtualDisplayCreation::Failure;
using Kind = VirtualDisplayError::Kind;

constexpr DisplayID kMain = 1;

// Runs the call and returns the error it threw; fails the test when it
// threw nothing.
template <typename Call> std::optional<VirtualDisplayError> errorOf(Call call) {
    try {
        call();
    } catch (const VirtualDisplayError& error) {
        return error;
    }
    ADD_FAILURE() << "no VirtualDisplayError";
    return std::nullopt;
}

class VirtualDisplayControllerTest : public ::testing::Test {
protected:
    VirtualDisplayControllerTest() { displays->addDisplay(kMain, {0, 0, 1512, 982}); }

    std::shared_ptr<FakeDisplayServices> displays = std::make_shared<FakeDisplayServices>();
    std::shared_ptr<FakeVirtualDisplayBackend> backend =
        std::make_shared<FakeVirtualDisplayBackend>(displays);
    std::shared_ptr<testing::ManualClock> clock = std::make_shared<testing::ManualClock>();
    std::shared_ptr<ManualWaitClock> waitClock = std::make_shared<ManualWaitClock>();
    VirtualDisplayController controller{backend, displays, clock, waitClock};
};

// ---- the error texts ---------------------------------------------------------

TEST(VirtualDisplayError, DescribesEachCaseInFrench) {
    EXPECT_EQ(VirtualDisplayError::displayNotOnline(42).description(),
              "Display virtuel #42 créé mais pas reconnu comme écran macOS");
    EXPECT_EQ(VirtualDisplayError::classesUnavailable().description(),
              "CGVirtualDisplay runtime indisponible");
    EXPECT_EQ(VirtualDisplayError::displayCreationFailed().description(),
              "Création écran virtuel échouée");
    EXPECT_EQ(VirtualDisplayError::displayIDUnavailable().description(),
              "Display ID virtuel indisponible");
}

TEST(VirtualDisplayError, PrintsTheWholeIdentifierInDecimal) {
    EXPECT_EQ(VirtualDisplayError::displayNotOnline(4294967295u).description(),
              "Display virtuel #4294967295 créé mais pas reconnu comme écran macOS");
    EXPECT_EQ(VirtualDisplayError::displayNotOnline(4294967295u).displayID(), 4294967295u);
}

TEST(VirtualDisplayError, KeepsTheReasonOutOfTheDescription) {
    const auto error = VirtualDisplayError::displayCreationFailed("aucune sortie libre");
    EXPECT_EQ(error.kind(), Kind::displayCreationFailed);
    EXPECT_EQ(error.description(), "Création écran virtuel échouée");
    EXPECT_STREQ(error.what(), "Création écran virtuel échouée");
    EXPECT_EQ(error.reason(), "aucune sortie libre");
}

// ---- numbering ---------------------------------------------------------------

TEST(VirtualDisplayNumbers, TakesTheLow15BitsOfTheSecondsAsSerial) {
    EXPECT_EQ(virtualDisplayNumbers(1'700'000'000).serialNumber, 28'928u);
    EXPECT_EQ(virtualDisplayNumbers(1'700'000'000).productID, 4'359u);
    EXPECT_EQ(virtualDisplayNumbers(4'095).serialNumber, 4'095u);
    EXPECT_EQ(virtualDisplayNumbers(4'095).productID, 4'096u);
}

TEST(VirtualDisplayNumbers, TruncatesTheSeconds) {
    EXPECT_EQ(virtualDisplayNumbers(1'700'000'000.99).serialNumber, 28'928u);
    EXPECT_EQ(virtualDisplayNumbers(32'767.5).serialNumber, 32'767u);
    EXPECT_EQ(virtualDisplayNumbers(32'768).serialNumber, 0u);
}

TEST(VirtualDisplayNumbers, StaysInTheProductRange) {
    EXPECT_EQ(virtualDisplayNumbers(8'189).productID, 0x1000u | 4'094u);
    EXPECT_EQ(virtualDisplayNumbers(8'190).productID, 0x1000u);
    for (double t : {0.0, -1.0, 1e300, -1e300, std::numeric_limits<double>::quiet_NaN()}) {
        const VirtualDisplayNumbers numbers = virtualDisplayNumbers(t);
        EXPECT_LE(numbers.serialNumber, 0x7FFFu);
        EXPECT_GE(numbers.productID, 4'096u);
        EXPECT_LE(numbers.productID, 8'190u);
    }
    // Two's complement: the low bits of -1 are all ones.
    EXPECT_EQ(virtualDisplayNumbers(-1).serialNumber, 0x7FFFu);
}

TEST_F(VirtualDisplayControllerTest, SeedsTheNumbersFromTheClock) {
    clock->set(1'700'000'000.0);
    controller.start(700, 323);
    clock->set(4'095.0);
    controller.start(800, 600);
    const auto creations = backend->creations();
    ASSERT_EQ(creations.size(), 2u);
    EXPECT_EQ(creations[0].descriptor.serialNumber, 28'928u);
    EXPECT_EQ(creations[0].descriptor.productID, 4'359u);
    EXPECT_EQ(creations[1].descriptor.serialNumber, 4'095u);
    EXPECT_EQ(creations[1].descriptor.productID, 4'096u);
}

// ---- starting ----------------------------------------------------------------

TEST_F(VirtualDisplayControllerTest, MakesADisplayOfTwiceAsManyPixelsAsPoints) {
    clock->set(1'700'000'000.0);
    const DisplayID id = controller.start(700, 323);

    EXPECT_EQ(id, 100u);
    EXPECT_EQ(controller.displayID(), id);
    const auto creations = backend->creations();
    ASSERT_EQ(creations.size(), 1u);
    VirtualDisplayDescriptor expected;
    expected.name = "Quorvi";
    expected.vendorID = 0x5156;
    expected.productID = 4'359;
    expected.serialNumber = 28'928;
    expected.maxPixelsWide = 1400;
    expected.maxPixelsHigh = 646;
    expected.widthMillimeters = 150;
    expected.heightMillimeters = 95;
    EXPECT_EQ(creations[0].descriptor, expected);
    EXPECT_EQ(creations[0].settings, (VirtualDisplaySettings{true, {{700, 323, 60}}}));
}

TEST_F(VirtualDisplayControllerTest, ReusesTheDisplayAtTheSameSizeWhileOnline) {
    const DisplayID first = controller.start(1280, 800);
    const DisplayID second = controller.start(1280, 800);

    EXPECT_EQ(second, first);
    EXPECT_EQ(backend->creations().size(), 1u);
    EXPECT_TRUE(backend->removed().empty());
    EXPECT_EQ(backend->moves().size(), 1u);
}

TEST_F(VirtualDisplayControllerTest, RemovesTheOldDisplayBeforeMakingOneOfAnotherSize) {
    const DisplayID first = controller.start(1024, 768);
    std::vector<int> liveWhenCreated;
    backend->onCreated([&](DisplayID) { liveWhenCreated.push_back(backend->liveCount()); });

    const DisplayID second = controller.start(1280, 800);

    EXPECT_NE(second, first);
    EXPECT_EQ(controller.displayID(), second);
    EXPECT_EQ(backend->removed(), std::vector<DisplayID>{first});
    // Only the new display existed when it was made.
    EXPECT_EQ(liveWhenCreated, std::vector<int>{1});
    EXPECT_EQ(displays->onlineDisplayIDs(), (std::vector<DisplayID>{kMain, second}));
}

TEST_F(VirtualDisplayControllerTest, ReplacesADisplayThatWentOffline) {
    const DisplayID first = controller.start(1280, 800);
    displays->removeDisplay(first);

    const DisplayID second = controller.start(1280, 800);

    EXPECT_NE(second, first);
    EXPECT_EQ(backend->removed(), std::vector<DisplayID>{first});
    EXPECT_EQ(controller.displayID(), second);
}

TEST_F(VirtualDisplayControllerTest, PlacesTheDisplayRightOfTheMainDisplayTopEdgesAligned) {
    const DisplayID id = controller.start(700, 323);

    EXPECT_EQ(backend->moves(), (std::vector<FakeVirtualDisplayBackend::Move>{{id, 1512, 0}}));
    EXPECT_EQ(VirtualDisplayController::onlineDisplayDescriptions(*displays),
              (std::vector<std::string>{"#1 1512x982 @ 0,0", "#100 1400x646 @ 1512,0"}));
}

TEST_F(VirtualDisplayControllerTest, PlacesByTheMainDisplaysBoundsTruncated) {
    displays->removeDisplay(kMain);
    displays->addDisplay(5, {-300, 0, 800, 600});
    displays->addDisplay(kMain, {-20.5, 40.9, 1000.75, 700});
    displays->setMainID(kMain);

    const DisplayID id = controller.start(100, 100);

    // max X = 980.25, min Y = 40.9
    EXPECT_EQ(backend->moves(), (std::vector<FakeVirtualDisplayBackend::Move>{{id, 980, 40}}));
}

TEST_F(VirtualDisplayControllerTest, LeavesTheDisplayWhereItIsWithoutAMainDisplay) {
    displays->removeDisplay(kMain);
    displays->setMainID(0);

    const DisplayID id = controller.start(100, 100);

    EXPECT_EQ(controller.displayID(), id);
    EXPECT_TRUE(backend->moves().empty());
}

// ---- failures ----------------------------------------------------------------

TEST_F(VirtualDisplayControllerTest, DisplayIDZeroFailsAndLeavesNoDisplay) {
    backend->setNextID(0);

    const auto error = errorOf([&] { controller.start(1280, 800); });

    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind(), Kind::displayIDUnavailable);
    EXPECT_EQ(error->description(), "Display ID virtuel indisponible");
    EXPECT_EQ(controller.displayID(), std::nullopt);
    EXPECT_EQ(backend->creations().size(), 1u);
    EXPECT_EQ(backend->liveCount(), 0);
    EXPECT_TRUE(backend->moves().empty());
}

TEST_F(VirtualDisplayControllerTest, DisplayNotOnlineAfterThreeSecondsFails) {
    backend->setComesOnline(false);

    const auto error = errorOf([&] { controller.start(1280, 800); });

    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind(), Kind::displayNotOnline);
    EXPECT_EQ(error->displayID(), 100u);
    EXPECT_EQ(error->description(), "Display virtuel #100 créé mais pas reconnu comme écran macOS");
    EXPECT_EQ(controller.displayID(), std::nullopt);
    EXPECT_EQ(backend->liveCount(), 0);
    // Three seconds in slices of 50 ms.
    EXPECT_EQ(waitClock->sleeps(), 60);
    for (const auto slice : waitClock->sleptFor()) {
        EXPECT_EQ(slice, 50ms);
    }
}

TEST_F(VirtualDisplayControllerTest, WaitsForTheDisplayToComeOnline) {
    backend->setComesOnline(false);
    waitClock->onSleep([&](int sleeps) {
        if (sleeps == 3) {
            displays->addDisplay(100, {1512, 0, 2560, 1600});
        }
    });

    EXPECT_EQ(controller.start(1280, 800), 100u);
    EXPECT_EQ(waitClock->sleeps(), 3);
    EXPECT_EQ(controller.displayID(), 100u);
}

TEST_F(VirtualDisplayControllerTest, SeesADisplayThatCameOnlineInTheLastSlice) {
    backend->setComesOnline(false);
    waitClock->onSleep([&](int sleeps) {
        if (sleeps == 60) {
            displays->addDisplay(100, {1512, 0, 2560, 1600});
        }
    });

    EXPECT_EQ(controller.start(1280, 800), 100u);
}

TEST_F(VirtualDisplayControllerTest, NoBackendMeansNoRuntime) {
    VirtualDisplayController bare;

    const auto error = errorOf([&] { bare.start(1280, 800); });

    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind(), Kind::classesUnavailable);
    EXPECT_EQ(error->description(), "CGVirtualDisplay runtime indisponible");
    bare.stop();
    EXPECT_EQ(bare.displayID(), std::nullopt);
}

TEST_F(VirtualDisplayControllerTest, BackendWithoutVirtualDisplaysMeansNoRuntime) {
    backend->failWith(Failure::unavailable, "RandR 1.5 absent");

    const auto error = errorOf([&] { controller.start(1280, 800); });

    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind(), Kind::classesUnavailable);
    EXPECT_EQ(error->description(), "CGVirtualDisplay runtime indisponible");
    EXPECT_EQ(error->reason(), "RandR 1.5 absent");
}

TEST_F(VirtualDisplayControllerTest, CreationFailureCarriesTheBackendsReason) {
    backend->failWith(Failure::creationFailed, "aucune sortie RandR libre");

    const auto error = errorOf([&] { controller.start(1280, 800); });

    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind(), Kind::displayCreationFailed);
    EXPECT_EQ(error->description(), "Création écran virtuel échouée");
    EXPECT_EQ(error->reason(), "aucune sortie RandR libre");
    EXPECT_EQ(controller.displayID(), std::nullopt);
}

TEST_F(VirtualDisplayControllerTest, AFailedStartLeavesNoDisplay) {
    const DisplayID first = controller.start(1280, 800);
    backend->failWith(Failure::creationFailed, "");

    EXPECT_TRUE(errorOf([&] { controller.start(1024, 768); }));

    EXPECT_EQ(controller.displayID(), std::nullopt);
    EXPECT_EQ(backend->removed(), std::vector<DisplayID>{first});
    EXPECT_EQ(backend->liveCount(), 0);
}

TEST_F(VirtualDisplayControllerTest, RefusesSizesThatNameNoDisplay) {
    constexpr auto kHuge = std::numeric_limits<std::int64_t>::max();
    for (const auto& size : std::vector<std::pair<std::int64_t, std::int64_t>>{
             {0, 800}, {1280, 0}, {-1280, 800}, {kHuge, 800}, {1280, kHuge}}) {
        const auto error = errorOf([&] { controller.start(size.first, size.second); });
        ASSERT_TRUE(error);
        EXPECT_EQ(error->kind(), Kind::displayCreationFailed);
    }
    EXPECT_TRUE(backend->creations().empty());
}

// ---- stopping ----------------------------------------------------------------

TEST_F(VirtualDisplayControllerTest, StopWithNoDisplayIsHarmless) {
    controller.stop();
    controller.stop();

    EXPECT_EQ(controller.displayID(), std::nullopt);
    EXPECT_TRUE(backend->removed().empty());
}

TEST_F(VirtualDisplayControllerTest, StopRemovesTheDisplay) {
    const DisplayID id = controller.start(1280, 800);

    controller.stop();

    EXPECT_EQ(controller.displayID(), std::nullopt);
    EXPECT_EQ(backend->removed(), std::vector<DisplayID>{id});
    EXPECT_EQ(displays->onlineDisplayIDs(), std::vector<DisplayID>{kMain});
}

TEST_F(VirtualDisplayControllerTest, StartsAfreshAfterStop) {
    const DisplayID first = controller.start(1280, 800);
    controller.stop();

    const DisplayID second = controller.start(1280, 800);

    EXPECT_NE(second, first);
    EXPECT_EQ(backend->creations().size(), 2u);
}

TEST_F(VirtualDisplayControllerTest, DestroyingTheControllerRemovesTheDisplay) {
    auto owned = std::make_unique<VirtualDisplayController>(backend, displays, clock, waitClock);
    owned->start(1280, 800);
    EXPECT_EQ(backend->liveCount(), 1);

    owned.reset();

    EXPECT_EQ(backend->liveCount(), 0);
}

// ---- threads -----------------------------------------------------------------

// The stop comes from another thread while start() sleeps between two looks
// for the display; the start then fails at its next look, and the display is
// gone as soon as stop() returns.
TEST_F(VirtualDisplayControllerTest, StopFromAnotherThreadEndsAStartThatWaits) {
    backend->setComesOnline(false);
    int liveAfterStop = -1;
    waitClock->onSleep([&](int sleeps) {
        if (sleeps == 2) {
            std::thread main([&] {
                controller.stop();
                liveAfterStop = backend->liveCount();
            });
            main.join();
        }
    });

    const auto error = errorOf([&] { controller.start(1280, 800); });

    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind(), Kind::displayCreationFailed);
    EXPECT_EQ(liveAfterStop, 0);
    EXPECT_EQ(waitClock->sleeps(), 2);
    EXPECT_EQ(controller.displayID(), std::nullopt);
    EXPECT_EQ(backend->liveCount(), 0);
}

// The same with real threads and the real clock: the work queue's thread
// waits for a display that never comes online while the main thread stops.
TEST_F(VirtualDisplayControllerTest, StopFromTheMainThreadDuringARealWait) {
    backend->setComesOnline(false);
    VirtualDisplayController realTime(backend, displays, clock);
    std::optional<VirtualDisplayError> error;
    std::thread workQueue([&] { error = errorOf([&] { realTime.start(1280, 800); }); });

    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (backend->liveCount() == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    ASSERT_EQ(backend->liveCount(), 1);
    realTime.stop();
    EXPECT_EQ(backend->liveCount(), 0);
    EXPECT_EQ(realTime.displayID(), std::nullopt);
    workQueue.join();

    ASSERT_TRUE(error);
    // Interrupted, not timed out.
    EXPECT_EQ(error->kind(), Kind::displayCreationFailed);
    EXPECT_EQ(realTime.displayID(), std::nullopt);
    EXPECT_EQ(backend->liveCount(), 0);
}

// Starts and stops from two threads, and reads from a third: whatever the
// interleaving, nothing races, nothing deadlocks, and a last stop leaves no
// display.
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
    EXPECT_EQ(displays->onlineDisplayIDs(), std::vector<DisplayID>{kMain});
}

} // namespace
} // namespace quorvi
