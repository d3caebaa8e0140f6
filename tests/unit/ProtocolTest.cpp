// The wire format both ways, and the Base64 the pictures travel in.
#include "protocol/Base64.h"
#include "protocol/JsonCodec.h"

#include <gtest/gtest.h>
#include <limits>
#include <nlohmann/json.hpp>
#include <set>

namespace quorvi {
namespace {

using nlohmann::json;
using namespace std::string_literals;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::int64_t kMax64 = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin64 = std::numeric_limits<std::int64_t>::min();

std::set<std::string> keysOf(const json& object) {
    std::set<std::string> keys;
    for (const auto& item : object.items()) {
        keys.insert(item.key());
    }
    return keys;
}

const std::string kTapKeys = R"("sentAt":1,"phase":"tap","x":0.5,"y":0.5,"dx":0,"dy":0)";
const std::string kTapLine = "{" + kTapKeys + "}";
const std::string kStatsTap = R"({"kind":"stats",)" + kTapKeys;
const InputEventMessage kTap{.sentAt = 1, .phase = "tap", .x = 0.5, .y = 0.5};

InputEventMessage statsTap(std::optional<std::int64_t> latency, std::optional<std::int64_t> fps) {
    return {"stats", 1, "tap", 0.5, 0.5, 0, 0, {}, {}, latency, fps};
}

TEST(ProtocolInput, AcceptedLinesDecodeToTheirRecord) {
    const std::pair<std::string, InputEventMessage> rows[] = {
        {kTapLine, kTap}, // no kind: an input
        {R"({"kind":null,"viewportWidth":null,"viewportHeight":null,"latencyMs":null,)"
         R"("displayedFPS":null,)" +
             kTapKeys + "}",
         kTap},
        {R"({"pressure":0.7,"Phase":"drag","extra":{"a":[1,null,"x"]},)" + kTapKeys + "}", kTap},
        {kTapLine + "\r", kTap},
        {R"({"kind":"viewport","sentAt":1,"phase":"","x":0,"y":0,"dx":0,"dy":0,)"
         R"("viewportWidth":390,"viewportHeight":844.5})",
         {.kind = "viewport", .sentAt = 1, .viewportWidth = 390.0, .viewportHeight = 844.5}},
        {kStatsTap + R"(,"latencyMs":12.0,"displayedFPS":3e1})", statsTap(12, 30)},
        {kStatsTap + R"(,"latencyMs":9223372036854775807,"displayedFPS":-9223372036854775808})",
         statsTap(kMax64, kMin64)},
        {kStatsTap + R"(,"latencyMs":-9007199254740992.0})", statsTap(-9007199254740992, {})},
        {R"({"kind":"g\u00e9ste","sentAt":1,"phase":"t\"a\\p\n","x":0,"y":0,"dx":0,"dy":0})",
         {.kind = "g\xC3\xA9ste", .sentAt = 1, .phase = "t\"a\\p\n"}},
    };
    for (const auto& [line, expected] : rows) {
        const auto decoded = decodeInputEventMessage(line);
        EXPECT_EQ(decoded.value, expected) << line << ": " << decoded.error;
    }
}

// Where the parser stopped is the library's business: only the kind of
// failure is pinned for text that is not JSON at all.
const std::string kNotJson = "JSON invalide à l'octet ";

template <typename Decode>
void expectRefusals(const std::vector<std::pair<std::string, std::string>>& rows, Decode decode) {
    for (const auto& [line, reason] : rows) {
        const auto decoded = decode(line);
        EXPECT_FALSE(decoded.value.has_value()) << line;
        if (reason == kNotJson) {
            EXPECT_EQ(decoded.error.rfind(kNotJson, 0), 0u) << line << ": " << decoded.error;
        } else {
            EXPECT_EQ(decoded.error, reason) << line;
        }
    }
}

