// `morvik pca generate|tune|apply`: hue/saturation (PCA) tables from chart
// patches, one-colour tuning of a table, a table applied to a photo; and the
// PCA step of `morvik demo`.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "cli.h"
#include "frame/maths.h"
#include "morvik/morvik.h"
#include "pca/pca.h"
#include "stb_image_write.h"

namespace morvik::cli {

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using pca::Rgb;
using pca::Table;

// ------------------------------------------------------------ arguments

long integer_field(const std::string& where, const std::string& text, long lo, long hi) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || end != text.c_str() + text.size() || errno == ERANGE || v < lo || v > hi) {
        throw BadInput(where + ": \"" + text + "\" is not an integer in " + std::to_string(lo) + ".." +
                       std::to_string(hi));
    }
    return v;
}

double number_field(const std::string& where, const std::string& text) {
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || end != text.c_str() + text.size() || !std::isfinite(v)) {
        throw BadInput(where + ": \"" + text + "\" is not a finite number");
    }
    return v;
}

std::vector<std::string> split_commas(const std::string& text) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, ',')) parts.push_back(part);
    if (!text.empty() && text.back() == ',') parts.emplace_back();
    return parts;
}

std::vector<std::string> exactly(const std::string& option, const std::string& text, std::size_t n,
                                 const std::string& shape) {
    auto parts = split_commas(text);
    if (parts.size() != n) throw BadInput(option + ": \"" + text + "\" is not " + shape);
    return parts;
}

Rgb rgb_option(const std::string& option, const std::string& text) {
    const auto p = exactly(option, text, 3, "R,G,B");
    return Rgb{int32_t(integer_field(option + " R", p[0], 0, 255)), int32_t(integer_field(option + " G", p[1], 0, 255)),
               int32_t(integer_field(option + " B", p[2], 0, 255))};
}

void require_output_folder(const std::string& option, const fs::path& path) {
    const fs::path folder = path.parent_path();
    if (!folder.empty() && !fs::is_directory(folder)) {
        throw BadInput(option + " " + path.string() + ": folder " + folder.string() + " does not exist");
    }
}

// ------------------------------------------------------------ files

// The table file: '#' comments, then 180 rows "bin,hue,saturation,luma"
// with bins 0..179 in order.
Table read_table(const fs::path& path) {
    std::string text;
    try {
        text = read_text_file(path);
    } catch (const Error& e) {
        throw BadInput(e.what());
    }
    const auto rows = parse_csv(text);
    if (rows.size() != std::size_t(pca::kBins)) {
        throw BadInput(path.string() + ": " + std::to_string(rows.size()) + " table rows, expected 180 (bin,hue,saturation,luma)");
    }
    Table t{};
    const char* const names[3] = {" hue", " saturation", " luma"};
    for (std::size_t b = 0; b < rows.size(); ++b) {
        const CsvRow& row = rows[b];
        const std::string where = path.string() + ":" + std::to_string(row.line);
        if (row.fields.size() != 4) {
            throw BadInput(where + ": " + std::to_string(row.fields.size()) + " fields, expected 4 (bin,hue,saturation,luma)");
        }
        if (integer_field(where + " bin", row.fields[0], 0, 179) != long(b)) {
            throw BadInput(where + ": bin " + row.fields[0] + " out of order, expected " + std::to_string(b));
        }
        for (std::size_t a = 0; a < 3; ++a) {
            t[a * pca::kBins + b] = int32_t(integer_field(where + names[a], row.fields[a + 1], INT32_MIN, INT32_MAX));
        }
    }
    return t;
}

std::string table_text(const Table& t) {
    std::string out = "# PCA table: bin, hue (half degrees), saturation (1/128), luma (1/128)\n";
    for (int b = 0; b < pca::kBins; ++b) {
        out += std::to_string(b) + "," + std::to_string(t[std::size_t(b)]) + "," +
               std::to_string(t[std::size_t(pca::kBins + b)]) + "," + std::to_string(t[std::size_t(2 * pca::kBins + b)]) + "\n";
    }
    return out;
}

