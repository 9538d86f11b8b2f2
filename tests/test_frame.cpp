#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <stdexcept>
#include <vector>
#include <string>
#include <thread>

#include "frame/last_error.h"
#include "frame/log.h"
#include "frame/parallel.h"
#include "platform/platform.h"
#include "support.h"

using morvik::test::LogCapture;
using morvik::test::ScopedEnv;

TEST(Catalogue, OneAlgorithmPerFamilySharingOneEntryPoint) {
    EXPECT_EQ(AWB_GetNumOfAlgorithms(), 1);
    EXPECT_EQ(CC_GetNumOfAlgorithms(), 1);
    EXPECT_EQ(CD_GetNumOfAlgorithms(), 1);
    EXPECT_EQ(reinterpret_cast<void*>(&CC_GetNumOfAlgorithms), reinterpret_cast<void*>(&AWB_GetNumOfAlgorithms));
    EXPECT_EQ(reinterpret_cast<void*>(&CD_GetNumOfAlgorithms), reinterpret_cast<void*>(&AWB_GetNumOfAlgorithms));
}

TEST(Catalogue, RowZeroIsA256CharacterFieldAndEveryOtherIndexIsQuestionMark) {
    struct Family {
        const char* (*describe)(uint32_t);
        const char* text;
    };
    const Family families[] = {{AWB_GetDescription, "Exhausting Search"},
                               {CC_GetDescription, "Color Correction Matrix"},
                               {CD_GetDescription, "Delta Eab"}};
    for (const auto& f : families) {
        const char* row = f.describe(0);
        EXPECT_STREQ(row, f.text);
        // The whole 256-character field is readable and NUL-padded.
        for (size_t i = std::strlen(f.text); i < 256; ++i) ASSERT_EQ(row[i], '\0');
        for (uint32_t index : {1u, 2u, 255u, 0x80000000u, 0xFFFFFFFFu}) EXPECT_STREQ(f.describe(index), "?");
    }
}

TEST(DebugLog, SinkReceivesEachWriteUnchangedAndNullRestoresDefault) {
    {
        LogCapture log;
        morvik::frame::log_write("plain\n");
        morvik::frame::log_format("A = %3d\nB = %3d\n", 7, 255);
        morvik::frame::log_format("no line end %3.3f", 1.5);
        EXPECT_EQ(log.lines(), (std::vector<std::string>{"plain\n", "A =   7\nB = 255\n", "no line end 1.500"}));
    }
    // After the capture is gone nothing reaches it; the default sink is quiet
    // without MORVIK_LOG.
    ScopedEnv quiet("MORVIK_LOG", std::nullopt);
    testing::internal::CaptureStderr();
    morvik::frame::log_write("to default\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    ScopedEnv loud("MORVIK_LOG", "1");
    testing::internal::CaptureStderr();
    morvik::frame::log_write("to stderr\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "to stderr\n");
}

TEST(DebugLog, LongLinesAreCutNotOverflowed) {
    LogCapture log;
    std::string big(5000, 'x');
    morvik::frame::log_format("%s", big.c_str());
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0].size(), 1023u);
}

TEST(DebugLog, RunFramingWithAndWithoutClosingBanner) {
    LogCapture log;
    morvik::frame::Run run;
    run.open("Test: start\n");
    run.close("Test: End\n");
    run.close("Test: End\n", false);
    auto l = log.lines();
    for (const std::size_t i : {3u, 6u}) {  // within a second, or across one clock tick
        if (l.size() > i && l[i] == "Time lapsed: 1 sec\n") l[i] = "Time lapsed: 0 sec\n";
    }
    EXPECT_EQ(l, (std::vector<std::string>{"=============\n", "Test: start\n", "Test: End\n", "Time lapsed: 0 sec\n",
                                           "=============\n", "Test: End\n", "Time lapsed: 0 sec\n"}));
}

TEST(Platform, FoldersFromEnvironmentEndWithASeparator) {
    for (const char* given : {"/tmp/hostdir", "/tmp/hostdir/"}) {
        ScopedEnv host("MORVIK_HOST_DIR", given);
        EXPECT_EQ(morvik::platform::host_dir(), "/tmp/hostdir/");
    }
    {
        ScopedEnv host("MORVIK_HOST_DIR", std::nullopt);
        std::string dir = morvik::platform::host_dir();
        ASSERT_FALSE(dir.empty());
        EXPECT_EQ(dir.back(), '/');
        EXPECT_TRUE(std::filesystem::is_directory(dir));
    }
    {
        ScopedEnv inspect("MORVIK_INSPECT_DIR", "/tmp/x");
        EXPECT_EQ(morvik::platform::inspect_dir(), "/tmp/x/");
    }
    ScopedEnv inspect("MORVIK_INSPECT_DIR", std::nullopt);
    EXPECT_EQ(morvik::platform::inspect_dir(), "");
}

