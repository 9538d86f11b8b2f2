// The morvik tool under bad input and concurrent use: every malformed input
// gives its exit status (2 bad input, 1 a failed calculation), a one-line
// message naming the file or option, and leaves no file behind.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
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
using morvik::test::TempDir;

const fs::path kExamples = fs::path(MORVIK_SOURCE_DIR) / "examples";

struct Result {
    int status = -1;
    std::string out, err;
};

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void spit(const fs::path& p, const std::string& text) { std::ofstream(p, std::ios::binary) << text; }

// Run the tool with `args` in `dir`; stdout and stderr are captured in files
// of `dir`'s parent-independent names unique to `tag`.
Result run(const fs::path& dir, const std::string& args, const std::string& tag = "run",
           const std::string& env = "") {
    const fs::path out = dir / (".out-" + tag), err = dir / (".err-" + tag);
    const std::string cmd =
        "cd '" + dir.string() + "' && " + env + " '" MORVIK_CLI "' " + args + " >'" + out.string() + "' 2>'" + err.string() + "'";
    const int raw = std::system(cmd.c_str());
    Result r;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = slurp(out);
    r.err = slurp(err);
    fs::remove(out);
    fs::remove(err);
    return r;
}

// Files in `dir` (capture files excluded).
std::vector<std::string> listing(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::recursive_directory_iterator(dir)) names.push_back(e.path().lexically_relative(dir).string());
    std::sort(names.begin(), names.end());
    return names;
}

// A refusal: the status, one line on stderr naming `names`, nothing on
// stdout, and no new file in the folder.
void expect_refused(const fs::path& dir, const std::string& args, int status, const std::string& names) {
    const auto before = listing(dir);
    const Result r = run(dir, args);
    EXPECT_EQ(r.status, status) << args << "\n" << r.err;
    EXPECT_EQ(r.err.rfind("morvik: ", 0), 0u) << args << ": " << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << args << ": " << r.err;
    EXPECT_NE(r.err.find(names), std::string::npos) << args << ": message does not name " << names << ": " << r.err;
    EXPECT_EQ(listing(dir), before) << args << ": a failed run left files behind";
}

TEST(Cli, RawAndImageFilesWhoseSizeOrHeaderLies) {
    TempDir t;
    const fs::path d = t.path();
    spit(d / "short.raw", std::string(100, '\x40'));
    fs::create_directory(d / "folder.raw");
    expect_refused(d, "verify defect short.raw --raw --width 64 --height 48", 2, "short.raw");
    expect_refused(d, "lsc short.raw --width 64 --height 48", 2, "short.raw");
    expect_refused(d, "awb filter short.raw --width 64 --height 48", 2, "short.raw");
    expect_refused(d, "lsc folder.raw --width 8 --height 8", 2, "folder.raw");
    expect_refused(d, "verify defect missing.bmp", 2, "missing.bmp");
    expect_refused(d, "verify defect x.raw --raw --width -5 --height 3", 2, "--width");

    // A BMP header claiming 20000 x 20000 pixels over a 16-byte body, and a
    // real BMP cut short: refused before decoding.
    std::string lying = slurp(kExamples / "verify" / "flat_64x48.bmp").substr(0, 54);
    for (int at : {18, 22}) {
        const std::uint32_t v = 20000;
        for (int k = 0; k < 4; ++k) lying[std::size_t(at + k)] = char((v >> (8 * k)) & 0xFF);
    }
    spit(d / "lying.bmp", lying + std::string(16, '\0'));
    const std::string whole = slurp(kExamples / "verify" / "flat_64x48.bmp");
    spit(d / "cut.bmp", whole.substr(0, whole.size() / 2));
    spit(d / "empty.png", "");
    expect_refused(d, "verify defect lying.bmp", 2, "lying.bmp");
    expect_refused(d, "verify unbalance cut.bmp", 2, "cut.bmp");
    expect_refused(d, "verify defect empty.png", 2, "empty.png");
}