// The chart file: 18 rows "source R,G,B,target R,G,B".
std::array<int32_t, 6 * pca::kPatchSlots> read_chart(const fs::path& path) {
    std::string text;
    try {
        text = read_text_file(path);
    } catch (const Error& e) {
        throw BadInput(e.what());
    }
    const auto rows = parse_csv(text);
    if (rows.size() != std::size_t(pca::kChartPatches)) {
        throw BadInput(path.string() + ": " + std::to_string(rows.size()) +
                       " patch rows, expected 18 (source R,G,B,target R,G,B)");
    }
    std::array<int32_t, 6 * pca::kPatchSlots> words{};
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const CsvRow& row = rows[i];
        const std::string where = path.string() + ":" + std::to_string(row.line);
        if (row.fields.size() != 6) {
            throw BadInput(where + ": " + std::to_string(row.fields.size()) +
                           " fields, expected 6 (source R,G,B,target R,G,B)");
        }
        for (std::size_t c = 0; c < 6; ++c) {
            const std::size_t at = (c < 3 ? 0 : 3 * pca::kPatchSlots) + 3 * i + c % 3;
            words[at] = int32_t(integer_field(where + " field " + std::to_string(c + 1), row.fields[c], 0, 255));
        }
    }
    return words;
}

std::string png_bytes(int w, int h, const std::vector<std::uint8_t>& rgb) {
    std::string out;
    const auto sink = [](void* ctx, void* data, int size) {
        static_cast<std::string*>(ctx)->append(static_cast<const char*>(data), std::size_t(size));
    };
    if (!stbi_write_png_to_func(sink, &out, w, h, 3, rgb.data(), w * 3)) throw Error("cannot encode the PNG image");
    return out;
}

// All outputs or none: each goes to a temporary file beside its target, and
// only when every one is complete are they renamed into place.
void write_outputs(const std::vector<std::pair<fs::path, std::string>>& files) {
    std::random_device seed;
    std::vector<fs::path> temps;
    const auto discard = [&] {
        std::error_code ec;
        for (const auto& t : temps) fs::remove(t, ec);
    };
    for (const auto& [path, bytes] : files) {
        fs::path temp = path;
        temp += ".tmp-" + std::to_string(seed());
        temps.push_back(temp);
        std::ofstream out(temp, std::ios::binary);
        if (out) out.write(bytes.data(), std::streamsize(bytes.size()));
        out.close();
        if (!out) {
            discard();
            throw Error("cannot write " + path.string());
        }
    }
    for (std::size_t i = 0; i < files.size(); ++i) {
        std::error_code ec;
        fs::rename(temps[i], files[i].first, ec);
        if (ec) {
            for (std::size_t j = 0; j < i; ++j) fs::remove(files[j].first, ec);
            discard();
            throw Error("cannot write " + files[i].first.string() + ": " + ec.message());
        }
    }
}

Json table_json(const Table& t) {
    const auto part = [&](int a) { return std::vector<int32_t>(t.begin() + a * pca::kBins, t.begin() + (a + 1) * pca::kBins); };
    return Json{{"hue", part(0)}, {"saturation", part(1)}, {"luma", part(2)}};
}

Json rgb_json(const Rgb& c) { return Json::array({c.r, c.g, c.b}); }

// ------------------------------------------------------------ generate

struct GenerateOptions {
    std::string chart;
    int threshold = 0;
    std::string limits = "1.5,3,3";
    bool no_limiter = false;
    std::string output;
    bool json = false;
};

struct PatchRow {
    Rgb source, target;
    pca::HueRecord source_rec, target_rec;
    bool dropped = false;
    float error_before = 0, error_after = 0;
};

struct GenerateReport {
    pca::Generation gen;
    std::vector<PatchRow> patches;
    float mean_before = 0, mean_after = 0;
    std::string output;
};

GenerateReport generate_table(const std::array<int32_t, 6 * pca::kPatchSlots>& words, const pca_gen_settings& s) {
    GenerateReport r;
    Table table{};
    if (AutoGenTable(words.data(), table.data(), &s) != 0) throw Error(std::string("table generation failed: ") + morvik_last_error());
    r.gen = pca::generate(words, pca::GenSettings{s.skip_limiter != 0, s.chroma_threshold,
                                                  {s.hue_limit, s.sat_limit, s.luma_limit}, s.patch_count});
    r.gen.table = table;
    for (int i = 0; i < pca::kChartPatches; ++i) {
        PatchRow p;
        const std::size_t at = std::size_t(3 * i), tat = at + 3 * pca::kPatchSlots;
        p.source = Rgb{words[at], words[at + 1], words[at + 2]};
        p.target = Rgb{words[tat], words[tat + 1], words[tat + 2]};
        p.source_rec = pca::hue_record(p.source);
        p.target_rec = pca::hue_record(p.target);
        p.dropped = std::none_of(r.gen.kept_patches.begin(), r.gen.kept_patches.begin() + r.gen.kept,
                                 [&](const pca::SortedPatch& k) { return k.input_index == i; });
        const pca::Lab target = pca::lab_of(p.target);
        p.error_before = pca::ab_error(target, pca::lab_of(p.source));
        p.error_after = pca::ab_error(target, pca::lab_of(pca::predict(p.source, table, s.chroma_threshold)));
        r.mean_before += p.error_before / pca::kChartPatches;
        r.mean_after += p.error_after / pca::kChartPatches;
        r.patches.push_back(p);
    }
    return r;
}

