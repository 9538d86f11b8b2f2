#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include "support.h"

namespace fs = std::filesystem;
using morvik::test::LogCapture;
using morvik::test::ScopedEnv;
using morvik::test::TempDir;

namespace {

using Bytes = std::vector<uint8_t>;
using Entries = std::vector<std::pair<uint32_t, uint32_t>>;  // identifier, value

constexpr uint32_t kPresent = 0x01000000, kMore = 0x00800000;
constexpr uint32_t kMain = 0xF0F1F200, kIsp = 0xF4F5F6F7, kCam = 0xF8F9FAFB;
constexpr uint16_t APP2 = 0xFFE2, APP3 = 0xFFE3, APP4 = 0xFFE4, APP5 = 0xFFE5, APP6 = 0xFFE6, APP7 = 0xFFE7;

void put32(Bytes& b, uint32_t w) {
    for (int i = 0; i < 4; ++i) b.push_back(uint8_t(w >> (8 * i)));
}

// Payload of a debug segment: tag, counts, offsets, the blocks and, with a
// tail, its first `tail_size` bytes (the rest of `tail` follows the segment).
struct Debug {
    uint32_t tag;
    std::vector<Entries> blocks;
    Bytes tail = {};
    size_t tail_size = 0;
    int extra_offsets = -1;  // A - B; default: 1 with a tail, else 0
};

struct Seg {
    uint16_t marker;
    Bytes payload;
    Bytes after = {};  // bytes written after the segment
};

Seg seg(uint16_t marker, const Debug& d) {
    const uint32_t b = uint32_t(d.blocks.size());
    const uint32_t a = b + uint32_t(d.extra_offsets >= 0 ? d.extra_offsets : (d.tail.empty() ? 0 : 1));
    Seg s{marker, {}};
    put32(s.payload, d.tag);
    put32(s.payload, a << 16 | b);
    uint32_t off = 10 + 4 * a;
    for (uint32_t i = 0; i < a; ++i) {
        put32(s.payload, off);
        if (i < b) off += 8 * uint32_t(d.blocks[i].size());
    }
    for (const auto& blk : d.blocks) {
        for (auto [id, v] : blk) {
            put32(s.payload, id);
            put32(s.payload, v);
        }
    }
    s.payload.insert(s.payload.end(), d.tail.begin(), d.tail.begin() + long(std::min(d.tail_size, d.tail.size())));
    if (d.tail.size() > d.tail_size) s.after.assign(d.tail.begin() + long(d.tail_size), d.tail.end());
    return s;
}

Bytes jpeg(const std::vector<Seg>& segs) {
    Bytes f = {0xFF, 0xD8};
    for (const auto& s : segs) {
        const size_t len = s.payload.size() + 2;
        f.insert(f.end(), {uint8_t(s.marker >> 8), uint8_t(s.marker), uint8_t(len >> 8), uint8_t(len)});
        f.insert(f.end(), s.payload.begin(), s.payload.end());
        f.insert(f.end(), s.after.begin(), s.after.end());
    }
    f.insert(f.end(), {0xFF, 0xD9});
    return f;
}

// AWB debug block words, then GGM and PCA words: word i = base + i.
Bytes tail_words(uint32_t base, size_t awb_words = 2203) {
    Bytes t;
    for (uint32_t i = 0; i < awb_words + 288 + 180; ++i) put32(t, base + i);
    return t;
}

// A field: identifier of index k, present, optionally continuing the row.
std::pair<uint32_t, uint32_t> f(uint32_t k, uint32_t v, bool more = false) {
    return {kPresent | (more ? kMore : 0) | k, v};
}

const char* const kV2Headers[] = {"AAA/AE/AE.h",          "AAA/AF/AF.h",   "AAA/AWB/AWB.h", "AAA/STROBE/STROBE.h",
                                  "AAA/FLICKER/FLICKER.h", "ISP/ISP/ISP.h", "CAM/CMN/CMN.h", "CAM/MF/MF.h",
                                  "CAM/N3D/N3D.h",         "CAM/SENSOR/SENSOR.h", "CAM/SHADING/SHADING.h"};

// Every line shape the headers use: CRLF lines, indented members with
// values and comments, bare names, comment lines, a one-line enum.
const char* const kV2Text[] = {
    "// exposure\r\n#define AE_VERSION 5\r\nenum AE_TAG {\r\n    AE_SEL = 0, // selection\r\n\tEXPO,\r\n"
    "   // a comment line\r\n\t\t// tab comment\r\n\r\n    GAIN\r\n    /* block comment */\r\n};\r\n",
    "enum {\nAF_SEL,\nAFMODE,\nSCAN_START,\nSCAN_STEP,\nVLU,\n};\n",
    "enum AWB_TAG { IGNORED, ALSO };\nAWB_SEL,\nAWB_G = 7, // {not a name\nAWB_B,\n};\n",
    "enum {\nSTRB_SEL,\n};\n",
    "enum {\nFLK_SEL,\n};\n",
    "enum {\nISP_SEL,\nISP_EE,\n};\n",
    "enum {\nCMN_SEL,\n};\n",
    "enum {\nMF_SEL,\n};\n",
    "enum {\nN3D_SEL,\n};\n",
    "enum {\nSNS_SEL,\nSNS_GAIN,\n};\n",
    "enum {\nSHD_SEL,\n};\n",
};

void write(const fs::path& p, const std::string& text) {
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << text;
}

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string nv(const std::string& label, const std::string& value) {
    char line[128];
    std::snprintf(line, sizeof line, "%-40s: %12s\n", label.c_str(), value.c_str());
    return line;
}

std::string af(const std::string& label, const std::string& value) {
    char cell[64];
    std::snprintf(cell, sizeof cell, "%-12s:%8s,\t", label.c_str(), value.c_str());
    return cell;
}

class DebugInfo : public ::testing::Test {
protected:
    void SetUp() override {
        cwd_ = fs::current_path();
        for (size_t i = 0; i < 11; ++i) write(dir_.path() / kV2Headers[i], kV2Text[i]);
    }
    void TearDown() override { fs::current_path(cwd_); }

