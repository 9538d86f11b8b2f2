// KT2 register blocks as tables of bit fields. Every conversion reads and
// writes its block only through these tables, so no conversion touches a bit
// it does not own and each block's layout is written down once (the CLI
// prints and diffs blocks from the same tables).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace morvik::isp_levels {

using Block = std::span<std::uint32_t>;
using ConstBlock = std::span<const std::uint32_t>;

// A value of `width` bits at bit `shift` of word `word`, held in `copies`
// places spaced `stride` bits apart (several hardware lanes take the same
// value). Signed fields read back sign-extended.
struct Field {
    std::uint16_t word;
    std::uint8_t shift;
    std::uint8_t width;
    bool is_signed = false;
    std::uint8_t copies = 1;
    std::uint8_t stride = 0;

    constexpr std::uint32_t mask() const { return width >= 32 ? 0xFFFFFFFFu : (1u << width) - 1u; }
    constexpr unsigned shift_of(unsigned copy) const { return shift + copy * stride; }
};

// Copy `copy` of the field (raw bits, or sign-extended for a signed field).
constexpr std::int64_t get(ConstBlock block, const Field& f, unsigned copy = 0) {
    const std::uint32_t raw = (block[f.word] >> f.shift_of(copy)) & f.mask();
    if (f.is_signed && f.width < 32 && (raw >> (f.width - 1)) != 0) return std::int64_t(raw) - (std::int64_t(1) << f.width);
    if (f.is_signed && f.width == 32) return std::int32_t(raw);
    return raw;
}

// The low `width` bits of `value` into every copy; other bits keep their value.
constexpr void put(Block block, const Field& f, std::int64_t value) {
    const std::uint32_t bits = static_cast<std::uint32_t>(static_cast<std::uint64_t>(value)) & f.mask();
    for (unsigned c = 0; c < f.copies; ++c) {
        const unsigned s = f.shift_of(c);
        block[f.word] = (block[f.word] & ~(f.mask() << s)) | (bits << s);
    }
}

// True when every copy of the field in `a` equals the same copy in `b`.
constexpr bool same(ConstBlock a, ConstBlock b, const Field& f) {
    for (unsigned c = 0; c < f.copies; ++c)
        if (get(a, f, c) != get(b, f, c)) return false;
    return true;
}

// A table row: the name the CLI shows and the field.
struct NamedField {
    const char* name;
    Field field;
};

// Demosaic block (21 words). Indexes into kFields.
namespace dm {
inline constexpr std::size_t kWords = 21;
enum Id : std::size_t { flag_a, flag_b, level, k, d, e, f, g, h, kCount };
inline constexpr NamedField kFields[kCount] = {
    {"flag_a", {3, 31, 1}},
    {"flag_b", {4, 31, 1}},
    {"level", {10, 0, 5, false, 5, 5}},
    {"k", {11, 0, 5, false, 5, 5}},
    {"d", {12, 0, 5, false, 5, 5}},
    {"e", {13, 0, 5, false, 5, 5}},
    {"f", {17, 0, 8}},
    {"g", {20, 0, 9}},
    {"h", {20, 12, 9}},
};
}  // namespace dm

// Edge-enhancement block (16 words): an edge-gain curve by knots, levels,
// slopes, three variants of its first part and clip levels.
namespace ee {
inline constexpr std::size_t kWords = 16;
enum Id : std::size_t {
    start_x, start_pad, level1, knot1, slope1, level2, knot2, slope2, peak_a, knot3, slope3, peak_b, slope4, clip,
    sub_knot1, sub_slope1, sub_to_knot1, sub_knot2, sub_slope2, sub_to_knot2, sub_knot3, sub_slope3, sub_to_knot3,
    clip_m10, clip_m20, clip_m30, kCount
};
inline constexpr NamedField kFields[kCount] = {
    {"start_x", {4, 0, 8}},
    {"start_pad", {4, 8, 8}},
    {"level1", {4, 16, 10}},
    {"knot1", {5, 0, 8}},
    {"slope1", {5, 8, 8}},
    {"level2", {5, 16, 10}},
    {"knot2", {6, 0, 8}},
    {"slope2", {6, 8, 8}},
    {"peak_a", {6, 16, 10}},
    {"knot3", {7, 0, 8}},
    {"slope3", {7, 8, 8}},
    {"peak_b", {7, 16, 10}},
    {"slope4", {8, 8, 8}},
    {"clip", {9, 0, 8, false, 2, 8}},
    {"sub_knot1", {11, 0, 8}},
    {"sub_slope1", {11, 8, 8}},
    {"sub_to_knot1", {11, 16, 8}},
    {"sub_knot2", {12, 0, 8}},
    {"sub_slope2", {12, 8, 8}},
    {"sub_to_knot2", {12, 16, 8}},
    {"sub_knot3", {13, 0, 8}},
    {"sub_slope3", {13, 8, 8}},
    {"sub_to_knot3", {13, 16, 8}},
    {"clip_m10", {14, 0, 8, false, 2, 8}},
    {"clip_m20", {14, 16, 8, false, 2, 8}},
    {"clip_m30", {15, 0, 8, false, 2, 8}},
};
// Sub-knot, sub-slope and sub-slope-to-knot of variant k (0..2).
constexpr Id sub_knot(int k) { return Id(sub_knot1 + 3 * k); }
constexpr Id sub_slope(int k) { return Id(sub_slope1 + 3 * k); }
constexpr Id sub_to_knot(int k) { return Id(sub_to_knot1 + 3 * k); }
}  // namespace ee