GenerateReport run_generate(const GenerateOptions& o) {
    const auto lim = exactly("--limits", o.limits, 3, "H,S,L");
    pca_gen_settings s{};
    s.skip_limiter = o.no_limiter ? 1 : 0;
    s.chroma_threshold = o.threshold;
    s.hue_limit = number_field("--limits H", lim[0]);
    s.sat_limit = number_field("--limits S", lim[1]);
    s.luma_limit = number_field("--limits L", lim[2]);
    s.patch_count = pca::kChartPatches;
    if (!o.output.empty()) require_output_folder("-o", o.output);
    const auto words = read_chart(o.chart);
    GenerateReport r = generate_table(words, s);
    if (!o.output.empty()) {
        write_outputs({{o.output, table_text(r.gen.table)}});
        r.output = o.output;
    }
    return r;
}

Json generate_json(const GenerateReport& r) {
    Json patches = Json::array();
    for (const auto& p : r.patches) {
        patches.push_back({{"source", rgb_json(p.source)},
                           {"target", rgb_json(p.target)},
                           {"source_hue", p.source_rec.hue},
                           {"target_hue", p.target_rec.hue},
                           {"dropped", p.dropped},
                           {"ab_error_before", p.error_before},
                           {"ab_error_after", p.error_after}});
    }
    return Json{{"candidate", r.gen.chosen + 1},
                {"candidate_mean_errors", {r.gen.mean_error[0], r.gen.mean_error[1]}},
                {"patches_kept", r.gen.kept},
                {"limiter_completed", r.gen.limiter_completed},
                {"mean_ab_error_before", r.mean_before},
                {"mean_ab_error_after", r.mean_after},
                {"patches", patches},
                {"table", table_json(r.gen.table)},
                {"output", r.output.empty() ? Json() : Json(r.output)}};
}

void print_generate(const GenerateReport& r) {
    std::printf("patch  source RGB     hue  target RGB     hue   ab error before  after\n");
    for (std::size_t i = 0; i < r.patches.size(); ++i) {
        const auto& p = r.patches[i];
        std::printf("%5zu  %3d %3d %3d  %4d  %3d %3d %3d  %4d  %15.2f  %5.2f%s\n", i, p.source.r, p.source.g, p.source.b,
                    p.source_rec.hue, p.target.r, p.target.g, p.target.b, p.target_rec.hue, double(p.error_before),
                    double(p.error_after), p.dropped ? "  (dropped: crosses its neighbour)" : "");
    }
    std::printf("mean ab error     %.2f before, %.2f after\n", double(r.mean_before), double(r.mean_after));
    std::printf("patches kept      %d of 18\n", r.gen.kept);
    std::printf("slope limiter     %s\n", r.gen.limiter_completed ? "completed" : "stopped early (corrections partly limited)");
    std::printf("candidate         %d (mean predicted error: candidate 1 %.3f, candidate 2 %.3f)\n", r.gen.chosen + 1,
                double(r.gen.mean_error[0]), double(r.gen.mean_error[1]));
    const auto [lo, hi] = std::minmax_element(r.gen.table.begin(), r.gen.table.begin() + pca::kBins);
    const auto [slo, shi] = std::minmax_element(r.gen.table.begin() + pca::kBins, r.gen.table.begin() + 2 * pca::kBins);
    std::printf("hue entries       %d .. %d half degrees\n", *lo, *hi);
    std::printf("saturation        %d .. %d /128\n", *slo, *shi);
    if (!r.output.empty()) std::printf("table written to  %s\n", r.output.c_str());
}

// ------------------------------------------------------------ tune

struct TuneOptions {
    std::string table;
    std::string source, target, range;
    float strength = 1.0f;
    std::string limits = "4,8";
    int steps = 180;
    std::string output;
    bool json = false;
};