    fs::path file(const Bytes& bytes, const char* name = "in.jpg") {
        const fs::path p = files_.path() / name;
        std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), long(bytes.size()));
        return p;
    }
    int32_t get(const Bytes& bytes, int32_t mode, int32_t* n) {
        const ScopedEnv host("MORVIK_HOST_DIR", dir_.path().string());
        return DP_getInfo(file(bytes).c_str(), mode, n);
    }
    std::string dump(int32_t* size) {
        const fs::path out = files_.path() / "dump.txt";
        EXPECT_EQ(DP_dumpInfo_File(out.c_str(), size), 1);
        return slurp(out);
    }

    // The version-2 sample: five 3A blocks, one ISP block with a tail, five
    // camera blocks.
    static Bytes v2_file(uint32_t awb_word6 = 0, size_t tail_size = 8812) {
        Bytes tail = tail_words(0x100);
        const uint32_t awb[] = {0, 4000, 3000, 0, 0, 77, awb_word6};
        for (uint32_t i = 0; i < 7; ++i) std::memcpy(&tail[4 * i], &awb[i], 4);
        const std::vector<Entries> main = {
            {f(0, 3), f(1, uint32_t(-20)), f(2, 7), f(3, 1), f(4, 2), f(3, 9, true), f(9, 11)},
            {f(0, 1), f(4, 1), f(1, 8), f(2, 100), f(3, 10), f(4, 2), f(4, 3, true), f(4, 4, true),
             f(4, 5, true)},
            {f(0, 4), {0x00000001, 99}, f(1, 6), f(2, 8)},
            {{0, 1}},
            {f(0, 1)}};
        return jpeg({seg(APP2, Debug{kMain + 2, {}}), seg(APP6, Debug{kMain + 2, main}),
                     seg(APP5, Debug{kCam, {{f(0, 0xAB)}, {f(0, 1)}, {f(0, 2)}, {f(1, 0xDEADBEEF)}, {f(5, 4)}}}),
                     seg(APP7, Debug{kIsp, {{f(0, 6), f(1, 255)}}, tail, tail_size})});
    }

    TempDir dir_, files_;
    fs::path cwd_;
};

