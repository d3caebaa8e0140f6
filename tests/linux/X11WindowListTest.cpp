// The X11 window list under the capture visibility probe, on a real Xorg
// (dummy driver) where no window manager runs: the top-level fallback with
// real clients (xmessage), and the window manager's client list set on the
// root by the test itself.

#include "platform/linux/X11WindowList.h"

#include "capture/CaptureVisibilityStatus.h"
#include "fakes/SwitchablePrivacyGrants.h"
#include "linux/TestDisplay.h"
#include "platform/linux/X11ErrorHandling.h"
#include "platform/linux/X11PrivacyGrants.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <algorithm>
#include <csignal>
#include <filesystem>
#include <optional>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
// Xlib's None and Bool are macros, and Google Test uses both names.
#undef None
#undef Bool

#include <gtest/gtest.h>

namespace quorvi {
namespace {

using namespace std::chrono_literals;
using Strings = std::vector<std::string>;
using testing::eventually;
using testing::TestDisplay;

// Our own display number, so that nobody else's test server is touched.
constexpr int kDisplayNumber = 78;
const std::string kDisplayName = ":" + std::to_string(kDisplayNumber);

// A display nobody serves, named by its local socket so that Xlib does not
// fall back to TCP when the socket is missing.
constexpr int kUnservedNumber = 178;
const std::string kUnservedName = "unix:" + std::to_string(kUnservedNumber);

// A process that is certainly not this test: init.
constexpr long kForeignProcess = 1;

// An X client run as its own process, ended when the test lets go of it.
class ClientProcess {
public:
    explicit ClientProcess(std::vector<std::string> arguments) {
        std::vector<char*> argv;
        for (std::string& argument : arguments) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        std::vector<std::string> environment = {"DISPLAY=" + kDisplayName, "PATH=/usr/bin:/bin"};
        std::vector<char*> envp;
        for (std::string& entry : environment) {
            envp.push_back(entry.data());
        }
        envp.push_back(nullptr);
        if (posix_spawn(&pid_, argv[0], nullptr, nullptr, argv.data(), envp.data()) != 0) {
            pid_ = -1;
        }
    }
    ~ClientProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int status = 0;
            waitpid(pid_, &status, 0);
        }
    }
    ClientProcess(const ClientProcess&) = delete;
    ClientProcess& operator=(const ClientProcess&) = delete;

    bool isRunning() const { return pid_ > 0; }

private:
    pid_t pid_ = -1;
};