TEST(ProtocolInput, RefusedLinesReportTheirReason) {
    const std::string stats = R"({"kind":"stats","sentAt":1,"x":0,"y":0,"dx":0,"dy":0)";
    const std::string latency = "{" + kTapKeys + R"(,"latencyMs":)";
    const std::string range = "latencyMs hors limites (entier 64 bits attendu)";
    const std::string notObject = "le message n'est pas un objet JSON";
    expectRefusals(
        {
            {stats + R"(,"latencyMs":12,"displayedFPS":30})", "clé manquante: phase"},
            {stats + R"(,"phase":null})", "clé manquante: phase"},
            {R"({"phase":"tap","x":0,"y":0,"dx":0,"dy":0})", "clé manquante: sentAt"},
            {R"({"sentAt":1,"phase":"tap","X":0,"y":0,"dx":0,"dy":0})", "clé manquante: x"},
            {latency + "12.5}", "latencyMs doit être un entier"},
            {"{" + kTapKeys + R"(,"displayedFPS":29.97})", "displayedFPS doit être un entier"},
            {latency + "9223372036854775808}", range},
            {latency + "-9223372036854775809}", range}, // reads as a double equal to INT64_MIN
            {latency + "1e18}", range}, // whole, but beyond the exact range of a double
            {"{" + kTapKeys + R"(,"viewportWidth":1e400})", "JSON invalide: nombre hors limites"},
            {latency + R"("12"})", "type incorrect pour latencyMs (entier attendu)"},
            {R"({"sentAt":1,"phase":"tap","x":"0.5","y":0,"dx":0,"dy":0})",
             "type incorrect pour x (nombre attendu)"},
            {R"({"sentAt":1,"phase":3,"x":0,"y":0,"dx":0,"dy":0})",
             "type incorrect pour phase (chaîne attendue)"},
            {R"({"kind":1,)" + kTapKeys + "}", "type incorrect pour kind (chaîne attendue)"},
            {"{" + kTapKeys + R"(,"viewportHeight":[844]})",
             "type incorrect pour viewportHeight (nombre attendu)"},
            {"[" + kTapLine + "]", notObject},
            {"null", notObject},
            {"", kNotJson},
            {"\r", kNotJson},
            {R"({"a":1}{"b":2})", kNotJson},
            {"{\"phase\":\"t\xFFp\"}", kNotJson},
        },
        decodeInputEventMessage);
}

ScreenFrameMessage baseFrame() {
    // Nothing captured: no payload, no pointer.
    return {"frame", 1, 1700000000.5, 1920, 1200, "Écran principal", "1920 × 1200"};
}

template <typename Change> ScreenFrameMessage changed(Change change) {
    auto frame = baseFrame();
    frame.imageBase64 = "/9j/4AAQSkZJRgABAQ==";
    frame.imageMimeType = "image/jpeg";
    frame.cursor = CursorPoint{960, 600, true, "arrow"};
    frame.windows = {WindowCard{"a", "b", 0, 0, 10, 10, "#ff0000"},
                     WindowCard{"c", "d", 1, 2, 3, 4, "#00ff00"}};
    change(frame);
    return frame;
}

