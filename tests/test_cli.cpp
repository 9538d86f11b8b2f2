// The morvik tool's exit statuses: one table of bad input (2) and failed
// calculations (1) over every command, each ending in one "morvik: " line that
// names the file, option or reason and leaving no file behind; then the
// examples, atomic outputs and concurrent runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "support.h"

namespace {

namespace fs = std::filesystem;
using morvik::test::run_cli;
using morvik::test::ScopedEnv;
using morvik::test::TempDir;

const std::string kEx = std::string(MORVIK_SOURCE_DIR) + "/examples/";

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string spit(const fs::path& p, const std::string& text) {
    std::ofstream(p, std::ios::binary) << text;
    return p.string();
}

std::vector<std::string> listing(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::recursive_directory_iterator(dir)) names.push_back(e.path().lexically_relative(dir).string());
    std::sort(names.begin(), names.end());
    return names;
}

struct Case {
    std::string args;
    int status;
    std::string names;  // a fragment of the message
};

// The run exits with `c.status` and its last line is "morvik: ..." naming
// `c.names`; bad input prints nothing else; the folder is left as it was.
void expect_refused(const fs::path& dir, const Case& c) {
    const auto before = listing(dir);
    int status = -1;
    const std::string out = run_cli(c.args, status);
    EXPECT_EQ(status, c.status) << c.args << "\n" << out;
    const std::size_t last = out.rfind('\n', out.size() - 2) + 1;  // npos + 1 == 0
    const std::string line = out.substr(last);
    EXPECT_EQ(line.rfind("morvik: ", 0), 0u) << c.args << ": " << out;
    EXPECT_NE(line.find(c.names), std::string::npos) << c.args << ": message does not name " << c.names << ": " << out;
    if (c.status == 2) {
        EXPECT_EQ(last, 0u) << c.args << ": bad input printed more than its message: " << out;
    }
    EXPECT_EQ(listing(dir), before) << c.args << ": a failed run left files behind";
}

