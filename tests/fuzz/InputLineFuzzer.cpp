// Feeds the client line consumer arbitrary bytes in arbitrary chunks and
// decodes every line, as the receive path does. Checks that no byte is lost,
// invented or reordered on the way, and that nothing crashes or hits
// undefined behaviour whatever a client sends.
#include "protocol/JsonCodec.h"
#include "server/GestureJournal.h"
#include "server/InputLineBuffer.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    // The first two bytes choose the chunk sizes and a small bound, so that
    // the overflow path is reached too.
    const std::size_t chunkSeed = data[0];
    const std::size_t limit = 64 + static_cast<std::size_t>(data[1]) * 32;
    data += 2;
    size -= 2;

    quorvi::InputLineBuffer buffer(limit);
    std::string expected; // what the lines plus the held bytes must add up to
    std::string seen;
    std::size_t offset = 0;
    std::size_t chunkIndex = 0;
    while (offset < size) {
        const std::size_t chunk = 1 + (chunkSeed * 31 + chunkIndex * 17 + data[offset]) % 97;
        const std::size_t take = chunk < size - offset ? chunk : size - offset;
        if (!buffer.append(data + offset, take)) {
            if (buffer.size() + take <= limit) {
                std::abort(); // refused although it fits
            }
            break; // the connection would be closed here
        }
        expected.append(reinterpret_cast<const char*>(data + offset), take);
        buffer.consumeLines([&](std::string_view line) {
            if (line.empty() || line.find('\n') != std::string_view::npos) {
                std::abort();
            }
            seen.append(line);
            seen.push_back('\n');
            auto decoded = quorvi::decodeInputEventMessage(line);
            if (decoded.value) {
                (void)quorvi::gestureJournalLine(*decoded.value);
            } else if (decoded.error.empty()) {
                std::abort(); // a refusal always says why
            }
        });
        if (buffer.size() > limit) {
            std::abort();
        }
        offset += take;
        ++chunkIndex;
    }
    // Remove empty lines from what was sent: they are skipped, not lost.
    std::string compact;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        if (expected[i] == '\n' && (compact.empty() || compact.back() == '\n')) {
            continue;
        }
        compact.push_back(expected[i]);
    }
    const std::size_t held = buffer.size();
    if (compact.size() < held || compact.compare(0, compact.size() - held, seen) != 0) {
        std::abort();
    }
    return 0;
}
