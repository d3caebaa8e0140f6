#include "linux/HeadlessCompositorTest.h"
#include "platform/linux/ProcessRuns.h"
#include "platform/linux/wlroots/SwayVirtualDisplayBackend.h"

#include <fstream>
#include <gmock/gmock.h>
#include <nlohmann/json.hpp>

namespace quorvi {
namespace {

using namespace ::testing;

class SwayVirtualDisplayTest : public testing::SwayHeadlessTest {
protected:
    SwayVirtualDisplayTest() : SwayHeadlessTest(74) {}
    // As swaymsg sees them: "HEADLESS-2 1400x646 x2.0 @1920,0" (pixels, scale, layout position).
    static std::vector<std::string> outputs() {
        std::vector<std::string> found;
        for (auto o : nlohmann::json::parse(run("swaymsg -t get_outputs -r").output)) {
            auto m = o["current_mode"], r = o["rect"];
            found.push_back(o["name"].get<std::string>() + " " + m["width"].dump() + "x" +
                            m["height"].dump() + " x" + o["scale"].dump() + " @" + r["x"].dump() +
                            "," + r["y"].dump());
        }
        return found;
    }
    static auto create(VirtualDisplayBackend& backend, int width, int height) {
        return backend.create({}, {true, {{width, height, 60}}});
    }
    SwayVirtualDisplayBackend backend{[](const std::string&) { return DisplayID{42}; }};
};

TEST_F(SwayVirtualDisplayTest, MakesAnOutputRightOfTheMainOneAndTakesItAgainOnceRemoved) {
    freshCompositorNext();
    ASSERT_EQ(run("swaymsg output HEADLESS-1 pos 100 50").status, 0);
    auto made = create(backend, 700, 323);
    ASSERT_EQ(made.display ? made.display->displayID() : 0, 42u) << made.reason;
    EXPECT_THAT(outputs(), ElementsAre(_, "HEADLESS-2 1400x646 x2.0 @2020,50"));
    made.display->moveTo(0, 1200); // global positions count from the main output's corner
    EXPECT_THAT(outputs(), ElementsAre(_, "HEADLESS-2 1400x646 x2.0 @100,1250"));
    made.display.reset();
    EXPECT_THAT(outputs(), ElementsAre(_, Not(HasSubstr("1400x646")))); // gone or out of the way
    made = create(backend, 592, 1280);
    EXPECT_THAT(outputs(), ElementsAre(_, "HEADLESS-2 1184x2560 x2.0 @2020,50"));
}

TEST_F(SwayVirtualDisplayTest, ANewRunRemovesWhatACrashedOneLeftAndNothingElse) {
    freshCompositorNext();
    ASSERT_EQ(run("swaymsg create_output").status, 0); // someone else's, placed by sway
    const VirtualDisplayCreation crashed[] = {create(backend, 700, 323), create(backend, 700, 323)};
    SwayVirtualDisplayBackend nextRun([](const std::string&) { return DisplayID{43}; });
    const auto made = create(nextRun, 640, 400);
    EXPECT_THAT(outputs(),
                ElementsAre(_, StartsWith("HEADLESS-2 1920x1080 x1.0 @"),
                            "HEADLESS-3 1280x800 x2.0 @1920,0", Not(HasSubstr("1400x646"))));
}

TEST_F(SwayVirtualDisplayTest, AStartRemovesWhatRunsThatAreGoneLeftAndNotWhatALiveOneShows) {
    freshCompositorNext();
    const VirtualDisplayCreation shown[] = {create(backend, 700, 323), create(backend, 640, 400)};
    // HEADLESS-2 now shows a display of the test's parent, which runs; HEADLESS-3 one of an
    // earlier process that had our id.
    const std::string state = std::string(std::getenv("XDG_RUNTIME_DIR")) + "/" +
                              SwayVirtualDisplayBackend::kStateFileName;
    std::ifstream in(state);
    std::string header;
    std::getline(in, header);
    in.close();
    std::ofstream(state) << header << "\nHEADLESS-2" << ownerTag(*runOfProcess(getppid()))
                         << "\nHEADLESS-3"
                         << ownerTag({getpid(), currentProcessRun().startTime + 1}) << "\n";
    SwayVirtualDisplayBackend nextRun([](const std::string&) { return DisplayID{43}; });
    EXPECT_THAT(nextRun.removeLeftovers(), ElementsAre("HEADLESS-3"));
    EXPECT_THAT(outputs(),
                ElementsAre(_, "HEADLESS-2 1400x646 x2.0 @1920,0", Not(HasSubstr("1280x800"))));
}

TEST_F(SwayVirtualDisplayTest, WithoutSwayToTalkToVirtualDisplaysAreUnavailable) {
    run("kill -STOP $(cat $XDG_RUNTIME_DIR/sway.pid)"); // takes connections, never answers
    for (const char* socket : {static_cast<const char*>(getenv("SWAYSOCK")), "", "/nonexistent"}) {
        SCOPED_TRACE(socket);
        setenv("SWAYSOCK", socket, 1);
        const auto made = create(backend, 700, 323);
        EXPECT_EQ(made.failure, VirtualDisplayCreation::Failure::unavailable);
        EXPECT_THAT(made.reason, HasSubstr("sway"));
    }
    run("kill -CONT $(cat $XDG_RUNTIME_DIR/sway.pid)");
}

} // namespace
} // namespace quorvi