// 3D noise-reduction block (15 words): strength and, per channel Y, U, V,
// three noise words at 6, 9, 12.
namespace nr3d {
inline constexpr std::size_t kWords = 15;
enum Channel : int { y = 0, u = 1, v = 2 };
inline constexpr Field kStrength{0, 0, 5};
// The ten noise fields of a channel in ladder order r1, t1, r2, t2, ..., r5, t5.
inline constexpr int kNoiseFields = 10;
constexpr Field noise_field(Channel c, int i) {
    return Field{std::uint16_t(6 + 3 * c + i / 4), std::uint8_t(8 * (i % 4)), 5};
}
inline constexpr const char* kNoiseNames[kNoiseFields] = {"r1", "t1", "r2", "t2", "r3", "t3", "r4", "t4", "r5", "t5"};
}  // namespace nr3d

// Multi-frame blending: each conversion works on one word.
namespace mfll {
inline constexpr std::size_t kWords = 1;
inline constexpr Field kMixer{0, 0, 32};
inline constexpr Field kThreshold{0, 24, 8};
inline constexpr Field kStep{0, 8, 8};
}  // namespace mfll

// Spatial noise-reduction block (18 words).
namespace anr {
inline constexpr std::size_t kWords = 18;
enum Id : std::size_t {
    mode, mode_bit4, mode_bit5, window, extended,
    filter1, filter2, filter3, filter4, const4, const5a, const5b, const5c, const6a, const6b, const6c, const6d,
    const7a, const7b, const7c, const7d, luma_thresholds, chroma_filter, blended, chroma_thresholds,
    term_a, y_strength, term_b, y_companion, c_low, c_strength, c_mid, c_companion, kCount
};
inline constexpr NamedField kFields[kCount] = {
    {"mode", {0, 4, 2}},
    {"mode_bit4", {0, 4, 1}},
    {"mode_bit5", {0, 5, 1}},
    {"window", {0, 8, 3}},
    {"extended", {0, 12, 1}},
    {"filter1", {3, 0, 5}},
    {"filter2", {3, 8, 5}},
    {"filter3", {3, 16, 4}},
    {"filter4", {3, 24, 4}},
    {"const4", {4, 8, 5}},
    {"const5a", {5, 0, 8}},
    {"const5b", {5, 8, 8}},
    {"const5c", {5, 16, 8}},
    {"const6a", {6, 0, 5}},
    {"const6b", {6, 8, 5}},
    {"const6c", {6, 16, 5}},
    {"const6d", {6, 24, 5}},
    {"const7a", {7, 0, 5, true}},
    {"const7b", {7, 8, 5, true}},
    {"const7c", {7, 16, 5, true}},
    {"const7d", {7, 24, 5, true}},
    {"luma_thresholds", {8, 0, 32}},
    {"chroma_filter", {9, 8, 5}},
    {"blended", {9, 16, 8}},
    {"chroma_thresholds", {10, 0, 32}},
    {"term_a", {16, 0, 8}},
    {"y_strength", {16, 8, 7}},
    {"term_b", {16, 16, 5}},
    {"y_companion", {16, 24, 7}},
    {"c_low", {17, 0, 8}},
    {"c_strength", {17, 8, 7}},
    {"c_mid", {17, 16, 5}},
    {"c_companion", {17, 24, 7}},
};
// The threshold bytes u4, u3, u2, u1 (bits 0..7, 8..15, 16..23, 24..31).
constexpr Field threshold_byte(Id word_field, int byte) {
    return Field{kFields[word_field].field.word, std::uint8_t(8 * byte), 8};
}
// The fields each noise search compares.
inline constexpr Id kLumaCompared[] = {const4,  filter1, filter2, filter3, filter4, luma_thresholds, term_a,
                                       term_b,  const5a, const5b, const5c, const6a, const6b,         const6c,
                                       const6d, const7a, const7b, const7c, const7d};
inline constexpr Id kChromaCompared[] = {chroma_filter, chroma_thresholds};
}  // namespace anr

// Chroma-reduction block (4 words).
namespace ccr {
inline constexpr std::size_t kWords = 4;
enum Id : std::size_t {
    top, enable, a, b, h, f, w2_low, w2_mid, c, w2_top, g, w3_bits, d, w3_top, kCount
};
inline constexpr NamedField kFields[kCount] = {
    {"top", {0, 24, 8}},
    {"enable", {0, 8, 1}},
    {"a", {1, 0, 8}},
    {"b", {1, 8, 8}},
    {"h", {1, 16, 7}},
    {"f", {1, 24, 7}},
    {"w2_low", {2, 0, 8}},
    {"w2_mid", {2, 8, 8}},
    {"c", {2, 16, 7}},
    {"w2_top", {2, 24, 7}},
    {"g", {3, 0, 7}},
    {"w3_bits", {3, 8, 7}},
    {"d", {3, 16, 7}},
    {"w3_top", {3, 24, 7}},
};
}  // namespace ccr

// Saturation block (545 words): the current level of tables 0..2 in words
// 0..2, then three 180-word hue/saturation tables at 5, 185 and 365 with the
// bin's signed saturation in bits 8..15.
namespace sat {
inline constexpr std::size_t kWords = 545;
inline constexpr int kTables = 3;
inline constexpr int kBins = 180;
constexpr Field level(int table) { return Field{std::uint16_t(table), 0, 32, true}; }
constexpr Field bin(int table, int index) { return Field{std::uint16_t(5 + kBins * table + index), 8, 8, true}; }
}  // namespace sat

}  // namespace morvik::isp_levels
