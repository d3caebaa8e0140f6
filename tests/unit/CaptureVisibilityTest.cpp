#include "capture/CaptureVisibilityStatus.h"
#include "fakes/SwitchablePrivacyGrants.h"

#include <gtest/gtest.h>
#include <unistd.h>

namespace quorvi {
namespace {

using Strings = std::vector<std::string>;

constexpr std::int64_t kOurProcess = 4242;

// A window list the test writes, counting how often it was read.
class ListedWindows final : public WindowListSource {
public:
    WindowListResult result;
    int reads = 0;

    WindowListResult onScreenWindows() override {
        ++reads;
        return result;
    }
};

VisibleWindow windowOf(const std::string& application, std::int64_t pid = 100) {
    VisibleWindow window;
    window.applicationName = application;
    window.ownerProcessID = pid;
    return window;
}

VisibleWindow ourWindow() {
    return windowOf("QuorviMac", kOurProcess);
}

VisibleWindow withoutApplication() {
    VisibleWindow window;
    window.ownerProcessID = 77;
    return window;
}

// Windows in the order a desktop might give them: apps interleaved.
std::vector<VisibleWindow> fourApplications() {
    return {windowOf("Xcode"),  windowOf("Finder"), ourWindow(),
            windowOf("Safari"), windowOf("Finder"), windowOf("Mail"),
            windowOf("Xcode"),  windowOf("Safari"), windowOf("Finder")};
}

CaptureVisibilityStatus summarize(const std::vector<VisibleWindow>& windows) {
    return summarizeVisibleWindows(windows, kOurProcess);
}

TEST(CaptureVisibility, EightWindowsOfFourApplications) {
    const auto status = summarize(fourApplications());
    EXPECT_EQ(status.summary, "8 fenêtres · Finder, Mail, Safari, Xcode");
    EXPECT_EQ(status.visibleApps, (Strings{"Finder", "Mail", "Safari", "Xcode"}));
}

TEST(CaptureVisibility, AFifthApplicationShowsAsPlusOne) {
    auto windows = fourApplications();
    windows.push_back(windowOf("Slack"));
    const auto status = summarize(windows);
    EXPECT_EQ(status.summary, "9 fenêtres · Finder, Mail, Safari, Slack +1");
    EXPECT_EQ(status.visibleApps, (Strings{"Finder", "Mail", "Safari", "Slack", "Xcode"}));
}

TEST(CaptureVisibility, SevenApplicationsShowFourNamesAndPlusThree) {
    std::vector<VisibleWindow> windows;
    for (const char* name : {"G", "F", "E", "D", "C", "B", "A"}) {
        windows.push_back(windowOf(name));
    }
    const auto status = summarize(windows);
    EXPECT_EQ(status.summary, "7 fenêtres · A, B, C, D +3");
    EXPECT_EQ(status.visibleApps.size(), 7u);
}

TEST(CaptureVisibility, ExactlyFourApplicationsHaveNoSuffix) {
    const auto status = summarize({windowOf("D"), windowOf("C"), windowOf("B"), windowOf("A")});
    EXPECT_EQ(status.summary, "4 fenêtres · A, B, C, D");
}

TEST(CaptureVisibility, OneWindowKeepsThePluralWord) {
    const auto status = summarize({windowOf("Finder")});
    EXPECT_EQ(status.summary, "1 fenêtres · Finder");
    EXPECT_EQ(status.visibleApps, Strings{"Finder"});
}

TEST(CaptureVisibility, TwoWindowsOfOneApplicationNameItOnceAndCountBoth) {
    const auto status = summarize({windowOf("Finder", 10), windowOf("Finder", 11)});
    EXPECT_EQ(status.summary, "2 fenêtres · Finder");
    EXPECT_EQ(status.visibleApps, Strings{"Finder"});
}

TEST(CaptureVisibility, NamesDifferingInCaseAreBothKeptCapitalFirst) {
    const auto status = summarize({windowOf("safari"), windowOf("Safari")});
    EXPECT_EQ(status.visibleApps, (Strings{"Safari", "safari"}));
    EXPECT_EQ(status.summary, "2 fenêtres · Safari, safari");
}

TEST(CaptureVisibility, NamesSortByCodePointNotByLocale) {
    // "É" (U+00C9) comes after every ASCII letter, lower case included; a
    // locale-aware order would put "Éditeur" between "Dock" and "Finder".
    const auto status =
        summarize({windowOf("Éditeur"), windowOf("zsh"), windowOf("Finder"), windowOf("Dock")});
    EXPECT_EQ(status.visibleApps, (Strings{"Dock", "Finder", "zsh", "Éditeur"}));
    // And U+00E9 after U+00C9; a character past U+FFFF after both.
    const auto more = summarize({windowOf("😀"), windowOf("é"), windowOf("É")});
    EXPECT_EQ(more.visibleApps, (Strings{"É", "é", "😀"}));
}

TEST(CaptureVisibility, WindowsWithoutAnApplicationAreNeitherCountedNorNamed) {
    const auto status = summarize({withoutApplication(), windowOf("Finder"), withoutApplication()});
    EXPECT_EQ(status.summary, "1 fenêtres · Finder");
    EXPECT_EQ(status.visibleApps, Strings{"Finder"});

    const auto none = summarize({withoutApplication(), withoutApplication()});
    EXPECT_EQ(none.summary, "Aucune autre app visible");
    EXPECT_TRUE(none.visibleApps.empty());
}

TEST(CaptureVisibility, OnlyOurOwnWindowsGiveNoOtherApplication) {
    const auto status = summarize({ourWindow(), ourWindow()});
    EXPECT_EQ(status.summary, "Aucune autre app visible");
    EXPECT_TRUE(status.visibleApps.empty());

    EXPECT_EQ(summarize({}).summary, "Aucune autre app visible");
}

TEST(CaptureVisibility, OurWindowsByProcessAreNeitherCountedNorNamed) {
    // Ours by process ID, whatever their class says.
    const auto status = summarize({windowOf("Finder", 5), windowOf("Finder", kOurProcess),
                                   windowOf("OwnHelper", kOurProcess), windowOf("Mail", 6)});
    EXPECT_EQ(status.summary, "2 fenêtres · Finder, Mail");
    EXPECT_EQ(status.visibleApps, (Strings{"Finder", "Mail"}));
}

TEST(CaptureVisibility, OurWindowsByTheSourcesFlagAreLeftOutToo) {
    VisibleWindow flagged = windowOf("QuorviMac", 9);
    flagged.isThisApplication = true;
    VisibleWindow flaggedWithoutPid;
    flaggedWithoutPid.applicationName = "QuorviMac";
    flaggedWithoutPid.isThisApplication = true;
    const auto status = summarize({flagged, flaggedWithoutPid, windowOf("Mail")});
    EXPECT_EQ(status.summary, "1 fenêtres · Mail");
}

TEST(CaptureVisibility, WithoutAKnownProcessEveryNamedWindowCounts) {
    VisibleWindow noPid;
    noPid.applicationName = "Finder";
    const auto status = summarizeVisibleWindows({noPid, windowOf("Mail", 1)}, std::nullopt);
    EXPECT_EQ(status.summary, "2 fenêtres · Finder, Mail");
}

TEST(CaptureVisibility, CurrentWithoutScreenRecordingDoesNotReadTheWindows) {
    fakes::SwitchablePrivacyGrants grants;
    grants.setScreenRecording(false);
    ListedWindows windows;
    windows.result.windows = fourApplications();
    const auto status = CaptureVisibilityStatus::current(grants, windows);
    EXPECT_EQ(status.summary, "Screen Recording manquant");
    EXPECT_TRUE(status.visibleApps.empty());
    EXPECT_EQ(windows.reads, 0);
    EXPECT_EQ(status.journalLine(), "Capture visibilité: Screen Recording manquant");
}

TEST(CaptureVisibility, CurrentReportsAFailedListWithItsReason) {
    fakes::SwitchablePrivacyGrants grants;
    ListedWindows windows;
    windows.result.errorDescription = "serveur X injoignable";
    const auto status = CaptureVisibilityStatus::current(grants, windows);
    EXPECT_EQ(status.summary, "Diagnostic capture échoué: serveur X injoignable");
    EXPECT_TRUE(status.visibleApps.empty());
    EXPECT_EQ(status.journalLine(), "Capture visibilité: Diagnostic capture échoué: serveur X "
                                    "injoignable");
}

TEST(CaptureVisibility, CurrentLeavesOutTheWindowsOfThisProcess) {
    fakes::SwitchablePrivacyGrants grants;
    ListedWindows windows;
    windows.result.windows = {windowOf("QuorviMac", getpid()), windowOf("Finder", getpid() + 1),
                              windowOf("Finder", getpid() + 1), windowOf("Mail", getpid() + 2)};
    const auto status = CaptureVisibilityStatus::current(grants, windows);
    EXPECT_EQ(status.summary, "3 fenêtres · Finder, Mail");
    EXPECT_EQ(status.visibleApps, (Strings{"Finder", "Mail"}));
    EXPECT_EQ(windows.reads, 1);
}

TEST(CaptureVisibility, TheJournalLineListsEveryApplicationNotJustFour) {
    auto windows = fourApplications();
    windows.push_back(windowOf("Slack"));
    const auto status = summarize(windows);
    EXPECT_EQ(status.journalLine(), "Capture visibilité: Finder, Mail, Safari, Slack, Xcode");

    EXPECT_EQ(summarize({ourWindow()}).journalLine(),
              "Capture visibilité: Aucune autre app visible");
}

} // namespace
} // namespace quorvi
