#include "capture/PictureChanges.h"

#include <algorithm>
#include <atomic>
#include <limits>

namespace quorvi {

PixelRect boundingRect(const PixelRect& a, const PixelRect& b) {
    if (a.isEmpty()) {
        return b;
    }
    if (b.isEmpty()) {
        return a;
    }
    const int left = std::min(a.x, b.x);
    const int top = std::min(a.y, b.y);
    return {left, top, std::max(a.right(), b.right()) - left,
            std::max(a.bottom(), b.bottom()) - top};
}

PixelRect intersection(const PixelRect& a, const PixelRect& b) {
    const int left = std::max(a.x, b.x);
    const int top = std::max(a.y, b.y);
    const int right = std::min(a.right(), b.right());
    const int bottom = std::min(a.bottom(), b.bottom());
    if (right <= left || bottom <= top) {
        return {};
    }
    return {left, top, right - left, bottom - top};
}

PixelRect scaledRect(const PixelRect& rect, int fromWidth, int fromHeight, int toWidth,
                     int toHeight) {
    const PixelRect target{0, 0, toWidth, toHeight};
    if (fromWidth == toWidth && fromHeight == toHeight) {
        return intersection(rect, target);
    }
    if (rect.isEmpty() || fromWidth < 1 || fromHeight < 1) {
        return {};
    }
    constexpr std::int64_t kReach = 2;
    auto lower = [](std::int64_t at, std::int64_t from, std::int64_t to) {
        return at * to / from - kReach;
    };
    auto upper = [](std::int64_t at, std::int64_t from, std::int64_t to) {
        return (at * to + from - 1) / from + kReach;
    };
    const std::int64_t left = std::max<std::int64_t>(lower(rect.x, fromWidth, toWidth), 0);
    const std::int64_t top = std::max<std::int64_t>(lower(rect.y, fromHeight, toHeight), 0);
    const std::int64_t right =
        std::min<std::int64_t>(upper(rect.right(), fromWidth, toWidth), toWidth);
    const std::int64_t bottom =
        std::min<std::int64_t>(upper(rect.bottom(), fromHeight, toHeight), toHeight);
    if (right <= left || bottom <= top) {
        return {};
    }
    return {static_cast<int>(left), static_cast<int>(top), static_cast<int>(right - left),
            static_cast<int>(bottom - top)};
}

namespace {

// Sharing an edge counts: two halves of a line are one rectangle.
bool overlapsOrTouches(const PixelRect& a, const PixelRect& b) {
    return a.x <= b.right() && b.x <= a.right() && a.y <= b.bottom() && b.y <= a.bottom();
}

} // namespace

ChangedRegion ChangedRegion::whole(int width, int height) {
    ChangedRegion region;
    region.add(PixelRect{0, 0, width, height});
    return region;
}

void ChangedRegion::add(const PixelRect& rect) {
    if (rect.isEmpty()) {
        return;
    }
    PixelRect merged = rect;
    for (bool grew = true; grew;) {
        grew = false;
        for (auto it = rects_.begin(); it != rects_.end(); ++it) {
            if (overlapsOrTouches(*it, merged)) {
                merged = boundingRect(*it, merged);
                rects_.erase(it);
                grew = true;
                break;
            }
        }
    }
    rects_.push_back(merged);
    while (rects_.size() > kMostRects) {
        // The two whose bounding box wastes the fewest pixels.
        std::size_t first = 0;
        std::size_t second = 1;
        std::int64_t leastWaste = std::numeric_limits<std::int64_t>::max();
        for (std::size_t i = 0; i < rects_.size(); ++i) {
            for (std::size_t j = i + 1; j < rects_.size(); ++j) {
                const std::int64_t waste =
                    boundingRect(rects_[i], rects_[j]).area() - rects_[i].area() - rects_[j].area();
                if (waste < leastWaste) {
                    leastWaste = waste;
                    first = i;
                    second = j;
                }
            }
        }
        const PixelRect both = boundingRect(rects_[first], rects_[second]);
        rects_.erase(rects_.begin() + static_cast<std::ptrdiff_t>(second));
        rects_.erase(rects_.begin() + static_cast<std::ptrdiff_t>(first));
        add(both);
    }
}

void ChangedRegion::add(const ChangedRegion& other) {
    for (const PixelRect& rect : other.rects_) {
        add(rect);
    }
}

void ChangedRegion::clip(int width, int height) {
    std::vector<PixelRect> inside;
    for (const PixelRect& rect : rects_) {
        const PixelRect kept = intersection(rect, {0, 0, width, height});
        if (!kept.isEmpty()) {
            inside.push_back(kept);
        }
    }
    rects_.swap(inside);
}

std::int64_t ChangedRegion::area() const {
    std::int64_t total = 0;
    for (const PixelRect& rect : rects_) {
        total += rect.area();
    }
    return total;
}

PictureHistory::PictureHistory(int width, int height) : width_(width), height_(height) {
    static std::atomic<std::uint64_t> lastIdentity{0};
    identity_ = ++lastIdentity;
}

std::uint64_t PictureHistory::record(ChangedRegion changed) {
    changed.clip(width_, height_);
    if (latest_ == 0) {
        changed = ChangedRegion::whole(width_, height_);
    }
    ++latest_;
    recent_.push_back({latest_, std::move(changed)});
    if (recent_.size() > kRemembered) {
        recent_.pop_front();
    }
    return latest_;
}

ChangedRegion PictureHistory::changedSince(const PictureStamp& held) const {
    const std::uint64_t since = held.number;
    if (held.history != identity_ || since == 0 || since > latest_ || recent_.empty() ||
        recent_.front().number > since + 1) {
        return ChangedRegion::whole(width_, height_);
    }
    ChangedRegion changed;
    for (const Entry& entry : recent_) {
        if (entry.number > since) {
            changed.add(entry.changed);
        }
    }
    return changed;
}

} // namespace quorvi