class X11WindowListTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { display_ = new TestDisplay(kDisplayNumber); }

    static void TearDownTestSuite() {
        delete display_;
        display_ = nullptr;
    }

    void SetUp() override {
        if (geteuid() != 0) {
            GTEST_SKIP() << "Xorg with the dummy driver needs root: not run";
        }
        // Starting is idempotent: a case that stopped the server gets a new
        // one, the others reuse it.
        const std::string error = display_->start();
        if (!error.empty()) {
            GTEST_SKIP() << "Xorg with the dummy driver did not start: " << error;
        }
        x11::installErrorHandlers();
        peer_ = XOpenDisplay(kDisplayName.c_str());
        ASSERT_NE(peer_, nullptr);
        root_ = DefaultRootWindow(peer_);
    }

    void TearDown() override {
        if (peer_ != nullptr) {
            // Every top-level window goes now, the clients' too: a server
            // frees a closed client's windows only when it notices the close,
            // which the next case could overtake. Root properties outlive the
            // client that set them.
            XDestroySubwindows(peer_, root_);
            XDeleteProperty(peer_, root_, atom("_NET_CLIENT_LIST"));
            XSync(peer_, False);
            XCloseDisplay(peer_);
            peer_ = nullptr;
        }
    }

    Atom atom(const char* name) { return XInternAtom(peer_, name, False); }

    // A plain top-level window; without a window manager a map takes effect
    // at once.
    Window makeWindow(std::optional<std::string> className, std::optional<long> pid, bool isMapped,
                      Window parent = 0) {
        const Window window = XCreateSimpleWindow(peer_, parent != 0 ? parent : root_, 10, 10, 200,
                                                  100, 0, 0, 0x336699);
        if (className) {
            std::string instance = "quorvi-test";
            XClassHint hint{};
            hint.res_name = instance.data();
            hint.res_class = className->data();
            XSetClassHint(peer_, window, &hint);
        }
        if (pid) {
            setCardinals(window, "_NET_WM_PID", {*pid});
        }
        if (isMapped) {
            XMapWindow(peer_, window);
        }
        XSync(peer_, False);
        return window;
    }

    void setCardinals(Window window, const char* property, std::vector<long> values) {
        XChangeProperty(peer_, window, atom(property), XA_CARDINAL, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(values.data()),
                        static_cast<int>(values.size()));
    }

    void setAtoms(Window window, const char* property, const std::vector<const char*>& names) {
        std::vector<long> atoms;
        for (const char* name : names) {
            atoms.push_back(static_cast<long>(atom(name)));
        }
        XChangeProperty(peer_, window, atom(property), XA_ATOM, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(atoms.data()),
                        static_cast<int>(atoms.size()));
        XSync(peer_, False);
    }

    void setClientList(const std::vector<Window>& windows) {
        std::vector<long> ids(windows.begin(), windows.end());
        XChangeProperty(peer_, root_, atom("_NET_CLIENT_LIST"), XA_WINDOW, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(ids.data()),
                        static_cast<int>(ids.size()));
        XSync(peer_, False);
    }

    // The probe as the server runs it: the real grants and the real list.
    CaptureVisibilityStatus probe() {
        X11PrivacyGrants grants(kDisplayName);
        X11WindowList windows(kDisplayName);
        return CaptureVisibilityStatus::current(grants, windows);
    }

    std::vector<VisibleWindow> listed() {
        X11WindowList windows(kDisplayName);
        const WindowListResult result = windows.onScreenWindows();
        EXPECT_TRUE(result.windows.has_value()) << result.errorDescription;
        return result.windows.value_or(std::vector<VisibleWindow>{});
    }

    static const VisibleWindow* find(const std::vector<VisibleWindow>& windows, Window window) {
        const auto found =
            std::find_if(windows.begin(), windows.end(),
                         [&](const VisibleWindow& seen) { return seen.windowID == window; });
        return found == windows.end() ? nullptr : &*found;
    }

    static TestDisplay* display_;
    Display* peer_ = nullptr;
    Window root_ = 0;
};

TestDisplay* X11WindowListTest::display_ = nullptr;

TEST_F(X11WindowListTest, WindowsOfAnotherProgramAreSummarizedAndOursLeftOut) {
    // Two windows of a real client, found through the top-level fallback
    // (nothing here sets _NET_CLIENT_LIST).
    ClientProcess first({"/usr/bin/xmessage", "-name", "quorvi-first", "premier"});
    ClientProcess second({"/usr/bin/xmessage", "-name", "quorvi-second", "second"});
    ASSERT_TRUE(first.isRunning());
    ASSERT_TRUE(second.isRunning());
    const Window ours = makeWindow("QuorviMac", static_cast<long>(getpid()), true);
    const Window unmapped = makeWindow("QuorviUnmapped", kForeignProcess, false);

    CaptureVisibilityStatus status;
    EXPECT_TRUE(eventually(
        [&] {
            status = probe();
            return status.summary == "2 fenêtres · Xmessage";
        },
        5s))
        << status.summary;
    EXPECT_EQ(status.visibleApps, Strings{"Xmessage"});
    EXPECT_EQ(status.journalLine(), "Capture visibilité: Xmessage");

    // The raw list still has our window, marked as ours; never the unmapped
    // one.
    const std::vector<VisibleWindow> windows = listed();
    const VisibleWindow* own = find(windows, ours);
    ASSERT_NE(own, nullptr);
    EXPECT_TRUE(own->isThisApplication);
    EXPECT_EQ(own->ownerProcessID, std::optional<std::int64_t>(getpid()));
    EXPECT_EQ(own->applicationName, std::optional<std::string>("QuorviMac"));
    EXPECT_EQ(find(windows, unmapped), nullptr);

    // Mapped later, the same window shows.
    XMapWindow(peer_, unmapped);
    XSync(peer_, False);
    EXPECT_EQ(probe().summary, "3 fenêtres · QuorviUnmapped, Xmessage");
}

