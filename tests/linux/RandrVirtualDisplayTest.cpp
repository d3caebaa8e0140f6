// The virtual display on a real Xorg (dummy driver): the controller over the
// RandR backend, checked with real peers (xrandr, xdpyinfo, xdotool) and
// with the X11 display services the server reads the layout with. Also the
// backend's pure parts: CVT timings and the screen growth plan.

#include "display/VirtualDisplayController.h"
#include "linux/TestDisplay.h"
#include "platform/linux/RandrVirtualDisplayBackend.h"
#include "platform/linux/X11DisplayServices.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <optional>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
// Xlib's None and Bool are macros, and Google Test uses both names.
#undef None
#undef Bool

#include <gtest/gtest.h>

namespace quorvi {
namespace {

using namespace std::chrono_literals;
using testing::CommandResult;
using testing::TestDisplay;
using Kind = VirtualDisplayError::Kind;

// Our own display number, so that nobody else's test server is touched.
constexpr int kDisplayNumber = 77;
const std::string kDisplayName = ":" + std::to_string(kDisplayNumber);

// The spare outputs of the dummy driver.
constexpr int kSpareOutputs = 15;

// ---- pure parts ------------------------------------------------------------

// Modelines as the `cvt` tool prints them for these sizes at 60 Hz.
TEST(CvtModeLine, MatchesTheStandardTimings) {
    EXPECT_EQ(cvtModeLine(1920, 1080, 60),
              (CvtModeLine{173000, 1920, 2048, 2248, 2576, 1080, 1083, 1088, 1120}));
    EXPECT_EQ(cvtModeLine(1920, 1200, 60),
              (CvtModeLine{193250, 1920, 2056, 2256, 2592, 1200, 1203, 1209, 1245}));
    EXPECT_EQ(cvtModeLine(1280, 720, 60),
              (CvtModeLine{74500, 1280, 1344, 1472, 1664, 720, 723, 728, 748}));
    EXPECT_EQ(cvtModeLine(1024, 768, 60),
              (CvtModeLine{63500, 1024, 1072, 1176, 1328, 768, 771, 775, 798}));
    EXPECT_EQ(cvtModeLine(800, 600, 60),
              (CvtModeLine{38250, 800, 832, 912, 1024, 600, 603, 607, 624}));
}

TEST(CvtModeLine, KeepsAWidthThatIsNotAWholeCell) {
    // 1366 is worked out as 1368 (cvt 1366 768 prints the 1368 line) but
    // stays 1366 wide.
    EXPECT_EQ(cvtModeLine(1366, 768, 60),
              (CvtModeLine{85250, 1366, 1440, 1576, 1784, 768, 771, 781, 798}));
    const CvtModeLine odd = cvtModeLine(724, 364, 60);
    EXPECT_EQ(odd.hDisplay, 724);
    EXPECT_GT(odd.hSyncStart, odd.hDisplay);
    EXPECT_LT(odd.hSyncStart, odd.hSyncEnd);
    EXPECT_LT(odd.hSyncEnd, odd.hTotal);
}

TEST(CvtModeLine, RefreshesAtTheRateAsked) {
    for (const auto& [width, height] :
         std::vector<std::pair<int, int>>{{1400, 646}, {592 * 2, 1280 * 2}, {720, 360}}) {
        const CvtModeLine mode = cvtModeLine(width, height, 60);
        const double refresh = mode.clockKHz * 1000.0 / (mode.hTotal * mode.vTotal);
        // The clock goes down to a whole 250 kHz step, which costs small
        // modes a little more than a hertz.
        EXPECT_GT(refresh, 58.5) << width << "x" << height;
        EXPECT_LE(refresh, 60.0) << width << "x" << height;
        EXPECT_LT(mode.vDisplay, mode.vSyncStart);
        EXPECT_LT(mode.vSyncEnd, mode.vTotal);
    }
}

TEST(RandrScreenPlan, GrowsOnlyWhatIsNeeded) {
    const RandrScreenPlan fits = planRandrScreen(4096, 2400, 4096, 2400, 3320, 646);
    EXPECT_EQ(fits.growth, RandrScreenGrowth::none);
    const RandrScreenPlan grows = planRandrScreen(1920, 1200, 32767, 32767, 3320, 646);
    EXPECT_EQ(grows.growth, RandrScreenGrowth::grow);
    EXPECT_EQ(grows.width, 3320);
    EXPECT_EQ(grows.height, 1200);
    const RandrScreenPlan taller = planRandrScreen(1920, 1200, 32767, 32767, 3104, 2560);
    EXPECT_EQ(taller.width, 3104);
    EXPECT_EQ(taller.height, 2560);
}

TEST(RandrScreenPlan, TellsAScreenThatCannotGrowFromOneTooSmall) {
    // Xvfb: the size range ends at the current size.
    EXPECT_EQ(planRandrScreen(1280, 1024, 1280, 1024, 2680, 646).growth,
              RandrScreenGrowth::cannotGrow);
    EXPECT_EQ(planRandrScreen(1920, 1200, 4096, 2400, 1920 + 2400, 646).growth,
              RandrScreenGrowth::tooLarge);
}

// ---- on the X server -------------------------------------------------------

// One line of `xrandr --listmonitors`.
struct ListedMonitor {
    std::string name;
    int width = 0;
    int height = 0;
    int x = 0;
    int y = 0;
    std::string output;
};

class RandrVirtualDisplayTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { server_ = new TestDisplay(kDisplayNumber); }