TEST_F(DebugInfo, Version2TextDumpByteForByteWithSizeAndTables) {
    int32_t n = -1;
    ASSERT_EQ(get(v2_file(), 2, &n), 1);
    EXPECT_EQ(n, 11);

    std::string want = "[AE]\n" + nv("AE_SEL ", "3") + nv("EXPO", "-20") + nv("GAIN", "7") +
                       nv("/* block comment */", "1") + nv("4", "2") + nv("9", "11");
    want += "\n\n[AF]\n" + af("AF_SEL", "1") + "\n" + af("VLU", "1") + "\n" + af("AFMODE", "8") + "\n" +
            af("SCAN_START", "100") + "\n" + af("SCAN_STEP", "10") + "\n" + af("100", "2") + af("110", "3") +
            af("120", "4") + af("130", "5") + "\n";
    want += "\n\n[AWB]\n" + nv("AWB_SEL", "4") + nv("AWB_B", "6") + nv("2", "8");  // "{" in a comment reopens
    want += "\n\n[STRB]\n\n\n[ISP]\n" + nv("ISP_SEL", "00000006") + nv("ISP_EE", "000000ff");
    char line[16];
    want += "\n\n[ISP TABLE] GGM\n";
    for (uint32_t i = 0; i < 288; ++i) want += (std::snprintf(line, 16, "0x%08x\n", 0x100 + 2203 + i), line);
    want += "\n\n[ISP TABLE] PCA\n";
    for (uint32_t i = 0; i < 180; ++i) want += (std::snprintf(line, 16, "0x%08x\n", 0x100 + 2203 + 288 + i), line);
    want += "\n\n[CAM]\n" + nv("CMN_SEL", "000000ab") + "\n\n[MF]\n" + nv("MF_SEL", "00000001") + "\n\n[N3D]\n" +
            nv("N3D_SEL", "00000002") + "\n\n[SENSOR]\n" + nv("SNS_GAIN", "deadbeef") + "\n\n[SHADING]\n" +
            nv("5", "00000004");

    std::array<int32_t, 12> size;
    size.fill(-7);
    std::array<std::array<int32_t, 2>, 11> dim;
    std::array<int32_t*, 11> dims;
    for (size_t i = 0; i < 11; ++i) dims[i] = dim[i].data();
    ASSERT_EQ(DP_GET_SIZE(size.data(), dims.data()), 1);
    const std::array<int32_t, 12> want_size = {6 + 9 + 3 + 0 + 2 + 5, 6, 9, 3, 0, 0, 2, 1, 1, 1, 1, 1};
    EXPECT_EQ(size, want_size);
    EXPECT_EQ(dim[0], (std::array<int32_t, 2>{6, 1}));  // pairs of the last field
    EXPECT_EQ(dim[1], (std::array<int32_t, 2>{6, 4}));  // widest AF field
    EXPECT_EQ(dim[3], (std::array<int32_t, 2>{0, 0}));

    std::array<uint32_t, 2203> awb;
    DP_GetAWBinfo(awb.data());
    EXPECT_EQ(awb[6], 77u);  // 4000 * 3 == 3000 * 4 and word 6 was 0
    EXPECT_EQ(awb[2202], 0x100u + 2202);
    std::array<uint32_t, 288> ggm;
    EXPECT_EQ(GetGGMTbl(ggm.data()), 1);
    EXPECT_EQ(ggm[0], 0x100u + 2203);

    size.fill(-7);
    EXPECT_EQ(dump(size.data()), want);
    EXPECT_EQ(size, want_size);
    // The dump consumed the table.
    EXPECT_EQ(DP_dumpInfo_File((files_.path() / "again.txt").c_str(), size.data()), 0);
    EXPECT_FALSE(fs::exists(files_.path() / "again.txt"));
    EXPECT_EQ(DP_GET_SIZE(size.data(), nullptr), 1);
    EXPECT_EQ(size, (std::array<int32_t, 12>{}));
    EXPECT_EQ(GetGGMTbl(ggm.data()), 1);  // the tables stay
    EXPECT_EQ(ggm[0], 0x100u + 2203);

    // An 8814-byte tail still holds an 8812-byte AWB block; a nonzero word 6
    // is kept.
    ASSERT_EQ(get(v2_file(9, 8814), 2, &n), 1);
    DP_GetAWBinfo(awb.data());
    EXPECT_EQ(awb[6], 9u);
    GetGGMTbl(ggm.data());
    EXPECT_EQ(ggm[287], 0x100u + 2203 + 287);
}

