#include "protocol/Base64.h"

#include <cstdint>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>

namespace quorvi {
namespace {

using namespace std::string_literals;

std::vector<std::uint8_t> bytesOf(std::string_view text) {
    return {text.begin(), text.end()};
}

struct Vector {
    const char* name;
    std::string bytes;
    std::string text;
};

class Base64Vectors : public testing::TestWithParam<Vector> {};

TEST_P(Base64Vectors, EncodesAndDecodes) {
    EXPECT_EQ(encodeBase64(GetParam().bytes), GetParam().text);
    EXPECT_EQ(base64EncodedSize(GetParam().bytes.size()), GetParam().text.size());
    EXPECT_EQ(decodeBase64(GetParam().text), bytesOf(GetParam().bytes));
}

INSTANTIATE_TEST_SUITE_P(
    Base64, Base64Vectors,
    testing::Values( // RFC 4648, section 10
        Vector{"Empty", "", ""}, Vector{"F", "f", "Zg=="}, Vector{"Fo", "fo", "Zm8="},
        Vector{"Foo", "foo", "Zm9v"}, Vector{"Foob", "foob", "Zm9vYg=="},
        Vector{"Fooba", "fooba", "Zm9vYmE="}, Vector{"Foobar", "foobar", "Zm9vYmFy"},
        // The two characters that differ from the URL-safe alphabet.
        Vector{"Plus", "\xFB\xEF\xBE", "++++"}, Vector{"Slash", "\xFF\xFF\xFF", "////"},
        Vector{"PlusSlashPadded", "\xFB\xFF", "+/8="},
        Vector{"Zeros", std::string(4, '\0'), "AAAAAA=="},
        // Each 6-bit value 0..63 once, in order: the whole alphabet.
        Vector{"WholeAlphabet",
               "\x00\x10\x83\x10\x51\x87\x20\x92\x8B\x30\xD3\x8F\x41\x14\x93\x51\x55\x97"
               "\x61\x96\x9B\x71\xD7\x9F\x82\x18\xA3\x92\x59\xA7\xA2\x9A\xAB\xB2\xDB\xAF"
               "\xC3\x1C\xB3\xD3\x5D\xB7\xE3\x9E\xBB\xF3\xDF\xBF"s,
               "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Base64RoundTrip, EveryLengthAndAlignment) {
    std::mt19937 random(5);
    std::vector<std::uint8_t> storage(1100);
    for (auto& byte : storage) {
        byte = static_cast<std::uint8_t>(random());
    }
    for (std::size_t offset = 0; offset < 4; ++offset) {
        for (std::size_t length = 0; length <= 1024; length += (length < 64 ? 1 : 61)) {
            const std::span<const std::uint8_t> bytes(storage.data() + offset, length);
            const std::string text = encodeBase64(bytes);
            ASSERT_EQ(text.size(), base64EncodedSize(length));
            ASSERT_EQ(decodeBase64(text), std::vector<std::uint8_t>(bytes.begin(), bytes.end()))
                << length << " " << offset;
        }
    }
}

TEST(Base64Append, KeepsWhatTheStringHeld) {
    std::string out = "prefix:";
    appendBase64(out, bytesOf("foob"));
    EXPECT_EQ(out, "prefix:Zm9vYg==");
}

struct Refusal {
    const char* name;
    std::string text;
};

class Base64Refusals : public testing::TestWithParam<Refusal> {};

TEST_P(Base64Refusals, DecodeRefuses) {
    EXPECT_EQ(decodeBase64(GetParam().text), std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(
    Base64, Base64Refusals,
    testing::Values(Refusal{"MissingPadding", "Zg"}, Refusal{"ShortPadding", "Zg="},
                    Refusal{"ExtraPadding", "Zg==="}, Refusal{"ThreePads", "Z==="},
                    Refusal{"OnlyPadding", "===="}, Refusal{"PaddingInMiddle", "Zg==Zm9v"},
                    Refusal{"PadBeforeData", "Zm=v"}, Refusal{"PadFirst", "=Zm9"},
                    Refusal{"UrlSafeMinus", "Zm9-"}, Refusal{"UrlSafeUnderscore", "Zm9_"},
                    Refusal{"LineBreak", "Zm9v\nYmFy"}, Refusal{"TrailingNewline", "Zm9v\n"},
                    Refusal{"Space", "Zm9v YmFy"}, Refusal{"NulByte", std::string("Zm9\0", 4)},
                    Refusal{"NonAscii", "Zm\xC3\xA9"},
                    // Unused bits after the last byte must be zero ("Zg==" is the
                    // only spelling of "f").
                    Refusal{"NonZeroBitsTwoPads", "Zh=="}, Refusal{"NonZeroBitsOnePad", "Zm9="}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace quorvi