TEST(LastError, ThreadLocalClearedBySuccessAndSetByFailure) {
    morvik::frame::set_last_error("planted reason");
    std::string other;
    std::thread([&] { other = morvik_last_error(); }).join();
    EXPECT_EQ(other, "");  // another thread sees its own (empty) text
    EXPECT_STREQ(morvik_last_error(), "planted reason");
    EXPECT_EQ(AWB_GetNumOfAlgorithms(), 1);  // unguarded: leaves the text alone
    const AwbIntWindow windows[11] = {};
    EXPECT_EQ(AWB_Update_11_Window_Before_Apply(windows), 0);
    EXPECT_STREQ(morvik_last_error(), "");
}

TEST(FrameParallel, WorkerCountComesFromTheEnvironment) {
    {
        ScopedEnv unset("MORVIK_THREADS", std::nullopt);
        EXPECT_EQ(morvik::frame::worker_count(), 1);
    }
    const std::pair<const char*, int> cases[] = {{"2", 2}, {"1", 1}, {"0", 1}, {"-3", 1}, {"x", 1}, {"3x", 1}, {"99", 16}};
    for (const auto& [text, expect] : cases) {
        ScopedEnv env("MORVIK_THREADS", std::string(text));
        EXPECT_EQ(morvik::frame::worker_count(), expect) << text;
    }
}

TEST(FrameParallel, EveryPartRunsOnceAndTheFirstFailureIsRethrownAfterAll) {
    for (const char* threads : {"1", "2", "5"}) {
        ScopedEnv env("MORVIK_THREADS", std::string(threads));
        for (int parts : {0, 1, 3, 17}) {
            std::vector<std::atomic<int>> runs(static_cast<std::size_t>(parts));
            morvik::frame::run_parts(parts, [&](int i) { ++runs[static_cast<std::size_t>(i)]; });
            for (const auto& r : runs) EXPECT_EQ(r.load(), 1) << threads << ' ' << parts;
        }
        // A failing part stops the section; parts already running finish.
        std::atomic<int> finished{0};
        EXPECT_THROW(morvik::frame::run_parts(8,
                                              [&](int i) {
                                                  if (i == 3) throw std::runtime_error("part 3");
                                                  ++finished;
                                              }),
                     std::runtime_error);
        EXPECT_GE(finished.load(), std::string(threads) == "1" ? 3 : 0) << threads;
        EXPECT_LE(finished.load(), 7) << threads;
    }
}

// Working memory: usable over its whole size, small and huge alike.
TEST(Platform, WorkingMemoryIsWritableAndAligned) {
    for (const std::size_t bytes : {std::size_t{0}, std::size_t{100}, std::size_t{3} << 20, (std::size_t{4} << 20) + 1}) {
        auto* block = static_cast<unsigned char*>(morvik::platform::allocate_working_memory(bytes));
        ASSERT_NE(block, nullptr) << bytes;
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % 16, 0u) << bytes;
        if (bytes > 0) {
            block[0] = 1;
            block[bytes - 1] = 2;
            EXPECT_EQ(block[0] + block[bytes - 1], 3);
        }
        morvik::platform::release_working_memory(block);
    }
    morvik::platform::release_working_memory(nullptr);
}

// A released large block serves the next request it is large enough for;
// a larger request gets a block of its own, which is then the one kept.
TEST(Platform, ReleasedWorkingMemoryServesTheNextCall) {
    using morvik::platform::allocate_working_memory;
    using morvik::platform::release_working_memory;
    const std::size_t bytes = std::size_t{40} << 20;  // beyond what other tests keep
    auto* first = static_cast<unsigned char*>(allocate_working_memory(bytes));
    ASSERT_NE(first, nullptr);
    first[0] = 7;
    first[bytes - 1] = 9;
    release_working_memory(first, bytes);
    auto* again = static_cast<unsigned char*>(allocate_working_memory(bytes - 4096));
    EXPECT_EQ(again, first);
    release_working_memory(again, bytes);
    auto* larger = static_cast<unsigned char*>(allocate_working_memory(bytes + (std::size_t{2} << 20)));
    ASSERT_NE(larger, nullptr);
    EXPECT_NE(larger, first);
    larger[bytes] = 1;
    release_working_memory(larger, bytes + (std::size_t{2} << 20));
    EXPECT_EQ(allocate_working_memory(bytes), larger);
    release_working_memory(larger, bytes + (std::size_t{2} << 20));
    release_working_memory(nullptr, bytes);
}