TEST(ProtocolFrame, WritesExactlyThePresentKeysAndReadsBackEqual) {
    const std::set<std::string> always = {"kind",  "sequence", "sentAt", "width",  "height",
                                          "title", "subtitle", "cursor", "windows"};
    const std::set<std::string> jpeg = {"imageBase64", "imageMimeType"};
    const std::pair<ScreenFrameMessage, std::set<std::string>> rows[] = {
        {changed([](auto& f) {
             f.imageBase64.reset();
             f.videoBase64 = "AAAAAWdCwB6Mjw==";
             f.videoCodec = "h264-annexb";
             f.isKeyFrame = false;
             f.title = R"(say "hi" \ C:\path\ "")";
             f.subtitle = "line one\nline two\r\n\tindented\n";
             f.windows[0].detail = "\0\x01\x02\x03\x04\x05\x06\a\b\t\n\v\f\r\x0E\x0F\x10\x11\x12"
                                   "\x13\x14\x15\x16\x17\x18\x19\x1A\x1B\x1C\x1D\x1E\x1F\x7F"s;
             f.cursor.kind = "";
         }),
         {"imageMimeType", "videoBase64", "videoCodec", "isKeyFrame"}},
        {changed([](auto& f) {
             f.sequence = kMax64;
             f.sentAt = 0.1;
             f.width = 1e300;
             f.height = 5e-324;
             f.cursor.x = -0.0;
             f.cursor.y = -123.456;
             f.windows[0].width = std::numeric_limits<double>::max();
             f.windows[0].height = std::numeric_limits<double>::min();
             f.windows[1].title = "";
         }),
         jpeg},
        // Not Base64, but the writer must not trust that it is.
        {changed([](auto& f) { f.imageBase64 = std::string(37, 'A') + "\"\\\n\x01" + "é"; }), jpeg},
        {changed([](auto& f) {
             f.sequence = kMin64;
             f.sentAt = 1700000000.0;
             f.imageBase64.reset(); // captured, but without a picture to send
             f.cursor = CursorPoint{1, 2, false, std::nullopt};
         }),
         {"imageMimeType"}},
        {baseFrame(), {}},
    };
    for (auto [frame, keys] : rows) {
        // Appended after what the send buffer already holds.
        std::string buffer = "earlier\n";
        ASSERT_EQ(appendScreenFrameMessage(buffer, frame), std::nullopt);
        ASSERT_EQ(buffer.substr(0, 8), "earlier\n");
        const std::string text = buffer.substr(8);
        EXPECT_EQ(text.find("null"), std::string::npos) << text;
        EXPECT_EQ(text.find('\n'), std::string::npos) << text;
        // nlohmann reads the bytes independently of the writer.
        const json object = json::parse(text);
        keys.insert(always.begin(), always.end());
        EXPECT_EQ(keysOf(object), keys) << text;
        EXPECT_EQ(object["kind"], "frame");
        EXPECT_EQ(keysOf(object["cursor"]).count("kind"), frame.cursor.kind ? 1u : 0u);
        EXPECT_EQ(decodeScreenFrameMessage(text).value, frame) << text;
    }
}

TEST(ProtocolFrame, NonFiniteNumbersFailNamingTheKeyAndLeaveTheBufferAlone) {
    const std::pair<ScreenFrameMessage, const char*> rows[] = {
        {changed([](auto& f) { f.width = kNaN; }), "width"},
        {changed([](auto& f) { f.height = kInf; }), "height"},
        {changed([](auto& f) { f.sentAt = -kInf; }), "sentAt"},
        {changed([](auto& f) { f.cursor.x = kNaN; }), "cursor.x"},
        {changed([](auto& f) { f.cursor.y = kInf; }), "cursor.y"},
        {changed([](auto& f) { f.windows[1].height = kNaN; }), "windows[1].height"},
        {changed([](auto& f) { f.windows[0].x = -kInf; }), "windows[0].x"},
    };
    for (const auto& [frame, key] : rows) {
        const std::string reason = "nombre non fini pour "s + key;
        std::string buffer = "earlier bytes";
        EXPECT_EQ(appendScreenFrameMessage(buffer, frame), reason);
        EXPECT_EQ(buffer, "earlier bytes");
    }
}