TEST(Cli, EveryCommandRefusesBadInputAndReportsFailedCalculations) {
    TempDir t;
    const fs::path d = t.path();
    const std::string p = d.string() + "/";
    spit(d / "short.raw", std::string(100, '\x40'));
    fs::create_directory(d / "folder.raw");
    spit(d / "black.raw", std::string(320 * 240, '\0'));
    spit(d / "junk.txt", "x\n");
    spit(d / "deep.json", std::string(1000000, '[') + std::string(1000000, ']'));
    // A BMP header claiming 20000 x 20000 pixels over a 16-byte body, and a
    // real BMP cut short.
    const std::string bmp = slurp(kEx + "verify/flat_64x48.bmp");
    std::string lying = bmp.substr(0, 54);
    for (int at : {18, 22}) {
        for (int k = 0; k < 4; ++k) lying[std::size_t(at + k)] = char((20000u >> (8 * k)) & 0xFF);
    }
    spit(d / "lying.bmp", lying + std::string(16, '\0'));
    spit(d / "cut.bmp", bmp.substr(0, bmp.size() / 2));
    spit(d / "empty.png", "");
    // Charts: a NaN capture (bad input), zero illumination and all-zero
    // colours (no result).
    std::string nan_chart, zero_chart, zero_cd;
    for (int i = 0; i < 24; ++i) {
        nan_chart += i == 5 ? "nan,1,1,1,1,1\n" : "10,20,30,200,200,200\n";
        zero_chart += "10,20,30,0,0,0\n";
        zero_cd += "0,0,0\n";
    }
    std::string same = "[";
    for (int i = 0; i < 6; ++i) same += std::string(i ? "," : "") + "{\"matrix\":[256,0,0,0,256,0,0,0,256],\"chromaticity\":[1,2,1]}";
    const std::string grey = "key,ch1,ch2,ch3\n5000,100,200,100\n3000,150,200,60\n";
    const std::string capture = kEx + "color/capture.csv", flat = kEx + "lsc/flat_320x240_gr.raw";
    const std::string headers = " --headers " + kEx + "debuginfo/headers";
    int ok = -1;
    run_cli("pca generate " + kEx + "pca/chart.csv -o " + p + "table.csv", ok);
    ASSERT_EQ(ok, 0);

    std::vector<Case> cases = {
        {"", 2, "subcommand is required"},
        {"--versio", 2, "(see --help)"},
        {"demo --bogus", 2, "--bogus"},
        {"verify defect " + p + "missing.bmp", 2, "missing.bmp"},
        {"verify defect " + p + "short.raw --raw --width 64 --height 48", 2, "short.raw"},
        {"verify defect x.raw --raw --width -5 --height 3", 2, "--width"},
        {"verify defect " + p + "lying.bmp", 2, "lying.bmp"},
        {"verify unbalance " + p + "cut.bmp", 2, "cut.bmp"},
        {"verify defect " + p + "empty.png", 2, "empty.png"},
        {"verify defect", 2, "(see --help)"},
        {"awb filter " + p + "short.raw --width 64 --height 48", 2, "short.raw"},
        {"awb filter " + kEx + "awb/patches_64x48_rggb.raw --width 63 --height 48", 2, "patches_64x48_rggb.raw"},
        {"awb calibrate " + p + "missing.csv", 2, "missing.csv"},
        {"awb calibrate --bogus x.csv", 2, "--bogus"},
        {"awb calibrate " + spit(d / "inv.csv", grey) + " --upper-key 2000 --lower-key 6000", 2, "inverted"},
        {"awb calibrate " + spit(d / "flat.csv", "5000,100,100,100\n5000,100,100,100\n"), 1, "no projection"},
        {"awb windows " + p + "junk.txt", 2, "need 5 lights"},
        {"ccm " + kEx + "color/reference.csv", 2, "expected 6"},
        {"ccm " + capture + " --strength -1", 2, "--strength"},
        {"ccm " + capture + " --strength nan", 2, "--strength"},
        {"ccm " + spit(d / "nan.csv", nan_chart), 2, "nan.csv:6"},
        {"ccm " + spit(d / "zero.csv", zero_chart), 1, "no matrix"},
        {"cd " + p + "missing.csv", 2, "missing.csv"},
        {"cd " + spit(d / "zero3.csv", zero_cd), 1, "no CIELAB"},
        {"multiccm " + spit(d / "same.json", same + "]"), 1, "same.json"},
        {"multiccm " + spit(d / "type.json", "[{\"matrix\":\"no\",\"chromaticity\":[1,2,1]},{\"matrix\":[1],\"chromaticity\":[1,2,1]}]"),
         2, "type.json: light 0"},
        {"lsc " + p + "short.raw --width 64 --height 48", 2, "short.raw"},
        {"lsc " + p + "folder.raw --width 8 --height 8", 2, "folder.raw"},
        {"lsc x.raw --width 4", 2, "--width and --height"},
        {"lsc " + flat + " --width 320 --height 240 --target-scale inf", 2, "--target-scale"},
        {"lsc " + p + "black.raw --width 320 --height 240", 1, "no optical centre"},
        {"shading-table " + p + "junk.txt --width 0 --height 48", 2, "--width/--height"},
        {"shading-table " + p + "missing.raw --width 64 --height 48", 2, "--grid"},
        {"sensor " + p + "missing.csv", 2, "missing.csv"},
        {"lv --scale 0 --base 0", 2, "--scale"},
        {"pca generate " + p + "missing.csv", 2, "missing.csv"},
        {"pca generate " + p + "table.csv -o " + p + "out.csv", 2, "expected 18"},
        {"pca tune " + p + "table.csv --source 200,80,60 --target 210,90,40 --range 20,20 --limits 0.5,1 --steps 1 -o " + p +
             "out.csv",
         1, "more than 1 steps"},
        {"gamma to-kt1 " + p + "missing.txt", 2, "missing.txt"},
        {"gamma update " + p + "junk.txt", 2, "junk.txt:1"},
        {"gamma to-kt2 " + kEx + "gamma/gamma22.csv -o " + p + "no/such/x.txt", 2, "--output"},
        {"isp show " + p + "junk.txt --kind zz", 2, "--kind"},
        {"dump " + p + "missing.jpg" + headers, 2, "cannot open " + p + "missing.jpg: no such file"},
        {"dump " + p + "junk.txt" + headers, 2, "no debug-information segments"},
        {"dump " + kEx + "debuginfo/example.jpg --headers " + p + "missing", 2, "missing"},
    };
    for (const char* cmd : {"awb calibrate", "awb windows", "ccm", "cd", "multiccm"}) {
        cases.push_back({std::string(cmd) + " " + p + "deep.json", 2, "deep.json"});
    }
    // Values that are no 16-bit statistic, in CSV (naming the line) and JSON.
    int n = 0;
    for (const char* bad : {"nan", "inf", "-inf", "1e300", "-1", "65536", "2.5", "0x1p99"}) {
        const std::string name = "grey" + std::to_string(n++);
        cases.push_back({"awb calibrate " + spit(d / (name + ".csv"), grey + "7000," + bad + ",200,150\n"), 2, name + ".csv:4"});
        const std::string json = std::string(bad) == "nan" || std::string(bad) == "inf" ? "1e400" : bad;
        cases.push_back({"awb calibrate " + spit(d / (name + ".json"), "{\"lights\": [[5000,100,200,100],[3000,150,200,60],[7000," +
                                                                          json + ",200,150]]}"),
                         2, name + ".json"});
    }
    TempDir elsewhere;  // the colour calibration's inspection file
    const ScopedEnv inspect("MORVIK_INSPECT_DIR", elsewhere.path().string());
    for (const auto& c : cases) expect_refused(d, c);
}

