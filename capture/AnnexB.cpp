#include "capture/AnnexB.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace quorvi {

namespace {

// Where the next 00 00 01 begins at or after `from`, or `size` when there
// is none. memchr finds the 01 bytes, which are rare in coded data, so the
// scan runs at memory speed.
std::size_t findStartCode(const std::uint8_t* bytes, std::size_t size, std::size_t from) {
    std::size_t i = from + 2;
    while (i < size) {
        const void* hit = std::memchr(bytes + i, 1, size - i);
        if (hit == nullptr) {
            return size;
        }
        i = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - bytes);
        if (bytes[i - 1] == 0 && bytes[i - 2] == 0) {
            return i - 2;
        }
        ++i;
    }
    return size;
}

template <typename Visit> void forEachUnit(std::span<const std::uint8_t> stream, Visit visit) {
    const std::uint8_t* bytes = stream.data();
    const std::size_t size = stream.size();
    std::size_t startCode = findStartCode(bytes, size, 0);
    while (startCode < size) {
        const std::size_t begin = startCode + 3;
        const std::size_t next = findStartCode(bytes, size, begin);
        std::size_t end = next;
        // A unit never ends in a zero byte: zeros there are the first byte
        // of a 4-byte start code or padding between units.
        while (end > begin && bytes[end - 1] == 0) {
            --end;
        }
        if (end > begin) {
            visit(stream.subspan(begin, end - begin));
        }
        startCode = next;
    }
}

void appendUnit(std::span<const std::uint8_t> unit, std::vector<std::uint8_t>& out) {
    out.insert(out.end(), std::begin(kStartCode), std::end(kStartCode));
    out.insert(out.end(), unit.begin(), unit.end());
}

std::size_t parameterSetCount(VideoCodec codec) {
    return codec == VideoCodec::hevc ? 3 : 2;
}

// H.264 SPS/PPS, HEVC VPS/SPS/PPS.
bool isParameterSetType(int type, VideoCodec codec) {
    if (codec == VideoCodec::hevc) {
        return type == 32 || type == 33 || type == 34;
    }
    return type == 7 || type == 8;
}

bool isKeyFrame(const CompressedSample& sample) {
    if (!sample.attachments || sample.attachments->empty()) {
        return true;
    }
    return !sample.attachments->front().notSync;
}

// Start code + set for each parameter set the codec uses, in index order.
void appendParameterSets(const FormatDescription& description, VideoCodec codec,
                         std::vector<std::uint8_t>& out) {
    const std::size_t count = std::min(parameterSetCount(codec), description.parameterSets.size());
    for (std::size_t index = 0; index < count; ++index) {
        const std::vector<std::uint8_t>& set = description.parameterSets[index];
        if (!set.empty()) {
            appendUnit(set, out);
        }
    }
}

} // namespace

void appendAnnexBFromLengthPrefixed(std::span<const std::uint8_t> units,
                                    std::vector<std::uint8_t>& out) {
    const std::size_t total = units.size();
    std::size_t offset = 0;
    while (offset + 4 <= total) {
        const std::uint8_t* prefix = units.data() + offset;
        const std::size_t length = (std::size_t{prefix[0]} << 24) | (std::size_t{prefix[1]} << 16) |
                                   (std::size_t{prefix[2]} << 8) | std::size_t{prefix[3]};
        if (length == 0 || length > total - offset - 4) {
            break;
        }
        appendUnit(units.subspan(offset + 4, length), out);
        offset += 4 + length;
    }
}

void appendAnnexBFromStartCoded(std::span<const std::uint8_t> stream, VideoCodec codec,
                                bool skipParameterSets, std::vector<std::uint8_t>& out) {
    forEachUnit(stream, [&](std::span<const std::uint8_t> unit) {
        if (skipParameterSets && isParameterSetType(nalUnitType(unit, codec), codec)) {
            return;
        }
        appendUnit(unit, out);
    });
}

std::vector<std::span<const std::uint8_t>> splitAnnexB(std::span<const std::uint8_t> stream) {
    std::vector<std::span<const std::uint8_t>> units;
    forEachUnit(stream, [&](std::span<const std::uint8_t> unit) { units.push_back(unit); });
    return units;
}

int nalUnitType(std::span<const std::uint8_t> unit, VideoCodec codec) {
    if (unit.empty()) {
        return -1;
    }
    return codec == VideoCodec::hevc ? (unit[0] >> 1) & 0x3f : unit[0] & 0x1f;
}

std::optional<EncodedVideoFrame> makeAccessUnit(const CompressedSample& sample, VideoCodec codec) {
    if (!sample.dataBuffer || sample.dataBuffer->data() == nullptr) {
        return std::nullopt;
    }
    const std::span<const std::uint8_t> data = *sample.dataBuffer;
    const bool key = isKeyFrame(sample);

    // One allocation per frame: room for the parameter sets, the units and
    // a few start codes that grow from 3 to 4 bytes.
    std::size_t capacity = data.size() + 64;
    if (key && sample.formatDescription != nullptr) {
        for (const auto& set : sample.formatDescription->parameterSets) {
            capacity += set.size() + 4;
        }
    }
    std::vector<std::uint8_t> out;
    out.reserve(capacity);

    bool wroteParameterSets = false;
    if (key && sample.formatDescription != nullptr) {
        appendParameterSets(*sample.formatDescription, codec, out);
        wroteParameterSets = !out.empty();
    }
    switch (sample.framing) {
    case NalFraming::lengthPrefixed:
        appendAnnexBFromLengthPrefixed(data, out);
        break;
    case NalFraming::startCoded:
        appendAnnexBFromStartCoded(data, codec, wroteParameterSets, out);
        break;
    }
    if (out.empty()) {
        return std::nullopt;
    }
    return EncodedVideoFrame{std::move(out), std::string(rawValue(codec)), key};
}

} // namespace quorvi
