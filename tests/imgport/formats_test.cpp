// What the full-size loader delivers for each format: layout, bytes per pixel, colours.
#include <cstring>
#include <string>
#include <vector>

#include <png.h>
#include <tiffio.h>

#include <gtest/gtest.h>

#include "imgport/ImgPort.h"
#include "imgport_test_support.h"
#include "picture_files.h"

using namespace imgport_test;

namespace {

LoadOutcome LoadBytes(const CTemporaryFolder& folder, const std::string& name,
                      const std::vector<uint8_t>& bytes)
{
    std::string path = folder.File(name);
    EXPECT_TRUE(WriteBytes(path, bytes));
    return Load(ZorGdipLoadImage, path);
}

TEST(PackedRows, OddWidthPictureIsDeliveredWithoutFillBytes)
{
    // 101 × 2, 24 bits per pixel: 606 bytes, second row at byte 303.
    CTemporaryFolder folder;
    auto pixels = MakePattern(2, 101, 3);
    for (const char* name : {"odd.bmp", "odd.png", "odd.tif"}) {
        std::string path = folder.File(name);
        int saved = name[4] == 'b'   ? ZorGdipSaveImageBMP(path.c_str(), 101, 2, pixels.data())
                    : name[4] == 'p' ? ZorGdipSaveImagePNG(path.c_str(), 101, 2, 3, pixels.data())
                                     : ZorGdipSaveImageTIFF(path.c_str(), 101, 2, 3, pixels.data());
        ASSERT_EQ(saved, 0) << name;
        LoadOutcome outcome = Load(ZorGdipLoadImage, path);
        ASSERT_EQ(outcome.result, 0) << name;
        EXPECT_EQ(outcome.width, 101u);
        EXPECT_EQ(outcome.height, 2u);
        EXPECT_EQ(outcome.bytesPerPixel, 3u);
        ASSERT_EQ(outcome.pixels.size(), 606u);
        EXPECT_EQ(std::memcmp(outcome.pixels.data() + 303, pixels.data() + 303, 303), 0) << name;
        EXPECT_EQ(outcome.pixels, pixels) << name;
    }
}

TEST(FormatFromContent, FileNameExtensionIsIgnored)
{
    CTemporaryFolder folder;
    auto pixels = MakePattern(5, 6, 4);
    std::string path = folder.File("really-a-png.jpg");
    ASSERT_EQ(ZorGdipSaveImagePNG(path.c_str(), 6, 5, 4, pixels.data()), 0);
    LoadOutcome outcome = Load(ZorGdipLoadImage, path);
    ASSERT_EQ(outcome.result, 0);
    EXPECT_EQ(outcome.bytesPerPixel, 4u);
    EXPECT_EQ(outcome.pixels, pixels);
}

TEST(StraightAlpha, PngRgbaAndGreyAlphaGiveFourBytesNotPremultiplied)
{
    CTemporaryFolder folder;
    // Pixel 0: red at alpha 0; pixel 1: grey 200 at alpha 64; pixel 2: opaque blue.
    PngLayout rgba;
    rgba.width = 3;
    rgba.colorType = PNG_COLOR_TYPE_RGB_ALPHA;
    rgba.rows = {255, 0, 0, 0, 200, 200, 200, 64, 0, 0, 255, 255};
    LoadOutcome outcome = LoadBytes(folder, "rgba.png", MakePng(rgba));
    ASSERT_EQ(outcome.result, 0);
    EXPECT_EQ(outcome.bytesPerPixel, 4u);
    EXPECT_EQ(outcome.pixels,
              (std::vector<uint8_t>{0, 0, 255, 0, 200, 200, 200, 64, 255, 0, 0, 255}));

    PngLayout greyAlpha;
    greyAlpha.width = 2;
    greyAlpha.colorType = PNG_COLOR_TYPE_GRAY_ALPHA;
    greyAlpha.bitDepth = 16;
    greyAlpha.rows = {0x80, 0x00, 0x40, 0x00, 0xFF, 0xFF, 0x00, 0x00};
    outcome = LoadBytes(folder, "ga16.png", MakePng(greyAlpha));
    ASSERT_EQ(outcome.result, 0);
    EXPECT_EQ(outcome.bytesPerPixel, 4u);
    EXPECT_EQ(outcome.pixels, (std::vector<uint8_t>{128, 128, 128, 64, 255, 255, 255, 0}));
}

TEST(StraightAlpha, TiffAssociatedAlphaIsUnpremultipliedAndUnassociatedKept)
{
    CTemporaryFolder folder;
    // Straight colour (R 200, G 100, B 40) at alpha 128, stored both ways, 16 × 16.
    std::vector<uint8_t> straight, premultiplied;
    for (int i = 0; i < 256; ++i) {
        straight.insert(straight.end(), {200, 100, 40, 128});
        premultiplied.insert(premultiplied.end(), {100, 50, 20, 128});
    }
    for (bool tiled : {false, true}) {
        std::string name = tiled ? "tiled" : "strips";
        ASSERT_TRUE(WriteRgbaTiff(folder.File(name + "-u.tif"), 16, 16, EXTRASAMPLE_UNASSALPHA,
                                  straight, tiled));
        ASSERT_TRUE(WriteRgbaTiff(folder.File(name + "-a.tif"), 16, 16, EXTRASAMPLE_ASSOCALPHA,
                                  premultiplied, tiled));
        for (const char* kind : {"-u.tif", "-a.tif"}) {
            LoadOutcome outcome = Load(ZorGdipLoadImage, folder.File(name + kind));
            ASSERT_EQ(outcome.result, 0) << name << kind;
            ASSERT_EQ(outcome.bytesPerPixel, 4u);
            for (int i = 0; i < 256; ++i) {
                EXPECT_NEAR(outcome.pixels[4 * i], 40, 1) << name << kind;
                EXPECT_NEAR(outcome.pixels[4 * i + 1], 100, 1) << name << kind;
                EXPECT_NEAR(outcome.pixels[4 * i + 2], 200, 1) << name << kind;
                EXPECT_EQ(outcome.pixels[4 * i + 3], 128) << name << kind;
            }
        }
    }
}

TEST(PaletteTransparency, GifWithTransparentEntryGivesThreeBytesOfPaletteColours)
{
    CTemporaryFolder folder;
    // Screen 4 × 3 with background entry 2; a 2 × 2 frame at (1, 1); entry 1 is transparent.
    std::vector<uint8_t> palette = {255, 0, 0, 0, 255, 0, 0, 0, 255, 9, 9, 9};
    std::vector<uint8_t> indices = {0, 1, 3, 0};
    LoadOutcome outcome =
        LoadBytes(folder, "t.gif", MakeGif(4, 3, 1, 1, 2, 2, palette, indices, 1, 2));
    ASSERT_EQ(outcome.result, 0);
    EXPECT_EQ(outcome.width, 4u);
    EXPECT_EQ(outcome.height, 3u);
    EXPECT_EQ(outcome.bytesPerPixel, 3u);
    auto at = [&](int y, int x) {
        const uint8_t* p = &outcome.pixels[(size_t(y) * 4 + x) * 3];
        return std::vector<uint8_t>{p[0], p[1], p[2]};
    };
    EXPECT_EQ(at(0, 0), (std::vector<uint8_t>{255, 0, 0}));  // background entry 2: blue
    EXPECT_EQ(at(1, 1), (std::vector<uint8_t>{0, 0, 255}));  // entry 0: red
    EXPECT_EQ(at(1, 2), (std::vector<uint8_t>{0, 255, 0}));  // transparent entry keeps green
    EXPECT_EQ(at(2, 1), (std::vector<uint8_t>{9, 9, 9}));
    EXPECT_EQ(at(2, 3), (std::vector<uint8_t>{255, 0, 0}));
}

TEST(PaletteTransparency, PngPaletteGreyAndRgbWithTrnsGiveThreeBytes)
{
    CTemporaryFolder folder;
    PngLayout palette;
    palette.width = 2;
    palette.colorType = PNG_COLOR_TYPE_PALETTE;
    palette.palette = {10, 20, 30, 40, 50, 60};
    palette.transparency = {0};
    palette.rows = {0, 1};
    LoadOutcome outcome = LoadBytes(folder, "p.png", MakePng(palette));
    ASSERT_EQ(outcome.result, 0);
    EXPECT_EQ(outcome.bytesPerPixel, 3u);
    EXPECT_EQ(outcome.pixels, (std::vector<uint8_t>{30, 20, 10, 60, 50, 40}));

    PngLayout grey;
    grey.width = 3;
    grey.colorType = PNG_COLOR_TYPE_GRAY;
    grey.transparency = {7};
    grey.rows = {7, 100, 255};
    outcome = LoadBytes(folder, "g.png", MakePng(grey));
    ASSERT_EQ(outcome.result, 0);
    EXPECT_EQ(outcome.bytesPerPixel, 3u);
    EXPECT_EQ(outcome.pixels, (std::vector<uint8_t>{7, 7, 7, 100, 100, 100, 255, 255, 255}));

    PngLayout rgb16;
    rgb16.width = 1;
    rgb16.colorType = PNG_COLOR_TYPE_RGB;
    rgb16.bitDepth = 16;
    rgb16.transparency = {1, 2, 3};
    rgb16.rows = {0xFF, 0xFF, 0x80, 0x00, 0x00, 0x00};
    outcome = LoadBytes(folder, "rgb16.png", MakePng(rgb16));
    ASSERT_EQ(outcome.result, 0);
    EXPECT_EQ(outcome.bytesPerPixel, 3u);
    EXPECT_EQ(outcome.pixels, (std::vector<uint8_t>{0, 128, 255}));
}

TEST(BmpVariants, HeadersDepthsAndRowOrdersDecodeToTheSamePixels)
{
    CTemporaryFolder folder;
    // 3 × 2: top row red, green, blue; bottom row white, black, grey.
    const std::vector<uint8_t> expected = {0,   0,   255, 0, 255, 0, 255, 0,   0,
                                           255, 255, 255, 0, 0,   0, 128, 128, 128};
    // 24-bit rows are padded to 12 bytes; stored bottom row first unless top-down.
    std::vector<uint8_t> bottomUp24 = {255, 255, 255, 0, 0,   0, 128, 128, 128, 0, 0, 0,
                                       0,   0,   255, 0, 255, 0, 255, 0,   0,   0, 0, 0};
    std::vector<uint8_t> topDown24(bottomUp24.begin() + 12, bottomUp24.end());
    topDown24.insert(topDown24.end(), bottomUp24.begin(), bottomUp24.begin() + 12);
    // Palette: 0 red, 1 green, 2 blue, 3 white, 4 black, 5 grey (blue, green, red, 0).
    std::vector<uint8_t> palette = {0,   0,   255, 0, 0, 255, 0, 0, 255, 0,   0,   0,
                                    255, 255, 255, 0, 0, 0,   0, 0, 128, 128, 128, 0};
    std::vector<uint8_t> palette3;
    for (size_t i = 0; i < palette.size(); i += 4)
        palette3.insert(palette3.end(), {palette[i], palette[i + 1], palette[i + 2]});

    struct Case {
        const char* name;
        BmpLayout layout;
    };
    std::vector<Case> cases;
    for (uint32_t header : {12u, 40u, 108u, 124u}) {
        BmpLayout layout;
        layout.headerBytes = header;
        layout.width = 3;
        layout.height = 2;
        layout.pixelData = bottomUp24;
        cases.push_back({"24-bit", layout});
    }
    {
        BmpLayout layout;
        layout.width = 3;
        layout.height = -2;
        layout.pixelData = topDown24;
        cases.push_back({"24-bit top-down", layout});
    }
    {
        BmpLayout layout;
        layout.width = 3;
        layout.height = 2;
        layout.bitCount = 8;
        layout.palette = palette;
        layout.pixelData = {3, 4, 5, 0, 0, 1, 2, 0};
        cases.push_back({"8-bit", layout});
        layout.headerBytes = 12;
        layout.palette = palette3;
        cases.push_back({"8-bit core", layout});
    }
    {
        BmpLayout layout;
        layout.width = 3;
        layout.height = 2;
        layout.bitCount = 4;
        layout.palette = palette;
        layout.pixelData = {0x34, 0x50, 0, 0, 0x01, 0x20, 0, 0};
        cases.push_back({"4-bit", layout});
    }
    {
        BmpLayout layout;  // RLE8: a run of 3 and an absolute run of 3 (padded), end of picture
        layout.width = 3;
        layout.height = 2;
        layout.bitCount = 8;
        layout.compression = 1;
        layout.palette = palette;
        layout.pixelData = {0, 3, 3, 4, 5, 0, 0, 0, 1, 0, 1, 1, 1, 2, 0, 1};
        cases.push_back({"RLE8", layout});
    }
    {
        BmpLayout layout;  // RLE4: absolute runs of 3 nibbles each
        layout.width = 3;
        layout.height = 2;
        layout.bitCount = 4;
        layout.compression = 2;
        layout.palette = palette;
        layout.pixelData = {0, 3, 0x34, 0x50, 0, 0, 0, 3, 0x01, 0x20, 0, 1};
        cases.push_back({"RLE4", layout});
    }
    {
        BmpLayout layout;  // 32-bit without alpha mask: the fourth byte is ignored
        layout.width = 3;
        layout.height = 2;
        layout.bitCount = 32;
        layout.pixelData = {255, 255, 255, 7, 0, 0,   0, 7, 128, 128, 128, 7,
                          0,   0,   255, 7, 0, 255, 0, 7, 255, 0,   0,   7};
        cases.push_back({"32-bit", layout});
        layout.compression = 3;
        layout.masks[0] = 0x00FF0000;
        layout.masks[1] = 0x0000FF00;
        layout.masks[2] = 0x000000FF;
        cases.push_back({"32-bit bit fields", layout});
    }
    for (const Case& c : cases) {
        LoadOutcome outcome = LoadBytes(folder, "v.bmp", MakeBmp(c.layout));
        ASSERT_EQ(outcome.result, 0) << c.name << " header " << c.layout.headerBytes;
        EXPECT_EQ(outcome.width, 3u) << c.name;
        EXPECT_EQ(outcome.height, 2u) << c.name;
        EXPECT_EQ(outcome.bytesPerPixel, 3u) << c.name;
        EXPECT_EQ(outcome.pixels, expected) << c.name << " header " << c.layout.headerBytes;
    }
}

TEST(BmpVariants, SixteenBitFieldsAndAlphaMask)
{
    CTemporaryFolder folder;
    // 16-bit 5-5-5 default: one white and one pure red pixel (rows padded to 4 bytes).
    BmpLayout rgb555;
    rgb555.width = 2;
    rgb555.height = 1;
    rgb555.bitCount = 16;
    rgb555.pixelData = {0xFF, 0x7F, 0x00, 0x7C};
    LoadOutcome outcome = LoadBytes(folder, "555.bmp", MakeBmp(rgb555));
    ASSERT_EQ(outcome.result, 0);
    EXPECT_EQ(outcome.pixels, (std::vector<uint8_t>{255, 255, 255, 0, 0, 255}));

    BmpLayout rgb565 = rgb555;
    rgb565.compression = 3;
    rgb565.masks[0] = 0xF800;
    rgb565.masks[1] = 0x07E0;
    rgb565.masks[2] = 0x001F;
    rgb565.pixelData = {0xE0, 0x07, 0x1F, 0x00};  // pure green, pure blue
    outcome = LoadBytes(folder, "565.bmp", MakeBmp(rgb565));
    ASSERT_EQ(outcome.result, 0);
    EXPECT_EQ(outcome.bytesPerPixel, 3u);
    EXPECT_EQ(outcome.pixels, (std::vector<uint8_t>{0, 255, 0, 255, 0, 0}));

    BmpLayout alpha;  // V5, bit fields with an alpha mask: straight alpha, 4 bytes per pixel
    alpha.headerBytes = 124;
    alpha.width = 2;
    alpha.height = 1;
    alpha.bitCount = 32;
    alpha.compression = 3;
    alpha.masks[0] = 0x00FF0000;
    alpha.masks[1] = 0x0000FF00;
    alpha.masks[2] = 0x000000FF;
    alpha.masks[3] = 0xFF000000;
    alpha.pixelData = {10, 20, 200, 0, 30, 40, 50, 128};
    outcome = LoadBytes(folder, "alpha.bmp", MakeBmp(alpha));
    ASSERT_EQ(outcome.result, 0);
    EXPECT_EQ(outcome.bytesPerPixel, 4u);
    EXPECT_EQ(outcome.pixels, alpha.pixelData);
}

TEST(BmpVariants, BmpSuiteVariantsOfOnePictureAgree)
{
    // The suite stores one 127 × 64 picture in many ways: each group must decode identically.
    SKIP_WITHOUT_CORPUS();
    std::string dir = CorpusDir() + "/bmpsuite/g/";
    const std::vector<std::vector<const char*>> kGroups = {
        {"rgb24.bmp", "rgb24pal.bmp", "rgb32.bmp", "rgb32bf.bmp", "rgb32bfdef.bmp"},
        {"pal8.bmp", "pal8-0.bmp", "pal8os2.bmp", "pal8rle.bmp", "pal8topdown.bmp", "pal8v4.bmp",
         "pal8v5.bmp"},
        {"pal4.bmp", "pal4rle.bmp"},
        {"rgb16.bmp", "rgb16bfdef.bmp"},
    };
    for (const auto& group : kGroups) {
        LoadOutcome reference = Load(ZorGdipLoadImage, dir + group[0]);
        ASSERT_EQ(reference.result, 0) << group[0];
        for (const char* name : group) {
            LoadOutcome outcome = Load(ZorGdipLoadImage, dir + name);
            ASSERT_EQ(outcome.result, 0) << name;
            EXPECT_EQ(outcome.pixels, reference.pixels) << name;
        }
    }
    LoadOutcome reference = Load(ZorGdipLoadImage, dir + "rgb24.bmp");
    LoadOutcome jpegInBmp = Load(ZorGdipLoadImage, CorpusDir() + "/bmpsuite/q/rgb24jpeg.bmp");
    ASSERT_EQ(jpegInBmp.result, 0);
    EXPECT_LT(MeanAbsoluteDifference(jpegInBmp.pixels, reference.pixels), 4.0);
    LoadOutcome pngInBmp = Load(ZorGdipLoadImage, CorpusDir() + "/bmpsuite/q/rgb24png.bmp");
    EXPECT_EQ(pngInBmp.pixels, reference.pixels);
}

TEST(SameFileTwice, SecondLoadGivesTheSamePicture)
{
    CTemporaryFolder folder;
    auto pixels = MakePattern(9, 7, 3);
    std::string path = folder.File("twice.bmp");
    ASSERT_EQ(ZorGdipSaveImageBMP(path.c_str(), 7, 9, pixels.data()), 0);
    LoadOutcome first = Load(ZorGdipLoadImage, path);
    LoadOutcome second = Load(ZorGdipLoadImage, path);
    ASSERT_EQ(first.result, 0);
    ASSERT_EQ(second.result, 0);
    EXPECT_EQ(first.pixels, second.pixels);
    // Nothing keeps the file open: it can be removed and replaced at once.
    ASSERT_EQ(std::remove(path.c_str()), 0);
    ASSERT_EQ(ZorGdipSaveImageBMP(path.c_str(), 7, 9, pixels.data()), 0);
    EXPECT_EQ(Load(ZorGdipLoadImage, path).pixels, pixels);
}

TEST(JapaneseNames, Utf8AndCodePage932BytesOpenTheSameFile)
{
    CTemporaryFolder folder;
    auto pixels = MakePattern(4, 5, 3);
    // "写真テスト.bmp" in UTF-8 and in code page 932.
    std::string utf8 =
        folder.File("\xE5\x86\x99\xE7\x9C\x9F\xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88.bmp");
    std::string cp932 = folder.File("\x8E\xCA\x90\x5E\x83\x65\x83\x58\x83\x67.bmp");
    ASSERT_EQ(ZorGdipSaveImageBMP(utf8.c_str(), 5, 4, pixels.data()), 0);
    EXPECT_EQ(Load(ZorGdipLoadImage, utf8).pixels, pixels);
    EXPECT_EQ(Load(ZorGdipLoadImage, cp932).pixels, pixels);
    EXPECT_EQ(Load(ZorGdipLoadImagePC2, cp932).result, 0);

    // A saver given code page 932 bytes writes the file under its UTF-8 name.
    std::string cp932Png = folder.File("\x89\xE6\x91\x9C.png");  // "画像.png"
    ASSERT_EQ(ZorGdipSaveImagePNG(cp932Png.c_str(), 5, 4, 3, pixels.data()), 0);
    EXPECT_TRUE(FileExists(folder.File("\xE7\x94\xBB\xE5\x83\x8F.png")));
    EXPECT_EQ(Load(ZorGdipLoadImage, cp932Png).pixels, pixels);
}

}  // namespace
