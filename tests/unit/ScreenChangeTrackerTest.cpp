// What a capture that keeps a copy of the screen grabs again, and what the
// pictures it delivers record as changed.

#include "capture/ScreenChangeTracker.h"

#include <gtest/gtest.h>

namespace quorvi {
namespace {

using Rects = std::vector<PixelRect>;

ChangedRegion regionOf(const Rects& rects) {
    ChangedRegion region;
    for (const PixelRect& rect : rects) {
        region.add(rect);
    }
    return region;
}

TEST(ChangedRegion, TouchingPartsMergeAndManyPartsStayFewAndCovered) {
    const struct {
        Rects added;
        Rects expected;
    } rows[] = {
        {{{0, 0, 10, 10}, {10, 0, 10, 10}}, {{0, 0, 20, 10}}},                // touching
        {{{0, 0, 10, 10}, {5, 5, 10, 10}}, {{0, 0, 15, 15}}},                 // overlapping
        {{{0, 0, 10, 10}, {50, 50, 4, 4}}, {{0, 0, 10, 10}, {50, 50, 4, 4}}}, // apart
        {{{0, 0, 0, 10}, {3, 3, 2, 2}}, {{3, 3, 2, 2}}},                      // empty
    };
    for (const auto& row : rows) {
        EXPECT_EQ(regionOf(row.added).rects(), row.expected);
    }
    Rects scattered;
    for (int i = 0; i < 40; ++i) {
        scattered.push_back({i * 37 % 1900, i * 53 % 1180, 3, 3});
    }
    const ChangedRegion many = regionOf(scattered);
    EXPECT_LE(many.rects().size(), ChangedRegion::kMostRects);
    for (const PixelRect& part : scattered) {
        const bool isCovered = std::any_of(many.rects().begin(), many.rects().end(),
                                           [&](auto& r) { return intersection(r, part) == part; });
        EXPECT_TRUE(isCovered) << part.x << "," << part.y;
    }
}

TEST(ChangedRegion, ARectangleScaledLandsRoundedOutAndWidenedByTheFilter) {
    EXPECT_EQ(scaledRect({10, 20, 30, 40}, 100, 100, 100, 100), (PixelRect{10, 20, 30, 40}));
    EXPECT_EQ(scaledRect({90, 90, 30, 30}, 100, 100, 100, 100), (PixelRect{90, 90, 10, 10}));
    // 1920 x 1200 to 1280 x 800: 300..450 becomes 200..300, then two more
    // on each side.
    EXPECT_EQ(scaledRect({300, 300, 150, 150}, 1920, 1200, 1280, 800),
              (PixelRect{198, 198, 104, 104}));
    EXPECT_EQ(scaledRect({0, 0, 1, 1}, 1920, 1200, 1280, 800), (PixelRect{0, 0, 3, 3}));
}

class ScreenChangeTrackerTest : public testing::Test {
protected:
    // A 200 x 100 screen delivered at half size.
    ScreenChangeTracker tracker_{200, 100, 100, 50};

    // One tick: what was grabbed, and what the delivered picture records.
    std::pair<Rects, Rects> tick(const Rects& damage, std::optional<PointerPlace> pointer) {
        const PictureStamp before = tracker_.history().latest();
        const ChangedRegion grab = tracker_.toGrab(regionOf(damage), pointer);
        if (!grab.isEmpty()) {
            tracker_.grabbed(grab, pointer);
        }
        return {grab.rects(), tracker_.history().changedSince(before).rects()};
    }
};

TEST_F(ScreenChangeTrackerTest, OnlyDamageAndThePointerAreGrabbedAgain) {
    const PointerPlace arrow{{40, 40, 10, 10}, 1};
    EXPECT_EQ(tick({}, arrow), std::pair(Rects{{0, 0, 200, 100}}, Rects{{0, 0, 100, 50}}));
    // Still: nothing grabbed, no new picture.
    const PictureStamp still = tracker_.history().latest();
    EXPECT_EQ(tick({}, arrow), std::pair(Rects{}, Rects{}));
    EXPECT_EQ(tracker_.history().latest(), still);
    // A damaged square away from the pointer: it, and under the pointer.
    EXPECT_EQ(tick({{100, 0, 20, 20}}, arrow), std::pair(Rects{{100, 0, 20, 20}, {40, 40, 10, 10}},
                                                         Rects{{48, 0, 14, 12}, {18, 18, 9, 9}}));
    // The pointer moved (or changed shape): where it was and where it is.
    const PointerPlace moved{{60, 40, 10, 10}, 1};
    EXPECT_EQ(tick({}, moved).first, (Rects{{40, 40, 10, 10}}));
    EXPECT_EQ(tick({}, PointerPlace{moved.rect, 2}).first, (Rects{{60, 40, 10, 10}}));
    // Resized: everything again.
    tracker_.resize(100, 100);
    EXPECT_EQ(tick({}, moved), std::pair(Rects{{0, 0, 100, 100}}, Rects{{0, 0, 100, 50}}));
}

TEST(PictureHistory, APictureTooOldOrOfAnotherStreamIsRedoneWhole) {
    PictureHistory history(100, 50);
    const PictureStamp first{history.latest().history, history.record({})};
    EXPECT_EQ(history.changedSince({}).rects(), (Rects{{0, 0, 100, 50}}));
    history.record(regionOf({{1, 1, 2, 2}}));
    history.record(regionOf({{10, 10, 2, 2}}));
    EXPECT_EQ(history.changedSince(first).rects(), (Rects{{1, 1, 2, 2}, {10, 10, 2, 2}}));
    EXPECT_EQ(history.changedSince(history.latest()).rects(), Rects{});
    EXPECT_EQ(PictureHistory(100, 50).changedSince(first).rects(), (Rects{{0, 0, 100, 50}}));
    for (std::size_t i = 0; i < PictureHistory::kRemembered; ++i) {
        history.record(regionOf({{1, 1, 2, 2}}));
    }
    EXPECT_EQ(history.changedSince(first).rects(), (Rects{{0, 0, 100, 50}}));
}

} // namespace
} // namespace quorvi