TEST(Cli, ExamplesRunWithTheirReportsAndOneJsonDocument) {
    TempDir t;
    const fs::path d = t.path();
    const ScopedEnv inspect("MORVIK_INSPECT_DIR", d.string());
    const std::string ex = kEx, mask = (d / "m.png").string(), rgb = (d / "c.png").string();
    const std::pair<std::string, std::string> texts[] = {
        {"ccm " + ex + "color/capture.csv --strength 0", " 32   0   0   0  32   0   0   0  32"},
        {"ccm " + ex + "color/capture.csv --strength 0", "Delta Eab after CCM:"},
        {"multiccm " + ex + "color/lights.json --terms 3", "7 lights, 3 terms"},
        {"awb calibrate " + ex + "awb/grey_stats.csv", "projection coefficients: a = "},
        {"awb windows " + ex + "awb/lights.csv", "S5 "},
        {"awb filter " + ex + "awb/patches_64x48_rggb.raw --width 64 --height 48 --mask " + mask + " --image " + rgb,
         "of 2961 pixels"},
    };
    int status = -1;
    for (const auto& [args, says] : texts) {
        const std::string out = run_cli(args, status);
        EXPECT_EQ(status, 0) << args << ": " << out;
        EXPECT_NE(out.find(says), std::string::npos) << args << ": " << out;
    }
    EXPECT_TRUE(fs::exists(d / "Camera_CC.csv"));
    EXPECT_TRUE(fs::file_size(mask) > 0 && fs::file_size(rgb) > 0);
    // The same statistics in both formats.
    EXPECT_EQ(run_cli("awb calibrate " + ex + "awb/grey_stats.json", status), run_cli("awb calibrate " + ex + "awb/grey_stats.csv", status));

    for (const std::string& args : {
             "verify defect " + ex + "verify/flat_64x48.bmp --json --log",
             "verify unbalance " + ex + "verify/flat_gr_64x48.raw --raw --width 64 --height 48 --bayer 1 --json --log",
             "awb calibrate " + ex + "awb/grey_stats.csv --json",
             "cd " + ex + "color/measured.csv --json",
             "multiccm " + ex + "color/lights.json --json",
             "lsc " + ex + "lsc/flat_320x240_gr.raw --width 320 --height 240 --bayer 1 --log --json",
         }) {
        const std::string out = run_cli(args, status);  // stdout and stderr together: one document
        ASSERT_EQ(status, 0) << args << ": " << out;
        EXPECT_TRUE(nlohmann::json::accept(out)) << args << ": " << out;
    }
    const std::string dump = run_cli("dump " + ex + "debuginfo/example.jpg --headers " + ex + "debuginfo/headers --json --tables " + d.string(), status);
    ASSERT_EQ(status, 0) << dump;
    EXPECT_NE(dump.find("\"name\": \"ISP TABLE GGM\""), std::string::npos);
    const std::string pca = slurp(d / "pca.txt");
    EXPECT_EQ(std::count(pca.begin(), pca.end(), '\n'), 180);
    EXPECT_FALSE(fs::exists(ex + "debuginfo/headers/TAG.h"));  // the header folder is only read

    EXPECT_EQ(run_cli("--version", status).rfind("morvik ", 0), 0u);
    EXPECT_EQ(status, 0);
    for (const char* help : {"verify defect --help", "lsc --help", "awb filter --help"}) {
        const std::string out = run_cli(help, status);
        EXPECT_EQ(status, 0);
        for (const char* option : {"--bayer", "--json", "--log"}) EXPECT_NE(out.find(option), std::string::npos) << help;
    }
}