TEST(Cli, TablesWithNestedJsonOrNumbersWithoutMeaning) {
    TempDir t;
    const fs::path d = t.path();
    spit(d / "deep.json", std::string(1000000, '[') + std::string(1000000, ']'));
    for (const char* cmd : {"awb calibrate", "awb windows", "ccm", "cd", "multiccm"}) {
        expect_refused(d, std::string(cmd) + " deep.json", 2, "deep.json");
    }
    const std::string grey = "key,ch1,ch2,ch3\n5000,100,200,100\n3000,150,200,60\n";
    for (const char* bad : {"nan", "inf", "-inf", "1e300", "-1", "65536", "2.5", "0x1p99"}) {
        spit(d / "grey.csv", grey + "7000," + bad + ",200,150\n");
        expect_refused(d, "awb calibrate grey.csv", 2, "grey.csv:4");
        spit(d / "grey.json", std::string("{\"lights\": [[5000,100,200,100],[3000,150,200,60],[7000,") +
                                  (std::string(bad) == "nan" || std::string(bad) == "inf" ? "1e400" : bad) +
                                  ",200,150]]}");
        expect_refused(d, "awb calibrate grey.json", 2, "grey.json");
    }
    spit(d / "grey.csv", grey);
    expect_refused(d, "awb calibrate grey.csv --upper-key 2000 --lower-key 6000", 2, "inverted");
    expect_refused(d, "ccm " + (kExamples / "color" / "capture.csv").string() + " --strength -1", 2, "--strength");
    expect_refused(d, "ccm " + (kExamples / "color" / "capture.csv").string() + " --strength nan", 2, "--strength");
    expect_refused(d, "lsc " + (kExamples / "lsc" / "flat_320x240_gr.raw").string() +
                          " --width 320 --height 240 --target-scale inf",
                   2, "--target-scale");

    // A chart whose capture is NaN, and one whose illumination is zero: the
    // first is refused as input, the second as a calibration without result.
    std::string nan_chart, zero_chart;
    for (int i = 0; i < 24; ++i) {
        nan_chart += i == 5 ? "nan,1,1,1,1,1\n" : "10,20,30,200,200,200\n";
        zero_chart += "10,20,30,0,0,0\n";
    }
    spit(d / "nan.csv", nan_chart);
    spit(d / "zero.csv", zero_chart);
    expect_refused(d, "ccm nan.csv", 2, "nan.csv:6");
    EXPECT_NE(run(d, "ccm zero.csv").status, 0);

    // Lights that leave the chromaticity without spread.
    std::string same = "[";
    for (int i = 0; i < 6; ++i) same += std::string(i ? "," : "") + "{\"matrix\":[256,0,0,0,256,0,0,0,256],\"chromaticity\":[1,2,1]}";
    spit(d / "same.json", same + "]");
    expect_refused(d, "multiccm same.json", 1, "same.json");
    spit(d / "type.json", "[{\"matrix\":\"no\",\"chromaticity\":[1,2,1]},{\"matrix\":[1],\"chromaticity\":[1,2,1]}]");
    expect_refused(d, "multiccm type.json", 2, "type.json: light 0");
}

