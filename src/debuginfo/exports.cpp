// C exports of the debug-information dump. The calls share one module
// state: DP_getInfo fills it, the size query and getters read it, a dump
// consumes the parameter table and the name lists.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>

#include "debuginfo/debuginfo.h"
#include "frame/guard.h"
#include "morvik/morvik.h"
#include "platform/platform.h"

namespace {

using namespace morvik::debuginfo;
using morvik::frame::guarded;

std::int32_t refuse(Outcome o) { return morvik::frame::refuse<std::int32_t>(0, o); }

struct State {
    int version = 0;
    std::int32_t mode = 0;
    bool loaded = false;
    std::vector<Block> table;
    NameLists names;
    RawTables tables;

    void unload() {
        loaded = false;
        table = {};
        names = {};
    }
};

State& state() {
    static State s;
    return s;
}

std::optional<std::vector<std::uint8_t>> read_head(const char* path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return std::nullopt;
    const auto end = in.tellg();
    in.seekg(0);
    std::vector<std::uint8_t> bytes(end > 0 ? std::min(static_cast<std::size_t>(end), kMaxFileBytes) : kMaxFileBytes);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    return bytes;
}

// Every block needs a dimension pair to write to.
bool dims_valid(std::int32_t** dims, std::size_t blocks) {
    if (blocks == 0) return true;
    if (dims == nullptr) return false;
    for (std::size_t i = 0; i < blocks; ++i) {
        if (dims[i] == nullptr) return false;
    }
    return true;
}

std::vector<GridBlock> grid_into(const State& s, std::int32_t** dims) {
    auto grid = build_grid(s.table, s.names, s.mode);
    for (std::size_t i = 0; dims != nullptr && i < grid.size(); ++i) {
        dims[i][0] = static_cast<std::int32_t>(grid[i].rows.size());
        dims[i][1] = grid[i].pairs;
    }
    return grid;
}

void store(const DumpCounts& counts, std::int32_t* size) {
    for (std::size_t w = 0; w < counts.words.size(); ++w) {
        if (counts.set[w]) size[w] = counts.words[w];
    }
}

// Read `path` into the module state: segments, "TAG.h" in the host folder,
// parameter table, name lists. Any failure leaves no table loaded.
Outcome load(State& s, const char* path, std::int32_t mode, std::int32_t* block_count) {
    s.unload();
    s.tables.ggm.fill(0);
    s.tables.pca.fill(0);
    const auto bytes = read_head(path);
    if (!bytes) return Outcome::cannot_open;
    Reader in(*bytes);
    s.version = detect_version(in);
    const auto values = header_selection(in, s.version);
    if (!values) return Outcome::segment_missing;
    const std::string host = morvik::platform::host_dir();
    if (!write_tag_header(host, s.version, *values)) return Outcome::tag_header_unwritable;
    s.mode = mode;
    auto table = read_table(in, s.version, mode, s.tables);
    if (!table) return Outcome::main_segment_malformed;
    *block_count = static_cast<int32_t>(table->size());
    s.names = read_names(host, table->size());
    s.table = std::move(*table);
    s.loaded = true;
    return Outcome::ok;
}

Outcome dump_file(const char* file_name, std::int32_t* size, std::int32_t** dims) {
    auto& s = state();
    if (!s.loaded) return Outcome::not_loaded;
    if (!dims_valid(dims, s.table.size())) return Outcome::no_dimension_list;
    auto grid = grid_into(s, dims);
    std::string text;
    const DumpCounts counts = render(grid, s.mode, s.version, s.tables, &text);
    std::FILE* f = std::fopen(file_name, "wb");
    if (f == nullptr) return Outcome::cannot_create_file;
    const bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    if (std::fclose(f) != 0 || !written) return Outcome::cannot_create_file;
    store(counts, size);
    s.unload();
    return Outcome::ok;
}

std::int32_t status_of(Outcome o) { return o == Outcome::ok ? 1 : refuse(o); }

// A text cut to 31 characters, copied with its NUL.
void put_text(char (&field)[32], const std::string& text) {
    const std::size_t n = std::min<std::size_t>(text.size(), sizeof field - 1);
    std::memcpy(field, text.data(), n);
    field[n] = '\0';
}

}  // namespace