TEST(Cli, OutputsAreAtomicAndNeverOverwriteInputs) {
    TempDir t;
    const fs::path d = t.path();
    const std::string p = d.string() + "/";
    fs::copy_file(kEx + "awb/patches_64x48_rggb.raw", d / "frame.raw");
    const std::string raw = slurp(d / "frame.raw");
    const std::string args = "awb filter " + p + "frame.raw --width 64 --height 48 ";
    expect_refused(d, {args + "--mask " + p + "frame.raw --image " + p + "rgb.png", 2, "frame.raw"});
    EXPECT_EQ(slurp(d / "frame.raw"), raw);
    expect_refused(d, {args + "--mask " + p + "mask.png --image " + p + "no/such/rgb.png", 2, "no/such"});
    expect_refused(d, {args + "--mask " + p + "same.png --image " + p + "same.png", 2, "same.png"});
    int status = -1;
    const std::string out = run_cli(args + "--mask " + p + "mask.png --image " + p + "rgb.png --json", status);
    ASSERT_EQ(status, 0) << out;
    EXPECT_EQ(nlohmann::json::parse(out)["mask"], p + "mask.png");
    EXPECT_EQ(listing(d), (std::vector<std::string>{"frame.raw", "mask.png", "rgb.png"}));

    // The CCM report names the inspection file only when this run wrote it.
    for (const bool writable : {true, false}) {
        const ScopedEnv inspect("MORVIK_INSPECT_DIR", writable ? d.string() : p + "gone");
        const std::string report = run_cli("ccm " + kEx + "color/capture.csv --json", status);
        ASSERT_EQ(status, 0) << report;
        EXPECT_EQ(nlohmann::json::parse(report).contains("inspection_file"), writable);
        EXPECT_EQ(fs::exists(d / "Camera_CC.csv"), writable);
        fs::remove(d / "Camera_CC.csv");
    }
    // A dump onto its own photo, or into a missing folder, writes nothing,
    // not even the folder made for its tables.
    fs::copy_file(kEx + "debuginfo/example.jpg", d / "photo.jpg");
    const std::string dump = "dump " + p + "photo.jpg --headers " + kEx + "debuginfo/headers --output " + p;
    expect_refused(d, {dump + "photo.jpg", 2, "photo.jpg"});
    expect_refused(d, {dump + "gone/dump.txt", 2, "gone"});
    expect_refused(d, {dump + "gone/dump.txt --tables " + p + "new/tables", 2, "gone"});
}

TEST(Cli, ConcurrentDumpsDoNotShareFiles) {
    TempDir t;
    const fs::path cwd = fs::current_path();
    fs::current_path(t.path());  // nothing may land in the working folder
    const std::string args = "dump " + kEx + "debuginfo/example.jpg --headers " + kEx + "debuginfo/headers";
    int status = -1;
    const std::string single = run_cli(args, status);
    ASSERT_EQ(status, 0) << single;
    ASSERT_GT(single.size(), 1000u);
    std::vector<std::string> outs(8);
    std::vector<int> statuses(8, -1);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < outs.size(); ++i) threads.emplace_back([&, i] { outs[i] = run_cli(args, statuses[i]); });
    for (auto& th : threads) th.join();
    for (std::size_t i = 0; i < outs.size(); ++i) {
        EXPECT_EQ(statuses[i], 0) << outs[i];
        EXPECT_EQ(outs[i], single);
    }
    EXPECT_TRUE(listing(t.path()).empty());
    fs::current_path(cwd);
}

}  // namespace
