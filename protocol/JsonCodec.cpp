#include "protocol/JsonCodec.h"

#include "protocol/JsonWriter.h"

#include <cmath>
#include <cstdint>
#include <exception>
#include <limits>
#include <new>
#include <nlohmann/json.hpp>
#include <utility>

namespace quorvi {

namespace {

using nlohmann::json;

// Readers throw this inside the codec; every public function turns it (and
// anything else thrown below it) into a Decoded failure, so callers on the
// receive path never see an exception.
struct Unreadable {
    std::string reason;
};

[[noreturn]] void unreadable(std::string reason) {
    throw Unreadable{std::move(reason)};
}

template <typename T> Decoded<T> failure(std::string reason) {
    return Decoded<T>{std::nullopt, std::move(reason)};
}

// Runs `body` and reports any exception as a failure: the codec sits on the
// receive path and the frame loop, where an escaping exception would end the
// connection or the work queue.
template <typename T, typename Body> Decoded<T> guarded(Body&& body) {
    try {
        return Decoded<T>{body(), {}};
    } catch (const Unreadable& error) {
        return failure<T>(error.reason);
    } catch (const std::bad_alloc&) {
        return failure<T>("mémoire insuffisante");
    } catch (const std::exception& error) {
        return failure<T>(std::string("erreur inattendue: ") + error.what());
    } catch (...) {
        return failure<T>("erreur inattendue");
    }
}

json parseObject(std::string_view text) {
    json document;
    try {
        document = json::parse(text);
    } catch (const json::parse_error& error) {
        // `byte` counts from 1: the byte at which the parser gave up.
        unreadable("JSON invalide à l'octet " + std::to_string(error.byte));
    } catch (const json::out_of_range&) {
        // A number such as 1e400 that no double can hold.
        unreadable("JSON invalide: nombre hors limites");
    }
    if (!document.is_object()) {
        unreadable("le message n'est pas un objet JSON");
    }
    return document;
}

// The largest magnitude up to which every whole double is exactly the integer
// that was written; beyond it "12345678901234567.0" may already have been
// rounded to a neighbour.
constexpr double kLargestExactInteger = 9007199254740992.0; // 2^53

// Reads the keys of one JSON object. `prefix` names the object in reasons
// ("cursor.", "windows[0].") so that a reason always points at one key.
class ObjectReader {
public:
    ObjectReader(const json& object, std::string prefix)
        : object_(object), prefix_(std::move(prefix)) {}

    std::string requiredString(const char* key) const { return asString(required(key), key); }
    std::optional<std::string> optionalString(const char* key) const {
        const json* value = find(key);
        return value ? std::optional(asString(*value, key)) : std::nullopt;
    }
    double requiredDouble(const char* key) const { return asDouble(required(key), key); }
    std::optional<double> optionalDouble(const char* key) const {
        const json* value = find(key);
        return value ? std::optional(asDouble(*value, key)) : std::nullopt;
    }
    std::int64_t requiredInteger(const char* key) const { return asInteger(required(key), key); }
    std::optional<std::int64_t> optionalInteger(const char* key) const {
        const json* value = find(key);
        return value ? std::optional(asInteger(*value, key)) : std::nullopt;
    }
    bool requiredBool(const char* key) const { return asBool(required(key), key); }
    std::optional<bool> optionalBool(const char* key) const {
        const json* value = find(key);
        return value ? std::optional(asBool(*value, key)) : std::nullopt;
    }
    const json& requiredObject(const char* key) const {
        const json& value = required(key);
        if (!value.is_object()) {
            wrongType(key, "objet attendu");
        }
        return value;
    }
    const json& requiredArray(const char* key) const {
        const json& value = required(key);
        if (!value.is_array()) {
            wrongType(key, "tableau attendu");
        }
        return value;
    }
    std::string path(std::string_view key) const { return prefix_ + std::string(key); }

private:
    // A null value is treated like a missing key, for optional and required
    // keys alike.
    const json* find(const char* key) const {
        const auto it = object_.find(key);
        if (it == object_.end() || it->is_null()) {
            return nullptr;
        }
        return &*it;
    }
    const json& required(const char* key) const {
        const json* value = find(key);
        if (value == nullptr) {
            unreadable("clé manquante: " + path(key));
        }
        return *value;
    }
    [[noreturn]] void wrongType(const char* key, const char* expected) const {
        unreadable("type incorrect pour " + path(key) + " (" + expected + ")");
    }
    std::string asString(const json& value, const char* key) const {
        if (!value.is_string()) {
            wrongType(key, "chaîne attendue");
        }
        return value.get<std::string>();
    }
    double asDouble(const json& value, const char* key) const {
        if (!value.is_number()) {
            wrongType(key, "nombre attendu");
        }
        return value.get<double>();
    }
    bool asBool(const json& value, const char* key) const {
        if (!value.is_boolean()) {
            wrongType(key, "booléen attendu");
        }
        return value.get<bool>();
    }
    std::int64_t asInteger(const json& value, const char* key) const {
        if (value.is_number_unsigned()) {
            const auto number = value.get<std::uint64_t>();
            if (number > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
                unreadable(path(key) + " hors limites (entier 64 bits attendu)");
            }
            return static_cast<std::int64_t>(number);
        }
        if (value.is_number_integer()) {
            return value.get<std::int64_t>();
        }
        if (value.is_number_float()) {
            const double number = value.get<double>();
            if (number != std::trunc(number)) {
                unreadable(path(key) + " doit être un entier");
            }
            if (std::fabs(number) > kLargestExactInteger) {
                unreadable(path(key) + " hors limites (entier 64 bits attendu)");
            }
            return static_cast<std::int64_t>(number);
        }
        wrongType(key, "entier attendu");
    }

