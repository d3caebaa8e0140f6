#pragma once

#include "quality/StreamMode.h"

#include <cstdint>
#include <optional>
#include <string>

namespace quorvi {

// The client's viewport in pixels; 0 × 0 until it reports one.
struct ViewportPixels {
    double width = 0;
    double height = 0;
};

// The output width the client's viewport asks for: its longer side, at
// least 640, at most maxWidth, and even. Absent while no viewport is known,
// or when the viewport holds numbers no width can be made of.
std::optional<std::int64_t> streamTargetWidth(const StreamEncodingSettings& settings,
                                              ViewportPixels viewport);

// The preset's label, plus " · sortie " + width + "px" when a width applies.
std::string streamQualityLabel(const StreamPreset& preset, ViewportPixels viewport);

// The send timer's period for a frame rate: 1000 / fps milliseconds
// (integer division), at least 1; a rate of 0 or less counts as 1.
std::int64_t framePeriodMilliseconds(std::int64_t fps);

// "Mode flux: " + the mode's title + " · " + the preset's label.
std::string streamModeJournalLine(StreamMode mode, const StreamPreset& preset);

} // namespace quorvi
