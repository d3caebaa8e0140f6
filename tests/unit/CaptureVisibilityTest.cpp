#include "capture/CaptureVisibilityStatus.h"
#include "fakes/ScriptedWindowList.h"
#include "fakes/SwitchablePrivacyGrants.h"

#include <gtest/gtest.h>
#include <unistd.h>

namespace quorvi {
namespace {

constexpr std::int64_t kOurs = 4242;

VisibleWindow windowOf(std::optional<std::string> application, std::int64_t pid = 100,
                       bool isThisApplication = false) {
    return VisibleWindow{0, std::move(application), pid, isThisApplication};
}

TEST(CaptureVisibility, TheSummaryCountsOtherWindowsAndNamesEachApplicationOnceInByteOrder) {
    std::vector<VisibleWindow> interleaved;
    for (const char* name : {"Xcode", "Finder", "Safari", "Finder", "Mail", "Xcode", "Safari"}) {
        interleaved.push_back(windowOf(name));
    }
    struct Case {
        const char* name;
        std::vector<VisibleWindow> windows;
        std::string summary;
        std::vector<std::string> apps;
        std::optional<std::int64_t> ours = kOurs;
    };
    const std::vector<Case> cases = {
        {"four names",
         interleaved,
         "7 fenêtres · Finder, Mail, Safari, Xcode",
         {"Finder", "Mail", "Safari", "Xcode"}},
        // Beyond four names, how many more; case counts; no locale: "Éditeur"
        // does not sort between "Dock" and "zsh".
        {"code-point order",
         {windowOf("zsh"), windowOf("😀"), windowOf("é"), windowOf("Éditeur"), windowOf("safari"),
          windowOf("Dock"), windowOf("Safari")},
         "7 fenêtres · Dock, Safari, safari, zsh +3",
         {"Dock", "Safari", "safari", "zsh", "Éditeur", "é", "😀"}},
        {"one window, unnamed ones left out, the word stays plural",
         {windowOf(std::nullopt), windowOf("Finder"), windowOf(std::nullopt)},
         "1 fenêtres · Finder",
         {"Finder"}},
        {"ours by process whatever the class, or by the source's flag",
         {windowOf("Finder", 5), windowOf("Finder", kOurs), windowOf("OwnHelper", kOurs),
          windowOf("QuorviMac", 9, true), windowOf("Mail", 6)},
         "2 fenêtres · Finder, Mail",
         {"Finder", "Mail"}},
        {"only ours", {windowOf("QuorviMac", kOurs)}, "Aucune autre app visible", {}},
        {"our process unknown", {windowOf("Mail", kOurs)}, "1 fenêtres · Mail", {"Mail"}, {}},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        EXPECT_EQ(summarizeVisibleWindows(test.windows, test.ours),
                  (CaptureVisibilityStatus{test.summary, test.apps}));
    }
    interleaved.push_back(windowOf("Slack"));
    EXPECT_EQ(summarizeVisibleWindows(interleaved, kOurs).journalLine(),
              "Capture visibilité: Finder, Mail, Safari, Slack, Xcode");
}

TEST(CaptureVisibility, CurrentLeavesThisProcessOutAndReportsAListItCannotRead) {
    fakes::SwitchablePrivacyGrants grants;
    testing::ScriptedWindowList windows;
    windows.setWindows({windowOf("QuorviMac", getpid()), windowOf("Finder", getpid() + 1),
                        windowOf("Finder", getpid() + 1), windowOf("Mail", getpid() + 2)});
    EXPECT_EQ(CaptureVisibilityStatus::current(grants, windows),
              (CaptureVisibilityStatus{"3 fenêtres · Finder, Mail", {"Finder", "Mail"}}));
    windows.fail("serveur X injoignable");
    EXPECT_EQ(CaptureVisibilityStatus::current(grants, windows),
              (CaptureVisibilityStatus{"Diagnostic capture échoué: serveur X injoignable", {}}));
}

} // namespace
} // namespace quorvi
