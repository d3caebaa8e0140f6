#pragma once

#include <cstdint>
#include <deque>
#include <vector>

namespace quorvi {

// A rectangle of pixels in one picture's coordinates; right and bottom
// edges excluded.
struct PixelRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;

    bool isEmpty() const { return width <= 0 || height <= 0; }
    int right() const { return x + width; }
    int bottom() const { return y + height; }
    std::int64_t area() const { return isEmpty() ? 0 : static_cast<std::int64_t>(width) * height; }
    bool operator==(const PixelRect&) const = default;
};

// The smallest rectangle holding both (an empty one counts as nothing).
PixelRect boundingRect(const PixelRect& a, const PixelRect& b);
PixelRect intersection(const PixelRect& a, const PixelRect& b);
// Where rect of a fromWidth × fromHeight picture lands once the picture is
// scaled to toWidth × toHeight, clipped to it: rounded outward, and widened
// by the scaling filter's reach (two pixels) when the sizes differ.
PixelRect scaledRect(const PixelRect& rect, int fromWidth, int fromHeight, int toWidth,
                     int toHeight);

// The parts of a picture that changed, as a few rectangles. Overlapping or
// touching rectangles are merged into their bounding box, and past a handful
// the closest ones are merged too: a screen that changes in many small
// places costs a few larger copies rather than hundreds of tiny ones.
//
// Thread: a value, used by one thread at a time.
class ChangedRegion {
public:
    static constexpr std::size_t kMostRects = 8;

    ChangedRegion() = default;
    static ChangedRegion whole(int width, int height);

    void add(const PixelRect& rect);
    void add(const ChangedRegion& other);
    // Keeps only what lies inside a width × height picture.
    void clip(int width, int height);

    bool isEmpty() const { return rects_.empty(); }
    const std::vector<PixelRect>& rects() const { return rects_; }
    std::int64_t area() const;

private:
    std::vector<PixelRect> rects_;
};

// Which picture of which stream a picture is; the default one is no picture.
struct PictureStamp {
    std::uint64_t history = 0;
    std::uint64_t number = 0;

    bool operator==(const PictureStamp&) const = default;
};

// What changed in each of the last few pictures of one stream, so that the
// holder of an older picture (a pool buffer, the encoder's YUV frame) brings
// it up to date by redoing only that. Pictures are numbered from 1; every
// history has a process-wide unique identity, so numbers of two streams are
// never taken for each other.
//
// Thread: a value; the capture thread keeps one and stamps a copy into
// every picture it delivers, which then only reads it.
class PictureHistory {
public:
    static constexpr std::size_t kRemembered = 8;

    PictureHistory() = default;
    PictureHistory(int width, int height);

    // A new picture that differs from the latest by changed (clipped to the
    // picture); returns its number. The first picture always counts as
    // changed everywhere.
    std::uint64_t record(ChangedRegion changed);

    // The latest picture (number 0 before the first).
    PictureStamp latest() const { return {identity_, latest_}; }
    // What changed after the held picture, up to the latest: the whole
    // picture when it is none, another stream's, or too old to know.
    ChangedRegion changedSince(const PictureStamp& held) const;

private:
    struct Entry {
        std::uint64_t number = 0;
        ChangedRegion changed;
    };

    std::uint64_t identity_ = 0;
    int width_ = 0;
    int height_ = 0;
    std::uint64_t latest_ = 0;
    std::deque<Entry> recent_;
};

} // namespace quorvi