TEST(ProtocolFrameRoundTrip, AnyStringIsWrittenAsCleanJson) {
    // Written, then read back: invalid UTF-8 becomes U+FFFD.
#define FFFD "\xEF\xBF\xBD"
    std::vector<std::pair<std::string, std::string>> rows = {
        {"a\x80z", "a" FFFD "z"},                  // lone continuation byte
        {"\xFF\xFE", FFFD FFFD},                   // invalid leads
        {"ab\xE2\x82", "ab" FFFD},                 // truncated at the end
        {"\xF0\x9F\x98z", FFFD "z"},               // truncated before ASCII
        {"\xC0\xAF", FFFD FFFD},                   // overlong
        {"\xE0\x80\xAF", FFFD FFFD FFFD},          // overlong, three bytes
        {"\xED\xA0\x80", FFFD FFFD FFFD},          // surrogate
        {"\xF4\x90\x80\x80", FFFD FFFD FFFD FFFD}, // above U+10FFFF
        {"é\xC3(é", "é" FFFD "(é"},
        // Valid as it is: U+2028, U+10FFFF, a pictograph with its selector.
        {"\xE2\x80\xA8 \xF4\x8F\xBF\xBF </script> \xF0\x9F\x96\xA5\xEF\xB8\x8F",
         "\xE2\x80\xA8 \xF4\x8F\xBF\xBF </script> \xF0\x9F\x96\xA5\xEF\xB8\x8F"}};
#undef FFFD
    // The writer copies plain ASCII eight bytes at a time: a byte needing an
    // escape must be caught wherever it falls inside or across those words.
    for (const auto& piece :
         {"\""s, "\\"s, "\n"s, "\0"s, "\x1F"s, "\xC3\xA9"s, "\xE2\x82\xAC"s, "\xF0\x9F\x98\x80"s}) {
        for (std::size_t before = 0; before < 20; ++before) {
            for (std::size_t after : {0u, 1u, 7u, 8u, 9u}) {
                const std::string text = std::string(before, 'a') + piece + std::string(after, 'z');
                rows.emplace_back(text, text);
            }
        }
    }
    rows.emplace_back(std::string(400 * 1024, 'B'), std::string(400 * 1024, 'B')); // a picture
    for (const auto& [written, readBack] : rows) {
        auto frame = baseFrame();
        frame.title = written;
        const auto encoded = encodeScreenFrameMessage(frame);
        ASSERT_TRUE(encoded.value.has_value()) << encoded.error;
        // nlohmann refuses ill-formed UTF-8: parsing at all proves the line is clean.
        ASSERT_EQ(json::parse(*encoded.value)["title"].get<std::string>(), readBack) << written;
    }
}

const std::string kHead = R"("sequence":3,"sentAt":1.5,"width":10,"height":20,"title":"t",)"
                          R"("subtitle":"s")";
const std::string kFrameHead = R"({"kind":"frame",)" + kHead;
const std::string kCursor = R"("cursor":{"x":1,"y":2,"visible":true})";
const std::string kCard =
    R"({"title":"a","detail":"b","x":0,"y":0,"width":1,"height":1,"accentHex":"#fff"})";

TEST(ProtocolFrameDecode, RefusedFramesReportTheirReason) {
    const std::string head = kFrameHead + ",";
    const std::string withCursor = head + kCursor;
    expectRefusals(
        {
            {"{" + kHead + "," + kCursor + R"(,"windows":[]})", "clé manquante: kind"},
            {head + R"("windows":[]})", "clé manquante: cursor"},
            {head + R"("cursor":[1,2],"windows":[]})",
             "type incorrect pour cursor (objet attendu)"},
            {head + R"("cursor":{"x":1,"y":2},"windows":[]})", "clé manquante: cursor.visible"},
            {head + R"("cursor":{"x":1,"y":2,"visible":1},"windows":[]})",
             "type incorrect pour cursor.visible (booléen attendu)"},
            {withCursor + R"(,"windows":{}})", "type incorrect pour windows (tableau attendu)"},
            {withCursor + R"(,"windows":[)" + kCard + ",7]}",
             "type incorrect pour windows[1] (objet attendu)"},
            {withCursor + R"(,"windows":[{"title":"a","detail":"b","x":0,"y":0,"width":1,)"
                          R"("height":1}]})",
             "clé manquante: windows[0].accentHex"},
            {R"({"kind":"frame","sequence":3.5,"sentAt":1.5,"width":10,"height":20,"title":"t",)"
             R"("subtitle":"s",)" +
                 kCursor + R"(,"windows":[]})",
             "sequence doit être un entier"},
            {head + R"("isKeyFrame":"yes",)" + kCursor + R"(,"windows":[]})",
             "type incorrect pour isKeyFrame (booléen attendu)"},
        },
        decodeScreenFrameMessage);
}

