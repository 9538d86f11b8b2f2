// `morvik sensor` (slope and offset per channel from a flat-field exposure
// series), `morvik lv` (light-value ladder), and the sensor step of
// `morvik demo`.
#include <array>
#include <cmath>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "cli.h"
#include "morvik/morvik.h"
#include "sensor/sensor.h"

namespace morvik::cli {

namespace {

struct SensorOptions {
    std::string series;
    int bits = 8;
    std::string black = "0,0,0,0";
    bool json = false;
};

struct SeriesData {
    std::vector<std::int32_t> exposure;
    std::array<std::vector<double>, 4> response;
    std::array<std::uint32_t, 4> black{};
    bool ten_bit = false;
};

struct SensorReport {
    std::array<double, 4> gains{}, slopes{}, intercepts{};
    std::array<std::uint32_t, 4> offsets{};
    double ratio = 0, linear_limit = 0, threshold = 0;
    sensor::LinearEnd end = sensor::LinearEnd::series_end;
    int last_point = 0, channel = -1;
    std::int32_t last_exposure = 0;
    int points = 0;
};

SeriesData read_series(const std::filesystem::path& path) {
    if (!std::filesystem::is_regular_file(path)) throw BadInput(path.string() + ": no such file");
    SeriesData s;
    for (const CsvRow& row : parse_csv(read_text_file(path))) {
        const std::string where = path.string() + ":" + std::to_string(row.line);
        if (row.fields.size() != 5)
            throw BadInput(where + ": expected 5 fields (exposure and four channel means), got " +
                           std::to_string(row.fields.size()));
        // A header row of names is skipped.
        if (s.exposure.empty() && !is_number(row.fields[0])) continue;
        double x = 0;
        try {
            x = number_at(path, row, 0);
        } catch (const Error& e) {
            throw BadInput(e.what());
        }
        if (x != std::trunc(x) || x < -2147483648.0 || x > 2147483647.0)
            throw BadInput(where + ": the exposure \"" + row.fields[0] + "\" is not a 32-bit integer");
        if (!s.exposure.empty() && x <= s.exposure.back())
            throw BadInput(where + ": exposures must increase (" + row.fields[0] + " after " +
                           std::to_string(s.exposure.back()) + ")");
        s.exposure.push_back(static_cast<std::int32_t>(x));
        for (std::size_t c = 0; c < 4; ++c) {
            try {
                s.response[c].push_back(number_at(path, row, c + 1));
            } catch (const Error& e) {
                throw BadInput(e.what());
            }
        }
    }
    if (s.exposure.size() < 5)
        throw BadInput(path.string() + ": at least 5 points are needed, got " + std::to_string(s.exposure.size()));
    return s;
}

std::array<std::uint32_t, 4> parse_black(const std::string& text) {
    std::array<std::uint32_t, 4> black{};
    std::stringstream in(text);
    std::size_t n = 0;
    for (std::string item; std::getline(in, item, ',');) {
        char* end = nullptr;
        const unsigned long long v = std::strtoull(item.c_str(), &end, 10);
        if (item.empty() || *end != '\0' || item[0] == '-' || v > 0xFFFFFFFFull || n >= 4)
            throw BadInput("--black: expected four unsigned 32-bit levels a,b,c,d, got '" + text + "'");
        black[n++] = static_cast<std::uint32_t>(v);
    }
    if (n != 4) throw BadInput("--black: expected four levels a,b,c,d, got '" + text + "'");
    return black;
}

SensorReport calibrate(const SeriesData& s) {
    sc_input in{};
    in.bit_mode = s.ten_bit ? 1 : 0;
    in.count = static_cast<std::int32_t>(s.exposure.size());
    in.exposure = s.exposure.data();
    for (std::size_t c = 0; c < 4; ++c) {
        in.response[c] = s.response[c].data();
        in.black[c] = s.black[c];
    }
    SensorReport r;
    r.points = in.count;
    if (SC_SlopeOffset_Calibration(0, &in, r.gains.data(), r.offsets.data(), r.slopes.data(), r.intercepts.data(),
                                   &r.ratio, &r.linear_limit) != 0)
        throw Error(std::string("sensor calibration failed: ") + morvik_last_error());
    // Where and why the linear part ends.
    sensor::Series view;
    view.ten_bit = s.ten_bit;
    view.count = in.count;
    view.exposure = in.exposure;
    for (std::size_t c = 0; c < 4; ++c) view.response[c] = in.response[c];
    const sensor::SlopeOffset detail = sensor::slope_offset(view);
    r.end = detail.end;
    r.last_point = detail.last_point;
    r.channel = detail.channel;
    r.threshold = detail.threshold;
    r.last_exposure = s.exposure[std::size_t(detail.last_point)];
    return r;
}

nlohmann::json to_json(const SensorReport& r) {
    nlohmann::json j;
    const auto finite = [](const std::array<double, 4>& v) {
        nlohmann::json a = nlohmann::json::array();
        for (double x : v) a.push_back(std::isfinite(x) ? nlohmann::json(x) : nlohmann::json(nullptr));
        return a;
    };
    j["points"] = r.points;
    j["slopes"] = finite(r.slopes);
    j["intercepts"] = finite(r.intercepts);
    j["gains"] = finite(r.gains);
    j["offsets"] = r.offsets;
    j["linear_limit"] = std::isfinite(r.linear_limit) ? nlohmann::json(r.linear_limit) : nlohmann::json(nullptr);
    j["ratio"] = std::isfinite(r.ratio) ? nlohmann::json(r.ratio) : nlohmann::json(nullptr);
    j["threshold"] = r.threshold;
    j["linear_end"] = {{"reason", sensor::describe(r.end)},
                       {"last_point", r.last_point},
                       {"exposure", r.last_exposure},
                       {"channel", r.channel}};
    return j;
}

void print_text(const SensorReport& r) {
    std::printf("points            %d\n", r.points);
    std::printf("channel           %12s %12s %12s %12s\n", "0", "1", "2", "3");
    const auto row = [](const char* name, const std::array<double, 4>& v) {
        std::printf("%-18s", name);
        for (double x : v) std::printf(" %12.6g", x);
        std::printf("\n");
    };
    row("slope", r.slopes);
    row("intercept", r.intercepts);
    row("gain", r.gains);
    std::printf("%-18s", "offset");
    for (std::uint32_t o : r.offsets) std::printf(" %12d", static_cast<std::int32_t>(o));
    std::printf("\n");
    std::printf("linear limit      %g (ratio %g, error threshold %.4f)\n", r.linear_limit, r.ratio, r.threshold);
    if (r.end == sensor::LinearEnd::bent) {
        std::printf("linear up to      point %d (exposure %d): %s in channel %d\n", r.last_point, r.last_exposure,
                    sensor::describe(r.end), r.channel);
    } else {
        std::printf("linear up to      point %d (exposure %d): %s\n", r.last_point, r.last_exposure,
                    sensor::describe(r.end));
    }
}

void run_sensor(const SensorOptions& o) {
    SeriesData s = read_series(o.series);
    s.ten_bit = o.bits == 10;
    s.black = parse_black(o.black);
    const SensorReport r = calibrate(s);
    if (o.json) {
        print_json(to_json(r));
    } else {
        print_text(r);
    }
}

// ---------------------------------------------------------------- lv

struct LvOptions {
    int scale = 1;
    double base = 0;
    bool json = false;
};

void run_lv(const LvOptions& o) {
    sc_lv lv{};
    lv.scale = static_cast<std::uint8_t>(o.scale);
    lv.base_log2 = o.base;
    if (SC_LV_Calculation(&lv) != 0) throw Error(std::string("light values failed: ") + morvik_last_error());
    if (o.json) {
        nlohmann::json rows = nlohmann::json::array();
        rows.push_back({{"level", 45}, {"lv", lv.lv_45}, {"level_back", lv.level_45}});
        for (int j = 0; j < 14; ++j) rows.push_back({{"level", 60 + 15 * j}, {"lv", lv.lv[j]}, {"level_back", lv.level[j]}});
        print_json({{"scale", o.scale}, {"base_log2", o.base}, {"ladder", rows}});
        return;
    }
    std::printf("scale %d, base 2^%g\n", o.scale, o.base);
    std::printf("level   light value   level back\n");
    std::printf("%5d   %11.1f   %10u\n", 45, lv.lv_45, lv.level_45);
    for (int j = 0; j < 14; ++j) std::printf("%5d   %11.1f   %10u\n", 60 + 15 * j, lv.lv[j], lv.level[j]);
}

// A 10-bit series that is linear up to a planted knee and compresses above it.
void demo() {
    const double knee = 600;
    const std::array<double, 4> slope{3.1, 4.0, 3.9, 2.6}, dark{18, 16, 16, 19};
    SeriesData s;
    s.ten_bit = true;
    s.black = {64, 64, 64, 64};
    for (int i = 1; i <= 24; ++i) {
        const std::int32_t x = 10 * i;
        s.exposure.push_back(x);
        for (std::size_t c = 0; c < 4; ++c) {
            const double linear = slope[c] * x + dark[c];
            s.response[c].push_back(linear <= knee ? linear : knee + 0.35 * (linear - knee));
        }
    }
    const SensorReport r = calibrate(s);
    std::printf("synthetic 10-bit series: 24 points, slopes %.1f %.1f %.1f %.1f, planted knee at level %.0f\n",
                slope[0], slope[1], slope[2], slope[3], knee);
    // The last point at or below the knee in the channel that reaches it first.
    int planted = 0;
    for (std::size_t i = 0; i < s.exposure.size(); ++i)
        if (s.response[1][i] <= knee) planted = static_cast<int>(i);
    std::printf("planted           linear up to point %d (exposure %d), channel 1 at %.1f\n", planted,
                s.exposure[std::size_t(planted)], s.response[1][std::size_t(planted)]);
    print_text(r);
}

const bool registered = register_command(60, [](CLI::App& app) {
    auto o = std::make_shared<SensorOptions>();
    auto* cmd = app.add_subcommand("sensor", "Sensor response: slope, offset and linear limit per channel from a "
                                             "flat-field exposure series");
    cmd->add_option("SERIES", o->series, "CSV rows: exposure (integer, increasing) and the four channel means")
        ->required();
    cmd->add_option("--bits", o->bits, "Data depth: 8 (saturation 255) or 10 (saturation 1023)")
        ->check(CLI::IsMember({8, 10}));
    cmd->add_option("--black", o->black, "Black levels of channels 0..3 as a,b,c,d");
    cmd->add_flag("--json", o->json, "Print the result as JSON");
    cmd->callback([o] { run_sensor(*o); });

    auto lo = std::make_shared<LvOptions>();
    auto* lv = app.add_subcommand("lv", "Light values of the levels 45, 60, ..., 255 for an exposure base");
    lv->add_option("--scale", lo->scale, "Divisor of the levels, 1..255")->required()->check(CLI::Range(1, 255));
    lv->add_option("--base", lo->base, "log2 of the exposure base")->required();
    lv->add_flag("--json", lo->json, "Print the ladder as JSON");
    lv->callback([lo] { run_lv(*lo); });
});

const bool demo_registered = register_demo_step(60, "Sensor response", demo);

}  // namespace

}  // namespace morvik::cli
