#include "system/PermissionStatus.h"

#include "fakes/SwitchablePrivacyGrants.h"

#include <gtest/gtest.h>

namespace quorvi {
namespace {

TEST(PermissionStatus, SummaryNamesEachGrantOkOrMissing) {
    EXPECT_EQ((PermissionStatus{true, true}).summary(), "Screen OK · Accessibility OK");
    EXPECT_EQ((PermissionStatus{true, false}).summary(), "Screen OK · Accessibility manquant");
    EXPECT_EQ((PermissionStatus{false, true}).summary(), "Screen manquant · Accessibility OK");
    EXPECT_EQ((PermissionStatus{false, false}).summary(),
              "Screen manquant · Accessibility manquant");
}

TEST(PermissionStatus, TheWindowFindsEachMissingGrantByItsWords) {
    const std::string screenMissing = PermissionStatus{false, true}.summary();
    EXPECT_NE(screenMissing.find("Screen manquant"), std::string::npos);
    EXPECT_EQ(screenMissing.find("Accessibility manquant"), std::string::npos);

    const std::string accessibilityMissing = PermissionStatus{true, false}.summary();
    EXPECT_EQ(accessibilityMissing.find("Screen manquant"), std::string::npos);
    EXPECT_NE(accessibilityMissing.find("Accessibility manquant"), std::string::npos);
}

TEST(PermissionStatus, CurrentReadsBothGrantsOnce) {
    fakes::SwitchablePrivacyGrants grants;
    grants.setScreenRecording(false);
    grants.setAccessibility(true);
    EXPECT_EQ(PermissionStatus::current(grants), (PermissionStatus{false, true}));
    EXPECT_EQ(grants.screenRecordingQueries(), 1);
    EXPECT_EQ(grants.accessibilityQueries(), 1);

    grants.setScreenRecording(true);
    grants.setAccessibility(false);
    EXPECT_EQ(PermissionStatus::current(grants).summary(), "Screen OK · Accessibility manquant");
}

} // namespace
} // namespace quorvi
