// The virtual display on a real Xorg (dummy driver): the controller over the
// RandR backend, checked with real peers (xrandr, xdotool) and the X11
// display services. What a killed process leaves behind, the next start
// removes: script.display_modes kills a whole server for that.

#include "display/VirtualDisplayController.h"
#include "linux/XorgDummyTest.h"
#include "platform/linux/x11/RandrVirtualDisplayBackend.h"
#include "platform/linux/x11/X11DisplayServices.h"

#include <gmock/gmock.h>
#include <regex>
#include <thread>

namespace quorvi {
namespace {

using namespace ::testing;

class RandrVirtualDisplayTest : public testing::XorgDummyTest {
protected:
    RandrVirtualDisplayTest() : XorgDummyTest(77) {}

    void SetUp() override {
        XorgDummyTest::SetUp();
        if (!IsSkipped() && !HasFatalFailure()) {
            expectNothingLeft();
            controller = std::make_unique<VirtualDisplayController>(
                std::make_shared<RandrVirtualDisplayBackend>(displayName_), displays);
        }
    }

    void TearDown() override {
        controller.reset();
        XorgDummyTest::TearDown();
    }

    // Our monitors as xrandr lists them ("Quorvi-289-1 1400/150x646/95+1920+0
    // DUMMY1"), as "Quorvi-289-1 1400x646+1920 DUMMY1".
    std::vector<std::string> monitors() const {
        static const std::regex ours(R"((Quorvi-[^ ]+) (\d+)/\d+x(\d+)/\d+\+(\d+)\+0 +([^ \n]+))");
        const std::string listed = server_.run("xrandr --listmonitors").output;
        std::vector<std::string> found;
        for (std::sregex_iterator m(listed.begin(), listed.end(), ours), end; m != end; ++m) {
            found.push_back(m->format("$1 $2x$3+$4 $5"));
        }
        return found;
    }

    std::string screen() const { return server_.run("xdpyinfo | grep dimensions").output; }

    int pointerXAfterMovingTo(int x, int y) const {
        server_.run("xdotool mousemove " + std::to_string(x) + " " + std::to_string(y));
        return server_.pointer().first;
    }

    // Nothing of ours is left on the server, and the screen is back.
    void expectNothingLeft() const {
        EXPECT_THAT(monitors(), IsEmpty());
        EXPECT_THAT(server_.run("xrandr --verbose").output, Not(HasSubstr("Quorvi-")));
        EXPECT_THAT(screen(), HasSubstr(" 1920x1200 "));
    }

    std::shared_ptr<X11DisplayServices> displays =
        std::make_shared<X11DisplayServices>(displayName_);
    std::unique_ptr<VirtualDisplayController> controller;
};

TEST_F(RandrVirtualDisplayTest, MakesAMonitorRightOfThePrimaryThatThePointerCanEnter) {
    // Without it, the pointer stops at the main display's edge.
    EXPECT_EQ(pointerXAfterMovingTo(2000, 100), 1919);
    const DisplayID id = controller->start(700, 323);
    EXPECT_EQ(controller->start(700, 323), id); // the same size keeps it
    EXPECT_THAT(monitors(),
                ElementsAre(MatchesRegex("Quorvi-.* 1400x646\\+1920 DUMMY([1-9]|1[0-5])")));
    EXPECT_THAT(screen(), HasSubstr(" 3320x1200 "));
    EXPECT_THAT(VirtualDisplayController::onlineDisplayDescriptions(*displays),
                Contains("#" + std::to_string(id) + " 1400x646 @ 1920,0"));
    EXPECT_EQ(pointerXAfterMovingTo(3319, 645), 3319);

    // A new size replaces it, growing the screen in height too.
    const DisplayID tall = controller->start(592, 1280);
    EXPECT_THAT(monitors(), ElementsAre(HasSubstr(" 1184x2560+1920 ")));
    EXPECT_THAT(screen(), HasSubstr(" 3104x2560 "));
    EXPECT_NE(tall, id);
    controller->stop();
    EXPECT_THAT(VirtualDisplayController::onlineDisplayIDs(*displays), Not(Contains(tall)));
    expectNothingLeft();
    EXPECT_EQ(pointerXAfterMovingTo(2000, 100), 1919);
    controller->stop();          // harmless again
    controller->start(700, 323); // and the controller's end removes it too
    controller.reset();
    expectNothingLeft();
}

TEST_F(RandrVirtualDisplayTest, ADisplayTooLargeOrWithoutASpareOutputFailsWithTheReason) {
    const auto reason = [&](std::int64_t width) {
        try {
            controller->start(width, 323);
        } catch (const VirtualDisplayError& error) {
            EXPECT_EQ(error.kind(), VirtualDisplayError::Kind::displayCreationFailed);
            return error.reason();
        }
        return std::string("no failure");
    };
    // The dummy screen's size range ends at 32767 pixels.
    EXPECT_NE(reason(16000), "no failure");
    expectNothingLeft();

    // Every spare output lit (over the main display), so no CRTC is free.
    // The dummy driver keeps a lit output "connected" for good.
    freshServerNext();
    std::string light = "xrandr";
    for (int output = 1; output <= 15; ++output) {
        const std::string name = "DUMMY" + std::to_string(output);
        ASSERT_EQ(server_.run("xrandr --addmode " + name + " 1920x1200").status, 0);
        light += " --output " + name + " --mode 1920x1200 --pos 0x0";
    }
    ASSERT_EQ(server_.run(light).status, 0);
    EXPECT_THAT(reason(700), HasSubstr("aucune sortie"));
    EXPECT_EQ(controller->displayID(), std::nullopt);
    expectNothingLeft();
}

TEST_F(RandrVirtualDisplayTest, StopFromAnotherThreadLeavesNothing) {
    for (int round = 0; round < 5; ++round) {
        std::thread workQueue([&] {
            try {
                controller->start(700 + 2 * round, 323);
            } catch (const VirtualDisplayError&) {
                // The stop came first.
            }
        });
        // Each round lets the start get a little further before the stop.
        std::this_thread::sleep_for(std::chrono::milliseconds(round * 10));
        controller->stop();
        workQueue.join();
        controller->stop();
        expectNothingLeft();
    }
}

} // namespace
} // namespace quorvi