TEST(Cli, OutputsAreAtomicAndNeverOverwriteInputs) {
    TempDir t;
    const fs::path d = t.path();
    fs::copy_file(kExamples / "awb" / "patches_64x48_rggb.raw", d / "frame.raw");
    const std::string raw = slurp(d / "frame.raw");
    const std::string args = "awb filter frame.raw --width 64 --height 48 ";
    expect_refused(d, args + "--mask frame.raw --image rgb.png", 2, "frame.raw");
    EXPECT_EQ(slurp(d / "frame.raw"), raw);
    expect_refused(d, args + "--mask mask.png --image no/such/rgb.png", 2, "no/such");
    expect_refused(d, args + "--mask same.png --image same.png", 2, "same.png");

    const Result ok = run(d, args + "--mask mask.png --image rgb.png --json");
    ASSERT_EQ(ok.status, 0) << ok.err;
    const auto doc = nlohmann::json::parse(ok.out);
    EXPECT_EQ(doc["mask"], "mask.png");
    EXPECT_TRUE(fs::exists(d / "mask.png") && fs::exists(d / "rgb.png"));
    EXPECT_EQ(listing(d), (std::vector<std::string>{"frame.raw", "mask.png", "rgb.png"}));

    // The CCM report names the inspection file only when this run wrote it.
    const std::string ccm = "ccm '" + (kExamples / "color" / "capture.csv").string() + "' --json";
    const Result with = run(d, ccm, "with", "MORVIK_INSPECT_DIR='" + d.string() + "'");
    ASSERT_EQ(with.status, 0) << with.err;
    EXPECT_TRUE(nlohmann::json::parse(with.out).contains("inspection_file"));
    EXPECT_TRUE(fs::exists(d / "Camera_CC.csv"));
    fs::remove(d / "Camera_CC.csv");
    const Result without = run(d, ccm, "without", "MORVIK_INSPECT_DIR='" + (d / "gone").string() + "'");
    ASSERT_EQ(without.status, 0) << without.err;
    EXPECT_FALSE(nlohmann::json::parse(without.out).contains("inspection_file"));

    // A dump onto its own photo, or into a missing folder, writes nothing.
    fs::copy_file(kExamples / "debuginfo" / "example.jpg", d / "photo.jpg");
    const std::string headers = "--headers '" + (kExamples / "debuginfo" / "headers").string() + "'";
    expect_refused(d, "dump photo.jpg " + headers + " --output photo.jpg", 2, "photo.jpg");
    expect_refused(d, "dump photo.jpg " + headers + " --output gone/dump.txt", 2, "gone");
    expect_refused(d, "dump photo.jpg --headers missing", 2, "missing");
}

TEST(Cli, JsonIsOneDocumentAndTheCommandsAgreeOnNames) {
    TempDir t;
    const fs::path d = t.path();
    const std::string ex = kExamples.string();
    for (const std::string& args : {
             "verify defect " + ex + "/verify/flat_64x48.bmp --json --log",
             "verify unbalance " + ex + "/verify/flat_gr_64x48.raw --raw --width 64 --height 48 --bayer 1 --json --log",
             "awb calibrate " + ex + "/awb/grey_stats.csv --json",
             "awb windows " + ex + "/awb/lights.csv --json",
             "cd " + ex + "/color/measured.csv --json",
             "multiccm " + ex + "/color/lights.json --json",
             "lsc " + ex + "/lsc/flat_320x240_gr.raw --width 320 --height 240 --bayer 1 --log --json",
             "dump " + ex + "/debuginfo/example.jpg --headers " + ex + "/debuginfo/headers --json",
         }) {
        const Result r = run(d, args);
        ASSERT_EQ(r.status, 0) << args << ": " << r.err;
        EXPECT_TRUE(nlohmann::json::accept(r.out)) << args;
        EXPECT_EQ(r.err, "") << args;
    }
    const Result version = run(d, "--version");
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("morvik ", 0), 0u);
    for (const char* usage : {"", "verify defect", "lsc x.raw --width 4", "awb calibrate --bogus x.csv"}) {
        EXPECT_EQ(run(d, usage).status, 2) << usage;
    }
    for (const char* help : {"verify defect --help", "lsc --help", "awb filter --help"}) {
        const Result r = run(d, help);
        EXPECT_EQ(r.status, 0);
        EXPECT_NE(r.out.find("--bayer"), std::string::npos) << help;
        EXPECT_NE(r.out.find("--json"), std::string::npos) << help;
        EXPECT_NE(r.out.find("--log"), std::string::npos) << help;
    }
}

TEST(Cli, ConcurrentDumpsDoNotShareFiles) {
    TempDir t;
    const fs::path d = t.path();
    const std::string args = "dump '" + (kExamples / "debuginfo" / "example.jpg").string() + "' --headers '" +
                             (kExamples / "debuginfo" / "headers").string() + "'";
    const Result single = run(d, args, "single");
    ASSERT_EQ(single.status, 0) << single.err;
    ASSERT_GT(single.out.size(), 1000u);
    std::vector<Result> results(8);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < results.size(); ++i) {
        threads.emplace_back([&, i] { results[i] = run(d, args, std::to_string(i)); });
    }
    for (auto& th : threads) th.join();
    for (const auto& r : results) {
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, single.out);
    }
    EXPECT_TRUE(listing(d).empty());
}

}  // namespace