    static void TearDownTestSuite() {
        delete server_;
        server_ = nullptr;
    }

    void SetUp() override {
        if (geteuid() != 0) {
            GTEST_SKIP() << "Xorg with the dummy driver needs root: not run";
        }
        const std::string error = server_->start();
        if (!error.empty()) {
            GTEST_SKIP() << "Xorg with the dummy driver did not start: " << error;
        }
        restoreLayout();
        ASSERT_TRUE(quorviMonitors().empty());
        ASSERT_EQ(screenSize(), "1920x1200");
        backend = std::make_shared<RandrVirtualDisplayBackend>(kDisplayName);
        displays = std::make_shared<X11DisplayServices>(kDisplayName);
        controller = std::make_unique<VirtualDisplayController>(backend, displays);
    }

    void TearDown() override {
        controller.reset();
        if (server_ != nullptr && !IsSkipped()) {
            restoreLayout();
        }
    }

    // The layout the script set up: DUMMY0 alone at 1920x1200, no monitor of
    // ours, whatever a failed case left.
    static void restoreLayout() {
        RandrVirtualDisplayBackend cleaner(kDisplayName);
        cleaner.removeLeftovers();
        std::string off = "xrandr";
        for (int output = 1; output <= kSpareOutputs; ++output) {
            off += " --output DUMMY" + std::to_string(output) + " --off";
        }
        server_->run(off);
        server_->run("xrandr --fb 1920x1200");
    }

    static CommandResult run(const std::string& command) { return server_->run(command); }

    static std::vector<ListedMonitor> listMonitors() {
        std::vector<ListedMonitor> monitors;
        const std::string output = run("xrandr --listmonitors").output;
        std::size_t start = 0;
        while (start < output.size()) {
            std::size_t end = output.find('\n', start);
            if (end == std::string::npos) {
                end = output.size();
            }
            const std::string line = output.substr(start, end - start);
            start = end + 1;
            // " 1: Quorvi-28928-1 1400/150x646/95+1920+0  DUMMY1"
            int index = 0;
            char name[128] = {};
            char outputName[128] = {};
            ListedMonitor monitor;
            int widthMM = 0;
            int heightMM = 0;
            if (std::sscanf(line.c_str(), " %d: %127s %d/%dx%d/%d+%d+%d %127s", &index, name,
                            &monitor.width, &widthMM, &monitor.height, &heightMM, &monitor.x,
                            &monitor.y, outputName) == 9) {
                monitor.name = name;
                monitor.output = outputName;
                monitors.push_back(monitor);
            }
        }
        return monitors;
    }

    static std::vector<ListedMonitor> quorviMonitors() {
        std::vector<ListedMonitor> ours;
        for (const ListedMonitor& monitor : listMonitors()) {
            if (monitor.name.rfind("Quorvi-", 0) == 0) {
                ours.push_back(monitor);
            }
        }
        return ours;
    }

