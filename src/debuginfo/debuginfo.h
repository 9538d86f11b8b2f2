// Debug information that a camera's tuning build writes into its JPEG files:
// the APP-segment container, the parameter-layout headers that name the
// fields, and the dumps built from both.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace morvik::debuginfo {

inline constexpr std::size_t kMaxFileBytes = std::size_t{4} << 20;  // bytes of the file looked at
inline constexpr std::uint32_t kMaxSegmentBlocks = 10;
inline constexpr std::size_t kAwbWords = 2203;
inline constexpr std::size_t kGgmWords = 288;
inline constexpr std::size_t kPcaWords = 180;
inline constexpr std::uint32_t kMainTag = 0xF0F1F200u;  // + version
inline constexpr std::uint32_t kIspTag = 0xF4F5F6F7u;
inline constexpr std::uint32_t kCamTag = 0xF8F9FAFBu;

// Outcome of a debug-information call: the reason a call of the sequence
// was refused or failed (or `ok`).
enum class Outcome {
    ok,
    null_pointer,
    cannot_open,
    segment_missing,
    tag_header_unwritable,
    main_segment_malformed,
    not_loaded,
    no_dimension_list,
    cannot_create_file,
    no_record_pointer,
};

constexpr const char* describe(Outcome o) {
    switch (o) {
        case Outcome::ok:
            return "";
        case Outcome::null_pointer:
            return "a pointer argument is null";
        case Outcome::cannot_open:
            return "the JPEG file cannot be opened";
        case Outcome::segment_missing:
            return "a debug segment the file's version needs is missing";
        case Outcome::tag_header_unwritable:
            return "TAG.h cannot be written in the host folder";
        case Outcome::main_segment_malformed:
            return "the main debug segment is missing, malformed or has another tag";
        case Outcome::not_loaded:
            return "no parameter table is loaded (DP_getInfo first; a dump consumes it)";
        case Outcome::no_dimension_list:
            return "the dimension list or one of its pointers is null";
        case Outcome::cannot_create_file:
            return "the dump file cannot be created";
        case Outcome::no_record_pointer:
            return "a section or column pointer of the array dump is null";
    }
    return "internal error";
}

// Reads the file's bytes the way the segment chain is walked in a file:
// sequential big- and little-endian reads, relative seeks. Bytes beyond the
// data read as zero, so every position is safe.
class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
    void seek_to(std::int64_t pos) { pos_ = pos; }
    // A seek before the start fails and leaves the position, as fseek does.
    void skip(std::int64_t delta) {
        if (pos_ + delta >= 0) pos_ += delta;
    }
    std::int64_t pos() const { return pos_; }
    std::uint16_t be16();
    std::uint32_t le32();

private:
    std::uint8_t byte();
    std::span<const std::uint8_t> bytes_;
    std::int64_t pos_ = 0;
};

// One block: the identifier and value words of its entries.
struct Block {
    std::vector<std::uint32_t> ids;
    std::vector<std::uint32_t> values;
};

// The raw tables a version-2 tail carries.
struct RawTables {
    std::array<std::uint32_t, kAwbWords> awb{};
    std::array<std::uint32_t, kGgmWords> ggm{};
    std::array<std::uint32_t, kPcaWords> pca{};
};

struct Segment {
    std::uint32_t length;  // L, counted from the length field
    std::uint8_t tag_byte;
};

// The first segment with `marker` among the 16 after the start-of-image
// marker; its tag must equal `tag` when one is given. On success the reader
// stands after the tag word.
std::optional<Segment> find_segment(Reader& in, std::uint16_t marker, std::optional<std::uint32_t> tag);

// Low byte of the first main-segment tag among the 16 first segments.
std::optional<int> main_tag_candidate(Reader& in);

// Debug-information version 0, 1 or 2 of the file.
int detect_version(Reader& in);

// Header-selection value of every module of `version`, in module order, or
// nothing when a segment the version needs is missing.
std::optional<std::vector<std::int32_t>> header_selection(Reader& in, int version);

// Read the parameter table of a file of `version`; tails update `tables`.
// Nothing when the main segment is missing or malformed.
std::optional<std::vector<Block>> read_table(Reader& in, int version, std::int32_t mode, RawTables& tables);

// The parameter-layout header of one firmware module.
struct Module {
    const char* prefix;
    const char* folder;  // relative to the host folder, '\\'-separated
    const char* fallback;
};
std::span<const Module> modules(int version);

// Assemble "TAG.h" in `host` from the modules' headers; false when it
// cannot be created.
bool write_tag_header(const std::string& host, int version, std::span<const std::int32_t> values);

// Field names of the first `blocks` brace blocks of "TAG.h" in `host`
// (empty lists when it cannot be read).
using NameLists = std::vector<std::vector<std::string>>;
NameLists read_names(const std::string& host, std::size_t blocks);

// ---------------------------------------------------------------- dumps

inline constexpr std::int32_t kMaxRows = 2047;
inline constexpr std::int32_t kMaxPairs = 1024;
inline constexpr std::size_t kMaxLabel = 51;

struct Cell {
    std::string label;
    std::string value;
};

// Fields of one block: rows[r - 1][p] is pair p of row r.
struct GridBlock {
    std::vector<std::vector<Cell>> rows;
    std::int32_t pairs = 0;
};

std::vector<GridBlock> build_grid(const std::vector<Block>& table, const NameLists& names, std::int32_t mode);

enum class SectionKind { NameValue, AfPairs, GgmTable, PcaTable };
struct Section {
    const char* header;
    SectionKind kind;
    int block;  // table block, or -1 for the raw tables
    int word;   // word of the size record, or -1
};
std::vector<Section> sections(std::int32_t mode, int version);

// Size-record words of the layout and the text dump (when `text` is given).
struct DumpCounts {
    std::array<std::int32_t, 12> words{};
    std::array<bool, 12> set{};
};
DumpCounts render(std::vector<GridBlock>& grid, std::int32_t mode, int version, const RawTables& tables,
                  std::string* text);

}  // namespace morvik::debuginfo