extern "C" {

MORVIK_API int32_t DP_getInfo(const char* path, int32_t mode, int32_t* blockCount) {
    return guarded<int32_t>(0, [&]() -> int32_t {
        if (path == nullptr || blockCount == nullptr) return refuse(Outcome::null_pointer);
        return status_of(load(state(), path, mode, blockCount));
    });
}

MORVIK_API int32_t DP_GET_SIZE(int32_t* size, int32_t** dims) {
    return guarded<int32_t>(0, [&]() -> int32_t {
        if (size == nullptr) return refuse(Outcome::null_pointer);
        const auto& s = state();
        if (!s.loaded) {
            std::fill(size, size + DP_SIZE_RECORD_WORDS, 0);
            return 1;
        }
        if (!dims_valid(dims, s.table.size())) return refuse(Outcome::no_dimension_list);
        auto grid = grid_into(s, dims);
        store(render(grid, s.mode, s.version, s.tables, nullptr), size);
        return 1;
    });
}

MORVIK_API int32_t DP_dumpInfo_File_RC(const char* fileName, int32_t* size, int32_t** dims) {
    return guarded<int32_t>(0, [&]() -> int32_t {
        if (fileName == nullptr || size == nullptr) return refuse(Outcome::null_pointer);
        return status_of(dump_file(fileName, size, dims));
    });
}

MORVIK_API int32_t DP_dumpInfo_File(const char* fileName, int32_t* size) {
    return guarded<int32_t>(0, [&]() -> int32_t {
        if (fileName == nullptr || size == nullptr) return refuse(Outcome::null_pointer);
        const std::size_t n = state().table.size();
        std::vector<std::array<int32_t, 2>> pairs(n);
        std::vector<int32_t*> dims(n);
        for (std::size_t i = 0; i < n; ++i) dims[i] = pairs[i].data();
        return status_of(dump_file(fileName, size, dims.data()));
    });
}

MORVIK_API int32_t DP_dumpInfo_array_RC(DpDumpRecord*** out) {
    return guarded<int32_t>(0, [&]() -> int32_t {
        auto& s = state();
        if (!s.loaded) return refuse(Outcome::not_loaded);
        auto grid = build_grid(s.table, s.names, s.mode);
        std::vector<Section> parts;
        for (const auto& sec : sections(s.mode, s.version)) {
            if (sec.block >= 0 && static_cast<std::size_t>(sec.block) < grid.size()) parts.push_back(sec);
        }
        // Records are written for pair 0 of every row, and for every labelled
        // pair of the AF block; each needs its section and column pointers.
        const auto each_record = [&](auto&& visit) {
            for (const auto& sec : parts) {
                const auto& rows = grid[static_cast<std::size_t>(sec.block)].rows;
                for (std::size_t r = 0; r < rows.size(); ++r) {
                    for (std::size_t p = 0; p < rows[r].size(); ++p) {
                        const bool af = sec.kind == SectionKind::AfPairs;
                        if ((!af && p > 0) || (af && rows[r][p].label.empty())) continue;
                        if (!visit(sec.block, p, r, rows[r][p])) return false;
                    }
                }
            }
            return true;
        };
        const bool valid = each_record([&](int block, std::size_t p, std::size_t, const Cell&) {
            return out != nullptr && out[block] != nullptr && out[block][p] != nullptr;
        });
        if (!valid) return refuse(Outcome::no_record_pointer);
        each_record([&](int block, std::size_t p, std::size_t r, const Cell& cell) {
            DpDumpRecord& rec = out[block][p][r];
            put_text(rec.label, cell.label);
            put_text(rec.value, cell.value);
            return true;
        });
        s.unload();
        return 1;
    });
}

MORVIK_API void DP_GetAWBinfo(uint32_t* buffer) {
    morvik::frame::guarded_void([&] {
        if (buffer == nullptr) return morvik::frame::refuse_void(Outcome::null_pointer);
        const auto& awb = state().tables.awb;
        std::copy(awb.begin(), awb.end(), buffer);
    });
}

MORVIK_API int32_t GetGGMTbl(uint32_t* buffer) {
    return guarded<int32_t>(0, [&]() -> int32_t {
        if (buffer == nullptr) return refuse(Outcome::null_pointer);
        const auto& ggm = state().tables.ggm;
        std::copy(ggm.begin(), ggm.end(), buffer);
        return 1;
    });
}

MORVIK_API int32_t GetPCATbl(uint32_t* buffer) {
    return guarded<int32_t>(0, [&]() -> int32_t {
        if (buffer == nullptr) return refuse(Outcome::null_pointer);
        const auto& pca = state().tables.pca;
        std::copy(pca.begin(), pca.end(), buffer);
        return 1;
    });
}

}  // extern "C"