TEST_F(DebugInfo, ArrayRecordsMatchTheTextDumpOnRandomTables) {
    std::mt19937 rng(7);
    for (int round = 0; round < 40; ++round) {
        std::vector<Entries> main(5), cam(5);
        auto fill = [&](std::vector<Entries>& blocks) {
            for (auto& b : blocks) {
                const int count = int(rng() % 12);
                for (int j = 0; j < count; ++j) {
                    const uint32_t bits = rng();
                    b.push_back({(bits & 1 ? 0 : kPresent) | (bits & 6 ? kMore : 0) | (bits >> 8) % 7, rng() % 300});
                }
            }
        };
        fill(main);
        fill(cam);
        const Bytes bytes = jpeg({seg(APP2, Debug{kMain + 2, {}}), seg(APP6, Debug{kMain + 2, main}),
                                  seg(APP5, Debug{kCam, cam}), seg(APP7, Debug{kIsp, {{f(0, 1)}}})});
        int32_t n = 0;
        ASSERT_EQ(get(bytes, 2, &n), 1);
        std::array<int32_t, 12> size{};
        std::array<std::array<int32_t, 2>, 11> dim{};
        std::array<int32_t*, 11> dims;
        for (size_t i = 0; i < 11; ++i) dims[i] = dim[i].data();
        ASSERT_EQ(DP_GET_SIZE(size.data(), dims.data()), 1);

        // Buffers sized from the size query, pre-filled with zeros.
        std::vector<std::vector<std::vector<DpDumpRecord>>> store(11);
        std::vector<std::vector<DpDumpRecord*>> columns(11);
        std::vector<DpDumpRecord**> sections(11);
        for (size_t b = 0; b < 11; ++b) {
            store[b].assign(size_t(dim[b][1]) + 2, std::vector<DpDumpRecord>(size_t(dim[b][0]), DpDumpRecord{}));
            for (auto& c : store[b]) columns[b].push_back(c.data());
            sections[b] = columns[b].data();
        }
        ASSERT_EQ(DP_dumpInfo_array_RC(sections.data()), 1);

        // Re-render the records as the text dump does.
        std::map<int, std::string> text;
        int32_t total = 0;
        const char* names[] = {"AE", "AF", "AWB", "STRB", "", "ISP", "CAM", "MF", "N3D", "SENSOR", "SHADING"};
        for (int b = 0; b < 11; ++b) {
            for (int r = 0; r < dim[b][0]; ++r) {
                if (b != 1) {
                    text[b] += nv(store[b][0][r].label, store[b][0][r].value);
                    total += b != 4;
                    continue;
                }
                for (const auto& col : store[b]) {
                    if (col[r].label[0] != '\0') text[b] += af(col[r].label, col[r].value), ++total;
                }
                text[b] += "\n";
            }
        }
        EXPECT_EQ(size[0], total);
        EXPECT_EQ(size[1], dim[0][0]);
        EXPECT_EQ(size[11], dim[10][0]);
        ASSERT_EQ(get(bytes, 2, &n), 1);
        const std::string dumped = dump(size.data());
        for (int b : {0, 1, 2, 3, 5, 6, 7, 8, 9, 10}) {
            const std::string head = std::string(b ? "\n\n[" : "[") + names[b] + "]\n";
            const size_t at = dumped.find(head) + head.size();
            EXPECT_EQ(dumped.substr(at, text[b].size()), text[b]) << "block " << b;
            EXPECT_EQ(dumped.compare(at + text[b].size(), 2, b == 10 ? "" : "\n\n"), 0) << "block " << b;
        }
    }
}

