#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "block/frame_block.h"
#include "frame/frame.h"
#include "frame/kernels.h"
#include "tests/frame/test_pictures.h"

namespace {

class AreaAveraging : public testing::TestWithParam<KernelLevel> {
  protected:
    void SetUp() override { SetKernelLevel(GetParam()); }
    void TearDown() override { SetKernelLevel(KernelLevel::Best); }
};

// One-row plane of grey values (all three channels equal).
std::vector<uint8_t> GreyRow(std::vector<int> values)
{
    return MakePlaneFrom(1, static_cast<int>(values.size()),
                         [&](int, int x, int) { return values[x]; });
}

std::vector<int> Blues(const std::vector<uint8_t>& packed)
{
    std::vector<int> blues;
    for (size_t i = 0; i < packed.size(); i += 3) blues.push_back(packed[i]);
    return blues;
}

TEST_P(AreaAveraging, OneColourStaysThatColourAtEverySize)
{
    const auto plane = MakePlaneFrom(7, 5, [](int, int, int c) {
        return c == 0 ? 17 : c == 1 ? 200 : 255;
    });
    for (auto [h, w] : {std::pair{1, 1}, {3, 2}, {7, 5}, {14, 10}, {9, 13}, {30, 1}, {1, 31}}) {
        const auto out = ResampleQuietly(plane, 7, 5, h, w);
        for (size_t i = 0; i < out.size(); i += 3) {
            ASSERT_EQ(out[i], 17);
            ASSERT_EQ(out[i + 1], 200);
            ASSERT_EQ(out[i + 2], 255);
        }
    }
}

TEST_P(AreaAveraging, SameSizeDropsOnlyThePadding)
{
    for (int width : {1, 5, 13, 16}) {
        const auto plane = MakePlane(4, width, 99 + width);
        const auto out = ResampleQuietly(plane, 4, width, 4, width);
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < width * 3; ++x)
                ASSERT_EQ(out[y * width * 3 + x], plane[y * PaddedStride(width) + x]);
    }
}

TEST_P(AreaAveraging, HalvesRoundUp)
{
    EXPECT_EQ(Blues(ResampleQuietly(GreyRow({0, 1}), 1, 2, 1, 1)), (std::vector<int>{1}));
    const auto block = MakePlaneFrom(2, 2, [](int, int x, int) { return x; });
    EXPECT_EQ(Blues(ResampleQuietly(block, 2, 2, 1, 1)), (std::vector<int>{1}));
}

TEST_P(AreaAveraging, HalvesRoundUpAcrossWholeBlocks)
{
    // 256 → 128 columns: weights of exactly 0.5, sums of exactly k + 0.5 in every lane.
    std::vector<int> values(256), expected(128);
    for (int x = 0; x < 256; ++x) values[x] = x / 2 + (x & 1);
    for (int x = 0; x < 128; ++x) expected[x] = x + 1;
    EXPECT_EQ(Blues(ResampleQuietly(GreyRow(values), 1, 256, 1, 128)), expected);
}

TEST_P(AreaAveraging, ThreeToTwoWeighsTwoThirdsAndOneThird)
{
    EXPECT_EQ(Blues(ResampleQuietly(GreyRow({0, 90, 255}), 1, 3, 1, 2)),
              (std::vector<int>{30, 200}));
}

TEST_P(AreaAveraging, StretchesRepeatAndBlend)
{
    EXPECT_EQ(Blues(ResampleQuietly(GreyRow({10, 21}), 1, 2, 1, 4)),
              (std::vector<int>{10, 10, 21, 21}));
    EXPECT_EQ(Blues(ResampleQuietly(GreyRow({10, 21}), 1, 2, 1, 3)),
              (std::vector<int>{10, 16, 21}));
}

TEST_P(AreaAveraging, PaddedStridesAreReadCorrectly)
{
    for (int width : {5, 13}) {
        EXPECT_EQ(PaddedStride(width), width == 5 ? 16 : 40);
        const auto plane = MakePlane(6, width, 7, 0x00);
        auto dirty = plane;
        for (int y = 0; y < 6; ++y)
            for (int x = width * 3; x < PaddedStride(width); ++x)
                dirty[y * PaddedStride(width) + x] = 0xFF;
        for (auto [h, w] : {std::pair{3, 2}, {6, width}, {11, 9}}) {
            const auto clean = ResampleQuietly(plane, 6, width, h, w);
            ASSERT_EQ(clean, ResampleQuietly(dirty, 6, width, h, w));
            std::vector<uint8_t> reference(static_cast<size_t>(h) * w * 3);
            ASSERT_EQ(ResampleAreaScalar(plane.data(), 6, width, reference.data(), h, w), 0);
            ASSERT_EQ(clean, reference);
        }
    }
}