    const json& object_;
    std::string prefix_;
};

InputEventMessage readInputEvent(const json& object) {
    const ObjectReader reader(object, "");
    InputEventMessage message;
    if (auto kind = reader.optionalString("kind")) {
        message.kind = std::move(*kind);
    }
    message.sentAt = reader.requiredDouble("sentAt");
    message.phase = reader.requiredString("phase");
    message.x = reader.requiredDouble("x");
    message.y = reader.requiredDouble("y");
    message.dx = reader.requiredDouble("dx");
    message.dy = reader.requiredDouble("dy");
    message.viewportWidth = reader.optionalDouble("viewportWidth");
    message.viewportHeight = reader.optionalDouble("viewportHeight");
    message.latencyMs = reader.optionalInteger("latencyMs");
    message.displayedFPS = reader.optionalInteger("displayedFPS");
    return message;
}

CursorPoint readCursor(const json& object, std::string prefix) {
    const ObjectReader reader(object, std::move(prefix));
    CursorPoint cursor;
    cursor.x = reader.requiredDouble("x");
    cursor.y = reader.requiredDouble("y");
    cursor.visible = reader.requiredBool("visible");
    cursor.kind = reader.optionalString("kind");
    return cursor;
}

WindowCard readWindowCard(const json& object, std::string prefix) {
    const ObjectReader reader(object, std::move(prefix));
    WindowCard card;
    card.title = reader.requiredString("title");
    card.detail = reader.requiredString("detail");
    card.x = reader.requiredDouble("x");
    card.y = reader.requiredDouble("y");
    card.width = reader.requiredDouble("width");
    card.height = reader.requiredDouble("height");
    card.accentHex = reader.requiredString("accentHex");
    return card;
}

ScreenFrameMessage readScreenFrame(const json& object) {
    const ObjectReader reader(object, "");
    ScreenFrameMessage message;
    message.kind = reader.requiredString("kind");
    message.sequence = reader.requiredInteger("sequence");
    message.sentAt = reader.requiredDouble("sentAt");
    message.width = reader.requiredDouble("width");
    message.height = reader.requiredDouble("height");
    message.title = reader.requiredString("title");
    message.subtitle = reader.requiredString("subtitle");
    message.imageBase64 = reader.optionalString("imageBase64");
    message.imageMimeType = reader.optionalString("imageMimeType");
    message.videoBase64 = reader.optionalString("videoBase64");
    message.videoCodec = reader.optionalString("videoCodec");
    message.isKeyFrame = reader.optionalBool("isKeyFrame");
    message.cursor = readCursor(reader.requiredObject("cursor"), "cursor.");
    const json& windows = reader.requiredArray("windows");
    message.windows.reserve(windows.size());
    for (std::size_t i = 0; i < windows.size(); ++i) {
        const std::string name = "windows[" + std::to_string(i) + "]";
        if (!windows[i].is_object()) {
            unreadable("type incorrect pour " + name + " (objet attendu)");
        }
        message.windows.push_back(readWindowCard(windows[i], name + "."));
    }
    return message;
}

// ---- writing -----------------------------------------------------------------

// JSON cannot spell NaN or an infinity (nlohmann would quietly write null, and
// the receiver would then refuse the message), so encoders check every double
// before writing the first byte.
class FiniteCheck {
public:
    void check(double value, std::string_view key) {
        if (!reason_ && !std::isfinite(value)) {
            reason_ = "nombre non fini pour " + std::string(key);
        }
    }
    void check(const std::optional<double>& value, std::string_view key) {
        if (value) {
            check(*value, key);
        }
    }
    void check(const CursorPoint& cursor, std::string_view prefix) {
        check(cursor.x, std::string(prefix) + "x");
        check(cursor.y, std::string(prefix) + "y");
    }
    void check(const WindowCard& card, std::string_view prefix) {
        // Only non-finite values pay for building the key name.
        if (std::isfinite(card.x) && std::isfinite(card.y) && std::isfinite(card.width) &&
            std::isfinite(card.height)) {
            return;
        }
        check(card.x, std::string(prefix) + "x");
        check(card.y, std::string(prefix) + "y");
        check(card.width, std::string(prefix) + "width");
        check(card.height, std::string(prefix) + "height");
    }
    std::optional<std::string>& reason() { return reason_; }

private:
    std::optional<std::string> reason_;
};

void writeCursor(std::string& out, const CursorPoint& cursor) {
    out += "{\"x\":";
    appendJsonNumber(out, cursor.x);
    out += ",\"y\":";
    appendJsonNumber(out, cursor.y);
    out += ",\"visible\":";
    appendJsonBool(out, cursor.visible);
    if (cursor.kind) {
        out += ",\"kind\":";
        appendJsonString(out, *cursor.kind);
    }
    out += '}';
}

void writeWindowCard(std::string& out, const WindowCard& card) {
    out += "{\"title\":";
    appendJsonString(out, card.title);
    out += ",\"detail\":";
    appendJsonString(out, card.detail);
    out += ",\"x\":";
    appendJsonNumber(out, card.x);
    out += ",\"y\":";
    appendJsonNumber(out, card.y);
    out += ",\"width\":";
    appendJsonNumber(out, card.width);
    out += ",\"height\":";
    appendJsonNumber(out, card.height);
    out += ",\"accentHex\":";
    appendJsonString(out, card.accentHex);
    out += '}';
}

void writeOptionalString(std::string& out, const char* keyWithComma,
                         const std::optional<std::string>& value) {
    if (value) {
        out += keyWithComma;
        appendJsonString(out, *value);
    }
}

void writeScreenFrame(std::string& out, const ScreenFrameMessage& message) {
    out += "{\"kind\":";
    appendJsonString(out, message.kind);
    out += ",\"sequence\":";
    appendJsonInteger(out, message.sequence);
    out += ",\"sentAt\":";
    appendJsonNumber(out, message.sentAt);
    out += ",\"width\":";
    appendJsonNumber(out, message.width);
    out += ",\"height\":";
    appendJsonNumber(out, message.height);
    out += ",\"title\":";
    appendJsonString(out, message.title);
    out += ",\"subtitle\":";
    appendJsonString(out, message.subtitle);
    writeOptionalString(out, ",\"imageBase64\":", message.imageBase64);
    writeOptionalString(out, ",\"imageMimeType\":", message.imageMimeType);
    writeOptionalString(out, ",\"videoBase64\":", message.videoBase64);
    writeOptionalString(out, ",\"videoCodec\":", message.videoCodec);
    if (message.isKeyFrame) {
        out += ",\"isKeyFrame\":";
        appendJsonBool(out, *message.isKeyFrame);
    }
    out += ",\"cursor\":";
    writeCursor(out, message.cursor);
    out += ",\"windows\":[";
    for (std::size_t i = 0; i < message.windows.size(); ++i) {
        if (i != 0) {
            out += ',';
        }
        writeWindowCard(out, message.windows[i]);
    }
    out += "]}";
}

// Room for the whole frame message in one allocation: the payloads dominate,
// escaping is rare in titles (a string that grows past this estimate just
// makes the string reallocate once), plus one byte for the caller's line feed.
std::size_t estimatedFrameSize(const ScreenFrameMessage& message) {
    std::size_t size = 320 + message.kind.size() + message.title.size() + message.subtitle.size();
    for (const auto* text : {&message.imageBase64, &message.imageMimeType, &message.videoBase64,
                             &message.videoCodec}) {
        if (*text) {
            size += (*text)->size() + 20;
        }
    }
    if (message.cursor.kind) {
        size += message.cursor.kind->size() + 10;
    }
    for (const WindowCard& card : message.windows) {
        size += 160 + card.title.size() + card.detail.size() + card.accentHex.size();
    }
    return size + 1;
}

std::optional<std::string> frameNonFinite(const ScreenFrameMessage& message) {
    FiniteCheck check;
    check.check(message.sentAt, "sentAt");
    check.check(message.width, "width");
    check.check(message.height, "height");
    check.check(message.cursor, "cursor.");
    for (std::size_t i = 0; i < message.windows.size(); ++i) {
        check.check(message.windows[i], "windows[" + std::to_string(i) + "].");
    }
    return std::move(check.reason());
}

void writeInputEvent(std::string& out, const InputEventMessage& message) {
    out += "{\"kind\":";
    appendJsonString(out, message.kind);
    out += ",\"sentAt\":";
    appendJsonNumber(out, message.sentAt);
    out += ",\"phase\":";
    appendJsonString(out, message.phase);
    out += ",\"x\":";
    appendJsonNumber(out, message.x);
    out += ",\"y\":";
    appendJsonNumber(out, message.y);
    out += ",\"dx\":";
    appendJsonNumber(out, message.dx);
    out += ",\"dy\":";
    appendJsonNumber(out, message.dy);
    if (message.viewportWidth) {
        out += ",\"viewportWidth\":";
        appendJsonNumber(out, *message.viewportWidth);
    }
    if (message.viewportHeight) {
        out += ",\"viewportHeight\":";
        appendJsonNumber(out, *message.viewportHeight);
    }
    if (message.latencyMs) {
        out += ",\"latencyMs\":";
        appendJsonInteger(out, *message.latencyMs);
    }
    if (message.displayedFPS) {
        out += ",\"displayedFPS\":";
        appendJsonInteger(out, *message.displayedFPS);
    }
    out += '}';
}

} // namespace

Decoded<InputEventMessage> decodeInputEventMessage(std::string_view line) {
    return guarded<InputEventMessage>([&] { return readInputEvent(parseObject(line)); });
}

std::optional<std::string> appendScreenFrameMessage(std::string& out,
                                                    const ScreenFrameMessage& message) {
    const std::size_t start = out.size();
    try {
        if (auto reason = frameNonFinite(message)) {
            return reason;
        }
        out.reserve(start + estimatedFrameSize(message));
        writeScreenFrame(out, message);
        return std::nullopt;
    } catch (const std::bad_alloc&) {
        out.resize(start);
        return "mémoire insuffisante";
    } catch (...) {
        out.resize(start);
        return "erreur inattendue";
    }
}

Decoded<std::string> encodeScreenFrameMessage(const ScreenFrameMessage& message) {
    return guarded<std::string>([&] {
        std::string out;
        if (auto reason = appendScreenFrameMessage(out, message)) {
            unreadable(std::move(*reason));
        }
        return out;
    });
}

Decoded<std::string> encodeInputEventMessage(const InputEventMessage& message) {
    return guarded<std::string>([&] {
        FiniteCheck check;
        check.check(message.sentAt, "sentAt");
        check.check(message.x, "x");
        check.check(message.y, "y");
        check.check(message.dx, "dx");
        check.check(message.dy, "dy");
        check.check(message.viewportWidth, "viewportWidth");
        check.check(message.viewportHeight, "viewportHeight");
        if (auto& reason = check.reason()) {
            unreadable(std::move(*reason));
        }
        std::string out;
        writeInputEvent(out, message);
        return out;
    });
}

Decoded<ScreenFrameMessage> decodeScreenFrameMessage(std::string_view line) {
    return guarded<ScreenFrameMessage>([&] { return readScreenFrame(parseObject(line)); });
}

} // namespace quorvi
