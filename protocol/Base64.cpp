#include "protocol/Base64.h"

#include <array>
#include <cstring>

namespace quorvi {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Two output characters per 12 input bits: half as many lookups as one table
// entry per 6 bits, and the 8 KiB table stays in L1 cache.
struct PairTable {
    std::array<char, 4096 * 2> chars{};
    constexpr PairTable() {
        for (std::size_t i = 0; i < 4096; ++i) {
            chars[2 * i] = kAlphabet[i >> 6];
            chars[2 * i + 1] = kAlphabet[i & 0x3F];
        }
    }
};
constexpr PairTable kPairs;

// Length of the Base64 text for `byteCount` bytes.
constexpr std::size_t base64EncodedSize(std::size_t byteCount) {
    return (byteCount + 2) / 3 * 4;
}

constexpr std::int8_t kInvalid = -1;

struct DecodeTable {
    std::array<std::int8_t, 256> values{};
    constexpr DecodeTable() {
        values.fill(kInvalid);
        for (std::size_t i = 0; i < 64; ++i) {
            values[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::int8_t>(i);
        }
    }
};
constexpr DecodeTable kDecode;

} // namespace

void appendBase64(std::string& out, std::span<const std::uint8_t> bytes) {
    const std::size_t start = out.size();
    out.resize(start + base64EncodedSize(bytes.size()));
    char* dst = out.data() + start;
    const std::uint8_t* src = bytes.data();
    const std::size_t wholeGroups = bytes.size() / 3;
    for (std::size_t group = 0; group < wholeGroups; ++group) {
        const std::uint32_t bits =
            (std::uint32_t{src[0]} << 16) | (std::uint32_t{src[1]} << 8) | std::uint32_t{src[2]};
        std::memcpy(dst, &kPairs.chars[2 * (bits >> 12)], 2);
        std::memcpy(dst + 2, &kPairs.chars[2 * (bits & 0xFFF)], 2);
        src += 3;
        dst += 4;
    }
    switch (bytes.size() % 3) {
    case 1: {
        const std::uint32_t bits = std::uint32_t{src[0]} << 16;
        std::memcpy(dst, &kPairs.chars[2 * (bits >> 12)], 2);
        dst[2] = '=';
        dst[3] = '=';
        break;
    }
    case 2: {
        const std::uint32_t bits = (std::uint32_t{src[0]} << 16) | (std::uint32_t{src[1]} << 8);
        std::memcpy(dst, &kPairs.chars[2 * (bits >> 12)], 2);
        dst[2] = kAlphabet[(bits >> 6) & 0x3F];
        dst[3] = '=';
        break;
    }
    default:
        break;
    }
}

std::optional<std::vector<std::uint8_t>> decodeBase64(std::string_view text) {
    if (text.size() % 4 != 0) {
        return std::nullopt;
    }
    std::size_t padding = 0;
    if (!text.empty() && text.back() == '=') {
        padding = text[text.size() - 2] == '=' ? 2 : 1;
    }
    std::vector<std::uint8_t> bytes;
    bytes.reserve(text.size() / 4 * 3 - padding);
    const auto* src = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t groups = text.size() / 4;
    for (std::size_t group = 0; group < groups; ++group, src += 4) {
        const bool last = group + 1 == groups;
        const std::size_t symbols = last ? 4 - padding : 4;
        std::uint32_t bits = 0;
        for (std::size_t i = 0; i < 4; ++i) {
            std::int8_t value = 0;
            if (i < symbols) {
                value = kDecode.values[src[i]];
                if (value == kInvalid) {
                    return std::nullopt; // includes a "=" before the padding
                }
            }
            bits = (bits << 6) | static_cast<std::uint32_t>(value);
        }
        bytes.push_back(static_cast<std::uint8_t>(bits >> 16));
        if (symbols == 2) {
            if ((bits & 0xFFFF) != 0) {
                return std::nullopt;
            }
            continue;
        }
        bytes.push_back(static_cast<std::uint8_t>(bits >> 8));
        if (symbols == 3) {
            if ((bits & 0xFF) != 0) {
                return std::nullopt;
            }
            continue;
        }
        bytes.push_back(static_cast<std::uint8_t>(bits));
    }
    return bytes;
}

} // namespace quorvi