    // "1920x1200", as xdpyinfo reports the screen.
    static std::string screenSize() {
        const std::string output = run("xdpyinfo").output;
        const std::size_t at = output.find("dimensions:");
        if (at == std::string::npos) {
            return {};
        }
        char size[64] = {};
        std::sscanf(output.c_str() + at, "dimensions: %63s", size);
        return size;
    }

    static std::pair<int, int> movePointer(int x, int y) {
        run("xdotool mousemove " + std::to_string(x) + " " + std::to_string(y));
        return server_->pointer();
    }

    static VirtualDisplayError::Kind errorKind(VirtualDisplayController& controller,
                                               std::int64_t width, std::int64_t height,
                                               std::string* reason = nullptr) {
        try {
            controller.start(width, height);
        } catch (const VirtualDisplayError& error) {
            if (reason != nullptr) {
                *reason = error.reason();
            }
            return error.kind();
        }
        ADD_FAILURE() << "start(" << width << ", " << height << ") did not fail";
        return Kind::displayNotOnline;
    }

    static TestDisplay* server_;
    std::shared_ptr<RandrVirtualDisplayBackend> backend;
    std::shared_ptr<X11DisplayServices> displays;
    std::unique_ptr<VirtualDisplayController> controller;
};

TestDisplay* RandrVirtualDisplayTest::server_ = nullptr;

TEST_F(RandrVirtualDisplayTest, MakesAMonitorRightOfThePrimaryThatThePointerCanEnter) {
    // Without it, the pointer stops at the main display's edge.
    EXPECT_EQ(movePointer(2000, 100).first, 1919);

    const DisplayID id = controller->start(700, 323);

    const auto monitors = quorviMonitors();
    ASSERT_EQ(monitors.size(), 1u) << run("xrandr --listmonitors").output;
    EXPECT_EQ(monitors[0].width, 1400);
    EXPECT_EQ(monitors[0].height, 646);
    EXPECT_EQ(monitors[0].x, 1920);
    EXPECT_EQ(monitors[0].y, 0);
    EXPECT_EQ(monitors[0].output.rfind("DUMMY", 0), 0u);
    EXPECT_NE(monitors[0].output, "DUMMY0");
    EXPECT_EQ(controller->displayID(), id);

    const auto online = VirtualDisplayController::onlineDisplayIDs(*displays);
    EXPECT_NE(std::find(online.begin(), online.end(), id), online.end());
    const auto lines = VirtualDisplayController::onlineDisplayDescriptions(*displays);
    const std::string expected = "#" + std::to_string(id) + " 1400x646 @ 1920,0";
    EXPECT_NE(std::find(lines.begin(), lines.end(), expected), lines.end())
        << ::testing::PrintToString(lines);
    EXPECT_EQ(displays->pixelsWide(id), 1400u);
    EXPECT_EQ(displays->pixelsHigh(id), 646u);

    EXPECT_EQ(movePointer(2000, 100), (std::pair{2000, 100}));
    EXPECT_EQ(movePointer(3319, 645), (std::pair{3319, 645}));
}

TEST_F(RandrVirtualDisplayTest, StopRemovesTheMonitorAndShrinksTheScreenBack) {
    const DisplayID id = controller->start(700, 323);
    EXPECT_EQ(screenSize(), "3320x1200");

    controller->stop();

    EXPECT_EQ(controller->displayID(), std::nullopt);
    EXPECT_TRUE(quorviMonitors().empty()) << run("xrandr --listmonitors").output;
    EXPECT_EQ(screenSize(), "1920x1200");
    const auto online = VirtualDisplayController::onlineDisplayIDs(*displays);
    EXPECT_EQ(std::find(online.begin(), online.end(), id), online.end());
    // Nothing of ours is left in the configuration either.
    EXPECT_EQ(run("xrandr --verbose").output.find("Quorvi-"), std::string::npos);
    EXPECT_EQ(movePointer(2000, 100).first, 1919);
    // And again, harmlessly.
    controller->stop();
}

TEST_F(RandrVirtualDisplayTest, ANewSizeMakesANewMonitorAndTheSameSizeKeepsIt) {
    const DisplayID first = controller->start(700, 323);
    EXPECT_EQ(controller->start(700, 323), first);
    ASSERT_EQ(quorviMonitors().size(), 1u);

    const DisplayID second = controller->start(592, 1280);

    EXPECT_NE(second, first);
    const auto monitors = quorviMonitors();
    ASSERT_EQ(monitors.size(), 1u) << run("xrandr --listmonitors").output;
    EXPECT_EQ(monitors[0].width, 1184);
    EXPECT_EQ(monitors[0].height, 2560);
    EXPECT_EQ(monitors[0].x, 1920);
    EXPECT_EQ(monitors[0].y, 0);
    EXPECT_EQ(screenSize(), "3104x2560");
    const auto online = VirtualDisplayController::onlineDisplayIDs(*displays);
    EXPECT_EQ(std::find(online.begin(), online.end(), first), online.end());
    EXPECT_NE(std::find(online.begin(), online.end(), second), online.end());

    controller->stop();
    EXPECT_EQ(screenSize(), "1920x1200");
}

TEST_F(RandrVirtualDisplayTest, EveryStartGetsANewIdentifier) {
    const DisplayID first = controller->start(700, 323);
    controller->stop();
    const DisplayID second = controller->start(700, 323);
    controller->stop();
    // A backend of its own counts from 1 again: the name must still be new.
    VirtualDisplayController other(std::make_shared<RandrVirtualDisplayBackend>(kDisplayName),
                                   displays);
    const DisplayID third = other.start(700, 323);
    other.stop();

    EXPECT_NE(first, second);
    EXPECT_NE(third, first);
    EXPECT_NE(third, second);
}

TEST_F(RandrVirtualDisplayTest, AMonitorDeletedFromOutsideIsReplaced) {
    const DisplayID first = controller->start(700, 323);
    const auto monitors = quorviMonitors();
    ASSERT_EQ(monitors.size(), 1u);
    run("xrandr --delmonitor " + monitors[0].name);

    const DisplayID second = controller->start(700, 323);

    EXPECT_NE(second, first);
    ASSERT_EQ(quorviMonitors().size(), 1u);
    controller->stop();
    EXPECT_TRUE(quorviMonitors().empty());
    EXPECT_EQ(screenSize(), "1920x1200");
}

// The monitor outlives the process that made it: a process killed with its
// display on leaves it behind, and the next start clears it.
TEST_F(RandrVirtualDisplayTest, TheNextStartRemovesTheLeftoversOfAKilledProcess) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        auto childDisplays = std::make_shared<X11DisplayServices>(kDisplayName);
        VirtualDisplayController doomed(std::make_shared<RandrVirtualDisplayBackend>(kDisplayName),
                                        childDisplays);
        try {
            doomed.start(500, 300);
        } catch (const VirtualDisplayError&) {
            _exit(3);
        }
        raise(SIGKILL);
        _exit(4);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
    const auto leftovers = quorviMonitors();
    ASSERT_EQ(leftovers.size(), 1u) << run("xrandr --listmonitors").output;
    EXPECT_EQ(leftovers[0].width, 1000);
    EXPECT_EQ(screenSize(), "2920x1200");