TEST_F(DebugInfo, RejectsMalformedFilesAndCutsNothingOutOfBounds) {
    int32_t n = -1;
    EXPECT_EQ(DP_getInfo((files_.path() / "missing.jpg").c_str(), 2, &n), 0);
    EXPECT_EQ(n, -1);
    EXPECT_EQ(DP_getInfo(nullptr, 2, &n), 0);

    const Seg main = seg(APP2, Debug{kMain + 1, {{f(0, 1)}, {f(0, 2)}, {f(0, 3)}}});
    const Seg main4 = seg(APP4, Debug{kMain + 1, {{f(0, 1)}, {f(0, 2)}, {f(0, 3)}}});
    const Seg cam = seg(APP6, Debug{kCam, {{f(0, 4)}}});
    // Version 1: the main segment must be among the first 16 segments.
    for (int fillers : {13, 14}) {
        std::vector<Seg> segs(size_t(fillers), Seg{0xFFE9, {1, 2, 3}});
        segs.insert(segs.end(), {cam, main4, main});
        EXPECT_EQ(get(jpeg(segs), 1, &n), fillers == 13 ? 1 : 0) << fillers;
    }
    EXPECT_EQ(n, 4);  // three main blocks and the camera block (no ISP segment)
    EXPECT_EQ(get(jpeg({cam, main4, main}), 0, &n), 0);  // mode 0 expects another tag

    // Version 2: the first APP2 supplies the tag byte.
    const Seg isp = seg(APP7, Debug{kIsp, {{f(0, 1)}}});
    const Seg cam2 = seg(APP5, Debug{kCam, {{f(0, 1)}}});
    const Seg main2 = seg(APP6, Debug{kMain + 2, {{f(0, 1)}}});
    EXPECT_EQ(get(jpeg({isp, cam2, main2}), 2, &n), 1);  // no APP2: APP6 is the main segment
    EXPECT_EQ(get(jpeg({Seg{APP2, {'I', 'C', 'C', 0}}, isp, cam2, main2}), 2, &n), 0);
    EXPECT_EQ(get(jpeg({isp, main2}), 2, &n), 0);  // camera segment missing
    // A table without blocks needs no output pointers.
    ASSERT_EQ(get(jpeg({seg(APP2, Debug{kMain, {}})}), 1, &n), 1);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(DP_dumpInfo_array_RC(nullptr), 1);
    EXPECT_EQ(DP_dumpInfo_array_RC(nullptr), 0);  // consumed

    // Malformed ISP segments contribute no block.
    std::vector<Entries> eleven(11, Entries{f(0, 1)});
    Seg far = seg(APP7, Debug{kIsp, {{f(0, 1)}, {f(0, 2)}}});
    far.payload[13] = 0x70;  // the second offset lies beyond the segment
    Seg few = seg(APP7, Debug{kIsp, {{f(0, 1)}, {f(0, 2)}}});
    few.payload[6] = 1;  // one offset for two blocks
    const Seg bad_isp[] = {seg(APP7, Debug{kIsp, eleven}), far, few};
    for (const auto& s : bad_isp) {
        EXPECT_EQ(get(jpeg({s, cam2, main2}), 2, &n), 1);
        EXPECT_EQ(n, 2);
    }
    // More offsets than blocks plus one: the tail starts at the last offset.
    std::array<uint32_t, 288> ggm;
    ASSERT_EQ(get(jpeg({cam2, main2, seg(APP7, Debug{kIsp, {{f(0, 1)}}, tail_words(5), 8812, 2})}), 2, &n), 1);
    EXPECT_EQ(n, 3);
    GetGGMTbl(ggm.data());
    EXPECT_EQ(ggm[0], 5u + 2203);
    // A tail of the wrong size is ignored whole.
    ASSERT_EQ(get(jpeg({cam2, main2, seg(APP7, Debug{kIsp, {{f(0, 1)}}, tail_words(5), 8813})}), 2, &n), 1);
    GetGGMTbl(ggm.data());
    EXPECT_EQ(ggm, (std::array<uint32_t, 288>{}));

    // Every truncation of a valid file parses without reading out of bounds.
    const Bytes whole = v2_file();
    for (size_t len = 0; len < whole.size(); len += 97) {
        const Bytes cut(whole.begin(), whole.begin() + long(len));
        const int32_t r = get(cut, 2, &n);
        EXPECT_TRUE(r == 0 || r == 1);
        std::array<int32_t, 12> size{};
        if (r == 1) {
            EXPECT_EQ(dump(size.data()).rfind("[AE]\n", 0), 0u);
        }
    }

    // "TAG.h" cannot be written.
    const ScopedEnv host("MORVIK_HOST_DIR", (files_.path() / "no" / "such").string());
    EXPECT_EQ(DP_getInfo(file(jpeg({isp, cam2, main2})).c_str(), 2, &n), 0);
}

