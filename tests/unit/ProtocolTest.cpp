#include "protocol/Base64.h"
#include "protocol/JsonCodec.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <gtest/gtest.h>
#include <limits>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace quorvi {
namespace {

using nlohmann::json;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Failure messages show records as the JSON they encode to.
std::string shown(const InputEventMessage& m) {
    return encodeInputEventMessage(m).value.value_or("<non encodable>");
}

std::set<std::string> keysOf(const json& object) {
    std::set<std::string> keys;
    for (const auto& item : object.items()) {
        keys.insert(item.key());
    }
    return keys;
}

InputEventMessage gesture(std::string kind, double sentAt, std::string phase, double x, double y,
                          double dx = 0, double dy = 0) {
    InputEventMessage m;
    m.kind = std::move(kind);
    m.sentAt = sentAt;
    m.phase = std::move(phase);
    m.x = x;
    m.y = y;
    m.dx = dx;
    m.dy = dy;
    return m;
}

// ---- input lines the server must read ------------------------------------------

struct AcceptedLine {
    const char* name;
    std::string line;
    InputEventMessage expected;
};

class ProtocolInputAccepted : public testing::TestWithParam<AcceptedLine> {};

TEST_P(ProtocolInputAccepted, DecodesToRecord) {
    const auto decoded = decodeInputEventMessage(GetParam().line);
    ASSERT_TRUE(decoded.value.has_value()) << decoded.error;
    EXPECT_EQ(*decoded.value, GetParam().expected) << shown(*decoded.value) << "\n"
                                                   << shown(GetParam().expected);
    EXPECT_TRUE(decoded.error.empty());
}

InputEventMessage withViewport(InputEventMessage m, std::optional<double> w,
                               std::optional<double> h) {
    m.viewportWidth = w;
    m.viewportHeight = h;
    return m;
}

InputEventMessage withStats(InputEventMessage m, std::optional<std::int64_t> latency,
                            std::optional<std::int64_t> fps) {
    m.latencyMs = latency;
    m.displayedFPS = fps;
    return m;
}

const std::string kTapKeys = R"("sentAt":1,"phase":"tap","x":0.5,"y":0.5,"dx":0,"dy":0)";
const InputEventMessage kTap = gesture("input", 1.0, "tap", 0.5, 0.5);

INSTANTIATE_TEST_SUITE_P(
    Protocol, ProtocolInputAccepted,
    testing::Values(
        AcceptedLine{"MinimalGestureIsInput", "{" + kTapKeys + "}", kTap},
        AcceptedLine{"NullKindIsInput", R"({"kind":null,)" + kTapKeys + "}", kTap},
        AcceptedLine{"NullOptionalsAreAbsent",
                     R"({"viewportWidth":null,"viewportHeight":null,"latencyMs":null,)"
                     R"("displayedFPS":null,)" +
                         kTapKeys + "}",
                     kTap},
        AcceptedLine{
            "UnknownKeysIgnored",
            R"({"pressure":0.7,"Phase":"drag","extra":{"a":[1,null,"x"]},)" + kTapKeys + "}", kTap},
        AcceptedLine{"TrailingCarriageReturn", "{" + kTapKeys + "}\r", kTap},
        AcceptedLine{"SpacesAroundTokens",
                     R"( { "sentAt" : 1 , "phase" : "tap" , "x" : 0.5 , "y" : 0.5 ,)"
                     R"( "dx" : 0 , "dy" : 0 } )",
                     kTap},
        AcceptedLine{"IntegerViewportReadsAsDouble",
                     R"({"kind":"viewport","sentAt":1,"phase":"","x":0,"y":0,"dx":0,"dy":0,)"
                     R"("viewportWidth":390,"viewportHeight":844.5})",
                     withViewport(gesture("viewport", 1, "", 0, 0), 390.0, 844.5)},
        AcceptedLine{"StatsWithIntegers",
                     R"({"kind":"stats","sentAt":1700000000.25,"phase":"stats","x":0,"y":0,)"
                     R"("dx":0,"dy":0,"latencyMs":42,"displayedFPS":30})",
                     withStats(gesture("stats", 1700000000.25, "stats", 0, 0), 42, 30)},
        AcceptedLine{"WholeFloatIntegersAccepted",
                     R"({"kind":"stats",)" + kTapKeys + R"(,"latencyMs":12.0,"displayedFPS":3e1})",
                     withStats(gesture("stats", 1, "tap", 0.5, 0.5), 12, 30)},
        AcceptedLine{"Int64Extremes",
                     R"({"kind":"stats",)" + kTapKeys +
                         R"(,"latencyMs":9223372036854775807,)"
                         R"("displayedFPS":-9223372036854775808})",
                     withStats(gesture("stats", 1, "tap", 0.5, 0.5),
                               std::numeric_limits<std::int64_t>::max(),
                               std::numeric_limits<std::int64_t>::min())},
        AcceptedLine{"LargestExactWholeFloat",
                     R"({"kind":"stats",)" + kTapKeys + R"(,"latencyMs":-9007199254740992.0})",
                     withStats(gesture("stats", 1, "tap", 0.5, 0.5), -9007199254740992, {})},
        AcceptedLine{"ScrollWithNegativeAndExponentNumbers",
                     R"({"kind":"scroll-pad","sentAt":1.5e9,"phase":"scroll","x":1,"y":0,)"
                     R"("dx":-12.25,"dy":2E-3})",
                     gesture("scroll-pad", 1.5e9, "scroll", 1, 0, -12.25, 0.002)},
        AcceptedLine{"EscapedAndNonAsciiStrings",
                     R"({"kind":"g\u00e9ste","sentAt":1,"phase":"t\"a\\p\n","x":0,"y":0,)"
                     R"("dx":0,"dy":0})",
                     gesture("g\xC3\xA9ste", 1, "t\"a\\p\n", 0, 0)},
        AcceptedLine{"LastDuplicateKeyWins", R"({"phase":"drag",)" + kTapKeys + "}", kTap}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- input lines the server must refuse, and the reason it reports ---------------

struct RefusedLine {
    const char* name;
    std::string line;
    std::string reason;
};

class ProtocolInputRefused : public testing::TestWithParam<RefusedLine> {};

TEST_P(ProtocolInputRefused, ReportsReason) {
    const auto decoded = decodeInputEventMessage(GetParam().line);
    EXPECT_FALSE(decoded.value.has_value());
    EXPECT_EQ(decoded.error, GetParam().reason);
}

const std::string kStatsBody = R"("kind":"stats","sentAt":1,"x":0,"y":0,"dx":0,"dy":0)";

INSTANTIATE_TEST_SUITE_P(
    Protocol, ProtocolInputRefused,
    testing::Values(
        RefusedLine{"StatsWithoutPhase", "{" + kStatsBody + R"(,"latencyMs":12,"displayedFPS":30})",
                    "clé manquante: phase"},
        RefusedLine{"NullPhase", "{" + kStatsBody + R"(,"phase":null})", "clé manquante: phase"},
        RefusedLine{"MissingSentAt", R"({"phase":"tap","x":0,"y":0,"dx":0,"dy":0})",
                    "clé manquante: sentAt"},
        RefusedLine{"MissingDy", R"({"sentAt":1,"phase":"tap","x":0,"y":0,"dx":0})",
                    "clé manquante: dy"},
        RefusedLine{"KeysAreCaseSensitive",
                    R"({"sentAt":1,"phase":"tap","X":0,"y":0,"dx":0,"dy":0})", "clé manquante: x"},
        RefusedLine{"FractionalLatency", "{" + kTapKeys + R"(,"latencyMs":12.5})",
                    "latencyMs doit être un entier"},
        RefusedLine{"FractionalFps", "{" + kTapKeys + R"(,"displayedFPS":29.97})",
                    "displayedFPS doit être un entier"},
        RefusedLine{"TinyFractionLatency", "{" + kTapKeys + R"(,"latencyMs":1e-300})",
                    "latencyMs doit être un entier"},
        RefusedLine{"LatencyAboveInt64", "{" + kTapKeys + R"(,"latencyMs":9223372036854775808})",
                    "latencyMs hors limites (entier 64 bits attendu)"},
        RefusedLine{"LatencyBelowInt64", "{" + kTapKeys + R"(,"latencyMs":-9223372036854775809})",
                    "latencyMs hors limites (entier 64 bits attendu)"},
        RefusedLine{"LatencyBeyondUint64", "{" + kTapKeys + R"(,"latencyMs":18446744073709551616})",
                    "latencyMs hors limites (entier 64 bits attendu)"},
        RefusedLine{"WholeFloatBeyondExactRange", "{" + kTapKeys + R"(,"latencyMs":1e18})",
                    "latencyMs hors limites (entier 64 bits attendu)"},
        RefusedLine{"NumberBeyondDouble", "{" + kTapKeys + R"(,"viewportWidth":1e400})",
                    "JSON invalide: nombre hors limites"},
        RefusedLine{"LatencyAsString", "{" + kTapKeys + R"(,"latencyMs":"12"})",
                    "type incorrect pour latencyMs (entier attendu)"},
        RefusedLine{"XAsString", R"({"sentAt":1,"phase":"tap","x":"0.5","y":0,"dx":0,"dy":0})",
                    "type incorrect pour x (nombre attendu)"},
        RefusedLine{"YAsBoolean", R"({"sentAt":1,"phase":"tap","x":0,"y":true,"dx":0,"dy":0})",
                    "type incorrect pour y (nombre attendu)"},
        RefusedLine{"PhaseAsNumber", R"({"sentAt":1,"phase":3,"x":0,"y":0,"dx":0,"dy":0})",
                    "type incorrect pour phase (chaîne attendue)"},
        RefusedLine{"KindAsNumber", R"({"kind":1,)" + kTapKeys + "}",
                    "type incorrect pour kind (chaîne attendue)"},
        RefusedLine{"ViewportAsArray", "{" + kTapKeys + R"(,"viewportHeight":[844]})",
                    "type incorrect pour viewportHeight (nombre attendu)"},
        RefusedLine{"Array", "[" + std::string("{") + kTapKeys + "}]",
                    "le message n'est pas un objet JSON"},
        RefusedLine{"String", R"("tap")", "le message n'est pas un objet JSON"},
        RefusedLine{"Null", "null", "le message n'est pas un objet JSON"},
        RefusedLine{"Empty", "", "JSON invalide à l'octet 1"},
        RefusedLine{"OnlyCarriageReturn", "\r", "JSON invalide à l'octet 2"},
        RefusedLine{"TrailingComma", R"({"sentAt":1,})", "JSON invalide à l'octet 13"},
        RefusedLine{"CutShort", R"({"sentAt":1,"pha)", "JSON invalide à l'octet 17"},
        RefusedLine{"TwoObjectsOnOneLine", R"({"a":1}{"b":2})", "JSON invalide à l'octet 8"},
        RefusedLine{"SingleQuotes", R"({'sentAt':1})", "JSON invalide à l'octet 2"},
        RefusedLine{"InvalidUtf8InString", "{\"phase\":\"t\xFFp\"}", "JSON invalide à l'octet 12"},
        RefusedLine{"RawNulByte", std::string("{\"phase\":\"t\0p\"}", 15),
                    "JSON invalide à l'octet 12"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- identity ----------------------------------------------------------------------

struct IdentityCase {
    const char* name;
    double sentAt;
    std::string expected;
};

class ProtocolIdentity : public testing::TestWithParam<IdentityCase> {};

TEST_P(ProtocolIdentity, WritesShortestSentAt) {
    EXPECT_EQ(identity(gesture("input", GetParam().sentAt, "tap", 0, 0)), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Protocol, ProtocolIdentity,
    testing::Values(
        IdentityCase{"WholeKeepsPointZero", 1.0, "input-1.0-tap"},
        IdentityCase{"Zero", 0.0, "input-0.0-tap"},
        IdentityCase{"NegativeZero", -0.0, "input--0.0-tap"},
        IdentityCase{"Tenth", 0.1, "input-0.1-tap"},
        IdentityCase{"Timestamp", 1700000000.25, "input-1700000000.25-tap"},
        IdentityCase{"WholeTimestamp", 1700000000.0, "input-1700000000.0-tap"},
        IdentityCase{"MicrosecondTimestamp", 1700000000.123456, "input-1700000000.123456-tap"},
        IdentityCase{"Negative", -2.5, "input--2.5-tap"},
        IdentityCase{"SmallPlain", 0.0001, "input-0.0001-tap"},
        IdentityCase{"SmallExponent", 0.00001, "input-1e-05-tap"},
        IdentityCase{"LargestPlain", 9999999999999998.0, "input-9999999999999998.0-tap"},
        IdentityCase{"LargeExponent", 1e16, "input-1e+16-tap"},
        IdentityCase{"Huge", 1e300, "input-1e+300-tap"},
        IdentityCase{"Subnormal", 5e-324, "input-5e-324-tap"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ProtocolIdentityText, KeepsKindAndPhaseVerbatim) {
    EXPECT_EQ(identity(gesture("stats", 2, "", 0, 0)), "stats-2.0-");
    EXPECT_EQ(identity(gesture("my-pad", 1.5, "end", 0, 0)), "my-pad-1.5-end");
}

TEST(ProtocolIdentityText, SentAtReadsBackExactlyAndIsShortest) {
    std::mt19937_64 random(7);
    for (int i = 0; i < 20000; ++i) {
        // Random bit patterns cover every exponent, not only "nice" values.
        const double value = std::bit_cast<double>(random());
        if (!std::isfinite(value)) {
            continue;
        }
        const std::string id = identity(gesture("k", value, "p", 0, 0));
        const std::string text = id.substr(2, id.size() - 4);
        double back = 0;
        const auto result = std::from_chars(text.data(), text.data() + text.size(), back);
        ASSERT_EQ(result.ec, std::errc()) << text;
        ASSERT_EQ(result.ptr, text.data() + text.size()) << text;
        ASSERT_EQ(std::bit_cast<std::uint64_t>(back), std::bit_cast<std::uint64_t>(value)) << text;
        // Never more significant digits than a double needs.
        std::size_t digits = 0;
        bool leading = true;
        for (char c : text.substr(0, text.find('e'))) {
            if (c >= '1' && c <= '9') {
                leading = false;
            }
            if (c >= '0' && c <= '9' && !leading) {
                ++digits;
            }
        }
        ASSERT_LE(digits, 17u + 1u) << text; // + the ".0" of a whole number
    }
}

// ---- frames: which keys are written -----------------------------------------------

ScreenFrameMessage baseFrame() {
    ScreenFrameMessage frame;
    frame.sequence = 1;
    frame.sentAt = 1700000000.5;
    frame.width = 1920;
    frame.height = 1200;
    frame.title = "Écran principal";
    frame.subtitle = "1920 × 1200";
    frame.cursor = CursorPoint{960, 600, true, "arrow"};
    return frame;
}

struct PayloadCase {
    const char* name;
    ScreenFrameMessage frame;
    std::set<std::string> optionalKeys;
};

ScreenFrameMessage videoFrame() {
    auto frame = baseFrame();
    frame.imageMimeType = "image/jpeg";
    frame.videoBase64 = "AAAAAWdCwB6Mjw==";
    frame.videoCodec = "h264-annexb";
    frame.isKeyFrame = false;
    return frame;
}
ScreenFrameMessage jpegFrame() {
    auto frame = baseFrame();
    frame.imageBase64 = "/9j/4AAQSkZJRgABAQ==";
    frame.imageMimeType = "image/jpeg";
    return frame;
}
ScreenFrameMessage capturedWithoutPayload() {
    auto frame = baseFrame();
    frame.imageMimeType = "image/jpeg";
    return frame;
}
ScreenFrameMessage nothingCaptured() {
    auto frame = baseFrame();
    frame.cursor = CursorPoint{0, 0, false, std::nullopt};
    frame.subtitle = "Autorisez l'enregistrement de l'écran";
    return frame;
}

class ProtocolFramePayloads : public testing::TestWithParam<PayloadCase> {};

TEST_P(ProtocolFramePayloads, WritesOnlyPresentKeysAndReadsBack) {
    const auto encoded = encodeScreenFrameMessage(GetParam().frame);
    ASSERT_TRUE(encoded.value.has_value()) << encoded.error;
    const std::string& text = *encoded.value;
    EXPECT_EQ(text.find("null"), std::string::npos) << text;
    EXPECT_EQ(text.find('\n'), std::string::npos) << text;

    // nlohmann as an independent reader of the bytes.
    const json object = json::parse(text);
    std::set<std::string> expected = {"kind",  "sequence", "sentAt", "width",  "height",
                                      "title", "subtitle", "cursor", "windows"};
    expected.insert(GetParam().optionalKeys.begin(), GetParam().optionalKeys.end());
    EXPECT_EQ(keysOf(object), expected);
    EXPECT_EQ(object["kind"], "frame");
    EXPECT_EQ(object["windows"], json::array());
    EXPECT_EQ(keysOf(object["cursor"]).count("kind"), GetParam().frame.cursor.kind ? 1u : 0u);

    const auto decoded = decodeScreenFrameMessage(text);
    ASSERT_TRUE(decoded.value.has_value()) << decoded.error;
    EXPECT_EQ(*decoded.value, GetParam().frame);
}

INSTANTIATE_TEST_SUITE_P(
    Protocol, ProtocolFramePayloads,
    testing::Values(
        PayloadCase{
            "Video", videoFrame(), {"imageMimeType", "videoBase64", "videoCodec", "isKeyFrame"}},
        PayloadCase{"Jpeg", jpegFrame(), {"imageBase64", "imageMimeType"}},
        PayloadCase{"CapturedWithoutPayload", capturedWithoutPayload(), {"imageMimeType"}},
        PayloadCase{"NothingCaptured", nothingCaptured(), {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ProtocolFrameEncode, PictureLessFrameHasNoPayloadKeysAtAll) {
    const auto encoded = encodeScreenFrameMessage(nothingCaptured());
    ASSERT_TRUE(encoded.value.has_value()) << encoded.error;
    for (const char* absent :
         {"imageBase64", "videoBase64", "videoCodec", "isKeyFrame", "imageMimeType", "null"}) {
        EXPECT_EQ(encoded.value->find(absent), std::string::npos) << absent;
    }
}

// ---- frames: non-finite numbers ------------------------------------------------------

struct NonFiniteCase {
    const char* name;
    ScreenFrameMessage frame;
    std::string reason;
};

template <typename Change> ScreenFrameMessage changed(Change change) {
    auto frame = jpegFrame();
    frame.windows = {WindowCard{"a", "b", 0, 0, 10, 10, "#ff0000"},
                     WindowCard{"c", "d", 1, 2, 3, 4, "#00ff00"}};
    change(frame);
    return frame;
}

class ProtocolFrameNonFinite : public testing::TestWithParam<NonFiniteCase> {};

TEST_P(ProtocolFrameNonFinite, FailsNamingTheKey) {
    const auto encoded = encodeScreenFrameMessage(GetParam().frame);
    EXPECT_FALSE(encoded.value.has_value());
    EXPECT_EQ(encoded.error, GetParam().reason);

    std::string buffer = "earlier bytes";
    const auto reason = appendScreenFrameMessage(buffer, GetParam().frame);
    EXPECT_EQ(reason, GetParam().reason);
    EXPECT_EQ(buffer, "earlier bytes");
}

INSTANTIATE_TEST_SUITE_P(
    Protocol, ProtocolFrameNonFinite,
    testing::Values(NonFiniteCase{"NaNWidth", changed([](auto& f) { f.width = kNaN; }),
                                  "nombre non fini pour width"},
                    NonFiniteCase{"InfiniteHeight", changed([](auto& f) { f.height = kInf; }),
                                  "nombre non fini pour height"},
                    NonFiniteCase{"MinusInfiniteSentAt", changed([](auto& f) { f.sentAt = -kInf; }),
                                  "nombre non fini pour sentAt"},
                    NonFiniteCase{"NaNCursorX", changed([](auto& f) { f.cursor.x = kNaN; }),
                                  "nombre non fini pour cursor.x"},
                    NonFiniteCase{"InfiniteCursorY", changed([](auto& f) { f.cursor.y = kInf; }),
                                  "nombre non fini pour cursor.y"},
                    NonFiniteCase{"NaNSecondWindowHeight",
                                  changed([](auto& f) { f.windows[1].height = kNaN; }),
                                  "nombre non fini pour windows[1].height"},
                    NonFiniteCase{"InfiniteFirstWindowX",
                                  changed([](auto& f) { f.windows[0].x = -kInf; }),
                                  "nombre non fini pour windows[0].x"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ProtocolFrameEncode, AppendsAfterExistingBytesAndLeavesRoomForLineFeed) {
    std::string buffer = "previous\n";
    ASSERT_EQ(appendScreenFrameMessage(buffer, videoFrame()), std::nullopt);
    ASSERT_EQ(buffer.substr(0, 9), "previous\n");
    const auto decoded = decodeScreenFrameMessage(std::string_view(buffer).substr(9));
    ASSERT_TRUE(decoded.value.has_value()) << decoded.error;
    EXPECT_EQ(*decoded.value, videoFrame());

    const auto encoded = encodeScreenFrameMessage(videoFrame());
    ASSERT_TRUE(encoded.value.has_value());
    EXPECT_GT(encoded.value->capacity(), encoded.value->size());
}

// ---- frames: strings and numbers survive the writer -------------------------------------

struct RoundTripCase {
    const char* name;
    ScreenFrameMessage frame;
};

class ProtocolFrameRoundTrip : public testing::TestWithParam<RoundTripCase> {};

TEST_P(ProtocolFrameRoundTrip, ReadsBackEqual) {
    const auto encoded = encodeScreenFrameMessage(GetParam().frame);
    ASSERT_TRUE(encoded.value.has_value()) << encoded.error;
    EXPECT_EQ(encoded.value->find('\n'), std::string::npos);
    const auto decoded = decodeScreenFrameMessage(*encoded.value);
    ASSERT_TRUE(decoded.value.has_value()) << decoded.error << "\n" << *encoded.value;
    EXPECT_EQ(*decoded.value, GetParam().frame) << *encoded.value;
}

std::string allControlCharacters() {
    std::string text;
    for (int c = 0; c < 0x20; ++c) {
        text += static_cast<char>(c);
    }
    return text + "\x7F";
}

INSTANTIATE_TEST_SUITE_P(
    Protocol, ProtocolFrameRoundTrip,
    testing::Values(RoundTripCase{"QuotesAndBackslashes", changed([](auto& f) {
                                      f.title = R"(say "hi" \ C:\path\ "")";
                                      f.subtitle = "\\\"\\";
                                  })},
                    RoundTripCase{"LineBreaksAndTabs", changed([](auto& f) {
                                      f.title = "line one\nline two\r\n\tindented\n";
                                      f.subtitle = "\n";
                                  })},
                    RoundTripCase{"EveryControlCharacter", changed([](auto& f) {
                                      f.title = allControlCharacters();
                                      f.windows[0].detail = "x" + allControlCharacters() + "y";
                                  })},
                    RoundTripCase{"NonAsciiUtf8", changed([](auto& f) {
                                      f.title =
                                          "Écran « virtuel » — 日本語 \xF0\x9F\x96\xA5\xEF\xB8\x8F";
                                      f.subtitle =
                                          "\xE2\x80\xA8 line separator, U+10FFFF \xF4\x8F\xBF\xBF";
                                      f.windows[1].title = "café";
                                  })},
                    RoundTripCase{"SlashesAndEmpty", changed([](auto& f) {
                                      f.title = "";
                                      f.subtitle = "a/b//c </script>";
                                      f.cursor.kind = "";
                                  })},
                    RoundTripCase{"ExtremeNumbers", changed([](auto& f) {
                                      f.sequence = std::numeric_limits<std::int64_t>::max();
                                      f.sentAt = 0.1;
                                      f.width = 1e300;
                                      f.height = 5e-324;
                                      f.cursor.x = -0.0;
                                      f.cursor.y = -123.456;
                                      f.windows[0].width = std::numeric_limits<double>::max();
                                      f.windows[0].height = std::numeric_limits<double>::min();
                                  })},
                    RoundTripCase{"NegativeSequenceAndWholeTimes", changed([](auto& f) {
                                      f.sequence = std::numeric_limits<std::int64_t>::min();
                                      f.sentAt = 1700000000.0;
                                  })},
                    RoundTripCase{"KeyFrameTrueAndInvisibleCursor", changed([](auto& f) {
                                      f.imageBase64.reset();
                                      f.videoBase64 = "AAAAAWdC";
                                      f.videoCodec = "hevc-annexb";
                                      f.isKeyFrame = true;
                                      f.cursor.visible = false;
                                      f.cursor.kind.reset();
                                  })},
                    RoundTripCase{"PayloadWithCharactersNeedingEscapes", changed([](auto& f) {
                                      // Not Base64, but the writer must not trust that it is.
                                      f.imageBase64 = std::string(37, 'A') + "\"\\\n" +
                                                      std::string(5, 'B') + "\x01" + "é";
                                  })}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ProtocolWriterText, EscapedByteAtEveryPositionOfAWord) {
    // The writer copies plain ASCII eight bytes at a time: a byte needing an
    // escape must be caught wherever it falls inside or across those words.
    const std::vector<std::string> awkwardBytes = {
        "\"",   "\\",       "\n",           std::string(1, '\0'),
        "\x1F", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80"};
    for (const auto& awkward : awkwardBytes) {
        for (std::size_t before = 0; before < 20; ++before) {
            for (std::size_t after : {0u, 1u, 7u, 8u, 9u}) {
                auto frame = baseFrame();
                frame.title = std::string(before, 'a') + awkward + std::string(after, 'z');
                const auto encoded = encodeScreenFrameMessage(frame);
                ASSERT_TRUE(encoded.value.has_value());
                const json object = json::parse(*encoded.value);
                ASSERT_EQ(object["title"].get<std::string>(), frame.title)
                    << before << " " << after << " " << *encoded.value;
            }
        }
    }
}

TEST(ProtocolWriterText, RandomUtf8StringsReadBackEqual) {
    std::mt19937 random(11);
    std::uniform_int_distribution<int> length(0, 40);
    std::uniform_int_distribution<std::uint32_t> plane(0, 3);
    for (int i = 0; i < 2000; ++i) {
        std::u32string codePoints;
        const int n = length(random);
        for (int k = 0; k < n; ++k) {
            static constexpr std::uint32_t limits[] = {0x80, 0x800, 0x10000, 0x110000};
            std::uint32_t cp =
                std::uniform_int_distribution<std::uint32_t>(0, limits[plane(random)] - 1)(random);
            if (cp >= 0xD800 && cp <= 0xDFFF) {
                cp = '?';
            }
            codePoints += static_cast<char32_t>(cp);
        }
        // Encode as UTF-8 by hand (std has no non-deprecated converter).
        std::string utf8;
        for (char32_t cp : codePoints) {
            if (cp < 0x80) {
                utf8 += static_cast<char>(cp);
            } else if (cp < 0x800) {
                utf8 += static_cast<char>(0xC0 | (cp >> 6));
                utf8 += static_cast<char>(0x80 | (cp & 0x3F));
            } else if (cp < 0x10000) {
                utf8 += static_cast<char>(0xE0 | (cp >> 12));
                utf8 += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
                utf8 += static_cast<char>(0x80 | (cp & 0x3F));
            } else {
                utf8 += static_cast<char>(0xF0 | (cp >> 18));
                utf8 += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
                utf8 += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
                utf8 += static_cast<char>(0x80 | (cp & 0x3F));
            }
        }
        auto frame = baseFrame();
        frame.title = utf8;
        const auto encoded = encodeScreenFrameMessage(frame);
        ASSERT_TRUE(encoded.value.has_value());
        const auto decoded = decodeScreenFrameMessage(*encoded.value);
        ASSERT_TRUE(decoded.value.has_value()) << decoded.error;
        ASSERT_EQ(decoded.value->title, utf8);
    }
}

struct InvalidUtf8Case {
    const char* name;
    std::string written;
    std::string readBack;
};

class ProtocolInvalidUtf8 : public testing::TestWithParam<InvalidUtf8Case> {};

TEST_P(ProtocolInvalidUtf8, BecomesReplacementCharacters) {
    auto frame = baseFrame();
    frame.subtitle = GetParam().written;
    const auto encoded = encodeScreenFrameMessage(frame);
    ASSERT_TRUE(encoded.value.has_value()) << encoded.error;
    // nlohmann refuses ill-formed UTF-8, so parsing at all proves the line is clean.
    const json object = json::parse(*encoded.value);
    EXPECT_EQ(object["subtitle"].get<std::string>(), GetParam().readBack);
}

#define FFFD "\xEF\xBF\xBD"
INSTANTIATE_TEST_SUITE_P(
    Protocol, ProtocolInvalidUtf8,
    testing::Values(InvalidUtf8Case{"LoneContinuation", "a\x80z", "a" FFFD "z"},
                    InvalidUtf8Case{"InvalidLead", "\xFF\xFE", FFFD FFFD},
                    InvalidUtf8Case{"TruncatedAtEnd", "ab\xE2\x82", "ab" FFFD},
                    InvalidUtf8Case{"TruncatedBeforeAscii", "\xF0\x9F\x98z", FFFD "z"},
                    InvalidUtf8Case{"Overlong", "\xC0\xAF", FFFD FFFD},
                    InvalidUtf8Case{"OverlongThreeBytes", "\xE0\x80\xAF", FFFD FFFD FFFD},
                    InvalidUtf8Case{"Surrogate", "\xED\xA0\x80", FFFD FFFD FFFD},
                    InvalidUtf8Case{"AboveUnicode", "\xF4\x90\x80\x80", FFFD FFFD FFFD FFFD},
                    InvalidUtf8Case{"ValidAroundInvalid", "é\xC3(é", "é" FFFD "(é"}),
    [](const auto& info) { return std::string(info.param.name); });
#undef FFFD

TEST(ProtocolWriterText, LargeBase64PayloadSurvives) {
    std::mt19937 random(3);
    std::vector<std::uint8_t> picture(300 * 1024 + 1);
    for (auto& byte : picture) {
        byte = static_cast<std::uint8_t>(random());
    }
    auto frame = jpegFrame();
    frame.imageBase64 = encodeBase64(picture);
    const auto encoded = encodeScreenFrameMessage(frame);
    ASSERT_TRUE(encoded.value.has_value());
    const auto decoded = decodeScreenFrameMessage(*encoded.value);
    ASSERT_TRUE(decoded.value.has_value()) << decoded.error;
    ASSERT_TRUE(decoded.value->imageBase64.has_value());
    EXPECT_EQ(decodeBase64(*decoded.value->imageBase64), picture);
}

// ---- frames as a client reads them ------------------------------------------------

class ProtocolFrameRefused : public testing::TestWithParam<RefusedLine> {};

TEST_P(ProtocolFrameRefused, ReportsReason) {
    const auto decoded = decodeScreenFrameMessage(GetParam().line);
    EXPECT_FALSE(decoded.value.has_value());
    EXPECT_EQ(decoded.error, GetParam().reason);
}

const std::string kFrameHead =
    R"({"kind":"frame","sequence":3,"sentAt":1.5,"width":10,"height":20,"title":"t",)"
    R"("subtitle":"s")";
const std::string kCursor = R"("cursor":{"x":1,"y":2,"visible":true})";
const std::string kCard =
    R"({"title":"a","detail":"b","x":0,"y":0,"width":1,"height":1,"accentHex":"#fff"})";

INSTANTIATE_TEST_SUITE_P(
    Protocol, ProtocolFrameRefused,
    testing::Values(
        RefusedLine{"MissingKind",
                    R"({"sequence":3,"sentAt":1.5,"width":10,"height":20,"title":"t",)"
                    R"("subtitle":"s",)" +
                        kCursor + R"(,"windows":[]})",
                    "clé manquante: kind"},
        RefusedLine{"MissingWindows", kFrameHead + "," + kCursor + "}", "clé manquante: windows"},
        RefusedLine{"MissingCursor", kFrameHead + R"(,"windows":[]})", "clé manquante: cursor"},
        RefusedLine{"CursorNotObject", kFrameHead + R"(,"cursor":[1,2],"windows":[]})",
                    "type incorrect pour cursor (objet attendu)"},
        RefusedLine{"CursorWithoutVisible", kFrameHead + R"(,"cursor":{"x":1,"y":2},"windows":[]})",
                    "clé manquante: cursor.visible"},
        RefusedLine{"VisibleAsNumber",
                    kFrameHead + R"(,"cursor":{"x":1,"y":2,"visible":1},"windows":[]})",
                    "type incorrect pour cursor.visible (booléen attendu)"},
        RefusedLine{"WindowsNotArray", kFrameHead + "," + kCursor + R"(,"windows":{}})",
                    "type incorrect pour windows (tableau attendu)"},
        RefusedLine{"WindowNotObject",
                    kFrameHead + "," + kCursor + R"(,"windows":[)" + kCard + ",7]}",
                    "type incorrect pour windows[1] (objet attendu)"},
        RefusedLine{"WindowWithoutAccent",
                    kFrameHead + "," + kCursor +
                        R"(,"windows":[{"title":"a","detail":"b","x":0,"y":0,"width":1,)"
                        R"("height":1}]})",
                    "clé manquante: windows[0].accentHex"},
        RefusedLine{"FractionalSequence",
                    R"({"kind":"frame","sequence":3.5,"sentAt":1.5,"width":10,"height":20,)"
                    R"("title":"t","subtitle":"s",)" +
                        kCursor + R"(,"windows":[]})",
                    "sequence doit être un entier"},
        RefusedLine{"KeyFrameAsString",
                    kFrameHead + R"(,"isKeyFrame":"yes",)" + kCursor + R"(,"windows":[]})",
                    "type incorrect pour isKeyFrame (booléen attendu)"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ProtocolFrameDecode, NullOptionalsAndUnknownKeysAndCards) {
    const std::string line = kFrameHead +
                             R"(,"imageBase64":null,"videoBase64":null,"videoCodec":null,)"
                             R"("isKeyFrame":null,"imageMimeType":null,"future":{"x":1},)"
                             R"("cursor":{"x":1,"y":2,"visible":false,"kind":null},"windows":[)" +
                             kCard + "]}";
    const auto decoded = decodeScreenFrameMessage(line);
    ASSERT_TRUE(decoded.value.has_value()) << decoded.error;
    ScreenFrameMessage expected;
    expected.sequence = 3;
    expected.sentAt = 1.5;
    expected.width = 10;
    expected.height = 20;
    expected.title = "t";
    expected.subtitle = "s";
    expected.cursor = CursorPoint{1, 2, false, std::nullopt};
    expected.windows = {WindowCard{"a", "b", 0, 0, 1, 1, "#fff"}};
    EXPECT_EQ(*decoded.value, expected);
}

// ---- input messages written by a client ----------------------------------------------

TEST(ProtocolInputEncode, RoundTripsAndLeavesOutAbsentOptionals) {
    auto full = withStats(
        withViewport(gesture("stats", 1700000000.125, "x\"y", 0.25, 1, -3, 4.5), 390, 844.25), -7,
        60);
    auto bare = gesture("input", 0.1, "drag", 0.999, 0);
    for (const auto& message : {full, bare}) {
        const auto encoded = encodeInputEventMessage(message);
        ASSERT_TRUE(encoded.value.has_value()) << encoded.error;
        const auto decoded = decodeInputEventMessage(*encoded.value);
        ASSERT_TRUE(decoded.value.has_value()) << decoded.error;
        EXPECT_EQ(*decoded.value, message) << shown(*decoded.value);
    }
    const json bareObject = json::parse(*encodeInputEventMessage(bare).value);
    EXPECT_EQ(keysOf(bareObject),
              (std::set<std::string>{"kind", "sentAt", "phase", "x", "y", "dx", "dy"}));
}

TEST(ProtocolInputEncode, NonFiniteFailsNamingTheKey) {
    auto message = gesture("input", 1, "tap", 0, 0, kNaN, 0);
    EXPECT_EQ(encodeInputEventMessage(message).error, "nombre non fini pour dx");
    message.dx = 0;
    message.viewportHeight = kInf;
    EXPECT_EQ(encodeInputEventMessage(message).error, "nombre non fini pour viewportHeight");
    EXPECT_FALSE(encodeInputEventMessage(message).value.has_value());
}

TEST(ProtocolNestedRecords, CursorAndCardRoundTripOnTheirOwn) {
    for (const auto& cursor : {CursorPoint{1.5, -2, true, "arrow"}, CursorPoint{}}) {
        const auto encoded = encodeCursorPoint(cursor);
        ASSERT_TRUE(encoded.value.has_value());
        EXPECT_EQ(decodeCursorPoint(*encoded.value).value, cursor);
    }
    const WindowCard card{"Terminal", "~/src \"q\"", 10, 20, 640.5, 480, "#1e90ff"};
    const auto encoded = encodeWindowCard(card);
    ASSERT_TRUE(encoded.value.has_value());
    EXPECT_EQ(decodeWindowCard(*encoded.value).value, card);
    EXPECT_EQ(encodeCursorPoint(CursorPoint{kNaN, 0, true, {}}).error, "nombre non fini pour x");
    EXPECT_EQ(encodeWindowCard(WindowCard{"a", "b", 0, 0, kInf, 0, "#000"}).error,
              "nombre non fini pour width");
    EXPECT_EQ(decodeWindowCard(R"({"title":"a"})").error, "clé manquante: detail");
}

} // namespace
} // namespace quorvi