struct TuneReport {
    std::array<int32_t, 10> words{};
    Table before{}, after{};
    std::string output;
};

TuneReport run_tune(const TuneOptions& o) {
    pca_tuning_request rq{};
    const Rgb s = rgb_option("--source", o.source), t = rgb_option("--target", o.target);
    rq.source[0] = s.r, rq.source[1] = s.g, rq.source[2] = s.b;
    rq.target[0] = t.r, rq.target[1] = t.g, rq.target[2] = t.b;
    const auto range = exactly("--range", o.range, 2, "BELOW,ABOVE");
    rq.range_below = int32_t(integer_field("--range BELOW", range[0], 0, 359));
    rq.range_above = int32_t(integer_field("--range ABOVE", range[1], 0, 359));
    const auto lim = exactly("--limits", o.limits, 2, "H,S");
    rq.hue_limit = number_field("--limits H", lim[0]);
    rq.sat_limit = number_field("--limits S", lim[1]);
    rq.max_steps = o.steps;
    rq.strength = o.strength;
    if (!o.output.empty()) require_output_folder("-o", o.output);
    TuneReport r;
    r.before = read_table(o.table);
    r.after = r.before;
    const int32_t status = AdvTuning(&rq, r.after.data(), r.words.data());
    if (status == MORVIK_PCA_TOO_MANY_STEPS) {
        throw Error("tuning stopped: softening the hue entries needs more than " + std::to_string(o.steps) +
                    " steps (raise --steps or the hue limit); nothing written");
    }
    if (status != 0) throw Error(std::string("tuning failed: ") + morvik_last_error());
    if (!o.output.empty()) {
        write_outputs({{o.output, table_text(r.after)}});
        r.output = o.output;
    }
    return r;
}

int changed_bins(const TuneReport& r, int array) {
    int n = 0;
    for (int b = 0; b < pca::kBins; ++b) n += r.before[std::size_t(array * pca::kBins + b)] != r.after[std::size_t(array * pca::kBins + b)];
    return n;
}

Json tune_json(const TuneReport& r) {
    const auto& w = r.words;
    return Json{{"report", w},
                {"source", {{"hue", w[0]}, {"chroma", w[1]}, {"luma", w[2]}}},
                {"target", {{"hue", w[3]}, {"chroma", w[4]}, {"luma", w[5]}}},
                {"softened_range", {w[6], w[7]}},
                {"edited_range", {w[8], w[9]}},
                {"hue_bins_changed", changed_bins(r, 0)},
                {"saturation_bins_changed", changed_bins(r, 1)},
                {"table", table_json(r.after)},
                {"output", r.output.empty() ? Json() : Json(r.output)}};
}

void print_tune(const TuneReport& r) {
    const auto& w = r.words;
    std::printf("source colour     hue %d degrees, chroma %d, luma %d\n", w[0], w[1], w[2]);
    std::printf("target colour     hue %d degrees, chroma %d, luma %d\n", w[3], w[4], w[5]);
    std::printf("edited range      %d .. %d degrees (bins %d .. %d, taken modulo 180)\n", w[8], w[9], w[8] / 2, w[9] / 2);
    std::printf("softened range    %d .. %d degrees (where the softening walks stopped)\n", w[6], w[7]);
    std::printf("bins changed      hue %d, saturation %d\n", changed_bins(r, 0), changed_bins(r, 1));
    if (!r.output.empty()) std::printf("table written to  %s\n", r.output.c_str());
}

// ------------------------------------------------------------ apply

struct ApplyOptions {
    std::string table, image, output, wheel;
    int threshold = 0;
    bool json = false;
};

struct ApplyReport {
    int width = 0, height = 0;
    std::size_t changed = 0;
    double mean_abs_change = 0;
    std::string output, wheel;
};

