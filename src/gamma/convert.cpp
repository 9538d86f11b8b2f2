// Gamma conversion between the KT1 anchor form and the KT2 packed table,
// and the gamma text file that carries a KT2 table.
#include <bit>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <system_error>

#include "gamma/gamma.h"

namespace morvik::gamma {

namespace {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// First entry, first position and shift of each run of the KT2 grid.
struct Run {
    int first_entry;
    int first_position;
    int shift;
};
constexpr std::array<Run, 4> kRuns = {{{0, 0, 3}, {64, 512, 4}, {96, 1024, 5}, {128, 2048, 7}}};

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

GridEntry grid_entry(int e) {
    std::size_t r = kRuns.size() - 1;
    while (e < kRuns[r].first_entry) --r;
    const Run& run = kRuns[r];
    return {e, run.first_position + ((e - run.first_entry) << run.shift), 1 << run.shift, run.shift};
}

GridEntry grid_entry_of(int input) {
    std::size_t r = kRuns.size() - 1;
    while (input < kRuns[r].first_position) --r;
    const Run& run = kRuns[r];
    return grid_entry(run.first_entry + ((input - run.first_position) >> run.shift));
}

Curve curve_from_anchors(const KT1Anchors& anchors) {
    // Knots on the 8-bit axis: 0 (value 0), the anchors, 255 (value 255).
    // The last segment ends at 4095 on the 12-bit axis: a span of 255, the
    // only one that is not a power of two.
    Curve curve{};
    for (int k = 0; k <= kAnchors; ++k) {
        const bool last = k == kAnchors;
        const std::uint32_t y0 = k == 0 ? 0u : anchors[std::size_t(k - 1)];
        const std::uint32_t y1 = last ? 255u : anchors[std::size_t(k)];
        const int start = k == 0 ? 0 : 16 * kAnchorPositions[std::size_t(k - 1)];
        const int end = last ? kInputs - 1 : 16 * kAnchorPositions[std::size_t(k)];
        const auto span = std::uint32_t(end - start);
        const int stop = last ? end + 1 : end;
        for (int i = start; i < stop; ++i) {
            const std::uint32_t sum = 4u * y1 * std::uint32_t(i - start) + 4u * y0 * std::uint32_t(end - i);
            std::uint32_t v = last ? sum / span : sum >> std::countr_zero(span);
            if (v > 1023u) v = 1023u;
            curve[std::size_t(i)] = std::int32_t(v);
        }
    }
    return curve;
}

KT2Table pack(const Curve& curve) {
    KT2Table t;
    const auto at = [&](int i) { return std::uint32_t(curve[std::size_t(i)]); };
    for (int e = 0; e < kEntries; ++e) {
        const GridEntry g = grid_entry(e);
        const std::uint32_t base = at(g.position);
        // The last step would end at 4096: it rises to the value at 4095.
        const std::uint32_t next = e == kEntries - 1 ? at(kInputs - 1) : at(g.position + g.step);
        t.base[std::size_t(e)] = base;
        t.packed[std::size_t(e)] = (next - base) * 1024u + base;  // a rise beyond 6 bits is kept whole
    }
    t.base[kEntries] = at(kInputs - 1);
    return t;
}

std::string gamma_file_text(const Curve& curve, const PackedTable& packed) {
    std::string text =
        "// 12bit --> 10bit Table.\n"
        "// Y_Limit = 1023\n"
        "// Y_MIN_Limit = 0\n"
        "// Spline Interpolation.\n"
        "// Spline Coeff. = 2.000\n";
    char line[80];
    for (int k = 0; k < 16; ++k) {
        const int x = k == 15 ? kInputs - 1 : 256 * k;
        std::snprintf(line, sizeof line, "// X_Position =     %d   Y_Position =     %d\n", x,
                      int(curve[std::size_t(x)]));
        text += line;
    }
    for (std::uint32_t word : packed) {
        std::snprintf(line, sizeof line, "%.4X\n", unsigned(word));
        text += line;
    }
    return text;
}

const char* describe(FileOutcome outcome) {
    switch (outcome) {
        case FileOutcome::ok: return "done";
        case FileOutcome::cannot_create: return "cannot create the gamma file";
        case FileOutcome::cannot_write: return "cannot write the gamma file";
        case FileOutcome::cannot_open: return "cannot open the gamma file";
    }
    return "unknown outcome";
}

FileOutcome write_text_file(const char* path, std::string_view text) {
    std::FILE* f = std::fopen(path, "wb");
    if (f == nullptr) return FileOutcome::cannot_create;
    const bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    const bool closed = std::fclose(f) == 0;
    if (written && closed) return FileOutcome::ok;
    std::remove(path);
    return FileOutcome::cannot_write;
}

Curve curve_from_packed(const PackedTable& packed, std::span<std::uint32_t, kEntries> bases) {
    Curve curve{};
    for (int e = 0; e < kEntries; ++e) {
        const GridEntry g = grid_entry(e);
        const std::uint32_t word = packed[std::size_t(e)];
        const int base = int(word & 0x3FFu);
        const int slope = int((word >> 10) & 0x3Fu);
        for (int f = 0; f < g.step; ++f)
            curve[std::size_t(g.position + f)] = base + ((slope * f + g.step / 2) >> g.shift);
        bases[std::size_t(e)] = std::uint32_t(base);
    }
    return curve;
}

Curve curve_from_bases(const BaseArray& base) {
    // 32-bit two's-complement arithmetic: a caller's base[144] may be any
    // word. The shift is arithmetic, so a falling curve rounds down.
    Curve curve{};
    for (int e = 0; e < kEntries; ++e) {
        const GridEntry g = grid_entry(e);
        const std::uint32_t b = base[std::size_t(e)];
        const std::uint32_t rise = base[std::size_t(e + 1)] - b;
        for (int f = 0; f < g.step; ++f) {
            const auto step = std::int32_t(rise * std::uint32_t(f) + std::uint32_t(g.step / 2));
            curve[std::size_t(g.position + f)] = std::int32_t(b + std::uint32_t(step >> g.shift));
        }
    }
    return curve;
}

KT1Anchors anchors_from_curve(const Curve& curve) {
    KT1Anchors a{};
    for (int k = 0; k < kAnchors; ++k)
        a[std::size_t(k)] = std::uint32_t(curve[std::size_t(16 * kAnchorPositions[std::size_t(k)])] >> 2);
    return a;
}

bool piece_word(std::string_view piece, std::uint32_t& word) {
    if (!piece.empty() && (piece[0] == '@' || piece[0] == '/' || piece[0] == '#')) return false;
    word = 0;
    for (char c : piece) {
        const int d = hex_digit(c);
        if (d < 0) break;
        word = word * 16u + std::uint32_t(d);
    }
    return true;
}

FileWords read_gamma_file(const char* path) {
    FileWords out;
    // A directory, a pipe or a device is no gamma file; opening a pipe could
    // block forever.
    std::error_code ec;
    if (!std::filesystem::is_regular_file(std::filesystem::path(path), ec)) {
        out.outcome = FileOutcome::cannot_open;
        return out;
    }
    const File file(std::fopen(path, "rb"));
    if (!file) {
        out.outcome = FileOutcome::cannot_open;
        return out;
    }
    // fgets stops after a line feed or after kPieceChars characters. A NUL
    // byte ends the hex digits like any other character, so the text before
    // the first one is all that counts.
    char piece[kPieceChars + 1];
    while (out.count < out.words.size() && std::fgets(piece, sizeof piece, file.get()) != nullptr) {
        std::uint32_t word = 0;
        if (piece_word(std::string_view(piece), word)) out.words[out.count++] = word;
    }
    if (std::ferror(file.get())) out.outcome = FileOutcome::cannot_open;
    return out;
}

}  // namespace morvik::gamma
