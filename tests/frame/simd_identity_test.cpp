#include <cstdint>
#include <cstdlib>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "frame/frame.h"
#include "frame/kernels.h"
#include "tests/frame/test_pictures.h"

namespace {

class SimdMatchesScalar : public testing::TestWithParam<KernelLevel> {
protected:
    void SetUp() override
    {
        SetKernelLevel(GetParam());
        if (ActiveKernelLevel() != GetParam() && GetParam() != KernelLevel::Best)
            GTEST_SKIP() << "this CPU lacks the instruction set";
    }
    void TearDown() override
    {
        SetKernelLevel(KernelLevel::Best);
        SetFrameThreadLimit(0);
    }
};

std::vector<uint8_t> RandomBytes(size_t count, uint32_t seed)
{
    std::vector<uint8_t> bytes(count);
    std::mt19937 random(seed);
    for (auto& byte : bytes)
        byte = static_cast<uint8_t>(random());
    return bytes;
}

TEST_P(SimdMatchesScalar, EncodeOnAwkwardWidths)
{
    for (int width : {1, 2, 3, 4, 5, 7, 15, 16, 17, 31, 32, 33, 47, 63, 64, 65, 95, 97, 127, 129,
                      720, 1279, 1921}) {
        for (int height : {1, 3}) {
            const auto source = RandomBytes(static_cast<size_t>(width) * height * 3, width * 31 + height);
            for (bool hd : {false, true}) {
                std::vector<uint8_t> fast(static_cast<size_t>(width) * height * 2);
                std::vector<uint8_t> reference(fast.size());
                EncodeFrame(source.data(), fast.data(), height, width, hd);
                EncodeFrameScalar(source.data(), reference.data(), height, width, hd);
                ASSERT_EQ(fast, reference) << width << " x " << height << (hd ? " HD" : " SD");
            }
        }
    }
}

TEST_P(SimdMatchesScalar, DecodeOnAwkwardWidths)
{
    for (int width : {1, 2, 3, 4, 5, 7, 15, 16, 17, 31, 32, 33, 47, 63, 64, 65, 95, 97, 127, 129,
                      719, 720, 721, 722, 1279, 1921}) {
        for (int height : {1, 3}) {
            const auto source = RandomBytes(static_cast<size_t>(width) * height * 2, width * 17 + height);
            std::vector<uint8_t> fast(static_cast<size_t>(width) * height * 3);
            std::vector<uint8_t> reference(fast.size());
            DecodeFrame(source.data(), fast.data(), height, width);
            DecodeFrameScalar(source.data(), reference.data(), height, width);
            ASSERT_EQ(fast, reference) << width << " x " << height;
        }
    }
}

TEST_P(SimdMatchesScalar, ConversionsOnAFullFrameWithThreads)
{
    const int height = 1080, width = 1920;
    const auto picture = RandomBytes(static_cast<size_t>(width) * height * 3, 5);
    std::vector<uint8_t> fast(static_cast<size_t>(width) * height * 2), reference(fast.size());
    for (bool hd : {false, true}) {
        EncodeFrame(picture.data(), fast.data(), height, width, hd);
        EncodeFrameScalar(picture.data(), reference.data(), height, width, hd);
        ASSERT_EQ(fast, reference);
    }
    std::vector<uint8_t> back(picture.size()), backReference(picture.size());
    const auto frame = RandomBytes(fast.size(), 6);
    DecodeFrame(frame.data(), back.data(), height, width);
    DecodeFrameScalar(frame.data(), backReference.data(), height, width);
    ASSERT_EQ(back, backReference);
}

void ExpectResampleMatches(int sourceHeight, int sourceWidth, int height, int width, uint32_t seed)
{
    const auto plane = MakePlane(sourceHeight, sourceWidth, seed);
    std::vector<uint8_t> reference(static_cast<size_t>(height) * width * 3);
    ASSERT_EQ(ResampleAreaScalar(plane.data(), sourceHeight, sourceWidth, reference.data(), height,
                                 width),
              0);
    testing::internal::CaptureStdout();
    const auto fast = Resample(plane, sourceHeight, sourceWidth, height, width);
    const std::string trace = testing::internal::GetCapturedStdout();
    ASSERT_EQ(fast, reference) << sourceWidth << "x" << sourceHeight << " -> " << width << "x"
                               << height;
    ASSERT_EQ(trace, "old size\t" + std::to_string(sourceWidth) + "  " +
                         std::to_string(sourceHeight) + " \nnew size\t" + std::to_string(width) +
                         "  " + std::to_string(height) + " \n");
}

TEST_P(SimdMatchesScalar, ResampleOnAwkwardSizes)
{
    const int sizes[] = {1, 2, 3, 5, 7, 8, 9, 13, 16, 17, 31, 33};
    uint32_t seed = 1;
    for (int sh : {1, 2, 3, 7})
        for (int sw : sizes)
            for (int dh : {1, 2, 5})
                for (int dw : sizes)
                    ExpectResampleMatches(sh, sw, dh, dw, seed++);
}

TEST_P(SimdMatchesScalar, ResampleOnRandomSizesAndRatios)
{
    std::mt19937 random(2024);
    auto size = [&](int limit) { return 1 + static_cast<int>(random() % limit); };
    for (int i = 0; i < 40; ++i)
        ExpectResampleMatches(size(60), size(200), size(60), size(200), random());
    // Big ratios both ways.
    ExpectResampleMatches(3, 2, 97, 301, 1);
    ExpectResampleMatches(2, 1, 50, 1921, 2);
    ExpectResampleMatches(97, 1921, 3, 5, 3);
    ExpectResampleMatches(400, 700, 7, 3, 4);
    ExpectResampleMatches(1, 1921, 1, 1, 5);
}

TEST_P(SimdMatchesScalar, ResampleBandsStartWhereTheSweepDoes)
{
    // Large enough to be split across threads, with straddling rows at the band boundaries.
    for (int threads : {2, 3, 7}) {
        SetFrameThreadLimit(threads);
        ExpectResampleMatches(487, 720, 1080, 1920, 8);
        ExpectResampleMatches(2160, 1921, 301, 1440, 9);
        ExpectResampleMatches(480, 640, 487, 649, 10);
    }
}

INSTANTIATE_TEST_SUITE_P(EveryLevel, SimdMatchesScalar,
                         testing::Values(KernelLevel::Scalar, KernelLevel::Avx2,
                                         KernelLevel::Avx512, KernelLevel::Best));

}  // namespace
