// Gamma tables: the tuning tool's gamma update (anchor curves composed with
// tone curves, previews) and the conversion between the KT1 anchor form and
// the KT2 packed table, with its gamma text file. Integer arithmetic only.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace morvik::gamma {

inline constexpr int kAnchors = 20;
// Input codes (8-bit scale) of the 20 anchors.
inline constexpr std::array<int, kAnchors> kAnchorPositions = {2,  4,  8,   16,  24,  32,  40,  48,  56,  64,
                                                               80, 96, 112, 128, 144, 160, 192, 208, 224, 240};

// ---------------------------------------------------------------- update

using AnchorCurve = std::array<std::uint8_t, kAnchors>;

// The anchor curve at a 10-bit input (0..65535 accepted) and at an 8-bit
// input (0..255); both 0..255.
int evaluate10(const AnchorCurve& a, unsigned x);
int evaluate8(const AnchorCurve& a, unsigned x);

// 10-bit code at which a composed curve reads a tone curve for anchor i.
int tone_index(int anchor);

inline constexpr std::size_t kToneCodes = 1024;
inline constexpr std::size_t kPreviewSamples = 64;
inline constexpr std::size_t kUpdateBytes = kAnchors + 4 * kAnchors + 5 * kPreviewSamples;  // 420

// Input of the input-sample j of a preview: 2, then 4, 8, ..., 252.
inline constexpr int preview_input(std::size_t j) { return j == 0 ? 2 : 4 * static_cast<int>(j); }

// The output block: gamma anchors, four composed curves, five previews.
std::array<std::uint8_t, kUpdateBytes> update(const AnchorCurve& gamma,
                                              const std::array<std::span<const std::uint16_t, kToneCodes>, 4>& tones);

// ---------------------------------------------------------------- KT1 <-> KT2

inline constexpr int kInputs = 4096;  // 12-bit input
inline constexpr int kEntries = 144;  // KT2 grid
inline constexpr int kBases = 145;    // bases and the value at 4095

// Grid entry of the KT2 table: its input position and the step to the next.
struct GridEntry {
    int index;
    int position;
    int step;
    int shift;  // log2(step)
};
GridEntry grid_entry(int e);
// The entry that holds 12-bit input i.
GridEntry grid_entry_of(int input);

// A curve over the 12-bit input, 10-bit values (wider after a conversion
// that adds slopes beyond the base).
using Curve = std::array<std::int32_t, kInputs>;
using KT1Anchors = std::array<std::uint32_t, kAnchors>;
using PackedTable = std::array<std::uint32_t, kEntries>;
using BaseArray = std::array<std::uint32_t, kBases>;

// Piecewise-linear curve through 0, the anchors and 255, on the 10-bit output
// scale, capped at 1023. Unsigned 32-bit arithmetic on the anchors as given.
Curve curve_from_anchors(const KT1Anchors& anchors);

struct KT2Table {
    PackedTable packed{};
    BaseArray base{};
};
KT2Table pack(const Curve& curve);

// The gamma text file for a curve and its table.
std::string gamma_file_text(const Curve& curve, const PackedTable& packed);

enum class FileOutcome { ok, cannot_create, cannot_write, cannot_open };
const char* describe(FileOutcome outcome);

// Create (or overwrite) `path` in binary mode with `text`; a partly written
// file is removed.
FileOutcome write_text_file(const char* path, std::string_view text);

// Curve from a packed table with its stored slopes (bits 0..15 of each word);
// writes the bases of entries 0..143 to `bases`.
Curve curve_from_packed(const PackedTable& packed, std::span<std::uint32_t, kEntries> bases);
// Curve interpolated from the bases alone; base[144] is the value at 4095.
Curve curve_from_bases(const BaseArray& base);
// Anchor k: the curve at 16 times its position, two low bits dropped.
KT1Anchors anchors_from_curve(const Curve& curve);

// Words of a gamma text file. Pieces of at most kPieceChars characters
// (ending at a line feed) are read; comment pieces are skipped and every
// other one yields its leading hexadecimal digits.
inline constexpr int kPieceChars = 253;
struct FileWords {
    FileOutcome outcome = FileOutcome::ok;
    PackedTable words{};
    std::size_t count = 0;
};
FileWords read_gamma_file(const char* path);
// One piece's word (leading hex digits, 32-bit wrap), or nothing for a
// comment piece.
bool piece_word(std::string_view piece, std::uint32_t& word);

}  // namespace morvik::gamma
