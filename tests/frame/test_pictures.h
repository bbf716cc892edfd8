// Helpers shared by the frame tests: padded planes, random pictures, calls that free their result.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "block/frame_block.h"
#include "frame/frame.h"

// A padded BgrRaster; the pad bytes hold `padByte` so that a read of them shows in the result.
inline std::vector<uint8_t> MakePlane(int height, int width, uint32_t seed, uint8_t padByte = 0xA5)
{
    const int stride = PaddedStride(width);
    std::vector<uint8_t> plane(static_cast<size_t>(stride) * height, padByte);
    std::mt19937 random(seed);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width * 3; ++x)
            plane[static_cast<size_t>(y) * stride + x] = static_cast<uint8_t>(random());
    return plane;
}

// A padded plane filled from a function of (y, x, channel).
template <typename Fn>
std::vector<uint8_t> MakePlaneFrom(int height, int width, Fn value, uint8_t padByte = 0xA5)
{
    const int stride = PaddedStride(width);
    std::vector<uint8_t> plane(static_cast<size_t>(stride) * height, padByte);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < 3; ++c)
                plane[static_cast<size_t>(y) * stride + x * 3 + c] =
                    static_cast<uint8_t>(value(y, x, c));
    return plane;
}

// ResampleArea into a vector (the trace lines go to standard output as usual).
inline std::vector<uint8_t> Resample(const std::vector<uint8_t>& plane, int height, int width,
                                     int destinationHeight, int destinationWidth)
{
    uint8_t* result = nullptr;
    EXPECT_EQ(
        ResampleArea(plane.data(), height, width, &result, destinationHeight, destinationWidth), 0);
    EXPECT_NE(result, nullptr);
    std::vector<uint8_t> bytes(
        result, result + static_cast<size_t>(destinationHeight) * destinationWidth * 3);
    ReleaseFrameBlock(result);
    return bytes;
}

// Same, with the trace lines captured and dropped.
inline std::vector<uint8_t> ResampleQuietly(const std::vector<uint8_t>& plane, int height,
                                            int width, int destinationHeight, int destinationWidth)
{
    testing::internal::CaptureStdout();
    auto bytes = Resample(plane, height, width, destinationHeight, destinationWidth);
    testing::internal::GetCapturedStdout();
    return bytes;
}
