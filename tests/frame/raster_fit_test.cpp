#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "block/frame_block.h"
#include "frame/frame.h"
#include "tests/frame/test_pictures.h"

namespace {

constexpr BlankColor kRed{255, 0, 0};

struct Fitted {
    int code = -1;
    std::vector<uint8_t> bytes;
    std::string trace;
};

Fitted Fit(const std::vector<uint8_t>& plane, int height, int width, OutputRaster raster,
           AspectMode mode, BlankColor blank = kRed)
{
    Fitted fitted;
    uint8_t* result = nullptr;
    testing::internal::CaptureStdout();
    fitted.code = FitToRaster(plane.data(), height, width, &result, raster, mode, blank);
    fitted.trace = testing::internal::GetCapturedStdout();
    if (fitted.code == 0) {
        const RasterSize size = RasterDimensions(raster);
        fitted.bytes.assign(result, result + static_cast<size_t>(size.height) * size.width * 3);
        ReleaseFrameBlock(result);
    }
    return fitted;
}

bool IsBlank(const Fitted& fitted, int width, int y, int x)
{
    const uint8_t* p = fitted.bytes.data() + (static_cast<size_t>(y) * width + x) * 3;
    return p[0] == 0 && p[1] == 0 && p[2] == 255;
}

// A plane that never holds the blank colour's bytes (blue byte is at least 1).
std::vector<uint8_t> Picture(int height, int width)
{
    return MakePlaneFrom(height, width,
                         [](int y, int x, int c) { return 1 + (y * 7 + x * 3 + c) % 200; });
}

// Every row in [firstRow, lastRow] fully blank, every other row free of blank pixels (checked at
// its first, middle and last pixel).
void ExpectBlankRows(const Fitted& fitted, int height, int width, int topRows, int bottomRows)
{
    for (int y = 0; y < height; ++y) {
        const bool bar = y < topRows || y >= height - bottomRows;
        for (int x : {0, width / 2, width - 1})
            ASSERT_EQ(IsBlank(fitted, width, y, x), bar) << "row " << y << " column " << x;
    }
}

void ExpectBlankColumns(const Fitted& fitted, int height, int width, int leftColumns,
                        int rightColumns)
{
    for (int x = 0; x < width; ++x) {
        const bool bar = x < leftColumns || x >= width - rightColumns;
        for (int y : {0, height / 2, height - 1})
            ASSERT_EQ(IsBlank(fitted, width, y, x), bar) << "row " << y << " column " << x;
    }
}

TEST(RasterSizes, HeightBeforeWidth)
{
    EXPECT_EQ(RasterDimensions(OutputRaster::HD1080).height, 1080);
    EXPECT_EQ(RasterDimensions(OutputRaster::HD1080).width, 1920);
    EXPECT_EQ(RasterDimensions(OutputRaster::HD720).height, 720);
    EXPECT_EQ(RasterDimensions(OutputRaster::HD720).width, 1280);
    EXPECT_EQ(RasterDimensions(OutputRaster::SD480).height, 487);
    EXPECT_EQ(RasterDimensions(OutputRaster::SD480).width, 720);
    EXPECT_EQ(RasterDimensions(OutputRaster::SD576).height, 576);
    EXPECT_EQ(RasterDimensions(OutputRaster::SD576).width, 720);
}

TEST(KeepModeBars, SameSizeIsCopiedWithoutTrace)
{
    const auto plane = MakePlane(1080, 1920, 11);
    for (AspectMode mode : {AspectMode::Full, AspectMode::Keep}) {
        const Fitted fitted = Fit(plane, 1080, 1920, OutputRaster::HD1080, mode);
        ASSERT_EQ(fitted.code, 0);
        EXPECT_EQ(fitted.bytes, plane);
        EXPECT_EQ(fitted.trace, "");
    }
}

// One Keep-mode fit: the picture, the raster, the size ResampleArea is asked for (in its trace),
// and the bars: blank rows above and below (letterbox) or blank columns left and right.
struct KeepCase {
    const char* name;
    int height, width;
    OutputRaster raster;
    int scaledWidth, scaledHeight;
    bool letterbox;
    int before, after;
};

TEST(KeepModeBars, ScaleInsideTheRasterWithCentredBars)
{
    const KeepCase cases[] = {
        {"same aspect ratio: no bars", 2160, 3840, OutputRaster::HD1080, 1920, 1080, true, 0, 0},
        {"tall picture: pillars", 768, 1024, OutputRaster::HD1080, 1440, 1080, false, 240, 240},
        {"wide picture: the odd row below", 800, 1920, OutputRaster::SD480, 720, 300, true, 93, 94},
        {"odd column goes right", 480, 640, OutputRaster::SD480, 649, 487, false, 35, 36},
        {"same width into SD480", 480, 720, OutputRaster::SD480, 720, 480, true, 3, 4},
        {"HD720 into SD576", 720, 1280, OutputRaster::SD576, 720, 405, true, 85, 86},
        {"flat picture: all blank", 1, 2000, OutputRaster::HD1080, 1920, 0, true, 1080, 0},
        {"narrow picture: all blank", 3000, 1, OutputRaster::HD720, 0, 720, false, 1280, 0},
    };
    for (const KeepCase& c : cases) {
        SCOPED_TRACE(c.name);
        const Fitted fitted =
            Fit(Picture(c.height, c.width), c.height, c.width, c.raster, AspectMode::Keep);
        ASSERT_EQ(fitted.code, 0);
        EXPECT_EQ(fitted.trace, "old size\t" + std::to_string(c.width) + "  " +
                                    std::to_string(c.height) + " \nnew size\t" +
                                    std::to_string(c.scaledWidth) + "  " +
                                    std::to_string(c.scaledHeight) + " \n");
        const RasterSize size = RasterDimensions(c.raster);
        if (c.letterbox)
            ExpectBlankRows(fitted, size.height, size.width, c.before, c.after);
        else
            ExpectBlankColumns(fitted, size.height, size.width, c.before, c.after);
    }
}

TEST(KeepModeBars, Sd480FromSameWidthKeepsRowsAndFullStretches)
{
    const auto plane = Picture(480, 720);
    const Fitted keep = Fit(plane, 480, 720, OutputRaster::SD480, AspectMode::Keep);
    ASSERT_EQ(keep.code, 0);
    // Resampled at its own size: the picture rows come through unchanged below the 3 blank rows.
    for (int y = 0; y < 480; ++y)
        ASSERT_EQ(
            0, memcmp(keep.bytes.data() + (y + 3) * 720 * 3, plane.data() + y * 720 * 3, 720 * 3));
    const Fitted full = Fit(plane, 480, 720, OutputRaster::SD480, AspectMode::Full);
    ASSERT_EQ(full.code, 0);
    EXPECT_EQ(full.trace, "old size\t720  480 \nnew size\t720  487 \n");
    ExpectBlankRows(full, 487, 720, 0, 0);
}

TEST(KeepModeBars, FullModeAlwaysStretches)
{
    for (auto [h, w] : {std::pair{768, 1024}, {1, 2000}, {5, 3}}) {
        const auto plane = Picture(h, w);
        const Fitted fitted = Fit(plane, h, w, OutputRaster::HD720, AspectMode::Full);
        ASSERT_EQ(fitted.code, 0);
        EXPECT_EQ(fitted.trace, "old size\t" + std::to_string(w) + "  " + std::to_string(h) +
                                    " \nnew size\t1280  720 \n");
        ExpectBlankRows(fitted, 720, 1280, 0, 0);
        uint8_t* direct = nullptr;
        testing::internal::CaptureStdout();
        ASSERT_EQ(ResampleArea(plane.data(), h, w, &direct, 720, 1280), 0);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(0, memcmp(direct, fitted.bytes.data(), fitted.bytes.size()));
        ReleaseFrameBlock(direct);
    }
}

TEST(KeepModeBars, BlankPixelsAreBlueGreenRed)
{
    const Fitted fitted = Fit(Picture(768, 1024), 768, 1024, OutputRaster::HD1080, AspectMode::Keep,
                              BlankColor{10, 20, 30});
    ASSERT_EQ(fitted.code, 0);
    EXPECT_EQ(fitted.bytes[0], 30);
    EXPECT_EQ(fitted.bytes[1], 20);
    EXPECT_EQ(fitted.bytes[2], 10);
}

TEST(PadToRaster, LetterboxAndPillarboxPlaceThePicture)
{
    const std::vector<uint8_t> scaled = {1,  2,  3,  4,  5,  6,  7,  8,  9,
                                         10, 11, 12, 13, 14, 15, 16, 17, 18};
    // Expected rasters written as pixel lists: 0 is the blank pixel, n > 0 is scaled pixel n - 1.
    auto expand = [&](const std::vector<int>& pixels) {
        std::vector<uint8_t> bytes(pixels.size() * 3);
        for (size_t i = 0; i < pixels.size(); ++i)
            for (int c = 0; c < 3; ++c)
                bytes[i * 3 + c] = pixels[i] == 0 ? static_cast<uint8_t>(70 + 10 * c)
                                                  : scaled[(pixels[i] - 1) * 3 + c];
        return bytes;
    };
    uint8_t* result = nullptr;
    // 2 x 3 picture into 5 x 3 (letterbox): one row above, two below.
    ASSERT_EQ(PadToRaster(scaled.data(), 2, 3, &result, 5, 3, 1, 90, 80, 70), 0);
    EXPECT_EQ(std::vector<uint8_t>(result, result + 45),
              expand({0, 0, 0, 1, 2, 3, 4, 5, 6, 0, 0, 0, 0, 0, 0}));
    ReleaseFrameBlock(result);
    // 3 x 2 picture into 3 x 5 (pillarbox): one column left, two right.
    ASSERT_EQ(PadToRaster(scaled.data(), 3, 2, &result, 3, 5, 0, 90, 80, 70), 0);
    EXPECT_EQ(std::vector<uint8_t>(result, result + 45),
              expand({0, 1, 2, 0, 0, 0, 3, 4, 0, 0, 0, 5, 6, 0, 0}));
    ReleaseFrameBlock(result);
}

}  // namespace
