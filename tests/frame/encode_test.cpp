#include <array>
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "frame/frame.h"
#include "frame/kernels.h"

namespace {

using Quad = std::array<int, 4>;
using Bgr = std::array<int, 3>;

Quad EncodePairOf(Bgr pixel, bool hd)
{
    const uint8_t source[6] = {uint8_t(pixel[0]), uint8_t(pixel[1]), uint8_t(pixel[2]),
                               uint8_t(pixel[0]), uint8_t(pixel[1]), uint8_t(pixel[2])};
    uint8_t frame[4] = {};
    EXPECT_EQ(EncodeFrame(source, frame, 1, 2, hd), 0);
    return {frame[0], frame[1], frame[2], frame[3]};
}

std::array<Bgr, 2> DecodePairOf(Quad quad, int width)
{
    // A row of `width` pixels made of copies of the pair, so that the width picks the set.
    std::vector<uint8_t> frame(static_cast<size_t>(width) * 2);
    for (int k = 0; k < width / 2; ++k)
        for (int i = 0; i < 4; ++i) frame[4 * k + i] = static_cast<uint8_t>(quad[i]);
    std::vector<uint8_t> picture(static_cast<size_t>(width) * 3);
    EXPECT_EQ(DecodeFrame(frame.data(), picture.data(), 1, width), 0);
    return {Bgr{picture[0], picture[1], picture[2]}, Bgr{picture[3], picture[4], picture[5]}};
}

constexpr int kSdWidth = 720;
constexpr int kHdWidth = 1920;

class ColourTable : public testing::TestWithParam<KernelLevel> {
  protected:
    void SetUp() override { SetKernelLevel(GetParam()); }
    void TearDown() override { SetKernelLevel(KernelLevel::Best); }
};

TEST_P(ColourTable, SdSetEncodesPrimaries)
{
    EXPECT_EQ(EncodePairOf({255, 255, 255}, false), (Quad{234, 128, 234, 128}));
    EXPECT_EQ(EncodePairOf({0, 0, 0}, false), (Quad{16, 128, 16, 128}));
    EXPECT_EQ(EncodePairOf({0, 0, 255}, false), (Quad{81, 90, 81, 239}));
    EXPECT_EQ(EncodePairOf({0, 255, 0}, false), (Quad{143, 54, 143, 34}));
    EXPECT_EQ(EncodePairOf({255, 0, 0}, false), (Quad{39, 240, 39, 110}));
    EXPECT_EQ(EncodePairOf({128, 128, 128}, false), (Quad{125, 128, 125, 128}));
}

TEST_P(ColourTable, HdSetEncodesPrimaries)
{
    EXPECT_EQ(EncodePairOf({255, 255, 255}, true), (Quad{235, 128, 235, 128}));
    EXPECT_EQ(EncodePairOf({0, 0, 0}, true), (Quad{16, 128, 16, 128}));
    EXPECT_EQ(EncodePairOf({0, 0, 255}, true), (Quad{61, 102, 61, 240}));
    EXPECT_EQ(EncodePairOf({0, 255, 0}, true), (Quad{172, 41, 172, 26}));
    EXPECT_EQ(EncodePairOf({255, 0, 0}, true), (Quad{31, 240, 31, 117}));
    EXPECT_EQ(EncodePairOf({128, 128, 128}, true), (Quad{126, 128, 126, 128}));
}

TEST_P(ColourTable, DecodesBackWithTheSameSet)
{
    const auto white = DecodePairOf({234, 128, 234, 128}, kSdWidth);
    EXPECT_EQ(white[0], (Bgr{255, 255, 255}));
    EXPECT_EQ(white[1], (Bgr{255, 255, 255}));
    EXPECT_EQ(DecodePairOf({235, 128, 235, 128}, kHdWidth)[1], (Bgr{255, 255, 255}));
    EXPECT_EQ(DecodePairOf({16, 128, 16, 128}, kSdWidth)[0], (Bgr{0, 0, 0}));
    EXPECT_EQ(DecodePairOf({16, 128, 16, 128}, kHdWidth)[0], (Bgr{0, 0, 0}));
    EXPECT_EQ(DecodePairOf({81, 90, 81, 239}, kSdWidth)[1], (Bgr{0, 0, 253}));
    EXPECT_EQ(DecodePairOf({61, 102, 61, 240}, kHdWidth)[1], (Bgr{0, 0, 253}));
    EXPECT_EQ(DecodePairOf({125, 128, 125, 128}, kSdWidth)[0], (Bgr{127, 127, 127}));
    EXPECT_EQ(DecodePairOf({126, 128, 126, 128}, kHdWidth)[0], (Bgr{128, 128, 128}));
}

TEST_P(ColourTable, DecodeClampsBothEnds)
{
    for (int width : {kSdWidth, kHdWidth}) {
        const auto dark = DecodePairOf({10, 128, 10, 128}, width);
        EXPECT_EQ(dark[0], (Bgr{0, 0, 0}));
        EXPECT_EQ(dark[1], (Bgr{0, 0, 0}));
    }
    const auto sd = DecodePairOf({235, 128, 235, 255}, kSdWidth);
    EXPECT_EQ(sd[0], (Bgr{255, 152, 255}));
    EXPECT_EQ(sd[1], (Bgr{255, 152, 255}));
    const auto hd = DecodePairOf({235, 128, 235, 255}, kHdWidth);
    EXPECT_EQ(hd[0], (Bgr{255, 189, 255}));
    EXPECT_EQ(hd[1], (Bgr{255, 189, 255}));
}

TEST_P(ColourTable, DecodeSetChangesAbove720)
{
    EXPECT_EQ(DecodePairOf({235, 128, 235, 255}, 720)[0], (Bgr{255, 152, 255}));
    EXPECT_EQ(DecodePairOf({235, 128, 235, 255}, 722)[0], (Bgr{255, 189, 255}));
}

TEST_P(ColourTable, EmptySizesLeaveTheDestinationAlone)
{
    uint8_t source[6] = {1, 2, 3, 4, 5, 6};
    uint8_t destination[6] = {7, 7, 7, 7, 7, 7};
    EXPECT_EQ(EncodeFrame(source, destination, 0, 2, true), 0);
    EXPECT_EQ(EncodeFrame(source, destination, 1, 0, true), 0);
    EXPECT_EQ(EncodeFrame(source, destination, -1, 2, false), 0);
    EXPECT_EQ(DecodeFrame(source, destination, 1, 0), 0);
    EXPECT_EQ(DecodeFrame(source, destination, 0, 2), 0);
    for (uint8_t byte : destination) EXPECT_EQ(byte, 7);
}

TEST_P(ColourTable, OddWidthPairsTheLastPixelWithItself)
{
    // Width 3: pair 0 is pixels 0 and 1; pixel 2 is encoded as the pair (2, 2) and only its Y and
    // Cb are written; decoding takes its Cr as neutral.
    const uint8_t source[9] = {0, 0, 255, 0, 0, 255, 255, 0, 0};
    uint8_t frame[7] = {0, 0, 0, 0, 0, 0, 0xEE};
    EncodeFrame(source, frame, 1, 3, false);
    EXPECT_EQ((Quad{frame[0], frame[1], frame[2], frame[3]}), (Quad{81, 90, 81, 239}));
    EXPECT_EQ(frame[4], 39);
    EXPECT_EQ(frame[5], 240);
    EXPECT_EQ(frame[6], 0xEE);
    uint8_t picture[10] = {};
    picture[9] = 0xEE;
    const uint8_t grey[6] = {125, 128, 125, 128, 125, 128};
    DecodeFrame(grey, picture, 1, 3);
    for (int i = 0; i < 9; ++i) EXPECT_EQ(picture[i], 127) << i;
    EXPECT_EQ(picture[9], 0xEE);
}

INSTANTIATE_TEST_SUITE_P(EveryLevel, ColourTable,
                         testing::Values(KernelLevel::Scalar, KernelLevel::Avx2,
                                         KernelLevel::Avx512));

TEST(ClampToByte, ClampsToZeroAnd255)
{
    EXPECT_EQ(ClampToByte(-1), 0);
    EXPECT_EQ(ClampToByte(-2147483647 - 1), 0);
    EXPECT_EQ(ClampToByte(0), 0);
    EXPECT_EQ(ClampToByte(128), 128);
    EXPECT_EQ(ClampToByte(255), 255);
    EXPECT_EQ(ClampToByte(256), 255);
    EXPECT_EQ(ClampToByte(2147483647), 255);
}

}  // namespace