// Hue/chroma discs of luma code 128 before (left) and after (right) the
// table: U grows to the right, V upwards; chroma 0 in the middle.
std::vector<std::uint8_t> wheel_image(const Table& table, std::int32_t threshold, int& w, int& h) {
    constexpr int kSize = 256, kGap = 16;
    w = 2 * kSize + kGap;
    h = kSize;
    std::vector<std::uint8_t> img(std::size_t(w) * std::size_t(h) * 3, 40);
    const pca::TableView view{table.data(), table.data() + pca::kBins, table.data() + 2 * pca::kBins, false};
    for (int py = 0; py < kSize; ++py) {
        for (int px = 0; px < kSize; ++px) {
            const int du = px - 128, dv = 127 - py;
            if (du * du + dv * dv > 127 * 127) continue;
            std::uint32_t y = 128u << 8, u = std::uint32_t(128 + du) << 8, v = std::uint32_t(128 + dv) << 8;
            const Rgb before = pca::yuv8_to_rgb(128, 128 + du, 128 + dv);
            pca::pca_pixel(y, u, v, 0, threshold, view);
            const Rgb after = pca::yuv8_to_rgb(y >> 8, u >> 8, v >> 8);
            for (const auto& [x0, c] : {std::pair{0, before}, std::pair{kSize + kGap, after}}) {
                const std::size_t at = (std::size_t(py) * std::size_t(w) + std::size_t(x0 + px)) * 3;
                img[at] = std::uint8_t(c.r);
                img[at + 1] = std::uint8_t(c.g);
                img[at + 2] = std::uint8_t(c.b);
            }
        }
    }
    return img;
}

ApplyReport run_apply(const ApplyOptions& o) {
    require_output_folder("-o", o.output);
    if (!o.wheel.empty()) require_output_folder("--wheel", o.wheel);
    const Table table = read_table(o.table);
    RgbImage image;
    try {
        image = load_rgb_image(o.image);
    } catch (const Error& e) {
        throw BadInput(e.what());
    }
    ApplyReport r;
    r.width = image.width;
    r.height = image.height;
    std::vector<std::uint8_t> out = image.rgb;
    pca::apply_to_rgb(table, o.threshold, out);
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < out.size(); i += 3) {
        int d = 0;
        for (std::size_t c = 0; c < 3; ++c) d += std::abs(int(out[i + c]) - int(image.rgb[i + c]));
        total += std::uint64_t(d);
        r.changed += d != 0;
    }
    r.mean_abs_change = out.empty() ? 0.0 : double(total) / double(out.size());
    std::vector<std::pair<fs::path, std::string>> files{{o.output, png_bytes(image.width, image.height, out)}};
    if (!o.wheel.empty()) {
        int w = 0, h = 0;
        const auto wheel = wheel_image(table, o.threshold, w, h);
        files.emplace_back(o.wheel, png_bytes(w, h, wheel));
    }
    write_outputs(files);
    r.output = o.output;
    r.wheel = o.wheel;
    return r;
}

Json apply_json(const ApplyReport& r) {
    return Json{{"width", r.width},
                {"height", r.height},
                {"pixels_changed", r.changed},
                {"mean_abs_change", r.mean_abs_change},
                {"output", r.output},
                {"wheel", r.wheel.empty() ? Json() : Json(r.wheel)}};
}

void print_apply(const ApplyReport& r) {
    const double pixels = double(r.width) * double(r.height);
    std::printf("image             %d x %d\n", r.width, r.height);
    std::printf("pixels changed    %zu (%.1f%%)\n", r.changed, pixels > 0 ? 100.0 * double(r.changed) / pixels : 0.0);
    std::printf("mean |change|     %.3f per channel\n", r.mean_abs_change);
    std::printf("written           %s\n", r.output.c_str());
    if (!r.wheel.empty()) std::printf("wheel             %s (left: before, right: after)\n", r.wheel.c_str());
}

// ------------------------------------------------------------ demo

// A colour of luma code about 140 and chroma 60 at `degrees` in the UV plane.
Rgb colour_at(double degrees) {
    const double rad = degrees * 0.017453292519943295;
    return pca::yuv8_to_rgb(140, std::lround(128 + 60 * maths::cos(rad)), std::lround(128 + 60 * maths::sin(rad)));
}

