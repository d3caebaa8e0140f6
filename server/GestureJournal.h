#pragma once

#include "protocol/Messages.h"

#include <string>

namespace quorvi {

// "Input " + phase + ": " + X + "%, " + Y + "%", X and Y the position in
// percent truncated toward zero. A client can send any number: a value that
// is not finite or does not fit in 64 bits shows as "?" instead of
// overflowing.
std::string gestureJournalLine(const InputEventMessage& message);
std::string truncatedPercent(double fraction);

} // namespace quorvi
