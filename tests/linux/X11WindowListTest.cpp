// The X11 window list under the capture visibility probe, on a real Xorg
// with no window manager: the top-level fallback with real clients, and a
// window manager's client list that the test sets itself.

#include "platform/linux/x11/X11WindowList.h"

#include "capture/CaptureVisibilityStatus.h"
#include "linux/XorgDummyTest.h"
#include "platform/linux/x11/X11PrivacyGrants.h"

namespace quorvi {
namespace {

constexpr long kForeignProcess = 1; // init, certainly not this test

class X11WindowListTest : public testing::XorgDummyTest {
protected:
    X11WindowListTest() : XorgDummyTest(78) {}

    // The probe as the server runs it: the real grants and the real list.
    std::string summary() {
        X11PrivacyGrants grants(displayName_);
        return CaptureVisibilityStatus::current(grants, windows_).summary;
    }

    std::vector<VisibleWindow> listed() {
        return windows_.onScreenWindows().windows.value_or(std::vector<VisibleWindow>{});
    }

    X11WindowList windows_{displayName_};
};

TEST_F(X11WindowListTest, TheFallbackSummarizesMappedTopLevelWindowsOfOtherPrograms) {
    // The windows of a real client end with the server.
    freshServerNext();
    for (const std::string name : {"quorvi-first", "quorvi-second"}) {
        server_.run("xmessage -name " + name + " bonjour >/dev/null 2>&1 &");
        ASSERT_EQ(server_.run("xdotool search --sync --onlyvisible --classname " + name).status, 0);
    }
    const Window ours = makeWindow("QuorviMac", getpid());
    const Window unmapped = makeWindow("QuorviUnmapped", kForeignProcess, false);
    // Without a class, a window is neither counted nor named.
    makeWindow(std::nullopt, kForeignProcess);
    makeWindow(std::string(), kForeignProcess);
    EXPECT_TRUE(testing::eventually([&] { return summary() == "2 fenêtres · Xmessage"; }))
        << summary();
    const auto windows = listed();
    EXPECT_NE(
        std::find(windows.begin(), windows.end(), VisibleWindow{ours, "QuorviMac", getpid(), true}),
        windows.end());

    // xdotool unmaps one of the program's windows, ours maps one; WM_CLASS
    // is Latin-1 by definition ("Caf\xe9"), UTF-8 in practice.
    const auto hidden =
        server_.run("xdotool search --classname quorvi-second windowunmap --sync %@");
    ASSERT_EQ(hidden.status, 0) << hidden.output;
    XMapWindow(peer_, unmapped);
    makeWindow(std::string("Caf\xe9"), kForeignProcess);
    makeWindow(std::string("Éditeur"), std::nullopt);
    EXPECT_EQ(summary(), "4 fenêtres · Café, QuorviUnmapped, Xmessage, Éditeur");
}

TEST_F(X11WindowListTest, TheWindowManagersClientListWinsWhenItIsThere) {
    freshServerNext(); // root properties outlive the client that set them
    const long aboveState = static_cast<long>(atom("_NET_WM_STATE_ABOVE"));
    const Window listedWindow = makeWindow("QuorviListed", kForeignProcess);
    const Window above = makeWindow("QuorviAbove", kForeignProcess);
    setProperty(above, "_NET_WM_STATE", XA_ATOM, {aboveState});
    const Window minimized = makeWindow("QuorviMinimized", kForeignProcess);
    setProperty(minimized, "_NET_WM_STATE", XA_ATOM,
                {aboveState, static_cast<long>(atom("_NET_WM_STATE_HIDDEN"))});
    const Window unmapped = makeWindow("QuorviUnmapped", kForeignProcess, false);
    const Window ours = makeWindow("QuorviMac", getpid());
    const Window gone = makeWindow("QuorviGone", kForeignProcess);
    XDestroyWindow(peer_, gone);
    // Mapped, but not a client of the window manager: not listed.
    makeWindow("QuorviUnlisted", kForeignProcess);
    const std::vector<long> clients{static_cast<long>(listedWindow), static_cast<long>(above),
                                    static_cast<long>(minimized),    static_cast<long>(unmapped),
                                    static_cast<long>(ours),         static_cast<long>(gone)};
    setProperty(DefaultRootWindow(peer_), "_NET_CLIENT_LIST", XA_WINDOW, clients);
    EXPECT_EQ(summary(), "2 fenêtres · QuorviAbove, QuorviListed");
    // The list keeps the window manager's order, our window included.
    std::vector<std::uint64_t> ids;
    for (const VisibleWindow& window : listed()) {
        ids.push_back(window.windowID);
    }
    EXPECT_EQ(ids, (std::vector<std::uint64_t>{listedWindow, above, ours}));

    // An empty list is still the window manager's word: nothing is on screen.
    setProperty(DefaultRootWindow(peer_), "_NET_CLIENT_LIST", XA_WINDOW, {});
    EXPECT_EQ(summary(), "Aucune autre app visible");
}

} // namespace
} // namespace quorvi
