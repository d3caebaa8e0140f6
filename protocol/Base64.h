#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Base64 of RFC 4648, standard alphabet ("+" and "/"), "=" padding, no line
// breaks: the form the picture payloads travel in.

namespace quorvi {

// Appends the Base64 text of `bytes` to `out`. The frame loop encodes a few
// hundred kilobytes per frame, so this writes through a lookup table into
// storage sized once.
void appendBase64(std::string& out, std::span<const std::uint8_t> bytes);

inline std::string encodeBase64(std::span<const std::uint8_t> bytes) {
    std::string out;
    appendBase64(out, bytes);
    return out;
}

inline std::string encodeBase64(std::string_view bytes) {
    return encodeBase64(
        std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

// Strict decoding: the text must be a whole number of four-character groups
// from the standard alphabet, "=" only as the last one or two characters, and
// the bits that padding leaves unused must be zero, so each byte string has
// exactly one accepted spelling. Whitespace, line breaks and the URL-safe
// alphabet are refused. Returns nullopt when the text is not such Base64.
std::optional<std::vector<std::uint8_t>> decodeBase64(std::string_view text);

} // namespace quorvi
