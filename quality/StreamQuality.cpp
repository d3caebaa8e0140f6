#include "quality/StreamQuality.h"

#include <algorithm>
#include <cmath>

namespace quorvi {

std::optional<std::int64_t> streamTargetWidth(const StreamEncodingSettings& settings,
                                              ViewportPixels viewport) {
    if (std::isnan(viewport.width) || std::isnan(viewport.height)) {
        return std::nullopt;
    }
    const double longer = std::max(viewport.width, viewport.height);
    // std::round halves away from zero. A client can report anything: a
    // side that is not a finite 64-bit number counts as no viewport.
    const double rounded = std::round(longer);
    if (!std::isfinite(rounded) || rounded >= 0x1p63 || rounded < 1) {
        return std::nullopt;
    }
    const auto side = static_cast<std::int64_t>(rounded);
    std::int64_t width =
        std::min(std::max<std::int64_t>(std::min(settings.maxWidth, side), 640), settings.maxWidth);
    if (width % 2 != 0) {
        width += 1;
    }
    return width;
}

std::string streamQualityLabel(const StreamPreset& preset, ViewportPixels viewport) {
    const auto width = streamTargetWidth(preset.settings, viewport);
    if (!width) {
        return preset.label;
    }
    return preset.label + " · sortie " + std::to_string(*width) + "px";
}

std::int64_t framePeriodMilliseconds(std::int64_t fps) {
    return std::max<std::int64_t>(1, 1000 / std::max<std::int64_t>(fps, 1));
}

std::string streamModeJournalLine(StreamMode mode, const StreamPreset& preset) {
    return "Mode flux: " + std::string(title(mode)) + " · " + preset.label;
}

} // namespace quorvi
