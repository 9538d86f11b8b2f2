// The debug segments of a JPEG file: search, version, header-selection
// values and the parameter table.
#include <algorithm>

#include "debuginfo/debuginfo.h"

namespace morvik::debuginfo {

namespace {

constexpr std::uint16_t kApp2 = 0xFFE2, kApp3 = 0xFFE3, kApp4 = 0xFFE4, kApp5 = 0xFFE5, kApp6 = 0xFFE6,
                        kApp7 = 0xFFE7;
constexpr int kSearchLimit = 16;
constexpr std::uint32_t kTailSizes[] = {8812, 8814};

std::vector<std::uint32_t> read_words(Reader& in, std::size_t count) {
    std::vector<std::uint32_t> words(count);
    for (auto& w : words) w = in.le32();
    return words;
}

// Offsets must stay inside the segment and never decrease; then each
// block's entry count is bounded by the segment's length.
bool offsets_valid(const std::vector<std::uint32_t>& off, std::uint32_t length) {
    for (std::size_t i = 0; i < off.size(); ++i) {
        if (off[i] > length || (i > 0 && off[i] < off[i - 1])) return false;
    }
    return true;
}

// Blocks 0 .. count-1 read sequentially, sized from the offsets: a block
// that is not the last offset's ends where the next one starts, the last
// one ends with the segment.
std::vector<Block> read_blocks(Reader& in, const std::vector<std::uint32_t>& off, std::size_t count,
                               std::uint32_t length) {
    std::vector<Block> blocks(count);
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t n = (i + 1 < off.size() ? off[i + 1] - off[i] : length - off[i]) / 8;
        blocks[i].ids.resize(n);
        blocks[i].values.resize(n);
    }
    for (auto& b : blocks) {
        for (std::size_t j = 0; j < b.ids.size(); ++j) {
            b.ids[j] = in.le32();
            b.values[j] = in.le32();
        }
    }
    return blocks;
}

void read_tail(Reader& in, std::uint32_t tail_size, RawTables& tables) {
    if (std::find(std::begin(kTailSizes), std::end(kTailSizes), tail_size) == std::end(kTailSizes)) return;
    for (auto& w : tables.awb) w = in.le32();
    auto& awb = tables.awb;
    if (awb[6] == 0 && awb[1] * 3u == awb[2] * 4u) awb[6] = awb[5];
    for (auto& w : tables.ggm) w = in.le32();
    for (auto& w : tables.pca) w = in.le32();
}

// An ISP, camera or version-2 main segment: its blocks, or none when it is
// missing or malformed.
std::vector<Block> read_segment_blocks(Reader& in, std::uint16_t marker, std::optional<std::uint32_t> tag,
                                       int version, RawTables& tables) {
    const auto seg = find_segment(in, marker, tag);
    if (!seg) return {};
    const std::uint32_t counts = in.le32();
    const std::uint32_t a = counts >> 16, b = counts & 0xFFFF;
    if (version < 2 && (a != 1 || b != 1)) return {};
    // Every block needs its offset; offsets beyond the blocks announce the
    // tail, which starts at the last one.
    if (b > kMaxSegmentBlocks || a < b) return {};
    const auto off = read_words(in, a);
    if (!offsets_valid(off, seg->length)) return {};
    auto blocks = read_blocks(in, off, b, seg->length);
    if (a != b) read_tail(in, seg->length - off[a - 1], tables);
    return blocks;
}

// Header-selection values of a version-2 segment: the first value word of
// every block, found by stepping over the blocks with the offsets.
std::optional<std::array<std::int32_t, kMaxSegmentBlocks>> segment_values(Reader& in, std::uint16_t marker) {
    if (!find_segment(in, marker, std::nullopt)) return std::nullopt;
    const std::uint32_t a = in.le32() >> 16;
    const auto off = read_words(in, a);
    std::array<std::int32_t, kMaxSegmentBlocks> values{};
    for (std::uint32_t i = 0; i < a; ++i) {
        const std::uint32_t step = (i == 0 ? 8u : off[i] - off[i - 1]) - 4u;
        in.skip(static_cast<std::int32_t>(step));
        const auto v = static_cast<std::int32_t>(in.le32());
        if (i < kMaxSegmentBlocks) values[i] = v;
    }
    return values;
}

// Value of the single block of a version 0/1 ISP or camera segment, 0 when
// the segment is missing.
std::int32_t single_value(Reader& in, std::uint16_t marker, std::uint32_t tag) {
    if (!find_segment(in, marker, tag)) return 0;
    in.skip(12);  // counts, the offset, the first identifier
    return static_cast<std::int32_t>(in.le32());
}

// Values of main blocks 0..2 of a version 0/1 file.
std::optional<std::array<std::int32_t, 3>> main_values(Reader& in, std::uint16_t marker, int version) {
    const auto seg = find_segment(in, marker, kMainTag + static_cast<std::uint32_t>(version));
    if (!seg || seg->tag_byte != version) return std::nullopt;
    const std::uint32_t a = in.le32() >> 16;
    const auto off = read_words(in, a);
    std::array<std::int32_t, 3> values{};
    in.skip(4);
    values[0] = static_cast<std::int32_t>(in.le32());
    for (std::uint32_t i = 1; i < 3 && i < a; ++i) {
        in.skip(static_cast<std::int32_t>(off[i] - off[i - 1] - 4u));
        values[i] = static_cast<std::int32_t>(in.le32());
    }
    return values;
}

}  // namespace

