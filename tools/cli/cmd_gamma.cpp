// `morvik gamma`: gamma update with tone curves and previews, conversion of
// KT1 anchors to the KT2 gamma text file and back; the gamma demo step.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include "cli.h"
#include "frame/maths.h"
#include "morvik/morvik.h"
#include "stb_image_write.h"  // implementation from libstb

namespace morvik::cli {

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

constexpr int kAnchorCount = MORVIK_GAMMA_ANCHORS;
constexpr std::array<int, kAnchorCount> kPositions = {2,  4,  8,   16,  24,  32,  40,  48,  56,  64,
                                                      80, 96, 112, 128, 144, 160, 192, 208, 224, 240};

// ---------------------------------------------------------------- input files

// `count` integers in lo..hi from a text/CSV file (numbers separated by
// commas, semicolons or white space, '#' comments) or a JSON document (an
// array, or an object whose member `key` is the array).
std::vector<long> read_integers(const fs::path& path, const char* key, std::size_t count, long lo, long hi) {
    std::string text;
    try {
        text = read_text_file(path);
    } catch (const Error& e) {
        throw BadInput(e.what());
    }
    const std::string range = " is not an integer in " + std::to_string(lo) + ".." + std::to_string(hi);
    auto check = [&](double v, const std::string& where) {
        if (!(v >= double(lo) && v <= double(hi)) || v != std::floor(v)) throw BadInput(where + range);
        return static_cast<long>(v);
    };
    std::vector<long> values;
    if (looks_like_json(path, text)) {
        Json doc;
        try {
            doc = Json::parse(text);
        } catch (const Json::exception& e) {
            throw BadInput(path.string() + ": not valid JSON: " + e.what());
        }
        if (doc.is_object() && doc.contains(key)) doc = doc[key];
        if (!doc.is_array())
            throw BadInput(path.string() + ": expected an array of numbers or an object with \"" + key + "\"");
        for (std::size_t i = 0; i < doc.size(); ++i) {
            const std::string where = path.string() + ": entry " + std::to_string(i);
            if (!doc[i].is_number()) throw BadInput(where + ": expected a number");
            values.push_back(check(doc[i].get<double>(), where + ": " + doc[i].dump()));
        }
    } else {
        for (const auto& row : parse_csv(text)) {
            for (const auto& field : row.fields) {
                const std::string where = path.string() + ":" + std::to_string(row.line) + ": \"" + field + "\"";
                if (!is_number(field)) throw BadInput(where + " is not a number");
                values.push_back(check(std::strtod(field.c_str(), nullptr), where));
            }
        }
    }
    if (values.size() != count)
        throw BadInput(path.string() + ": expected " + std::to_string(count) + " values, found " +
                       std::to_string(values.size()));
    return values;
}

std::array<std::uint8_t, kAnchorCount> read_anchors(const fs::path& path) {
    const auto v = read_integers(path, "anchors", kAnchorCount, 0, 255);
    std::array<std::uint8_t, kAnchorCount> a{};
    for (std::size_t i = 0; i < a.size(); ++i) a[i] = static_cast<std::uint8_t>(v[i]);
    return a;
}

// ---------------------------------------------------------------- output files

// Write one output through a temporary file beside the target, renamed on
// success, so that a failed run leaves nothing behind. `produce` writes the
// temporary file and returns false when it could not.
template <class Produce>
void write_atomically(const std::string& option, const fs::path& target, Produce produce) {
    Outputs outputs;
    const fs::path temp = outputs.add(target, option);
    std::error_code ec;
    if (!produce(temp) || !fs::is_regular_file(temp, ec)) {
        throw BadInput(option + " " + target.string() + ": cannot write the file (read-only folder?)");
    }
    outputs.commit();
}

// ---------------------------------------------------------------- update

struct UpdateOptions {
    std::string anchors;
    std::vector<std::string> tones;
    std::string png;
    bool json = false;
};

struct UpdateReport {
    std::array<std::string, 4> tone_sources;
    GammaUpdateOutput out{};
    std::string png;
};

constexpr std::array<std::array<std::uint8_t, 3>, 5> kColours = {
    {{0, 0, 0}, {220, 30, 30}, {20, 150, 40}, {30, 60, 220}, {240, 140, 0}}};
constexpr std::array<const char*, 5> kColourNames = {"black", "red", "green", "blue", "orange"};

// Five preview curves on a 256 x 256 grid, input to the right, output up.
std::vector<std::uint8_t> plot_previews(const GammaUpdateOutput& out) {
    constexpr int kSize = 256;
    std::vector<std::uint8_t> rgb(std::size_t(kSize) * kSize * 3, 255);
    auto put = [&](int x, int y, const std::array<std::uint8_t, 3>& c) {
        if (x < 0 || x >= kSize || y < 0 || y >= kSize) return;
        std::memcpy(&rgb[(std::size_t(kSize - 1 - y) * kSize + std::size_t(x)) * 3], c.data(), 3);
    };
    for (int g = 0; g < kSize; g += 32)
        for (int t = 0; t < kSize; ++t) {
            put(g, t, {220, 220, 220});
            put(t, g, {220, 220, 220});
        }
    for (int k = 4; k >= 0; --k) {  // the gamma itself on top
        for (int j = 0; j + 1 < 64; ++j) {
            const int x0 = j == 0 ? 2 : 4 * j, x1 = 4 * (j + 1);
            const int y0 = out.preview[k][j], y1 = out.preview[k][j + 1];
            const int steps = std::max(std::abs(x1 - x0), std::abs(y1 - y0));
            for (int s = 0; s <= steps; ++s)
                put(x0 + (x1 - x0) * s / steps, y0 + (y1 - y0) * s / steps, kColours[std::size_t(k)]);
        }
    }
    return rgb;
}

void write_png(const fs::path& path, const std::vector<std::uint8_t>& rgb) {
    write_atomically("--png", path, [&](const fs::path& temp) {
        return stbi_write_png(temp.string().c_str(), 256, 256, 3, rgb.data(), 256 * 3) != 0;
    });
}

UpdateReport run_update(const UpdateOptions& o) {
    if (o.tones.size() > 4) throw BadInput("--tone: at most four tone curves, got " + std::to_string(o.tones.size()));
    const auto gamma = read_anchors(o.anchors);
    auto in = std::make_unique<GammaUpdateInput>();
    std::copy(gamma.begin(), gamma.end(), in->anchors);
    UpdateReport r;
    for (std::size_t k = 0; k < 4; ++k) {
        if (k < o.tones.size()) {
            const auto v = read_integers(o.tones[k], "tone", 1024, 0, 65535);
            for (std::size_t i = 0; i < 1024; ++i) in->tone[k][i] = static_cast<std::uint16_t>(v[i]);
            r.tone_sources[k] = o.tones[k];
        } else {
            for (int i = 0; i < 1024; ++i) in->tone[k][i] = static_cast<std::uint16_t>(i);
            r.tone_sources[k] = "identity";
        }
    }
    aeZetDllUpateGammaTable(in.get(), &r.out);
    if (!o.png.empty()) {
        write_png(o.png, plot_previews(r.out));
        r.png = o.png;
    }
    return r;
}

std::vector<int> row(const std::uint8_t* p, std::size_t n) { return {p, p + n}; }

Json update_json(const UpdateReport& r) {
    Json j;
    j["positions"] = kPositions;
    j["gamma"] = row(r.out.anchors, kAnchorCount);
    j["composed"] = Json::array();
    for (int k = 0; k < 4; ++k)
        j["composed"].push_back({{"tone", r.tone_sources[std::size_t(k)]}, {"anchors", row(r.out.composed[k], kAnchorCount)}});
    std::vector<int> inputs;
    for (int s = 0; s < 64; ++s) inputs.push_back(s == 0 ? 2 : 4 * s);
    j["preview_inputs"] = inputs;
    j["previews"] = Json::array();
    for (int k = 0; k < 5; ++k) j["previews"].push_back(row(r.out.preview[k], 64));
    if (!r.png.empty()) {
        j["png"] = r.png;
        j["png_colours"] = kColourNames;
    }
    return j;
}

void print_anchor_row(const char* label, const std::uint8_t* v) {
    std::printf("%-10s", label);
    for (int i = 0; i < kAnchorCount; ++i) std::printf(" %3d", v[i]);
    std::printf("\n");
}

void print_update(const UpdateReport& r) {
    std::printf("%-10s", "input");
    for (int p : kPositions) std::printf(" %3d", p);
    std::printf("\n");
    print_anchor_row("gamma", r.out.anchors);
    for (int k = 0; k < 4; ++k) {
        const std::string label = "tone " + std::to_string(k + 1);
        print_anchor_row(label.c_str(), r.out.composed[k]);
    }
    for (int k = 0; k < 4; ++k) std::printf("tone %d: %s\n", k + 1, r.tone_sources[std::size_t(k)].c_str());
    std::printf("\npreview samples at inputs 2, 4, 8, ..., 252 (16 per line)\n");
    for (int k = 0; k < 5; ++k) {
        const std::string label = k == 0 ? "gamma" : "tone " + std::to_string(k);
        for (int line = 0; line < 4; ++line) {
            std::printf("%-8s", line == 0 ? label.c_str() : "");
            for (int s = 16 * line; s < 16 * line + 16; ++s) std::printf(" %3d", r.out.preview[k][s]);
            std::printf("\n");
        }
    }
    if (!r.png.empty())
        std::printf("\npng: %s (gamma %s, tone 1 %s, tone 2 %s, tone 3 %s, tone 4 %s)\n", r.png.c_str(), kColourNames[0],
                    kColourNames[1], kColourNames[2], kColourNames[3], kColourNames[4]);
}

// ---------------------------------------------------------------- KT1 <-> KT2

struct Table {
    std::array<std::uint32_t, MORVIK_GAMMA_KT2_ENTRIES> packed{};
    std::array<std::uint32_t, MORVIK_GAMMA_KT2_BASES> base{};
};

int grid_position(int e) {
    if (e < 64) return 8 * e;
    if (e < 96) return 512 + 16 * (e - 64);
    if (e < 128) return 1024 + 32 * (e - 96);
    return 2048 + 128 * (e - 128);
}

Json table_json(const Table& t, bool with_base_144) {
    Json entries = Json::array();
    for (int e = 0; e < MORVIK_GAMMA_KT2_ENTRIES; ++e) {
        const std::uint32_t w = t.packed[std::size_t(e)];
        entries.push_back({{"input", grid_position(e)},
                           {"word", w},
                           {"base", w & 0x3FFu},
                           {"slope", (w >> 10) & 0x3Fu}});
    }
    Json j{{"entries", entries}};
    if (with_base_144) j["value_at_4095"] = t.base[MORVIK_GAMMA_KT2_ENTRIES];
    return j;
}

void print_table(const Table& t) {
    std::printf("entry input  word  base slope   (slope: bits 10..15 of the word)\n");
    for (int e = 0; e < MORVIK_GAMMA_KT2_ENTRIES; ++e) {
        const std::uint32_t w = t.packed[std::size_t(e)];
        std::printf("%5d %5d %5.4X %5u %5u\n", e, grid_position(e), w, w & 0x3FFu, (w >> 10) & 0x3Fu);
    }
}

struct ToKt2Options {
    std::string anchors;
    std::string output;
    bool json = false;
};

struct ToKt2Report {
    std::array<std::uint32_t, kAnchorCount> anchors{};
    Table table;
    std::string file;
};

// KT1 -> KT2 with the gamma text file written at `path` (no atomic rename).
// Returns false when the file could not be written.
bool convert_to_kt2(const std::array<std::uint32_t, kAnchorCount>& a, Table& t, const fs::path& path) {
    if (GMA_convert_KT1_to_KT2(a.data(), t.base.data(), t.packed.data(), path.string().c_str()) != 0)
        throw Error(std::string("KT1 to KT2 conversion failed: ") + morvik_last_error());
    return morvik_last_error()[0] == '\0';
}

ToKt2Report run_to_kt2(const ToKt2Options& o) {
    ToKt2Report r;
    const auto a = read_anchors(o.anchors);
    std::copy(a.begin(), a.end(), r.anchors.begin());
    write_atomically("--output", o.output, [&](const fs::path& temp) { return convert_to_kt2(r.anchors, r.table, temp); });
    r.file = o.output;
    return r;
}

struct ToKt1Options {
    std::string file;
    bool bases = false;
    bool json = false;
};

struct ToKt1Report {
    std::string file;
    bool bases = false;
    int words_read = 0;
    std::array<std::uint32_t, kAnchorCount> anchors{};
    Table table;
};

ToKt1Report run_to_kt1(const ToKt1Options& o) {
    ToKt1Report r;
    r.file = o.file;
    r.bases = o.bases;
    // Two reads with different fills tell the words read from the kept ones.
    Table ones;
    ones.packed.fill(0xFFFFFFFFu);
    std::array<std::uint32_t, kAnchorCount> scratch{};
    const char* path = o.file.c_str();
    if (GMA_convert_KT2_to_KT1_file(path, r.anchors.data(), r.table.packed.data(), r.table.base.data()) != 0 ||
        GMA_convert_KT2_to_KT1_file(path, scratch.data(), ones.packed.data(), ones.base.data()) != 0)
        throw BadInput(o.file + ": cannot be opened as a gamma file (not a readable regular file)");
    while (r.words_read < MORVIK_GAMMA_KT2_ENTRIES &&
           r.table.packed[std::size_t(r.words_read)] == ones.packed[std::size_t(r.words_read)])
        ++r.words_read;
    if (o.bases) {
        // The last step rises to the value at 4095: its base plus its slope.
        const std::uint32_t last = r.table.packed[MORVIK_GAMMA_KT2_ENTRIES - 1];
        r.table.base[MORVIK_GAMMA_KT2_ENTRIES] = (last & 0x3FFu) + ((last >> 10) & 0x3Fu);
        if (GMA_convert_KT2_to_KT1(r.table.packed.data(), r.anchors.data(), r.table.base.data()) != 0)
            throw Error(std::string("KT2 to KT1 conversion failed: ") + morvik_last_error());
    }
    return r;
}

void print_positions() {
    std::printf("%-10s", "input");
    for (int p : kPositions) std::printf(" %3d", p);
    std::printf("\n");
}

void print_anchors(const std::array<std::uint32_t, kAnchorCount>& a, const char* label) {
    std::printf("%-10s", label);
    for (auto v : a) std::printf(" %3u", v);
    std::printf("\n");
}

// ---------------------------------------------------------------- demo

void demo() {
    // A standard 2.2 gamma: output 255 * (input / 255)^(1 / 2.2), rounded.
    std::array<std::uint32_t, kAnchorCount> before{};
    for (int k = 0; k < kAnchorCount; ++k)
        before[std::size_t(k)] = static_cast<std::uint32_t>(
            std::floor(255.0 * maths::pow(kPositions[std::size_t(k)] / 255.0, 1.0 / 2.2) + 0.5));
    std::error_code ec;
    const fs::path dir = fs::temp_directory_path() / ("morvik-gamma-demo-" + std::to_string(std::random_device{}()));
    fs::create_directories(dir);
    const fs::path file = dir / "gamma.txt";
    Table t;
    const bool written = convert_to_kt2(before, t, file);
    std::array<std::uint32_t, kAnchorCount> after{};
    Table back;
    const int status =
        written ? GMA_convert_KT2_to_KT1_file(file.string().c_str(), after.data(), back.packed.data(), back.base.data())
                : 1;
    fs::remove_all(dir, ec);
    if (status != 0) throw Error("gamma demo: the KT2 gamma file could not be written and read back");
    std::printf("2.2 gamma as KT1 anchors, through a KT2 gamma file (%d words, value %u at input 4095) and back\n",
                MORVIK_GAMMA_KT2_ENTRIES, t.base[MORVIK_GAMMA_KT2_ENTRIES]);
    print_positions();
    print_anchors(before, "before");
    print_anchors(after, "after");
    int changed = 0;
    for (int k = 0; k < kAnchorCount; ++k) changed += before[std::size_t(k)] != after[std::size_t(k)];
    std::printf("anchors changed by the round trip: %d of %d\n", changed, kAnchorCount);
}

void setup(CLI::App& app) {
    auto* gamma = app.add_subcommand("gamma", "Gamma tables: update with tone curves, KT1 <-> KT2 conversion");
    gamma->require_subcommand(1);

    auto upd = std::make_shared<UpdateOptions>();
    auto* u = gamma->add_subcommand("update", "Compose the gamma after up to four tone curves; print anchors and "
                                              "64-point previews");
    u->add_option("ANCHORS", upd->anchors, "20 gamma anchors 0..255 (text, CSV or JSON array / {\"anchors\": [...]})")
        ->required();
    u->add_option("--tone", upd->tones, "Tone curve: 1024 values 0..65535 (text, CSV or JSON array / {\"tone\": "
                                        "[...]}); up to four, identity for the others");
    u->add_option("--png", upd->png, "Plot the five previews on a 256 x 256 PNG");
    u->add_flag("--json", upd->json, "Print the report as JSON");
    u->callback([upd] {
        const UpdateReport r = run_update(*upd);
        if (upd->json) {
            print_json(update_json(r));
        } else {
            print_update(r);
        }
    });

    auto kt2 = std::make_shared<ToKt2Options>();
    auto* k2 = gamma->add_subcommand("to-kt2", "Convert 20 KT1 anchors to the KT2 table and write the gamma text file");
    k2->add_option("ANCHORS", kt2->anchors, "20 KT1 anchors 0..255 (text, CSV or JSON)")->required();
    k2->add_option("-o,--output", kt2->output, "Gamma text file to write")->required();
    k2->add_flag("--json", kt2->json, "Print the report as JSON");
    k2->callback([kt2] {
        const ToKt2Report r = run_to_kt2(*kt2);
        if (kt2->json) {
            Json j = table_json(r.table, true);
            j["anchors"] = r.anchors;
            j["file"] = r.file;
            print_json(j);
        } else {
            print_positions();
            print_anchors(r.anchors, "KT1");
            print_table(r.table);
            std::printf("value at input 4095: %u\nwritten: %s\n", r.table.base[MORVIK_GAMMA_KT2_ENTRIES], r.file.c_str());
        }
    });

    auto kt1 = std::make_shared<ToKt1Options>();
    auto* k1 = gamma->add_subcommand("to-kt1", "Read a KT2 gamma text file and convert it to 20 KT1 anchors");
    k1->add_option("FILE", kt1->file, "Gamma text file")->required();
    k1->add_flag("--bases", kt1->bases, "Interpolate from the bases alone (value at 4095: last base plus its slope) "
                                        "instead of the stored slopes");
    k1->add_flag("--json", kt1->json, "Print the report as JSON");
    k1->callback([kt1] {
        const ToKt1Report r = run_to_kt1(*kt1);
        if (kt1->json) {
            Json j = table_json(r.table, r.bases);
            j["file"] = r.file;
            j["method"] = r.bases ? "bases" : "slopes";
            j["words_read"] = r.words_read;
            j["anchors"] = r.anchors;
            print_json(j);
        } else {
            print_positions();
            print_anchors(r.anchors, "KT1");
            std::printf("words read: %d of %d%s; curve from the %s\n", r.words_read, MORVIK_GAMMA_KT2_ENTRIES,
                        r.words_read < MORVIK_GAMMA_KT2_ENTRIES ? " (the others count as 0)" : "",
                        r.bases ? "bases alone" : "stored slopes");
        }
    });
}

const bool registered = register_command(80, setup) && register_demo_step(80, "Gamma tables", demo);

}  // namespace

}  // namespace morvik::cli
