// Colour correction: `morvik ccm`, `morvik cd`, `morvik multiccm` and the
// colour step of `morvik demo`.
#include <algorithm>
#include <array>
#include <cmath>
#include <optional>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "cli.h"
#include "color/ccm.h"
#include "color/chart.h"
#include "morvik/morvik.h"
#include "platform/platform.h"

namespace morvik::cli {

namespace {

constexpr int kPatches = color::kPatches;
using MeasuredRec = std::array<float, kPatches * color::kMeasuredFields>;
using ReferenceRec = std::array<float, kPatches * color::kReferenceFields>;

// ------------------------------------------------------------ chart files

// Rows of `width` numbers from CSV (comma, semicolon or blank separated;
// '#' comments and non-numeric header lines skipped) or JSON (an array of
// rows, or {"patches": [...]}, a row being an array or an object with
// "rgb" and "illumination"/"weight").
std::vector<std::vector<double>> read_rows(const std::filesystem::path& path, std::size_t width) {
    const std::string text = read_text_file(path);
    std::vector<std::vector<double>> rows;
    if (looks_like_json(path, text)) {
        const nlohmann::json doc = parse_json(path, text);
        const nlohmann::json& list = doc.is_object() ? doc.value("patches", nlohmann::json()) : doc;
        if (!list.is_array()) throw BadInput(path.string() + ": expected an array of patches or {\"patches\": [...]}");
        for (const auto& item : list) {
            std::vector<double> row;
            auto append = [&](const nlohmann::json& v) {
                if (v.is_number()) {
                    row.push_back(json_number(v, path.string() + ": patch " + std::to_string(rows.size())));
                } else if (v.is_array()) {
                    for (const auto& x : v) {
                        row.push_back(json_number(x, path.string() + ": patch " + std::to_string(rows.size())));
                    }
                } else {
                    throw BadInput(path.string() + ": patch " + std::to_string(rows.size()) + ": values must be numbers");
                }
            };
            if (item.is_object()) {
                if (!item.contains("rgb")) throw BadInput(path.string() + ": patch " + std::to_string(rows.size()) + ": object without \"rgb\"");
                append(item["rgb"]);
                for (const char* key : {"illumination", "weight"}) {
                    if (item.contains(key)) append(item[key]);
                }
            } else {
                append(item);
            }
            rows.push_back(std::move(row));
        }
    } else {
        for (const CsvRow& row : parse_csv(text)) {
            const bool numeric = std::all_of(row.fields.begin(), row.fields.end(), is_number);
            if (!numeric && rows.empty()) continue;  // header line
            std::vector<double> values;
            for (std::size_t i = 0; i < row.fields.size(); ++i) values.push_back(number_at(path, row, i));
            rows.push_back(std::move(values));
        }
    }
    if (rows.size() != std::size_t(kPatches)) {
        throw BadInput(path.string() + ": " + std::to_string(rows.size()) + " patches, expected 24");
    }
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (rows[i].size() != width) {
            throw BadInput(path.string() + ": patch " + std::to_string(i) + " has " + std::to_string(rows[i].size()) +
                           " values, expected " + std::to_string(width));
        }
        for (std::size_t k = 0; k < width; ++k) {
            // Levels, illuminations and weights: finite, not negative, and
            // small enough for single precision.
            if (!std::isfinite(rows[i][k]) || rows[i][k] < 0 || rows[i][k] > 1e30) {
                throw BadInput(path.string() + ": patch " + std::to_string(i) + " value " + std::to_string(k + 1) +
                               ": must be a finite number in 0..1e30");
            }
        }
    }
    return rows;
}

MeasuredRec read_capture(const std::filesystem::path& path) {
    const auto rows = read_rows(path, 6);
    MeasuredRec rec{};
    for (int i = 0; i < kPatches; ++i) {
        for (int f = 0; f < 6; ++f) rec[std::size_t(i * 6 + f)] = float(rows[std::size_t(i)][std::size_t(f)]);
    }
    return rec;
}

ReferenceRec reference_from(const std::vector<std::array<double, 4>>& rows) {
    ReferenceRec rec{};
    for (int i = 0; i < kPatches; ++i) {
        for (int c = 0; c < 3; ++c) rec[std::size_t(i * 11 + 6 + c)] = float(rows[std::size_t(i)][std::size_t(c)]);
        rec[std::size_t(i * 11 + 9)] = float(rows[std::size_t(i)][3]);
    }
    return rec;
}

ReferenceRec read_reference(const std::filesystem::path& path) {
    const auto rows = read_rows(path, 4);
    std::vector<std::array<double, 4>> fixed;
    for (const auto& r : rows) fixed.push_back({r[0], r[1], r[2], r[3]});
    return reference_from(fixed);
}

// Our own synthetic reference chart (examples/color/reference.csv): 18 hues
// at three saturation/value steps, then a neutral row of densities 0.04,
// 0.25, 0.45, 0.70, 1.05, 1.5. Linear R, G, B on 0..255 and weight.
const std::vector<std::array<double, 4>> kSyntheticChart = {
    {191.2, 135.5, 124.3, 1}, {140.2, 98.2, 56.1, 1},   {102.0, 87.6, 15.3, 1},  {180.1, 191.2, 124.3, 1},
    {98.2, 140.2, 56.1, 1},   {29.7, 102.0, 15.3, 1},   {124.3, 191.2, 135.5, 1}, {56.1, 140.2, 98.2, 1},
    {15.3, 102.0, 87.5, 1},   {124.3, 180.1, 191.2, 1}, {56.1, 98.2, 140.2, 1},  {15.3, 29.8, 102.0, 1},
    {135.5, 124.3, 191.2, 1}, {98.2, 56.1, 140.2, 1},   {87.6, 15.3, 102.0, 1},  {191.2, 124.3, 180.1, 1},
    {140.2, 56.1, 98.2, 1},   {102.0, 15.3, 29.8, 1},   {232.6, 232.6, 232.6, 0}, {143.4, 143.4, 143.4, 0},
    {90.5, 90.5, 90.5, 0},    {50.9, 50.9, 50.9, 0},    {22.7, 22.7, 22.7, 0},   {8.1, 8.1, 8.1, 0},
};

// The reference chart named on the command line, else the built-in one.
ReferenceRec reference_or_builtin(const std::string& path) {
    return path.empty() ? reference_from(kSyntheticChart) : read_reference(path);
}

// ------------------------------------------------------------ ccm

struct CcmReport {
    color::Matrix3 matrix{};
    std::array<std::uint8_t, 9> reg8{};
    std::array<std::int32_t, 9> reg11{};
    std::array<double, kPatches> before{};
    std::array<double, kPatches> after{};
};

double delta_e(const float* a, const float* b) {
    const double dl = double(a[0]) - b[0], da = double(a[1]) - b[1], db = double(a[2]) - b[2];
    return std::sqrt(dl * dl + da * da + db * db);
}

// The register words come from the exports (which also write the inspection
// file) or, with `write_file` false, from the same core without the file.
CcmReport run_ccm(const MeasuredRec& measured, const ReferenceRec& reference, float strength, bool write_file) {
    CcmReport r;
    r.matrix = color::fit_ccm(color::Measured{std::span<const float, kPatches * 6>(measured)},
                              color::Reference{std::span<const float, kPatches * 11>(reference)}, strength);
    if (write_file) {
        const int32_t side[4] = {0, 0, 0, 0};
        int32_t side_out[4];
        if (CC_Calibration(0, strength, measured.data(), reference.data(), side, r.reg8.data(), side_out) != 0 ||
            CC_Calibration_KT1(0, strength, measured.data(), reference.data(), side, r.reg11.data(), side_out) !=
                0) {
            throw Error("CCM calibration failed");
        }
    } else {
        r.reg8 = color::encode_ccm8(color::quantise_ccm(r.matrix, 32));
        r.reg11 = color::encode_ccm11(color::quantise_ccm(r.matrix, 256));
    }
    std::array<float, 72> after{}, ref{}, before{};
    CalColorError(measured.data(), reference.data(), r.matrix.data(), after.data(), ref.data(), before.data());
    for (int i = 0; i < kPatches; ++i) {
        r.before[std::size_t(i)] = delta_e(&before[std::size_t(3 * i)], &ref[std::size_t(3 * i)]);
        r.after[std::size_t(i)] = delta_e(&after[std::size_t(3 * i)], &ref[std::size_t(3 * i)]);
    }
    return r;
}

struct DeltaSummary {
    double mean = 0, max = 0;
};

DeltaSummary summarise(const std::array<double, kPatches>& v) {
    DeltaSummary d;
    for (double x : v) {
        d.mean += x;
        d.max = std::max(d.max, x);
    }
    d.mean /= kPatches;
    return d;
}

void print_stats(const char* label, const std::array<double, kPatches>& v) {
    const DeltaSummary d = summarise(v);
    std::printf("%-22s mean %7.2f   max %7.2f\n", label, d.mean, d.max);
}

void print_ccm(const CcmReport& r, float strength, bool per_patch) {
    std::printf("CCM at strength %.2f (rows: output R, G, B; unity 1.0):\n", double(strength));
    for (int row = 0; row < 3; ++row) {
        std::printf("  %9.5f %9.5f %9.5f\n", double(r.matrix[std::size_t(3 * row)]),
                    double(r.matrix[std::size_t(3 * row + 1)]), double(r.matrix[std::size_t(3 * row + 2)]));
    }
    std::printf("8-bit registers (unity 32, bit 7 sign):    ");
    for (auto v : r.reg8) std::printf(" %3u", unsigned(v));
    std::printf("\n  as values:                                ");
    for (auto v : r.reg8) std::printf(" %3d", color::decode_ccm8(v));
    std::printf("\n11-bit registers (unity 256, bit 10 sign): ");
    for (auto v : r.reg11) std::printf(" %4d", v);
    std::printf("\n  as values:                                ");
    for (auto v : r.reg11) std::printf(" %4d", color::decode_ccm11(v));
    std::printf("\n");
    if (per_patch) {
        std::printf("Delta Eab per patch (CIELAB sets of the colour-error routine):\n  patch  before   after\n");
        for (int i = 0; i < kPatches; ++i) {
            std::printf("  %5d %7.2f %7.2f\n", i, r.before[std::size_t(i)], r.after[std::size_t(i)]);
        }
    }
    print_stats("Delta Eab before CCM:", r.before);
    print_stats("Delta Eab after CCM:", r.after);
    std::printf(
        "Note: the colour-error routine maps patches without the illumination ratio and the 0.85 headroom\n"
        "of its tone-line fit, so the error after the matrix stays above 0 even for an exact matrix.\n");
}

struct CcmOptions {
    std::string capture, reference;
    float strength = 1.0f;
    bool json = false;
};

struct CcmRun {
    float strength = 1.0f;
    CcmReport ccm;
    std::string inspection_file;  // empty when it was not written
};

// The inspection file's state, to tell whether this run wrote it.
std::optional<std::filesystem::file_time_type> stamp(const std::filesystem::path& p) {
    std::error_code ec;
    const auto t = std::filesystem::last_write_time(p, ec);
    if (ec) return std::nullopt;
    return t;
}

CcmRun run_ccm_command(const CcmOptions& o) {
    if (!std::isfinite(o.strength) || o.strength < 0.0f || o.strength > 1.0f) {
        throw BadInput("--strength " + std::to_string(o.strength) + ": must be in 0..1 (0 identity, 1 fitted matrix)");
    }
    const auto measured = read_capture(o.capture);
    const auto ref = reference_or_builtin(o.reference);
    const std::string inspection = color::inspection_file_path();
    const auto before = stamp(inspection);
    CcmRun r{o.strength, run_ccm(measured, ref, o.strength, true), {}};
    for (float v : r.ccm.matrix) {
        if (!std::isfinite(v)) {
            throw Error("the chart gives no matrix: the fit is singular (zero illumination, a flat neutral row or "
                        "identical patches); check " + o.capture);
        }
    }
    const auto after = stamp(inspection);
    if (after && after != before) r.inspection_file = inspection;
    return r;
}

nlohmann::json to_json(const CcmRun& r) {
    nlohmann::json doc;
    doc["strength"] = r.strength;
    doc["matrix"] = r.ccm.matrix;
    doc["registers_8bit"] = r.ccm.reg8;
    doc["registers_11bit"] = r.ccm.reg11;
    doc["delta_e_before"] = r.ccm.before;
    doc["delta_e_after"] = r.ccm.after;
    if (!r.inspection_file.empty()) doc["inspection_file"] = r.inspection_file;
    doc["units"] = {{"strength", "0 identity .. 1 fitted matrix"},
                    {"matrix", "row-major, unity 1.0"},
                    {"registers_8bit", "sign-magnitude, unity 32, bit 7 sign"},
                    {"registers_11bit", "sign-magnitude, unity 256, bit 10 sign"},
                    {"delta_e_before", "CIELAB Delta Eab per patch"},
                    {"delta_e_after", "CIELAB Delta Eab per patch"}};
    return doc;
}

void print_text(const CcmRun& r) {
    print_ccm(r.ccm, r.strength, true);
    if (!r.inspection_file.empty()) std::printf("Inspection file: %s\n", r.inspection_file.c_str());
}

void setup_ccm(CLI::App& app) {
    auto* cmd = app.add_subcommand("ccm", "Calibrate the colour-correction matrix from a 24-patch chart capture");
    auto o = std::make_shared<CcmOptions>();
    cmd->add_option("CHART", o->capture,
                    "Chart capture, CSV or JSON: 24 patches of chart R, G, B and illumination R, G, B")
        ->required();
    cmd->add_option("-r,--reference", o->reference,
                    "Reference chart, CSV or JSON: 24 patches of R, G, B (linear 0..255) and weight "
                    "(default: the built-in chart of examples/color/reference.csv)");
    cmd->add_option("-s,--strength", o->strength, "Blend between the identity (0) and the fitted matrix (1)")
        ->capture_default_str();
    cmd->add_flag("--json", o->json, "Print the result as JSON");
    cmd->callback([o] { emit(run_ccm_command(*o), o->json); });
}

// ------------------------------------------------------------ cd

struct CdOptions {
    std::string measured, reference;
    bool json = false;
};

struct CdReport {
    std::array<float, 96> difference{};  // per patch: delta ab, L, a, b (measured)
    std::array<float, 72> reference_lab{};
};

CdReport run_cd(const CdOptions& o) {
    const auto rows = read_rows(o.measured, 3);
    std::array<float, 72> measured{};
    for (int i = 0; i < kPatches; ++i) {
        for (int c = 0; c < 3; ++c) measured[std::size_t(3 * i + c)] = float(rows[std::size_t(i)][std::size_t(c)]);
    }
    const auto ref = reference_or_builtin(o.reference);
    CdReport r;
    if (CD_Calibration(0, measured.data(), ref.data(), r.difference.data(), r.reference_lab.data()) != 0) {
        throw Error(std::string("colour-difference evaluation failed: ") + morvik_last_error());
    }
    for (float v : r.difference) {
        if (!std::isfinite(v)) throw Error("the measured colours give no CIELAB values (all zero?); check " + o.measured);
    }
    return r;
}

// The JSON form stays a list of patches; units are in --help and the text form.
nlohmann::json to_json(const CdReport& r) {
    const auto& diff = r.difference;
    const auto& ref_lab = r.reference_lab;
    nlohmann::json doc = nlohmann::json::array();
    for (std::size_t i = 0; i < std::size_t(kPatches); ++i) {
        doc.push_back({{"patch", i},
                       {"difference", diff[4 * i]},
                       {"lab", {diff[4 * i + 1], diff[4 * i + 2], diff[4 * i + 3]}},
                       {"reference_lab", {ref_lab[3 * i], ref_lab[3 * i + 1], ref_lab[3 * i + 2]}}});
    }
    return doc;
}

void print_text(const CdReport& r) {
    std::printf("CIELAB (D65, each set scaled to a largest value of 100); delta-ab = chroma difference\n");
    std::printf("patch  delta-ab |  L       a       b    (measured) |  L       a       b    (reference)\n");
    double sum = 0, worst = 0;
    for (std::size_t i = 0; i < std::size_t(kPatches); ++i) {
        const float* d = &r.difference[4 * i];
        const float* ref = &r.reference_lab[3 * i];
        std::printf("%5zu  %8.3f | %6.2f %7.2f %7.2f            | %6.2f %7.2f %7.2f\n", i, double(d[0]),
                    double(d[1]), double(d[2]), double(d[3]), double(ref[0]), double(ref[1]), double(ref[2]));
        sum += d[0];
        worst = std::max(worst, double(d[0]));
    }
    std::printf("delta-ab mean %.3f   max %.3f\n", sum / kPatches, worst);
}

void setup_cd(CLI::App& app) {
    auto* cmd = app.add_subcommand("cd", "Chroma difference (Delta ab) of 24 measured colours against a reference");
    auto o = std::make_shared<CdOptions>();
    cmd->add_option("MEASURED", o->measured, "Measured colours, CSV or JSON: 24 patches of linear R, G, B")
        ->required();
    cmd->add_option("-r,--reference", o->reference,
                    "Reference chart, CSV or JSON: 24 patches of R, G, B and weight "
                    "(default: the built-in chart of examples/color/reference.csv)");
    cmd->add_flag("--json", o->json, "Print the result as JSON");
    cmd->callback([o] { emit(run_cd(*o), o->json); });
}

// ------------------------------------------------------------ multiccm

struct MultiCcmOptions {
    std::string lights;
    int terms = 6;
    bool json = false;
};

struct MultiCcmLights {
    std::vector<std::array<int32_t, 9>> matrices;
    std::vector<int32_t> first, den, second, weight;
};

MultiCcmLights read_multiccm_lights(const std::filesystem::path& path) {
    const std::string text = read_text_file(path);
    const nlohmann::json doc = parse_json(path, text);
    const nlohmann::json& list = doc.is_object() ? doc.value("lights", nlohmann::json()) : doc;
    if (!list.is_array() || list.size() < 2) {
        throw BadInput(path.string() + ": expected a list of at least 2 lights (or {\"lights\": [...]})");
    }
    MultiCcmLights in;
    constexpr long kMin = -2147483647L - 1, kMax = 2147483647L;
    for (std::size_t i = 0; i < list.size(); ++i) {
        const std::string where = path.string() + ": light " + std::to_string(i);
        const nlohmann::json& light = list[i];
        if (!light.is_object() || !light.contains("matrix") || !light.contains("chromaticity")) {
            throw BadInput(where + ": expected {\"matrix\": [9 integers], \"chromaticity\": [3 integers]}");
        }
        const nlohmann::json& m = light["matrix"];
        const nlohmann::json& c = light["chromaticity"];
        if (!m.is_array() || m.size() != 9) throw BadInput(where + ": \"matrix\" needs 9 integers");
        if (!c.is_array() || c.size() != 3) {
            throw BadInput(where + ": \"chromaticity\" is [first numerator, denominator, second numerator]");
        }
        std::array<int32_t, 9> a{};
        for (std::size_t k = 0; k < 9; ++k) {
            a[k] = int32_t(json_integer(m[k], where + " matrix[" + std::to_string(k) + "]", kMin, kMax));
        }
        std::array<int32_t, 3> ch{};
        for (std::size_t k = 0; k < 3; ++k) {
            ch[k] = int32_t(json_integer(c[k], where + " chromaticity[" + std::to_string(k) + "]", kMin, kMax));
        }
        if (ch[1] == 0) throw BadInput(where + ": chromaticity denominator is 0");
        in.matrices.push_back(a);
        in.first.push_back(ch[0]);
        in.den.push_back(ch[1]);
        in.second.push_back(ch[2]);
        in.weight.push_back(light.contains("weight") ? int32_t(json_integer(light["weight"], where + " weight", kMin, kMax))
                                                     : 1);
    }
    return in;
}

constexpr const char* kTermNames[6] = {"1", "x", "y", "x^2", "xy", "y^2"};

struct MultiCcmReport {
    std::size_t lights = 0;
    int terms_asked = 0, terms_used = 0;
    std::array<int32_t, 4> norm{};
    std::array<std::array<int32_t, 9>, 6> coef{};
};

MultiCcmReport run_multiccm(const MultiCcmOptions& o) {
    MultiCcmLights in = read_multiccm_lights(o.lights);
    std::vector<int32_t*> ptrs;
    for (auto& m : in.matrices) ptrs.push_back(m.data());
    MultiCcmReport r;
    r.lights = in.matrices.size();
    r.terms_asked = o.terms;
    r.terms_used = in.matrices.size() < 6 ? 3 : o.terms;
    int32_t* coef_ptrs[6];
    for (std::size_t k = 0; k < 6; ++k) coef_ptrs[k] = r.coef[k].data();
    MultiCCM(ptrs.data(), in.first.data(), in.den.data(), in.second.data(), in.weight.data(), int32_t(r.lights),
             o.terms, r.norm.data(), coef_ptrs);
    if (*morvik_last_error() != '\0') throw Error(std::string("multi-light fit failed: ") + morvik_last_error());
    if (r.norm[1] == 0 || r.norm[3] == 0) {
        throw Error(o.lights + ": the lights' chromaticities do not spread (standard deviation 0 in x or y); "
                    "the fit needs distinct light sources");
    }
    for (const auto& row : r.coef) {
        for (int32_t v : row) {
            if (v == INT32_MIN) throw Error(o.lights + ": the fit is singular for these lights; no coefficients");
        }
    }
    return r;
}

nlohmann::json to_json(const MultiCcmReport& r) {
    nlohmann::json out;
    out["lights"] = r.lights;
    out["terms_used"] = r.terms_used;
    out["normalisation_x100"] = {{"mean_x", r.norm[0]}, {"sd_x", r.norm[1]}, {"mean_y", r.norm[2]}, {"sd_y", r.norm[3]}};
    nlohmann::json c = nlohmann::json::array();
    for (std::size_t k = 0; k < 6; ++k) c.push_back({{"term", kTermNames[k]}, {"values", r.coef[k]}});
    out["coefficients_x10000"] = c;
    return out;
}

void print_text(const MultiCcmReport& r) {
    std::printf("%zu lights, %d terms%s\n", r.lights, r.terms_used,
                r.terms_used != r.terms_asked ? " (three below six lights)" : "");
    std::printf("normalisation x100 (chromaticity x, y = 512 * numerator / denominator): mean x %d, sd x %d, "
                "mean y %d, sd y %d\n",
                r.norm[0], r.norm[1], r.norm[2], r.norm[3]);
    std::printf("coefficients x10000 (nine matrix elements, row-major):\n");
    for (std::size_t k = 0; k < 6; ++k) {
        std::printf("  %-4s", kTermNames[k]);
        for (auto v : r.coef[k]) std::printf(" %9d", v);
        std::printf("\n");
    }
}

void setup_multiccm(CLI::App& app) {
    auto* cmd = app.add_subcommand("multiccm", "Fit the matrices of several lights as polynomials of chromaticity");
    auto o = std::make_shared<MultiCcmOptions>();
    cmd->add_option("LIGHTS", o->lights,
                    "JSON list of lights (or {\"lights\": [...]}): {\"matrix\": [9 integers], "
                    "\"chromaticity\": [first numerator, denominator, second numerator], \"weight\": w}")
        ->required();
    cmd->add_option("-k,--terms", o->terms, "Polynomial terms of 1, x, y, x^2, xy, y^2 (1..6; 3 below six lights)")
        ->check(CLI::Range(1, 6))
        ->capture_default_str();
    cmd->add_flag("--json", o->json, "Print the result as JSON");
    cmd->callback([o] { emit(run_multiccm(*o), o->json); });
}

// ------------------------------------------------------------ demo

// A synthetic capture: reference colours through a sensor crosstalk matrix,
// channel gains, exposure and a corner falloff that the illumination triple
// records.
MeasuredRec synthetic_capture(const ReferenceRec& reference) {
    const double crosstalk[9] = {0.70, 0.20, 0.10, 0.15, 0.70, 0.15, 0.05, 0.25, 0.70};
    const double gain[3] = {0.55, 1.0, 0.70};
    const double exposure = 0.8;
    MeasuredRec rec{};
    for (int i = 0; i < kPatches; ++i) {
        const double dx = (i % 6 - 2.5) / 2.5, dy = (i / 6 - 1.5) / 1.5;
        const double falloff = 1.0 - 0.15 * (dx * dx + dy * dy) / 2.0;
        for (int c = 0; c < 3; ++c) {
            double sensor = 0;
            for (int d = 0; d < 3; ++d) sensor += crosstalk[3 * c + d] * reference[std::size_t(i * 11 + 6 + d)];
            rec[std::size_t(i * 6 + c)] = float(sensor * gain[c] * exposure * falloff);
            rec[std::size_t(i * 6 + 3 + c)] = float(230.0 * gain[c] * exposure * falloff);
        }
    }
    return rec;
}

void demo() {
    const auto reference = reference_from(kSyntheticChart);
    const auto measured = synthetic_capture(reference);
    std::printf("Synthetic chart seen through a sensor crosstalk matrix\n"
                "  0.70 0.20 0.10 / 0.15 0.70 0.15 / 0.05 0.25 0.70\n"
                "with channel gains 0.55/1.0/0.70 and a 15%% corner falloff.\n");
    // The core without the inspection file, so that the demo writes nothing.
    print_ccm(run_ccm(measured, reference, 1.0f, false), 1.0f, false);
    const auto half = run_ccm(measured, reference, 0.5f, false);
    print_stats("After CCM, strength 0.5:", half.after);
}

const bool registered = register_command(30,
                                         [](CLI::App& app) {
                                             setup_ccm(app);
                                             setup_cd(app);
                                             setup_multiccm(app);
                                         }) &&
                        register_demo_step(30, "Colour correction", demo);

}  // namespace

}  // namespace morvik::cli