TEST_P(AreaAveraging, ZeroSizedDestinationIsAnEmptySuccess)
{
    const auto plane = MakePlane(3, 3, 1);
    for (auto [h, w] : {std::pair{0, 0}, {0, 5}, {5, 0}}) {
        testing::internal::CaptureStdout();
        uint8_t* result = nullptr;
        EXPECT_EQ(ResampleArea(plane.data(), 3, 3, &result, h, w), 0);
        const std::string trace = testing::internal::GetCapturedStdout();
        EXPECT_NE(result, nullptr);
        ReleaseFrameBlock(result);
        EXPECT_EQ(trace, "old size\t3  3 \nnew size\t" + std::to_string(w) + "  " +
                             std::to_string(h) + " \n");
    }
}

TEST_P(AreaAveraging, TraceLinesNameWidthThenHeightOncePerCall)
{
    const auto plane = MakePlane(768, 1024, 3);
    testing::internal::CaptureStdout();
    uint8_t* result = nullptr;
    ASSERT_EQ(ResampleArea(plane.data(), 768, 1024, &result, 1080, 1440), 0);
    const std::string trace = testing::internal::GetCapturedStdout();
    ReleaseFrameBlock(result);
    EXPECT_EQ(trace, "old size\t1024  768 \nnew size\t1440  1080 \n");
}

TEST_P(AreaAveraging, ResultPointerIsWrittenOnlyOnSuccess)
{
    const auto plane = MakePlane(2, 2, 5);
    uint8_t sentinel = 0;
    uint8_t* result = &sentinel;
    testing::internal::CaptureStdout();
    EXPECT_NE(ResampleArea(plane.data(), 2, 2, &result, -1, 4), 0);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(result, &sentinel);
}

// The text a stream received, read back from its start.
std::string ReadBack(std::FILE* stream)
{
    std::string text;
    std::rewind(stream);
    for (int c; (c = std::fgetc(stream)) != EOF;) text.push_back(static_cast<char>(c));
    return text;
}

TEST(TraceStream, LinesGoWhereTheyAreSentAndNullDropsThem)
{
    const auto plane = MakePlane(2, 3, 9);
    uint8_t* result = nullptr;
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);

    // To the stream given, byte for byte the same text, and nothing on standard output.
    SetTraceStream(file);
    testing::internal::CaptureStdout();
    ASSERT_EQ(ResampleArea(plane.data(), 2, 3, &result, 5, 4), 0);
    ReleaseFrameBlock(result);
    // Also written when the call fails.
    EXPECT_NE(ResampleArea(plane.data(), 2, 3, &result, -1, 4), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(ReadBack(file),
              "old size\t3  2 \nnew size\t4  5 \nold size\t3  2 \nnew size\t4  -1 \n");

    // Dropped: neither the file nor standard output gets anything.
    SetTraceStream(nullptr);
    testing::internal::CaptureStdout();
    ASSERT_EQ(ResampleArea(plane.data(), 2, 3, &result, 1, 1), 0);
    ReleaseFrameBlock(result);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    std::fseek(file, 0, SEEK_END);
    EXPECT_EQ(std::ftell(file), 61);

    // Back to standard output.
    SetTraceStream(stdout);
    testing::internal::CaptureStdout();
    ASSERT_EQ(ResampleArea(plane.data(), 2, 3, &result, 1, 1), 0);
    ReleaseFrameBlock(result);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "old size\t3  2 \nnew size\t1  1 \n");
    std::fclose(file);
}

TEST(TraceStream, ThreadsSwitchingTheStreamNeverLoseALine)
{
    // One thread resamples while another switches between two files; every call's two lines land
    // whole in one of them (each line is one formatted write to the stream read at the start).
    const auto plane = MakePlane(2, 2, 4);
    std::FILE* first = std::tmpfile();
    std::FILE* second = std::tmpfile();
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    SetTraceStream(first);
    std::atomic<bool> done{false};
    std::thread switcher([&] {
        for (int i = 0; !done.load(); ++i) SetTraceStream(i % 2 ? first : second);
    });
    constexpr int kCalls = 200;
    for (int i = 0; i < kCalls; ++i) {
        uint8_t* result = nullptr;
        ASSERT_EQ(ResampleArea(plane.data(), 2, 2, &result, 1, 1), 0);
        ReleaseFrameBlock(result);
    }
    done.store(true);
    switcher.join();
    SetTraceStream(stdout);
    const std::string pair = "old size\t2  2 \nnew size\t1  1 \n";
    const std::string text = ReadBack(first) + ReadBack(second);
    ASSERT_EQ(text.size(), pair.size() * kCalls);
    for (size_t at = 0; at < text.size(); at += pair.size())
        ASSERT_EQ(text.compare(at, pair.size(), pair), 0) << at;
    std::fclose(first);
    std::fclose(second);
}

INSTANTIATE_TEST_SUITE_P(EveryLevel, AreaAveraging,
                         testing::Values(KernelLevel::Scalar, KernelLevel::Avx2,
                                         KernelLevel::Avx512));

}  // namespace