TEST_F(X11WindowListTest, AnUnmappedWindowOfTheProgramDropsOut) {
    ClientProcess first({"/usr/bin/xmessage", "-name", "quorvi-first", "premier"});
    ClientProcess hidden({"/usr/bin/xmessage", "-name", "quorvi-hidden", "caché"});
    ASSERT_TRUE(eventually([&] { return probe().summary == "2 fenêtres · Xmessage"; }, 5s));

    // xdotool, as a real peer, unmaps one of them.
    const testing::CommandResult unmapped =
        display_->run("xdotool search --classname quorvi-hidden windowunmap --sync %@");
    ASSERT_EQ(unmapped.status, 0) << unmapped.output;
    EXPECT_EQ(probe().summary, "1 fenêtres · Xmessage");
}

TEST_F(X11WindowListTest, WindowsWithoutAClassAreNeitherCountedNorNamed) {
    makeWindow(std::nullopt, kForeignProcess, true);
    makeWindow(std::nullopt, std::nullopt, true);
    makeWindow(std::string(), kForeignProcess, true);
    EXPECT_EQ(probe().summary, "Aucune autre app visible");
    makeWindow("QuorviNamed", std::nullopt, true);
    EXPECT_EQ(probe().summary, "1 fenêtres · QuorviNamed");
}

TEST_F(X11WindowListTest, TheFallbackTakesTheChildThatCarriesWMState) {
    // A frame as a window manager would make it: the top-level window has
    // no class, the client's window inside it has WM_STATE and the class.
    const Window frame = makeWindow(std::nullopt, std::nullopt, true);
    const Window decoration = makeWindow("QuorviDecoration", std::nullopt, true, frame);
    const Window client = makeWindow("QuorviFramed", kForeignProcess, true, decoration);
    setCardinals(client, "WM_STATE", {1, 0});
    XSync(peer_, False);

    const std::vector<VisibleWindow> windows = listed();
    EXPECT_EQ(find(windows, frame), nullptr);
    EXPECT_EQ(find(windows, decoration), nullptr);
    const VisibleWindow* found = find(windows, client);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->applicationName, std::optional<std::string>("QuorviFramed"));
    EXPECT_EQ(found->ownerProcessID, std::optional<std::int64_t>(kForeignProcess));
    EXPECT_FALSE(found->isThisApplication);
    EXPECT_EQ(probe().summary, "1 fenêtres · QuorviFramed");
}