TEST(ProtocolFrameDecode, NullOptionalsAndUnknownKeysAndCards) {
    const std::string line = kFrameHead +
                             R"(,"imageBase64":null,"videoBase64":null,"videoCodec":null,)"
                             R"("isKeyFrame":null,"imageMimeType":null,"future":{"x":1},)"
                             R"("cursor":{"x":1,"y":2,"visible":false,"kind":null},"windows":[)" +
                             kCard + "]}";
    const ScreenFrameMessage expected{"frame",
                                      3,
                                      1.5,
                                      10,
                                      20,
                                      "t",
                                      "s",
                                      {},
                                      {},
                                      {},
                                      {},
                                      {},
                                      CursorPoint{1, 2, false, std::nullopt},
                                      {WindowCard{"a", "b", 0, 0, 1, 1, "#fff"}}};
    EXPECT_EQ(decodeScreenFrameMessage(line).value, expected);
}

TEST(ProtocolInputEncode, RoundTripsWithExactKeysAndRefusesNonFinite) {
    InputEventMessage full{"stats", 1700000000.125, "x\"y", 0.25, 1, -3, 4.5, 390, 844.25, -7, 60};
    const InputEventMessage bare{.sentAt = 0.1, .phase = "drag", .x = 0.999};
    for (const auto& message : {full, bare}) {
        const auto encoded = encodeInputEventMessage(message);
        ASSERT_TRUE(encoded.value.has_value()) << encoded.error;
        EXPECT_EQ(decodeInputEventMessage(*encoded.value).value, message) << *encoded.value;
    }
    EXPECT_EQ(keysOf(json::parse(*encodeInputEventMessage(bare).value)),
              (std::set<std::string>{"kind", "sentAt", "phase", "x", "y", "dx", "dy"}));
    EXPECT_EQ(keysOf(json::parse(*encodeInputEventMessage(full).value)).size(), 11u);

    full.dx = kNaN;
    EXPECT_EQ(encodeInputEventMessage(full).error, "nombre non fini pour dx");
    full.dx = 0;
    full.viewportHeight = kInf;
    EXPECT_EQ(encodeInputEventMessage(full).error, "nombre non fini pour viewportHeight");
}

TEST(Base64, VectorsBothWays) {
    const std::string none, zeros(4, '\0');
    const std::string bytes =
        "\x00\x10\x83\x10\x51\x87\x20\x92\x8B\x30\xD3\x8F\x41\x14\x93\x51\x55\x97\x61\x96\x9B\x71"
        "\xD7\x9F\x82\x18\xA3\x92\x59\xA7\xA2\x9A\xAB\xB2\xDB\xAF\xC3\x1C\xB3\xD3\x5D\xB7\xE3\x9E"
        "\xBB\xF3\xDF\xBF"s;
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    // Bytes then text: RFC 4648's vectors, the two characters that differ
    // from the URL-safe alphabet, and each 6-bit value 0..63 once, in order.
    const std::string rows[] = {none,    none,           "f",      "Zg==",     "fo",
                                "Zm8=",  "foo",          "Zm9v",   "foob",     "Zm9vYg==",
                                "fooba", "Zm9vYmE=",     "foobar", "Zm9vYmFy", "\xFB\xEF\xBE",
                                "++++",  "\xFF\xFF\xFF", "////",   "\xFB\xFF", "+/8=",
                                zeros,   "AAAAAA==",     bytes,    alphabet};
    for (std::size_t i = 0; i < std::size(rows); i += 2) {
        EXPECT_EQ(encodeBase64(rows[i]), rows[i + 1]);
        EXPECT_EQ(decodeBase64(rows[i + 1]),
                  std::vector<std::uint8_t>(rows[i].begin(), rows[i].end()));
    }
}

TEST(Base64, DecodingRefusesAnythingButTheOneSpelling) {
    const std::string refused[] = {
        "Zg", "Zg=", "Zg===", "Z===", "====", "Zg==Zm9v", "Zm=v", "=Zm9",
        // URL-safe alphabet, whitespace, bytes outside the alphabet.
        "Zm9-", "Zm9_", "Zm9v\nYmFy", "Zm9v\n", "Zm9v YmFy", "Zm9\0"s, "Zm\xC3\xA9",
        // Unused bits after the last byte must be zero: "Zg==" is the only "f".
        "Zh==", "Zm9="};
    for (const auto& text : refused) {
        EXPECT_EQ(decodeBase64(text), std::nullopt) << text;
    }
}

} // namespace
} // namespace quorvi