    controller->start(700, 323);

    const auto monitors = quorviMonitors();
    ASSERT_EQ(monitors.size(), 1u) << run("xrandr --listmonitors").output;
    EXPECT_NE(monitors[0].name, leftovers[0].name);
    EXPECT_EQ(monitors[0].width, 1400);
    EXPECT_EQ(monitors[0].x, 1920);
    controller->stop();
    EXPECT_TRUE(quorviMonitors().empty());
    EXPECT_EQ(screenSize(), "1920x1200");
}

TEST_F(RandrVirtualDisplayTest, RemovesLeftoversOnRequest) {
    // Made by a process that then exits without removing it: its connection
    // closes, the display stays.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        RandrVirtualDisplayBackend other(kDisplayName);
        VirtualDisplayDescriptor descriptor;
        descriptor.name = "Quorvi";
        descriptor.serialNumber = 7;
        const VirtualDisplaySettings settings{true, {{400, 300, 60}}};
        VirtualDisplayCreation creation = other.create(descriptor, settings);
        // No destructor runs: destroying the display would remove it.
        _exit(creation.display ? 0 : 3);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    ASSERT_EQ(quorviMonitors().size(), 1u);
    EXPECT_EQ(screenSize(), "2720x1200");

    EXPECT_EQ(backend->removeLeftovers(), 1);

    EXPECT_TRUE(quorviMonitors().empty());
    EXPECT_EQ(screenSize(), "1920x1200");
    EXPECT_EQ(run("xrandr --verbose").output.find("Quorvi-"), std::string::npos);
}

