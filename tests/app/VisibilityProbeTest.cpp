#include "AppTestSupport.h"
#include "FakePlatform.h"
#include "app/MainWindow.h"
#include "app/WindowApplication.h"
#include "capture/CaptureVisibilityStatus.h"
#include "fakes/SwitchablePrivacyGrants.h"
#include "linux/TestCommands.h"
#include "platform/linux/X11WindowList.h"

#include <QWindow>
#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

using namespace quorvi;
using namespace quorvi::testing;
using namespace std::chrono_literals;

// The capture cannot cut a window out of a root grab, so the visibility
// probe must at least not count the application's own window as "another
// app the phone will see". This needs a real X server: the test starts the
// project's Xorg dummy display and runs the window side in a child process
// of this same binary on the xcb platform (one process holds one Qt
// platform).

namespace {

constexpr const char* kChildVariable = "QUORVI_PROBE_CHILD";
constexpr int kDisplayNumber = 84;

using quorvi::testing::repositoryPath;
using quorvi::testing::runCommand;

std::string xorgDummyScript() {
    return repositoryPath("scripts/test-env/xorg-dummy");
}

} // namespace

TEST(VisibilityProbe, LeavesTheApplicationsOwnWindowOut) {
    if (qEnvironmentVariableIsSet(kChildVariable)) {
        GTEST_SKIP() << "the child runs the window side only";
    }
    if (geteuid() != 0) {
        GTEST_SKIP() << "starting the Xorg dummy display needs root";
    }
    const std::string number = std::to_string(kDisplayNumber);
    const auto started = runCommand("timeout 60 " + xorgDummyScript() + " start " + number);
    if (started.status != 0) {
        GTEST_SKIP() << "no test X display: " << started.output;
    }
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    const auto child =
        runCommand(std::string("QT_QPA_PLATFORM=xcb DISPLAY=:") + number + " " + kChildVariable +
                   "=1 timeout 60 '" + self + "' --gtest_filter='VisibilityProbeChild.*'");
    runCommand("timeout 60 " + xorgDummyScript() + " stop " + number);
    EXPECT_EQ(child.status, 0) << child.output;
    EXPECT_NE(child.output.find("[  PASSED  ] 1 test"), std::string::npos) << child.output;
}

TEST(VisibilityProbeChild, OwnWindowIsListedButNotCounted) {
    if (!qEnvironmentVariableIsSet(kChildVariable)) {
        GTEST_SKIP() << "runs on a real X display, started by VisibilityProbe";
    }
    SceneHooks hooks;
    hooks.isTrayAvailable = [] { return true; };
    hooks.quit = [] {};
    hooks.showsTrayIcon = false;
    WindowScene scene(fakePlatform(std::make_shared<InMemoryUserDefaults>()), ServerOptions{0},
                      hooks);
    scene.show();
    ASSERT_TRUE(spinUntil(
        [&] {
            const QWindow* window = scene.mainWindow()->windowHandle();
            return window != nullptr && window->isExposed();
        },
        10s));
    spin(300ms);

    X11WindowList windows;
    const WindowListResult listed = windows.onScreenWindows();
    ASSERT_TRUE(listed.windows.has_value()) << listed.errorDescription;
    const auto ours = std::find_if(
        listed.windows->begin(), listed.windows->end(), [](const VisibleWindow& window) {
            return window.isThisApplication ||
                   window.ownerProcessID == static_cast<std::int64_t>(getpid());
        });
    ASSERT_NE(ours, listed.windows->end()) << "the window is on screen and says whose it is";
    ASSERT_TRUE(ours->applicationName.has_value());

    fakes::SwitchablePrivacyGrants grants;
    const auto status = CaptureVisibilityStatus::current(grants, windows);
    EXPECT_EQ(
        std::count(status.visibleApps.begin(), status.visibleApps.end(), *ours->applicationName), 0)
        << status.summary;
    EXPECT_EQ(status.summary.find(*ours->applicationName), std::string::npos) << status.summary;
}
