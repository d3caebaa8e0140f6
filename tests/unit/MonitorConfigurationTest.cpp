// Mutter's display configuration turned into the global display space.
#include "platform/MonitorConfiguration.h"

#include <algorithm>
#include <gtest/gtest.h>

using namespace quorvi;

namespace {

// A monitor of one vendor's model, off when width is 0.
PhysicalMonitor monitor(const std::string& connector, std::int32_t width, std::int32_t height) {
    PhysicalMonitor made{{connector, "GSM", "LG", "0x01"}, std::nullopt};
    if (width > 0) {
        made.currentMode = {std::to_string(width) + "x" + std::to_string(height), width, height};
    }
    return made;
}

TEST(MonitorConfiguration, LogicalMonitorsBecomeDisplaysAroundThePrimary) {
    using enum MonitorLayoutMode;
    const PhysicalMonitor hidpi = monitor("eDP-1", 3840, 2160);
    const PhysicalMonitor wide = monitor("HDMI-1", 1920, 1080);
    const PhysicalMonitor square = monitor("DP-1", 1280, 1024);
    // A display named by the connector it shows.
    struct Expected {
        std::string connector;
        DisplayRect rect;
        std::size_t pixelsWide, pixelsHigh;
    };
    const struct {
        const char* name;
        MonitorConfiguration configuration;
        std::vector<Expected> displays; // the main one first
    } cases[] = {
        {"physical layout counts pixels whatever the scale",
         {1, {hidpi}, {{0, 0, 2, 0, true, {"eDP-1"}}}, physical},
         {{"eDP-1", {0, 0, 3840, 2160}, 3840, 2160}}},
        {"logical layout divides by the scale",
         {1,
          {wide, hidpi},
          {{1920, 0, 1, 0, false, {"HDMI-1"}}, {0, 0, 2, 0, true, {"eDP-1"}}},
          logical},
         {{"eDP-1", {0, 0, 1920, 1080}, 3840, 2160},
          {"HDMI-1", {1920, 0, 1920, 1080}, 1920, 1080}}},
        {"a fractional scale rounds",
         {1, {square}, {{0, 0, 1.5, 0, true, {"DP-1"}}}, logical},
         {{"DP-1", {0, 0, 853, 683}, 1280, 1024}}},
        {"a quarter turn swaps the sides, a flip does not",
         {1,
          {wide, square},
          {{0, 0, 1, 1, true, {"HDMI-1"}}, {1080, 0, 1, 4, false, {"DP-1"}}},
          physical},
         {{"HDMI-1", {0, 0, 1080, 1920}, 1080, 1920}, {"DP-1", {1080, 0, 1280, 1024}, 1280, 1024}}},
        {"a primary away from the origin moves there",
         {1,
          {wide, square},
          {{0, 0, 1, 0, false, {"HDMI-1"}}, {1920, 0, 1, 7, true, {"DP-1"}}},
          physical},
         {{"DP-1", {0, 0, 1024, 1280}, 1024, 1280},
          {"HDMI-1", {-1920, 0, 1920, 1080}, 1920, 1080}}},
        {"mirrors are one display, monitors that are off show nothing",
         {1,
          {monitor("DP-2", 0, 0), monitor("DP-3", 0, 0), wide, monitor("DP-1", 1920, 1080)},
          {{0, 0, 1, 0, true, {"DP-3"}}, {0, 0, 1, 0, false, {"DP-2", "HDMI-1", "DP-1"}}},
          physical},
         {{"HDMI-1", {0, 0, 1920, 1080}, 1920, 1080}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const MonitorLayout layout = monitorLayout(c.configuration);
        ASSERT_EQ(layout.global.displays.size(), c.displays.size());
        EXPECT_EQ(layout.connectors.size(), c.displays.size());
        for (const Expected& expected : c.displays) {
            const auto display =
                std::find_if(layout.global.displays.begin(), layout.global.displays.end(),
                             [&](const LaidOutDisplay& d) {
                                 return layout.connectors.at(d.id) == expected.connector;
                             });
            ASSERT_NE(display, layout.global.displays.end()) << expected.connector;
            EXPECT_EQ(display->rect, expected.rect);
            EXPECT_EQ(display->pixelsWide, expected.pixelsWide);
            EXPECT_EQ(display->pixelsHigh, expected.pixelsHigh);
        }
        EXPECT_EQ(layout.connectors.at(layout.global.mainID), c.displays[0].connector);
    }
}

TEST(MonitorConfiguration, AMonitorKeepsItsIdentifierWhereverItIsAndOthersDiffer) {
    const PhysicalMonitor wide = monitor("HDMI-1", 1920, 1080);
    const DisplayID alone =
        monitorLayout({1, {wide}, {{0, 0, 1, 0, true, {"HDMI-1"}}}}).global.mainID;
    const MonitorLayout moved =
        monitorLayout({7,
                       {monitor("DP-1", 800, 600), wide},
                       {{0, 0, 1, 0, true, {"DP-1"}}, {800, 0, 2, 1, false, {"HDMI-1"}}},
                       MonitorLayoutMode::logical});
    EXPECT_NE(alone, 0u);
    EXPECT_EQ(moved.connectors.at(alone), "HDMI-1");
    const MonitorIdentity identity{"HDMI-1", "GSM", "LG", "0x0101"};
    EXPECT_NE(monitorDisplayID({"HDMI-1", "GSM", "LG", "0x0102"}), monitorDisplayID(identity));
    EXPECT_NE(monitorDisplayID({"HDMI-1", "GS", "MLG", "0x0101"}), monitorDisplayID(identity));
}

} // namespace