std::uint8_t Reader::byte() {
    const std::int64_t p = pos_++;
    return (p >= 0 && static_cast<std::uint64_t>(p) < bytes_.size()) ? bytes_[static_cast<std::size_t>(p)] : 0;
}

std::uint16_t Reader::be16() {
    const unsigned hi = byte();
    return static_cast<std::uint16_t>((hi << 8) | byte());
}

std::uint32_t Reader::le32() {
    std::uint32_t w = 0;
    for (int i = 0; i < 4; ++i) w |= std::uint32_t{byte()} << (8 * i);
    return w;
}

std::optional<Segment> find_segment(Reader& in, std::uint16_t marker, std::optional<std::uint32_t> tag) {
    in.seek_to(2);
    std::uint16_t length = 0;
    for (int mismatches = 0;;) {
        const std::uint16_t m = in.be16();
        length = in.be16();
        if (m == marker) break;
        in.skip(std::int64_t{length} - 2);
        if (++mismatches >= kSearchLimit) return std::nullopt;
    }
    const std::uint32_t word = in.le32();
    // A length of 0 reads as "not found", like every other failure.
    if (length == 0 || (tag && word != *tag)) return std::nullopt;
    return Segment{length, static_cast<std::uint8_t>(word & 0xFF)};
}

std::optional<int> main_tag_candidate(Reader& in) {
    in.seek_to(2);
    for (int i = 0; i < kSearchLimit; ++i) {
        in.skip(2);
        const std::uint16_t length = in.be16();
        const std::uint32_t tag = in.le32();
        if ((tag & 0xFFFFFF00u) == kMainTag) return static_cast<int>(tag & 0xFF);
        in.skip(std::int64_t{length} - 6);
    }
    return std::nullopt;
}

int detect_version(Reader& in) {
    if (main_tag_candidate(in).value_or(0) == 2) return 2;
    return find_segment(in, kApp6, kCamTag) ? 1 : 0;
}

std::optional<std::vector<std::int32_t>> header_selection(Reader& in, int version) {
    if (version == 2) {
        const auto isp = segment_values(in, kApp7);
        if (!isp) return std::nullopt;
        const auto cam = segment_values(in, kApp5);
        if (!cam) return std::nullopt;
        const auto main = segment_values(in, kApp6);
        if (!main) return std::nullopt;
        std::vector<std::int32_t> v(main->begin(), main->begin() + 5);
        v.push_back((*isp)[0]);
        v.insert(v.end(), cam->begin(), cam->begin() + 5);
        return v;
    }
    const std::int32_t cam = version == 1 ? single_value(in, kApp6, kCamTag) : 0;
    const std::int32_t isp = single_value(in, version == 1 ? kApp5 : kApp3, kIspTag);
    const auto main = main_values(in, version == 1 ? kApp4 : kApp2, version);
    if (!main) return std::nullopt;
    std::vector<std::int32_t> v(main->begin(), main->end());
    v.push_back(isp);
    if (version == 1) v.push_back(cam);
    return v;
}

std::optional<std::vector<Block>> read_table(Reader& in, int version, std::int32_t mode, RawTables& tables) {
    const bool v2 = version == 2;
    const auto checked = [v2](std::uint32_t tag) { return v2 ? std::nullopt : std::optional<std::uint32_t>(tag); };

    // The blocks of the other segments are staged first.
    std::vector<Block> main_blocks, extra;
    if (v2) main_blocks = read_segment_blocks(in, kApp6, std::nullopt, version, tables);
    const std::uint16_t isp_marker = v2 ? kApp7 : version == 1 ? kApp5 : kApp3;
    auto isp = read_segment_blocks(in, isp_marker, checked(kIspTag), version, tables);
    std::vector<Block> cam;
    if (version >= 1) cam = read_segment_blocks(in, v2 ? kApp5 : kApp6, checked(kCamTag), version, tables);

    // Mode 0 expects a tag that no version 0/1 file carries.
    const std::uint32_t tag = (mode != 0 ? kMainTag : 0xF0F1F2F3u) + static_cast<std::uint32_t>(version);
    auto main = find_segment(in, kApp2, checked(tag));
    if (!main) main = find_segment(in, kApp6, checked(tag));
    if (!main || main->tag_byte != version) return std::nullopt;

    if (!v2) {
        const std::uint32_t counts = in.le32();
        const std::uint32_t a = counts >> 16, b = counts & 0xFFFF;
        if (a != b) return std::nullopt;
        const auto off = read_words(in, a);
        if (!offsets_valid(off, main->length)) return std::nullopt;
        main_blocks = read_blocks(in, off, b, main->length);
    }
    std::vector<Block> table = std::move(main_blocks);
    for (auto* staged : {&isp, &cam}) {
        for (auto& blk : *staged) table.push_back(std::move(blk));
    }
    return table;
}

}  // namespace morvik::debuginfo
