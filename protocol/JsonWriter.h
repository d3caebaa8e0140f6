#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Hand-written JSON output for the hot path: the frame message carries a
// Base64 payload of several hundred kilobytes thirty times a second, and
// building a DOM for it would copy the payload twice and allocate per key.
// The pieces below append straight into one std::string; the caller lays out
// the braces, keys and commas.

namespace quorvi {

// Appends `text` as a JSON string literal, quotes included. Quotes,
// backslashes and control characters are escaped (\n, \t, ... or \u00XX);
// "/" and non-ASCII characters are written as they are. Bytes that are not
// well-formed UTF-8 become U+FFFD: one bad byte in a window title would
// otherwise make a strict reader refuse the whole frame. Runs of plain ASCII,
// which is all a Base64 payload holds, are copied eight bytes at a time.
void appendJsonString(std::string& out, std::string_view text);

// The shortest text that reads back as the same double (std::to_chars), so
// 1920 is written "1920" and 1.7e9 may come out as "1.7e+09". `value` must be
// finite: JSON has no spelling for NaN or infinities, the caller checks.
void appendJsonNumber(std::string& out, double value);

void appendJsonInteger(std::string& out, std::int64_t value);

inline void appendJsonBool(std::string& out, bool value) {
    out += value ? "true" : "false";
}

} // namespace quorvi
