// The cell grid of the parameter table and the sectioned text dump.
#include <algorithm>
#include <cstdio>

#include "debuginfo/debuginfo.h"

namespace morvik::debuginfo {

namespace {

constexpr std::size_t kAfBlock = 1;

enum class ValueRule { None, Decimal, Hex };

// Mode 2 prints the 3A blocks in decimal and the ISP and camera blocks in
// hexadecimal; the older layout prints its five blocks in decimal. Blocks
// outside the layout stay out of the grid.
ValueRule value_rule(std::size_t block, std::int32_t mode) {
    if (block < 5) return ValueRule::Decimal;
    if (mode == 2 && block < 11) return ValueRule::Hex;
    return ValueRule::None;
}

std::string format_int(const char* format, std::uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, format, v);
    return text;
}

std::string decimal(std::uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "%d", static_cast<std::int32_t>(v));
    return text;
}

void trim_spaces(std::string& s) {
    const auto first = s.find_first_not_of(' ');
    if (first == std::string::npos) {
        s.clear();
        return;
    }
    s.erase(s.find_last_not_of(' ') + 1);
    s.erase(0, first);
}

}  // namespace

std::vector<GridBlock> build_grid(const std::vector<Block>& table, const NameLists& names, std::int32_t mode) {
    std::vector<GridBlock> grid(table.size());
    // Auto-focus scan: once "AFMODE" is 8, each "VLU" is labelled with its
    // lens position, counter * SCAN_STEP + SCAN_START.
    bool scan = false;
    std::uint32_t scan_start = 0, scan_step = 0, scan_counter = 0;
    for (std::size_t i = 0; i < table.size(); ++i) {
        const ValueRule rule = value_rule(i, mode);
        if (rule == ValueRule::None) continue;
        const auto& block = table[i];
        const std::vector<std::string>* block_names = i < names.size() ? &names[i] : nullptr;
        GridBlock& g = grid[i];
        std::int32_t pair = 0;
        bool dropping = false;  // a field beyond the row limit, with its continuations
        for (std::size_t j = 0; j < block.ids.size(); ++j) {
            const std::uint32_t id = block.ids[j], value = block.values[j];
            if ((id >> 24) == 0) continue;
            if ((id >> 23 & 1) != 0 && !g.rows.empty()) {
                if (dropping || pair + 1 >= kMaxPairs) continue;
                ++pair;
            } else {
                dropping = g.rows.size() >= static_cast<std::size_t>(kMaxRows);
                if (dropping) continue;
                g.rows.emplace_back();
                pair = 0;
            }
            const std::uint32_t k = id & 0xFFFF;
            std::string name = block_names != nullptr && k < block_names->size() ? (*block_names)[k] : decimal(k);
            std::string label = name;
            if (i == kAfBlock) {
                if (name == "AFMODE" && static_cast<std::int32_t>(value) == 8) scan = true;
                if (name == "SCAN_START") scan_start = value;
                if (name == "SCAN_STEP") scan_step = value;
                if (scan && name == "VLU") label = decimal(scan_counter++ * scan_step + scan_start);
            }
            if (label.size() > kMaxLabel) label.resize(kMaxLabel);
            auto& row = g.rows.back();
            row.resize(static_cast<std::size_t>(pair) + 1);
            row[pair] = Cell{std::move(label), rule == ValueRule::Hex ? format_int("%08x", value) : decimal(value)};
            g.pairs = i == kAfBlock ? std::max(g.pairs, pair + 1) : pair + 1;
        }
    }
    return grid;
}

std::vector<Section> sections(std::int32_t mode, int version) {
    using K = SectionKind;
    if (mode == 2) {
        return {{"[AE]\n", K::NameValue, 0, 1},
                {"\n\n[AF]\n", K::AfPairs, 1, 2},
                {"\n\n[AWB]\n", K::NameValue, 2, 3},
                {"\n\n[STRB]\n", K::NameValue, 3, 4},
                {"\n\n[ISP]\n", K::NameValue, 5, 6},
                {"\n\n[ISP TABLE] GGM\n", K::GgmTable, -1, -1},
                {"\n\n[ISP TABLE] PCA\n", K::PcaTable, -1, -1},
                {"\n\n[CAM]\n", K::NameValue, 6, 7},
                {"\n\n[MF]\n", K::NameValue, 7, 8},
                {"\n\n[N3D]\n", K::NameValue, 8, 9},
                {"\n\n[SENSOR]\n", K::NameValue, 9, 10},
                {"\n\n[SHADING]\n", K::NameValue, 10, 11}};
    }
    std::vector<Section> s = {{"[AE]\n", K::NameValue, 0, 1},
                              {"\n\n[AF]\n", K::AfPairs, 1, 2},
                              {"\n\n[AWB]\n", K::NameValue, 2, 3},
                              {"\n\n[ISP]\n", K::NameValue, 3, 4}};
    if (version != 0) s.push_back({"\n\n[CAM]\n", K::NameValue, 4, 5});
    return s;
}

DumpCounts render(std::vector<GridBlock>& grid, std::int32_t mode, int version, const RawTables& tables,
                  std::string* text) {
    DumpCounts counts;
    if (mode == 2) counts.set[5] = true;  // the flicker block is never dumped
    std::int32_t total = 0;
    char line[160];
    const auto put = [text](const char* s) {
        if (text != nullptr) *text += s;
    };
    for (const Section& s : sections(mode, version)) {
        put(s.header);
        if (s.kind == SectionKind::GgmTable || s.kind == SectionKind::PcaTable) {
            if (text == nullptr) continue;
            const auto words = s.kind == SectionKind::GgmTable ? std::span<const std::uint32_t>(tables.ggm)
                                                               : std::span<const std::uint32_t>(tables.pca);
            for (std::uint32_t w : words) {
                std::snprintf(line, sizeof line, "0x%08x\n", w);
                put(line);
            }
            continue;
        }
        std::int32_t n = 0;
        if (static_cast<std::size_t>(s.block) < grid.size()) {
            for (auto& row : grid[static_cast<std::size_t>(s.block)].rows) {
                if (s.kind == SectionKind::NameValue) {
                    if (text != nullptr) {
                        std::snprintf(line, sizeof line, "%-40s: %12s\n", row[0].label.c_str(), row[0].value.c_str());
                        put(line);
                    }
                    ++n;
                    continue;
                }
                for (auto& cell : row) {
                    trim_spaces(cell.label);
                    if (cell.label.empty()) continue;
                    if (text != nullptr) {
                        std::snprintf(line, sizeof line, "%-12s:%8s,\t", cell.label.c_str(), cell.value.c_str());
                        put(line);
                    }
                    ++n;
                }
                put("\n");
            }
        }
        counts.words[s.word] = n;
        counts.set[s.word] = true;
        total += n;
    }
    counts.words[0] = total;
    counts.set[0] = true;
    return counts;
}

}  // namespace morvik::debuginfo
