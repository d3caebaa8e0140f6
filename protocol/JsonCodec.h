#pragma once

#include "protocol/Messages.h"

#include <optional>
#include <string>
#include <string_view>

namespace quorvi {

// A decoded value, or a short French reason why there is none.
//
// Reading rules shared by every decoder here:
// - the text must be one JSON object; keys not listed for the record are
//   ignored; for an optional field a missing key and null both mean absent;
// - a required key that is missing, or null, or of the wrong JSON type makes
//   the whole record unreadable;
// - a double field also takes an integer (390 reads as 390.0);
// - an integer field takes JSON integers within the signed 64-bit range, and
//   also a number written with a fraction or an exponent when its value is
//   whole and within ±2^53 (12.0 and 1e3 read as 12 and 1000: beyond 2^53 a
//   double may already be rounded, so it could stand for another integer);
//   12.5 is refused.
// Encoders never throw either; they fail on a non-finite double.
template <typename T> struct Decoded {
    std::optional<T> value;
    std::string error;
};

// One line (without its line feed) from the client.
Decoded<InputEventMessage> decodeInputEventMessage(std::string_view line);

// Compact JSON, without the line feed. Fails on a non-finite double.
Decoded<std::string> encodeScreenFrameMessage(const ScreenFrameMessage& message);

// The other directions, for the reference client and for tests.
Decoded<std::string> encodeInputEventMessage(const InputEventMessage& message);
Decoded<ScreenFrameMessage> decodeScreenFrameMessage(std::string_view line);

// Appends the frame message to `out`, which may already hold bytes (a send
// buffer reused from frame to frame, the line feed appended after it). Returns
// the reason on failure, with `out` left as it was; nullopt on success.
std::optional<std::string> appendScreenFrameMessage(std::string& out,
                                                    const ScreenFrameMessage& message);

} // namespace quorvi
