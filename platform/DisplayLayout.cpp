#include "platform/DisplayLayout.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace quorvi {

GlobalDisplayLayout globalDisplayLayout(const std::vector<LaidOutDisplay>& displays,
                                        std::optional<DisplayID> primaryID) {
    GlobalDisplayLayout layout;
    for (const LaidOutDisplay& display : displays) {
        if (display.id != 0 && display.rect.width > 0 && display.rect.height > 0) {
            layout.displays.push_back(display);
        }
    }
    if (layout.displays.empty()) {
        return layout;
    }
    const auto isPrimary = [&](const LaidOutDisplay& d) { return primaryID && d.id == *primaryID; };
    const auto isAtOrigin = [](const LaidOutDisplay& d) {
        return d.rect.minX == 0 && d.rect.minY == 0;
    };
    auto main = std::find_if(layout.displays.begin(), layout.displays.end(), isPrimary);
    if (main == layout.displays.end()) {
        main = std::find_if(layout.displays.begin(), layout.displays.end(), isAtOrigin);
    }
    if (main == layout.displays.end()) {
        main = layout.displays.begin();
    }
    layout.mainID = main->id;
    layout.origin = {main->rect.minX, main->rect.minY};
    for (LaidOutDisplay& display : layout.displays) {
        display.rect.minX -= layout.origin.x;
        display.rect.minY -= layout.origin.y;
    }
    return layout;
}

namespace {

// How far a point lies outside a rectangle; 0 inside it.
double distanceOutside(const DisplayRect& rect, DisplayPoint point) {
    const double dx = std::max({rect.minX - point.x, 0.0, point.x - rect.maxX()});
    const double dy = std::max({rect.minY - point.y, 0.0, point.y - rect.maxY()});
    return std::hypot(dx, dy);
}

// A pixel coordinate along one side, inside the side's last pixel.
double pixelAlong(double offset, double length, std::size_t pixels) {
    const double last = std::nextafter(static_cast<double>(pixels), 0.0);
    return std::clamp(offset * static_cast<double>(pixels) / length, 0.0, last);
}

} // namespace

std::optional<DisplayPixel> displayPixelAt(const GlobalDisplayLayout& layout, DisplayPoint point) {
    if (std::isnan(point.x) || std::isnan(point.y)) {
        return std::nullopt;
    }
    const LaidOutDisplay* nearest = nullptr;
    double nearestDistance = std::numeric_limits<double>::infinity();
    for (const LaidOutDisplay& display : layout.displays) {
        // The right and bottom edges belong to the next display.
        const bool contains = point.x >= display.rect.minX && point.x < display.rect.maxX() &&
                              point.y >= display.rect.minY && point.y < display.rect.maxY();
        const double distance = contains ? -1 : distanceOutside(display.rect, point);
        if (distance < nearestDistance) {
            nearest = &display;
            nearestDistance = distance;
        }
    }
    if (nearest == nullptr || nearest->pixelsWide == 0 || nearest->pixelsHigh == 0) {
        return std::nullopt;
    }
    return DisplayPixel{
        nearest->id,
        pixelAlong(point.x - nearest->rect.minX, nearest->rect.width, nearest->pixelsWide),
        pixelAlong(point.y - nearest->rect.minY, nearest->rect.height, nearest->pixelsHigh)};
}

} // namespace quorvi