TEST_F(DebugInfo, HeaderChoiceAndAssembledHeader) {
    // Versioned headers win over default ones; -1 selects "_-1.h".
    write(dir_.path() / "AAA/AE/AE_2_5.h", "enum {\nV5_NAME,\n};\n");
    write(dir_.path() / "AAA/AF/AF_2_-1.h", "enum {\nNEG_NAME,\n};\n");
    const Bytes bytes = jpeg({seg(APP7, Debug{kIsp, {{f(0, 1)}}}), seg(APP5, Debug{kCam, {{f(0, 1)}}}),
                              seg(APP6, Debug{kMain + 2, {{f(0, 5)}, {f(0, uint32_t(-1))}, {f(0, 6)}}})});
    int32_t n = 0;
    {
        std::string host = dir_.path().string();
        const ScopedEnv env("MORVIK_HOST_DIR", host);  // no trailing separator
        LogCapture log;
        ASSERT_EQ(DP_getInfo(file(bytes).c_str(), 2, &n), 1);
        EXPECT_EQ(log.lines(), std::vector<std::string>{host + "/"});
        EXPECT_EQ(fs::current_path(), fs::canonical(dir_.path()));
    }
    EXPECT_EQ(n, 5);
    std::array<int32_t, 12> size{};
    const std::string text = dump(size.data());
    EXPECT_NE(text.find(nv("V5_NAME", "5")), std::string::npos);
    EXPECT_NE(text.find(af("NEG_NAME", "-1")), std::string::npos);
    EXPECT_NE(text.find(nv("AWB_SEL", "6")), std::string::npos);
    std::string tag;
    for (const char* t : {"enum {\nV5_NAME,\n};\n", "enum {\nNEG_NAME,\n};\n", kV2Text[2], kV2Text[3], kV2Text[4],
                          kV2Text[5], kV2Text[6], kV2Text[7], kV2Text[8], kV2Text[9], kV2Text[10]})
        tag += std::string(t) + "\n\n\n";
    EXPECT_EQ(slurp(dir_.path() / "TAG.h"), tag);

    // Version 0 after version 2: an APP6 whose tag is not the camera tag does
    // not make the file version 1, so the older layout has no [CAM] section.
    write(dir_.path() / "AE/AE.h", "enum {\nOLD_AE,\n};\n");
    write(dir_.path() / "ISP/ISP.h", "enum {\nOLD_ISP,\n};\n");
    const Bytes v0 = jpeg({seg(APP6, Debug{kIsp, {{f(0, 1)}}}), seg(APP3, Debug{kIsp, {{f(0, 9)}}}),
                           seg(APP2, Debug{kMain, {{f(0, 1)}, {f(0, 2)}, {f(0, 3)}}})});
    ASSERT_EQ(get(v0, 1, &n), 1);
    EXPECT_EQ(n, 4);
    EXPECT_EQ(dump(size.data()), "[AE]\n" + nv("OLD_AE", "1") + "\n\n[AF]\n" + af("OLD_ISP", "2") + "\n\n\n[AWB]\n" +
                                     nv("0", "3") + "\n\n[ISP]\n" + nv("0", "9"));
    EXPECT_EQ(size[5], 0);
    EXPECT_EQ(slurp(dir_.path() / "TAG.h"), "enum {\nOLD_AE,\n};\n\n\n\n\n\n\n\n\n\nenum {\nOLD_ISP,\n};\n\n\n\n");
}

}  // namespace