void demo() {
    // Sources spread round the hue circle; targets turned by a rotation that
    // is strongest near 30 degrees (skin and reds) and fades elsewhere.
    std::array<int32_t, 6 * pca::kPatchSlots> words{};
    std::printf("synthetic chart: 18 patches at 10, 30, ..., 350 degrees; targets turned by\n"
                "6 + 6 cos(hue - 30) degrees\n");
    for (int i = 0; i < pca::kChartPatches; ++i) {
        const double hue = 10 + 20 * i;
        const double turn = 6 + 6 * maths::cos((hue - 30) * 0.017453292519943295);
        const Rgb s = colour_at(hue), t = colour_at(hue + turn);
        const std::size_t at = std::size_t(3 * i), tat = at + 3 * pca::kPatchSlots;
        words[at] = s.r, words[at + 1] = s.g, words[at + 2] = s.b;
        words[tat] = t.r, words[tat + 1] = t.g, words[tat + 2] = t.b;
    }
    const pca_gen_settings s{0, 0, 1.5, 3, 3, pca::kChartPatches};
    const auto r = generate_table(words, s);
    std::printf("mean ab error     %.2f before, %.2f after the generated table\n", double(r.mean_before),
                double(r.mean_after));
    std::printf("candidate         %d, %d of 18 patches kept\n", r.gen.chosen + 1, r.gen.kept);
    std::printf("hue entries       bin 15 (30 deg) %d, bin 105 (210 deg) %d half degrees\n", r.gen.table[15],
                r.gen.table[105]);
}

// ------------------------------------------------------------ registration

void setup(CLI::App& app) {
    auto* cmd = app.add_subcommand("pca", "Hue/saturation (PCA) tables: generate from a chart, tune one colour, apply to a photo");
    cmd->require_subcommand(1);

    auto go = std::make_shared<GenerateOptions>();
    auto* gen = cmd->add_subcommand("generate", "A 540-word PCA table from 18 chart patches (source and target RGB)");
    gen->add_option("CHART", go->chart, "CSV: 18 rows source R,G,B,target R,G,B ('#' comments)")->required();
    gen->add_option("--threshold", go->threshold, "Chroma threshold passed to the PCA core for the prediction");
    gen->add_option("--limits", go->limits, "Slope limits H,S,L: largest change per degree of hue of the hue, "
                                            "saturation and luma corrections (default 1.5,3,3)");
    gen->add_flag("--no-limiter", go->no_limiter, "Do not run the slope limiter");
    gen->add_option("-o", go->output, "Write the table (CSV: bin,hue,saturation,luma)");
    gen->add_flag("--json", go->json, "Print the report as JSON");
    gen->callback([go] {
        const auto r = run_generate(*go);
        go->json ? print_json(generate_json(r)) : print_generate(r);
    });

    auto to = std::make_shared<TuneOptions>();
    auto* tune = cmd->add_subcommand("tune", "Move one colour of a table toward a target colour");
    tune->add_option("TABLE", to->table, "Table CSV (bin,hue,saturation,luma)")->required();
    tune->add_option("--source", to->source, "R,G,B of the colour to change")->required();
    tune->add_option("--target", to->target, "R,G,B it should become")->required();
    tune->add_option("--range", to->range, "BELOW,ABOVE: degrees of hue edited around the source hue (0..359)")->required();
    tune->add_option("--strength", to->strength, "Share of the change applied (default 1)")->check(CLI::Range(0.0f, 1.0f));
    tune->add_option("--limits", to->limits, "H,S: largest half difference of neighbouring hue and saturation "
                                             "entries before they are softened (default 4,8)");
    tune->add_option("--steps", to->steps, "Softening steps allowed on the hue entries (default 180)")
        ->check(CLI::Range(0, 1000000));
    tune->add_option("-o", to->output, "Write the tuned table (CSV)");
    tune->add_flag("--json", to->json, "Print the report as JSON");
    tune->callback([to] {
        const auto r = run_tune(*to);
        to->json ? print_json(tune_json(r)) : print_tune(r);
    });

    auto ao = std::make_shared<ApplyOptions>();
    auto* apply = cmd->add_subcommand("apply", "Run every pixel of a photo through a table");
    apply->add_option("TABLE", ao->table, "Table CSV (bin,hue,saturation,luma)")->required();
    apply->add_option("IMAGE", ao->image, "Photo (PNG, JPEG, BMP, ...)")->required();
    apply->add_option("-o", ao->output, "Output PNG")->required();
    apply->add_option("--threshold", ao->threshold, "Chroma threshold of the luma entries (default 0)");
    apply->add_option("--wheel", ao->wheel, "Also write a PNG of a hue/chroma disc before and after the table");
    apply->add_flag("--json", ao->json, "Print the report as JSON");
    apply->callback([ao] {
        const auto r = run_apply(*ao);
        ao->json ? print_json(apply_json(r)) : print_apply(r);
    });
}

const bool registered = register_command(70, setup) && register_demo_step(70, "Hue/saturation (PCA) tables", demo);

}  // namespace

}  // namespace morvik::cli
