// Every refused or failed call leaves its reason in morvik_last_error(), and
// the next successful call of the thread clears it.
#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <string>
#include <vector>

#include "morvik/morvik.h"
#include "support.h"

namespace {

struct Refusal {
    const char* name;
    std::function<void()> call;
    const char* reason;  // a word the reason must contain
};

void expect_reasons(const std::vector<Refusal>& refusals, const std::function<void()>& success) {
    for (const auto& r : refusals) {
        success();
        ASSERT_STREQ(morvik_last_error(), "") << r.name << ": success leaves a reason";
        r.call();
        const std::string reason = morvik_last_error();
        EXPECT_NE(reason.find(r.reason), std::string::npos) << r.name << ": \"" << reason << "\"";
        EXPECT_EQ(reason.find('\n'), std::string::npos) << r.name << ": reason is one line";
    }
    success();
    EXPECT_STREQ(morvik_last_error(), "");
}

TEST(FailureReasons, Verification) {
    std::vector<std::uint8_t> image(16 * 3 * 16, 100);
    DefectVerifyResult d{};
    UnbalanceVerifyResult u{};
    morvik::test::LogCapture log;
    expect_reasons(
        {
            {"defect format", [&] { EXPECT_EQ(Defect_Verify(image.data(), 3, 0, 16, 16, 8, &d), 2); }, "format"},
            {"defect null image", [&] { EXPECT_EQ(Defect_Verify(nullptr, 1, 0, 16, 16, 8, &d), -1); }, "null"},
            {"defect null result", [&] { EXPECT_EQ(Defect_Verify(image.data(), 2, 0, 16, 16, 8, nullptr), -1); },
             "null"},
            {"defect raw 5x5", [&] { EXPECT_EQ(Defect_Verify(image.data(), 1, 0, 5, 16, 8, &d), -1); }, "smaller"},
            {"defect colour 4x4", [&] { EXPECT_EQ(Defect_Verify(image.data(), 2, 0, 16, 4, 8, &d), -1); },
             "smaller"},
            {"unbalance format", [&] { EXPECT_EQ(Unbalance_Verify(image.data(), 0, 0, 16, 16, &u), 2); }, "format"},
            {"unbalance 1x1", [&] { EXPECT_EQ(Unbalance_Verify(image.data(), 1, 0, 1, 1, &u), -1); }, "smaller"},
            {"unbalance null", [&] { EXPECT_EQ(Unbalance_Verify(image.data(), 1, 0, 4, 4, nullptr), -1); }, "null"},
        },
        [&] { EXPECT_EQ(Defect_Verify(image.data(), 1, 0, 16, 16, 8, &d), 0); });
}

TEST(FailureReasons, WhiteBalance) {
    const AwbGreyStatistics grey[3] = {{5000, 100, 200, 100}, {3000, 150, 200, 60}, {7000, 60, 200, 150}};
    const AwbGreyStatistics zero[2] = {{5000, 0, 200, 100}, {3000, 0, 200, 60}};
    const AwbGreyStatistics flat[2] = {{5000, 100, 100, 100}, {5000, 100, 100, 100}};
    AwbCalibrationResult r{};
    const AwbIntWindow windows[11] = {};
    AwbIntWindow small[6];
    std::vector<std::uint8_t> raw(16), mask(9), rgb(27);
    AWBFILTER_PARAM p{};
    p.width = p.height = 4;
    p.raw = raw.data();
    morvik::test::LogCapture log;
    expect_reasons(
        {
            {"calibration null", [&] { EXPECT_EQ(AWB_Calibration(0, 3, 0, 0, nullptr, &r), -1); }, "null"},
            {"calibration count 1", [&] { EXPECT_EQ(AWB_Calibration(0, 1, 0, 0, grey, &r), -1); }, "2..20"},
            {"calibration count 21", [&] { EXPECT_EQ(AWB_Calibration(0, 0x115, 0, 0, grey, &r), -1); }, "2..20"},
            {"calibration zero median", [&] { EXPECT_EQ(AWB_Calibration(0, 2, 0, 0, zero, &r), -1); }, "median"},
            {"calibration no projection", [&] { EXPECT_EQ(AWB_Calibration(0, 2, 0, 0, flat, &r), 1); },
             "projection"},
            {"windows null", [&] { AWB_WIN_AUTO_CAL(nullptr, nullptr); }, "null"},
            {"small windows null", [&] { EXPECT_EQ(AWB_Small_win_Calibration(nullptr, small), -1); }, "null"},
            {"applied windows null", [&] { EXPECT_EQ(AWB_Update_11_Window_Before_Apply(nullptr), -1); }, "null"},
            {"filter null", [&] { EXPECT_EQ(AWB_Filter(&p, nullptr, rgb.data()), -1); }, "null"},
            {"filter null rgb", [&] { EXPECT_EQ(AWB_Filter(&p, mask.data(), nullptr), -1); }, "null"},
        },
        [&] {
            EXPECT_EQ(AWB_Update_11_Window_Before_Apply(windows), 0);
            EXPECT_EQ(AWB_Filter(&p, mask.data(), rgb.data()), 0);
        });
}

TEST(FailureReasons, Colour) {
    std::array<float, 24 * 6> measured{};
    std::array<float, 24 * 11> reference{};
    measured.fill(100.0f);
    reference.fill(100.0f);
    const int32_t side[4] = {1, 2, 3, 4};
    int32_t side_out[4];
    std::array<std::uint8_t, 9> m8{};
    std::array<float, 96> diff{};
    std::array<float, 72> lab{};
    std::array<int32_t, 9> matrix{};
    int32_t* matrices[6] = {matrix.data(), matrix.data(), matrix.data(), matrix.data(), matrix.data(), matrix.data()};
    const int32_t num[6] = {1, 2, 3, 4, 5, 6}, den[6] = {9, 9, 9, 9, 9, 9}, w[6] = {1, 1, 1, 1, 1, 1};
    int32_t norm[4];
    std::array<std::array<int32_t, 9>, 6> coef{};
    int32_t* coefs[6] = {coef[0].data(), coef[1].data(), coef[2].data(), coef[3].data(), coef[4].data(), nullptr};
    expect_reasons(
        {
            {"ccm null", [&] { EXPECT_EQ(CC_Calibration(0, 1, measured.data(), nullptr, side, m8.data(), side_out), -1); },
             "null"},
            {"ccm kt1 null", [&] { EXPECT_EQ(CC_Calibration_KT1(0, 1, nullptr, reference.data(), side, nullptr, side_out), -1); },
             "null"},
            {"cd null", [&] { EXPECT_EQ(CD_Calibration(0, measured.data(), reference.data(), nullptr, lab.data()), -1); },
             "null"},
            {"colour error null", [&] { CalColorError(measured.data(), reference.data(), nullptr, lab.data(), lab.data(), lab.data()); },
             "null"},
            {"multiccm negative count", [&] { MultiCCM(matrices, num, den, num, w, -1, 3, norm, coefs); }, "negative"},
            {"multiccm terms", [&] { MultiCCM(matrices, num, den, num, w, 6, 7, norm, coefs); }, "terms"},
            {"multiccm null coefficient row", [&] { MultiCCM(matrices, num, den, num, w, 6, 6, norm, coefs); }, "null"},
        },
        [&] { EXPECT_EQ(CD_Calibration(0, measured.data(), reference.data(), diff.data(), lab.data()), 0); });
}

TEST(FailureReasons, DebugInformation) {
    morvik::test::TempDir dir;
    morvik::test::ScopedEnv host("MORVIK_HOST_DIR", dir.path().string());
    morvik::test::LogCapture log;
    int32_t blocks = 0;
    int32_t size[DP_SIZE_RECORD_WORDS];
    uint32_t table[DP_AWB_INFO_WORDS];
    const std::string missing = (dir.path() / "missing.jpg").string();
    const std::string empty = (dir.path() / "empty.jpg").string();
    { std::FILE* f = std::fopen(empty.c_str(), "wb"); std::fclose(f); }
    expect_reasons(
        {
            {"getInfo null", [&] { EXPECT_EQ(DP_getInfo(nullptr, 2, &blocks), 0); }, "null"},
            {"getInfo missing file", [&] { EXPECT_EQ(DP_getInfo(missing.c_str(), 2, &blocks), 0); }, "opened"},
            {"getInfo empty file", [&] { EXPECT_EQ(DP_getInfo(empty.c_str(), 2, &blocks), 0); }, "segment"},
            {"dump without table", [&] { EXPECT_EQ(DP_dumpInfo_File((dir.path() / "d.txt").string().c_str(), size), 0); },
             "DP_getInfo"},
            {"array dump without table", [&] { EXPECT_EQ(DP_dumpInfo_array_RC(nullptr), 0); }, "DP_getInfo"},
            {"size null", [&] { EXPECT_EQ(DP_GET_SIZE(nullptr, nullptr), 0); }, "null"},
            {"getter null", [&] { EXPECT_EQ(GetPCATbl(nullptr), 0); }, "null"},
            {"awb getter null", [&] { DP_GetAWBinfo(nullptr); }, "null"},
        },
        [&] {
            EXPECT_EQ(GetGGMTbl(table), 1);
            DP_GetAWBinfo(table);
        });
    // A dump file that cannot be created, with a table loaded from the example.
    const std::string example = std::string(MORVIK_SOURCE_DIR) + "/examples/debuginfo/example.jpg";
    ASSERT_EQ(DP_getInfo(example.c_str(), 2, &blocks), 1) << morvik_last_error();
    EXPECT_EQ(DP_dumpInfo_File((dir.path() / "no" / "such" / "d.txt").string().c_str(), size), 0);
    EXPECT_NE(std::string(morvik_last_error()).find("cannot be created"), std::string::npos);
}

}  // namespace
