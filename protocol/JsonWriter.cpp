#include "protocol/JsonWriter.h"

#include <charconv>
#include <cstring>

namespace quorvi {

namespace {

constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

// True when one of the eight bytes needs more than a plain copy: a control
// character, '"', '\\', or a byte of a multi-byte UTF-8 sequence. The
// "has a byte below n" test is exact for the question "is there any", which
// is all we ask; the scalar loop then finds which byte it was.
inline bool wordNeedsCare(std::uint64_t word) {
    const std::uint64_t belowSpace = (word - kOnes * 0x20) & ~word;
    const std::uint64_t quoteBytes = word ^ (kOnes * '"');
    const std::uint64_t quote = (quoteBytes - kOnes) & ~quoteBytes;
    const std::uint64_t backslashBytes = word ^ (kOnes * '\\');
    const std::uint64_t backslash = (backslashBytes - kOnes) & ~backslashBytes;
    return ((belowSpace | quote | backslash | word) & kHighBits) != 0;
}

inline bool isPlainByte(unsigned char c) {
    return c >= 0x20 && c < 0x80 && c != '"' && c != '\\';
}

constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";

// Copies one well-formed UTF-8 sequence starting at `p`, or writes U+FFFD for
// the longest prefix that could have started one (the usual "maximal subpart"
// rule, so a truncated sequence costs one replacement, not one per byte).
// Returns how many bytes were consumed, at least 1.
std::size_t appendUtf8Sequence(std::string& out, const unsigned char* p, const unsigned char* end) {
    const unsigned lead = p[0];
    std::size_t continuationBytes = 0;
    unsigned low = 0x80;
    unsigned high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        continuationBytes = 1;
    } else if (lead == 0xE0) {
        continuationBytes = 2;
        low = 0xA0; // no overlong forms
    } else if (lead == 0xED) {
        continuationBytes = 2;
        high = 0x9F; // no UTF-16 surrogates
    } else if (lead >= 0xE1 && lead <= 0xEF) {
        continuationBytes = 2;
    } else if (lead == 0xF0) {
        continuationBytes = 3;
        low = 0x90;
    } else if (lead >= 0xF1 && lead <= 0xF3) {
        continuationBytes = 3;
    } else if (lead == 0xF4) {
        continuationBytes = 3;
        high = 0x8F; // nothing above U+10FFFF
    } else {
        out += kReplacementCharacter;
        return 1;
    }
    const auto available = static_cast<std::size_t>(end - p);
    std::size_t i = 1;
    for (; i <= continuationBytes && i < available; ++i) {
        if (p[i] < low || p[i] > high) {
            break;
        }
        low = 0x80;
        high = 0xBF;
    }
    if (i == continuationBytes + 1) {
        out.append(reinterpret_cast<const char*>(p), i);
    } else {
        out += kReplacementCharacter;
    }
    return i;
}

void appendEscapedAscii(std::string& out, unsigned char c) {
    switch (c) {
    case '"':
        out += "\\\"";
        return;
    case '\\':
        out += "\\\\";
        return;
    case '\b':
        out += "\\b";
        return;
    case '\f':
        out += "\\f";
        return;
    case '\n':
        out += "\\n";
        return;
    case '\r':
        out += "\\r";
        return;
    case '\t':
        out += "\\t";
        return;
    default: {
        constexpr char hex[] = "0123456789abcdef";
        const char escape[] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 0xF]};
        out.append(escape, sizeof escape);
    }
    }
}

} // namespace

void appendJsonString(std::string& out, std::string_view text) {
    out.push_back('"');
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* const end = p + text.size();
    while (p < end) {
        const auto* const run = p;
        while (end - p >= 8) {
            std::uint64_t word;
            std::memcpy(&word, p, sizeof word);
            if (wordNeedsCare(word)) {
                break;
            }
            p += 8;
        }
        while (p < end && isPlainByte(*p)) {
            ++p;
        }
        out.append(reinterpret_cast<const char*>(run), static_cast<std::size_t>(p - run));
        if (p == end) {
            break;
        }
        if (*p >= 0x80) {
            p += appendUtf8Sequence(out, p, end);
        } else {
            appendEscapedAscii(out, *p);
            ++p;
        }
    }
    out.push_back('"');
}

void appendJsonNumber(std::string& out, double value) {
    // 24 characters is the longest shortest form ("-2.2250738585072014e-308").
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, result.ptr);
}

void appendJsonInteger(std::string& out, std::int64_t value) {
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, result.ptr);
}

} // namespace quorvi
