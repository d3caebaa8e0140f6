#include "capture/ScreenChangeTracker.h"

namespace quorvi {

ScreenChangeTracker::ScreenChangeTracker(int screenWidth, int screenHeight, int pictureWidth,
                                         int pictureHeight)
    : screenWidth_(screenWidth), screenHeight_(screenHeight), pictureWidth_(pictureWidth),
      pictureHeight_(pictureHeight), history_(pictureWidth, pictureHeight) {}

void ScreenChangeTracker::resize(int screenWidth, int screenHeight) {
    screenWidth_ = screenWidth;
    screenHeight_ = screenHeight;
    isCanvasEmpty_ = true;
    drawnPointer_.reset();
}

ChangedRegion ScreenChangeTracker::toGrab(const ChangedRegion& damage,
                                          const std::optional<PointerPlace>& pointer) const {
    if (isCanvasEmpty_) {
        return ChangedRegion::whole(screenWidth_, screenHeight_);
    }
    ChangedRegion grab = damage;
    grab.clip(screenWidth_, screenHeight_);
    if (grab.isEmpty() && pointer == drawnPointer_) {
        return grab;
    }
    if (drawnPointer_) {
        grab.add(drawnPointer_->rect);
    }
    grab.clip(screenWidth_, screenHeight_);
    return grab;
}

void ScreenChangeTracker::grabbed(const ChangedRegion& grab,
                                  const std::optional<PointerPlace>& pointer) {
    ChangedRegion changed = grab;
    if (pointer) {
        changed.add(pointer->rect);
    }
    changed.clip(screenWidth_, screenHeight_);
    ChangedRegion inPicture;
    for (const PixelRect& rect : changed.rects()) {
        inPicture.add(scaledRect(rect, screenWidth_, screenHeight_, pictureWidth_, pictureHeight_));
    }
    if (isCanvasEmpty_) {
        inPicture = ChangedRegion::whole(pictureWidth_, pictureHeight_);
    }
    history_.record(std::move(inPicture));
    isCanvasEmpty_ = false;
    drawnPointer_ = pointer;
}

} // namespace quorvi