TEST_F(X11WindowListTest, TheWindowManagersClientListWinsWhenItIsThere) {
    const Window listedWindow = makeWindow("QuorviListed", kForeignProcess, true);
    const Window above = makeWindow("QuorviAbove", kForeignProcess, true);
    setAtoms(above, "_NET_WM_STATE", {"_NET_WM_STATE_ABOVE"});
    const Window minimized = makeWindow("QuorviMinimized", kForeignProcess, true);
    setAtoms(minimized, "_NET_WM_STATE", {"_NET_WM_STATE_ABOVE", "_NET_WM_STATE_HIDDEN"});
    const Window unmapped = makeWindow("QuorviUnmapped", kForeignProcess, false);
    const Window ours = makeWindow("QuorviMac", static_cast<long>(getpid()), true);
    const Window gone = makeWindow("QuorviGone", kForeignProcess, true);
    XDestroyWindow(peer_, gone);
    // Mapped, but not a client of the window manager: not listed.
    makeWindow("QuorviUnlisted", kForeignProcess, true);

    setClientList({listedWindow, above, minimized, unmapped, ours, gone});
    const CaptureVisibilityStatus status = probe();
    EXPECT_EQ(status.summary, "2 fenêtres · QuorviAbove, QuorviListed");
    EXPECT_EQ(status.visibleApps, (Strings{"QuorviAbove", "QuorviListed"}));

    // The list keeps the window manager's order, our window included.
    const std::vector<VisibleWindow> windows = listed();
    std::vector<std::uint64_t> ids;
    for (const VisibleWindow& window : windows) {
        ids.push_back(window.windowID);
    }
    EXPECT_EQ(ids, (std::vector<std::uint64_t>{listedWindow, above, ours}));

    // An empty list is still the window manager's word: nothing is on screen.
    setClientList({});
    EXPECT_EQ(probe().summary, "Aucune autre app visible");
}

TEST_F(X11WindowListTest, ClassNamesComeOutAsUtf8) {
    // WM_CLASS is Latin-1 by definition ("Caf\xe9"), UTF-8 in practice.
    makeWindow(std::string("Caf\xe9"), kForeignProcess, true);
    makeWindow(std::string("Éditeur"), kForeignProcess, true);
    const CaptureVisibilityStatus status = probe();
    EXPECT_EQ(status.visibleApps, (Strings{"Café", "Éditeur"}));
    EXPECT_EQ(status.summary, "2 fenêtres · Café, Éditeur");
}

TEST_F(X11WindowListTest, AServerThatGoesAwayIsAFailureTextAndANewOneIsMetAgain) {
    X11WindowList windows(kDisplayName);
    ASSERT_TRUE(windows.onScreenWindows().windows.has_value());

    XCloseDisplay(peer_);
    peer_ = nullptr;
    display_->stop();
    const WindowListResult missing = windows.onScreenWindows();
    EXPECT_FALSE(missing.windows.has_value());
    EXPECT_EQ(missing.errorDescription, "serveur X injoignable");
    fakes::SwitchablePrivacyGrants granted;
    EXPECT_EQ(CaptureVisibilityStatus::current(granted, windows).summary,
              "Diagnostic capture échoué: serveur X injoignable");

    ASSERT_EQ(display_->start(), "");
    const WindowListResult back = windows.onScreenWindows();
    ASSERT_TRUE(back.windows.has_value()) << back.errorDescription;
    EXPECT_EQ(probe().summary, "Aucune autre app visible");
}

// Needs no X server at all: the display is one nobody serves.
TEST(X11WindowListWithoutServer, AMissingDisplayIsAFailureTextNotACrash) {
    if (std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(kUnservedNumber))) {
        GTEST_SKIP() << "display " << kUnservedNumber << " is served here";
    }
    X11WindowList windows(kUnservedName);
    for (int attempt = 0; attempt < 3; ++attempt) {
        const WindowListResult result = windows.onScreenWindows();
        EXPECT_FALSE(result.windows.has_value());
        EXPECT_EQ(result.errorDescription, "serveur X injoignable");
    }

    fakes::SwitchablePrivacyGrants granted;
    EXPECT_EQ(CaptureVisibilityStatus::current(granted, windows),
              (CaptureVisibilityStatus{"Diagnostic capture échoué: serveur X injoignable", {}}));

    // Through the real grants, the missing display is a missing permission.
    X11PrivacyGrants grants(kUnservedName);
    const CaptureVisibilityStatus status = CaptureVisibilityStatus::current(grants, windows);
    EXPECT_EQ(status.summary, "Screen Recording manquant");
    EXPECT_EQ(status.journalLine(), "Capture visibilité: Screen Recording manquant");
}

} // namespace
} // namespace quorvi
