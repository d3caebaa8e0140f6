// Which H.264 streams the repeater continues, and how it renumbers the
// encoder's slices around the pictures it inserts.

#include "capture/H264FrameRepeater.h"

#include <bit>
#include <bitset>
#include <gtest/gtest.h>

namespace quorvi {
namespace {

std::string ue(std::uint32_t value) {
    const int length = 2 * std::bit_width(value + 1) - 1;
    return std::bitset<32>(value + 1).to_string().substr(32 - length);
}

// An RBSP written as '0' and '1', as a NAL unit with emulation prevention.
std::vector<std::uint8_t> unit(std::uint8_t header, std::string bits) {
    bits += "1" + std::string(7 - bits.size() % 8, '0');
    std::vector<std::uint8_t> out{header};
    for (std::size_t i = 0; i < bits.size(); i += 8) {
        const auto byte = static_cast<std::uint8_t>(std::stoi(bits.substr(i, 8), nullptr, 2));
        if (byte <= 3 && out.size() > 2 && out.end()[-1] == 0 && out.end()[-2] == 0) {
            out.push_back(3);
        }
        out.push_back(byte);
    }
    return out;
}

// 1920 × 1200, one reference frame; high profile with a scaling list.
std::vector<std::uint8_t> sps(int profile, int pocType, const char* progressive, int frameNumBits) {
    const std::string high =
        profile == 100 ? ue(1) + ue(0) + ue(0) + "011" + ue(16) + "0000000" : "";
    return unit(0x67, std::bitset<24>(profile << 16 | 40).to_string() + ue(0) + high +
                          ue(frameNumBits - 4) + ue(pocType) + ue(1) + "0" + ue(119) + ue(74) +
                          progressive + "100");
}
std::vector<std::uint8_t> pps(const char* cabac) {
    return unit(0x68, "11" + std::string(cabac) + "0111000111" + "100");
}

TEST(H264FrameRepeater, ContinuesOnlyStreamsWhereASkippedPictureIsAnExactCopy) {
    for (const auto& [name, sequence, picture, supported] :
         {std::tuple{"baseline", sps(66, 2, "1", 4), pps("0"), true},
          {"high, scaling list", sps(100, 2, "1", 4), pps("0"), true},
          {"CABAC", sps(66, 2, "1", 4), pps("1"), false},
          {"picture order type 1", sps(66, 1, "1", 4), pps("0"), false},
          {"interlaced", sps(66, 2, "0", 4), pps("0"), false}}) {
        EXPECT_EQ(H264FrameRepeater().reset(sequence, picture), supported) << name;
    }
}

// A slice header up to its 16-bit frame_num, then zeros: renumbered to 0 it
// needs emulation prevention. N: not a reference picture; X: cut short.
std::vector<std::uint8_t> slice(char kind, std::uint32_t frameNum) {
    const std::string header =
        "1" + ue(kind == 'I' ? 7 : 5) + "1" + std::bitset<16>(frameNum).to_string();
    auto nal = unit(kind == 'I'   ? 0x65
                    : kind == 'N' ? 0x01
                                  : 0x41,
                    kind == 'X' ? "1" : header + std::string(24, '0'));
    nal.insert(nal.begin(), {0, 0, 0, 1});
    return nal;
}

TEST(H264FrameRepeater, ShiftsFrameNumPastTheRepeatsUntilTheNextIdr) {
    H264FrameRepeater repeater;
    ASSERT_TRUE(repeater.reset(sps(66, 2, "1", 16), pps("0")));
    // R: a repeat is asked for; `in` says whether one comes.
    const struct {
        char kind;
        std::uint32_t in, out;
    } steps[] = {{'R', 0, 0}, {'I', 0, 0}, {'P', 65534, 65534}, {'R', 1, 0}, {'P', 65535, 0},
                 {'R', 1, 0}, {'R', 1, 0}, {'P', 0, 3},         {'N', 1, 4}, {'R', 0, 0},
                 {'I', 0, 0}, {'R', 1, 0}, {'P', 1, 2},         {'X', 0, 0}, {'P', 2, 3},
                 {'R', 0, 0}, {'I', 0, 0}, {'P', 1, 1}};
    for (const auto& step : steps) {
        SCOPED_TRACE(::testing::Message() << step.kind << step.in);
        if (step.kind == 'R') {
            EXPECT_EQ(repeater.repeat().empty(), step.in == 0);
            continue;
        }
        auto accessUnit = slice(step.kind, step.in);
        EXPECT_EQ(repeater.adopt(accessUnit), step.kind != 'X');
        EXPECT_EQ(accessUnit, slice(step.kind, step.out));
    }
}

} // namespace
} // namespace quorvi