TEST_F(RandrVirtualDisplayTest, WithoutASpareOutputCreationFailsWithTheReason) {
    // Every spare output lit (over the main display), so no CRTC is free.
    std::string addModes = "xrandr";
    std::string light = "xrandr";
    for (int output = 1; output <= kSpareOutputs; ++output) {
        const std::string name = "DUMMY" + std::to_string(output);
        addModes += " --addmode " + name + " 1920x1200";
        light += " --output " + name + " --mode 1920x1200 --pos 0x0";
    }
    ASSERT_EQ(run(addModes).status, 0);
    ASSERT_EQ(run(light).status, 0) << run(light).output;

    std::string reason;
    EXPECT_EQ(errorKind(*controller, 700, 323, &reason), Kind::displayCreationFailed);
    EXPECT_NE(reason.find("aucune sortie"), std::string::npos) << reason;
    EXPECT_TRUE(quorviMonitors().empty());
    EXPECT_EQ(screenSize(), "1920x1200");
    EXPECT_EQ(controller->displayID(), std::nullopt);
    // The dummy driver keeps an output it has lit "connected" for good, so
    // the next test of this process gets a fresh server.
    controller.reset();
    server_->stop();
}

TEST_F(RandrVirtualDisplayTest, ADisplayTooLargeForTheScreenFails) {
    // The dummy screen's size range ends at 32767 pixels.
    std::string reason;
    EXPECT_EQ(errorKind(*controller, 16000, 300, &reason), Kind::displayCreationFailed);
    EXPECT_FALSE(reason.empty());
    EXPECT_TRUE(quorviMonitors().empty());
    EXPECT_EQ(screenSize(), "1920x1200");
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
        std::this_thread::sleep_for(std::chrono::milliseconds(round * 10));
        controller->stop();
        workQueue.join();
        controller->stop();
        EXPECT_TRUE(quorviMonitors().empty()) << round;
        EXPECT_EQ(screenSize(), "1920x1200") << round;
    }
}

// A server whose screen cannot grow (Xvfb) offers no virtual display. Xvfb
// is not a dependency of the project; without it this case does not run.
TEST(RandrVirtualDisplayXvfb, AScreenThatCannotGrowMeansNoRuntime) {
    if (testing::runCommand("command -v Xvfb").status != 0) {
        GTEST_SKIP() << "Xvfb is not installed";
    }
    constexpr int kXvfbNumber = 177;
    const std::string name = ":" + std::to_string(kXvfbNumber);
    const pid_t xvfb = fork();
    ASSERT_GE(xvfb, 0);
    if (xvfb == 0) {
        execlp("Xvfb", "Xvfb", name.c_str(), "-nolisten", "tcp", "-screen", "0", "1280x1024x24",
               static_cast<char*>(nullptr));
        _exit(127);
    }
    const bool isUp = testing::eventually(
        [&] { return testing::runCommand("DISPLAY=" + name + " xdpyinfo").status == 0; }, 10s);
    if (isUp) {
        VirtualDisplayController controller(std::make_shared<RandrVirtualDisplayBackend>(name),
                                            std::make_shared<X11DisplayServices>(name));
        try {
            controller.start(700, 323);
            ADD_FAILURE() << "a display was made on Xvfb";
        } catch (const VirtualDisplayError& error) {
            EXPECT_EQ(error.kind(), Kind::classesUnavailable) << error.reason();
            EXPECT_EQ(error.description(), "CGVirtualDisplay runtime indisponible");
        }
    }
    kill(xvfb, SIGTERM);
    int status = 0;
    waitpid(xvfb, &status, 0);
    ASSERT_TRUE(isUp) << "Xvfb did not start";
}

} // namespace
} // namespace quorvi
