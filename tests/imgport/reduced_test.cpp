// The reduced loaders: power-of-two sides and area-averaged pixels.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "imgport/ImgPort.h"
#include "imgport/picture_codec.h"
#include "imgport_test_support.h"

using namespace imgport_test;
using imgport::LoadMode;

namespace {

TEST(ReducedSides, PowerOfTwoTable)
{
    struct Row {
        uint32_t side, quarter, half;
    };
    const Row kTable[] = {
        {1, 1, 1},         {2, 1, 2},         {3, 1, 2},         {4, 2, 4},       {7, 2, 4},
        {8, 4, 8},         {487, 128, 256},   {576, 256, 512},   {720, 256, 512}, {1080, 512, 1024},
        {1280, 512, 1024}, {1920, 512, 1024}, {2048, 1024, 2048}};
    for (const Row& row : kTable) {
        EXPECT_EQ(imgport::ReducedSide(row.side, LoadMode::kQuarter), row.quarter) << row.side;
        EXPECT_EQ(imgport::ReducedSide(row.side, LoadMode::kHalf), row.half) << row.side;
    }
    EXPECT_EQ(imgport::PowerOfTwoAbove(0), 1u);
    EXPECT_EQ(imgport::PowerOfTwoAbove(1023), 1024u);
    EXPECT_EQ(imgport::PowerOfTwoAbove(1024), 2048u);
}

struct SizeCase {
    int height, width;
    unsigned quarterHeight, quarterWidth, halfHeight, halfWidth;
};

class ReducedLoads : public testing::TestWithParam<const char*> {};

// Every format, including JPEG's scaled decode, delivers exactly the table's sizes.
TEST_P(ReducedLoads, DeliverTheTableSizesPacked)
{
    const std::string kind = GetParam();
    const SizeCase kCases[] = {{1080, 1920, 512, 512, 1024, 1024},
                               {487, 720, 128, 256, 256, 512},
                               {2, 3, 1, 1, 2, 2},
                               {1024, 1024, 512, 512, 1024, 1024},
                               {5, 2, 2, 1, 4, 2}};
    CTemporaryFolder folder;
    for (const SizeCase& c : kCases) {
        int bytesPerPixel = kind == "png4" ? 4 : 3;
        auto pixels = MakeSmooth(c.height, c.width, bytesPerPixel);
        std::string path = folder.File("r");
        int saved =
            kind == "jpg" ? ZorGdipSaveImageJPG(path.c_str(), c.width, c.height, 95, pixels.data())
            : kind == "bmp" ? ZorGdipSaveImageBMP(path.c_str(), c.width, c.height, pixels.data())
                            : ZorGdipSaveImagePNG(path.c_str(), c.width, c.height, bytesPerPixel,
                                                  pixels.data());
        ASSERT_EQ(saved, 0);
        LoadOutcome quarter = Load(ZorGdipLoadImagePC, path);
        ASSERT_EQ(quarter.result, 0);
        EXPECT_EQ(quarter.width, c.quarterWidth) << c.height << "x" << c.width;
        EXPECT_EQ(quarter.height, c.quarterHeight) << c.height << "x" << c.width;
        EXPECT_EQ(quarter.bytesPerPixel, unsigned(bytesPerPixel));
        EXPECT_EQ(quarter.pixels.size(), size_t(c.quarterWidth) * c.quarterHeight * bytesPerPixel);
        LoadOutcome half = Load(ZorGdipLoadImagePC2, path);
        ASSERT_EQ(half.result, 0);
        EXPECT_EQ(half.width, c.halfWidth) << c.height << "x" << c.width;
        EXPECT_EQ(half.height, c.halfHeight) << c.height << "x" << c.width;
        EXPECT_EQ(half.pixels.size(), size_t(c.halfWidth) * c.halfHeight * bytesPerPixel);

        // A smooth picture stays close to the full load sampled at the same places.
        LoadOutcome full = Load(ZorGdipLoadImage, path);
        ASSERT_EQ(full.result, 0);
        double worst = 0;
        for (unsigned y = 0; y < half.height; ++y)
            for (unsigned x = 0; x < half.width; ++x) {
                unsigned fy = (2 * y + 1) * full.height / (2 * half.height);
                unsigned fx = (2 * x + 1) * full.width / (2 * half.width);
                for (int ch = 0; ch < 3; ++ch) {
                    int a = half.pixels[(size_t(y) * half.width + x) * bytesPerPixel + ch];
                    int b = full.pixels[(size_t(fy) * full.width + fx) * bytesPerPixel + ch];
                    worst = std::max(worst, double(std::abs(a - b)));
                }
            }
        if (c.height >= 100) {
            EXPECT_LT(worst, 12) << kind << " " << c.height << "x" << c.width;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, ReducedLoads, testing::Values("bmp", "png4", "jpg"));

TEST(ReducedLoads, SameSizeIsAnExactCopy)
{
    CTemporaryFolder folder;
    auto pixels = MakePattern(8, 8, 3);
    std::string path = folder.File("s.png");
    ASSERT_EQ(ZorGdipSaveImagePNG(path.c_str(), 8, 8, 3, pixels.data()), 0);
    LoadOutcome half = Load(ZorGdipLoadImagePC2, path);
    ASSERT_EQ(half.result, 0);
    EXPECT_EQ(half.pixels, pixels);
}

TEST(ReducedLoads, JpegScaledDecodeMatchesTheAreaAverageOfTheFullDecode)
{
    // 2048 × 1024: the quarter loader delivers 1024 × 512 through libjpeg's 1/2 scaled decode;
    // the half loader delivers the full size.
    CTemporaryFolder folder;
    auto pixels = MakeSmooth(1024, 2048, 3);
    std::string path = folder.File("scaled.jpg");
    ASSERT_EQ(ZorGdipSaveImageJPG(path.c_str(), 2048, 1024, 95, pixels.data()), 0);
    LoadOutcome full = Load(ZorGdipLoadImage, path);
    ASSERT_EQ(full.result, 0);
    for (LoaderFn loader : {ZorGdipLoadImagePC2, ZorGdipLoadImagePC}) {
        LoadOutcome reduced = Load(loader, path);
        ASSERT_EQ(reduced.result, 0);
        std::vector<uint8_t> averaged(reduced.pixels.size());
        ASSERT_TRUE(imgport::ResampleArea(full.pixels.data(), 1024, 2048, 3, averaged.data(),
                                          reduced.height, reduced.width));
        EXPECT_LT(MeanAbsoluteDifference(reduced.pixels, averaged), 1.0) << reduced.width;
    }
}

TEST(AreaAverage, ExactHalvingAveragesPairsAndKeepsFlatColours)
{
    // 2 × 4 → 1 × 2: each delivered pixel is the mean of a 2 × 2 block.
    std::vector<uint8_t> source = {0,  0,  0,  100, 100, 100, 10, 20, 30, 10, 20, 30,
                                   50, 50, 50, 250, 250, 250, 10, 20, 30, 10, 20, 30};
    std::vector<uint8_t> result(6);
    ASSERT_TRUE(imgport::ResampleArea(source.data(), 2, 4, 3, result.data(), 1, 2));
    EXPECT_EQ(result, (std::vector<uint8_t>{100, 100, 100, 10, 20, 30}));

    // 3 → 2 columns: fractional thirds at the shared edge.
    std::vector<uint8_t> row = {0, 0, 0, 90, 90, 90, 180, 180, 180};
    result.assign(6, 0);
    ASSERT_TRUE(imgport::ResampleArea(row.data(), 1, 3, 3, result.data(), 1, 2));
    EXPECT_EQ(result, (std::vector<uint8_t>{30, 30, 30, 150, 150, 150}));
}

TEST(AreaAverage, TransparentPixelsDoNotDarkenColours)
{
    // Opaque red beside transparent black: the colour stays red, alpha halves.
    std::vector<uint8_t> source = {0, 0, 255, 255, 0, 0, 0, 0};
    std::vector<uint8_t> result(4);
    ASSERT_TRUE(imgport::ResampleArea(source.data(), 1, 2, 4, result.data(), 1, 1));
    EXPECT_EQ(result, (std::vector<uint8_t>{0, 0, 255, 128}));
    // All transparent: the plain average of the colours.
    source = {0, 0, 200, 0, 100, 0, 0, 0};
    ASSERT_TRUE(imgport::ResampleArea(source.data(), 1, 2, 4, result.data(), 1, 1));
    EXPECT_EQ(result, (std::vector<uint8_t>{50, 0, 100, 0}));
}

}  // namespace
