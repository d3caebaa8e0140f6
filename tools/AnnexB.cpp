#include "tools/AnnexB.h"

namespace quorvi::client {

namespace {

int nalType(std::uint8_t header, VideoCodec codec) {
    return codec == VideoCodec::h264 ? (header & 0x1F) : ((header >> 1) & 0x3F);
}

// Picture data: H.264 slices 1 to 5, HEVC VCL units 0 to 31.
bool isSlice(int type, VideoCodec codec) {
    return codec == VideoCodec::h264 ? (type >= 1 && type <= 5) : (type >= 0 && type <= 31);
}

} // namespace

std::vector<NalUnit> splitAnnexB(std::span<const std::uint8_t> bytes, VideoCodec codec) {
    std::vector<NalUnit> units;
    const std::size_t size = bytes.size();
    std::size_t i = 0;
    std::optional<std::size_t> unitStart;
    std::size_t startCodeLength = 0;
    const auto close = [&](std::size_t end) {
        if (!unitStart) {
            return;
        }
        // Zero bytes between a unit and the next start code belong to
        // neither.
        while (end > *unitStart && bytes[end - 1] == 0) {
            --end;
        }
        NalUnit unit;
        unit.offset = *unitStart;
        unit.size = end - *unitStart;
        unit.startCodeLength = startCodeLength;
        unit.type = unit.size > 0 ? nalType(bytes[unit.offset], codec) : -1;
        units.push_back(unit);
    };
    while (i + 3 <= size) {
        if (bytes[i] == 0 && bytes[i + 1] == 0 && bytes[i + 2] == 1) {
            const bool isLong = i > 0 && bytes[i - 1] == 0;
            close(isLong ? i - 1 : i);
            unitStart = i + 3;
            startCodeLength = isLong ? 4 : 3;
            i += 3;
        } else {
            ++i;
        }
    }
    close(size);
    return units;
}

std::optional<std::string> checkAccessUnit(std::span<const std::uint8_t> bytes, VideoCodec codec,
                                           bool isKeyFrame) {
    if (bytes.size() < 5 || bytes[0] != 0 || bytes[1] != 0 || bytes[2] != 0 || bytes[3] != 1) {
        return "l'unité d'accès ne commence pas par le code de début 00 00 00 01";
    }
    const std::vector<NalUnit> units = splitAnnexB(bytes, codec);
    bool hasVps = false;
    bool hasSps = false;
    bool hasPps = false;
    bool hasSlice = false;
    for (std::size_t index = 0; index < units.size(); ++index) {
        const NalUnit& unit = units[index];
        if (unit.startCodeLength != 4) {
            return "l'unité NAL n° " + std::to_string(index + 1) +
                   " a un code de début de 3 octets (4 attendus)";
        }
        if (unit.size == 0) {
            return "l'unité NAL n° " + std::to_string(index + 1) + " est vide";
        }
        if (isSlice(unit.type, codec)) {
            if (isKeyFrame && !hasSlice) {
                const bool hasSets =
                    codec == VideoCodec::h264 ? (hasSps && hasPps) : (hasVps && hasSps && hasPps);
                if (!hasSets) {
                    return codec == VideoCodec::h264
                               ? std::string("image clé sans SPS et PPS avant sa première tranche")
                               : std::string(
                                     "image clé sans VPS, SPS et PPS avant sa première tranche");
                }
            }
            hasSlice = true;
        } else if (codec == VideoCodec::h264) {
            hasSps = hasSps || unit.type == 7;
            hasPps = hasPps || unit.type == 8;
        } else {
            hasVps = hasVps || unit.type == 32;
            hasSps = hasSps || unit.type == 33;
            hasPps = hasPps || unit.type == 34;
        }
    }
    if (!hasSlice) {
        return "l'unité d'accès ne contient aucune tranche d'image";
    }
    return std::nullopt;
}

} // namespace quorvi::client
