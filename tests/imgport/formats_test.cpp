// What the full-size loader delivers for each format: layout, bytes per pixel, colours.
#include <cstring>
#include <functional>
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

std::string CaseName(const char* name)
{
    return name;
}

// --- Odd widths through each lossless saver and back ---

struct LosslessSaver {
    const char* name;
    int (*save)(const std::string& path, int width, int height, const uint8_t* pixels);
};
const LosslessSaver kLosslessSavers[] = {
    {"Bmp",
     [](const std::string& path, int width, int height, const uint8_t* pixels) {
         return ZorGdipSaveImageBMP(path.c_str(), width, height, pixels);
     }},
    {"Png",
     [](const std::string& path, int width, int height, const uint8_t* pixels) {
         return ZorGdipSaveImagePNG(path.c_str(), width, height, 3, pixels);
     }},
    {"Tiff",
     [](const std::string& path, int width, int height, const uint8_t* pixels) {
         return ZorGdipSaveImageTIFF(path.c_str(), width, height, 3, pixels);
     }},
};

class PackedRows : public testing::TestWithParam<LosslessSaver> {};

TEST_P(PackedRows, OddWidthPictureIsDeliveredWithoutFillBytes)
{
    // 101 × 2, 24 bits per pixel: 606 bytes, second row at byte 303.
    CTemporaryFolder folder;
    auto pixels = MakePattern(2, 101, 3);
    std::string path = folder.File("odd");
    ASSERT_EQ(GetParam().save(path, 101, 2, pixels.data()), 0);
    LoadOutcome outcome = Load(ZorGdipLoadImage, path);
    ASSERT_EQ(outcome.result, 0);
    EXPECT_EQ(outcome.width, 101u);
    EXPECT_EQ(outcome.height, 2u);
    EXPECT_EQ(outcome.bytesPerPixel, 3u);
    ASSERT_EQ(outcome.pixels.size(), 606u);
    EXPECT_EQ(std::memcmp(outcome.pixels.data() + 303, pixels.data() + 303, 303), 0);
    EXPECT_EQ(outcome.pixels, pixels);
}

INSTANTIATE_TEST_SUITE_P(Savers, PackedRows, testing::ValuesIn(kLosslessSavers),
                         [](const auto& info) { return CaseName(info.param.name); });

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

// --- Files made byte by byte or with the codec libraries, and exactly what they deliver ---

struct MadeFile {
    const char* name;
    std::function<std::vector<uint8_t>()> make;
    uint32_t width, height, bytesPerPixel;
    std::vector<uint8_t> expected;  // packed rows, top first
};
void PrintTo(const MadeFile& file, std::ostream* out)
{
    *out << file.name;
}

PngLayout Png(uint32_t width, int colorType, int bitDepth, std::vector<uint8_t> rows,
              std::vector<uint8_t> palette = {}, std::vector<uint8_t> transparency = {})
{
    PngLayout layout;
    layout.width = width;
    layout.colorType = colorType;
    layout.bitDepth = bitDepth;
    layout.rows = std::move(rows);
    layout.palette = std::move(palette);
    layout.transparency = std::move(transparency);
    return layout;
}

BmpLayout Bmp(uint32_t headerBytes, int32_t width, int32_t height, uint16_t bitCount,
              uint32_t compression, std::vector<uint8_t> pixelData,
              std::vector<uint8_t> palette = {}, std::vector<uint32_t> masks = {})
{
    BmpLayout layout;
    layout.headerBytes = headerBytes;
    layout.width = width;
    layout.height = height;
    layout.bitCount = bitCount;
    layout.compression = compression;
    layout.pixelData = std::move(pixelData);
    layout.palette = std::move(palette);
    for (size_t i = 0; i < masks.size() && i < 4; ++i) layout.masks[i] = masks[i];
    return layout;
}

std::vector<MadeFile> MadeFileCases()
{
    auto png = [](PngLayout layout) { return [layout] { return MakePng(layout); }; };
    auto bmp = [](BmpLayout layout) { return [layout] { return MakeBmp(layout); }; };
    std::vector<MadeFile> files = {
        // Straight alpha, 4 bytes: red at alpha 0, grey 200 at alpha 64, opaque blue.
        {"PngRgbaStraight",
         png(Png(3, PNG_COLOR_TYPE_RGB_ALPHA, 8,
                 {255, 0, 0, 0, 200, 200, 200, 64, 0, 0, 255, 255})),
         3,
         1,
         4,
         {0, 0, 255, 0, 200, 200, 200, 64, 255, 0, 0, 255}},
        {"PngGreyAlpha16",
         png(Png(2, PNG_COLOR_TYPE_GRAY_ALPHA, 16,
                 {0x80, 0x00, 0x40, 0x00, 0xFF, 0xFF, 0x00, 0x00})),
         2,
         1,
         4,
         {128, 128, 128, 64, 255, 255, 255, 0}},
        // Transparency by palette entry or colour key: 3 bytes, colours kept.
        {"PngPaletteWithTrns",
         png(Png(2, PNG_COLOR_TYPE_PALETTE, 8, {0, 1}, {10, 20, 30, 40, 50, 60}, {0})),
         2,
         1,
         3,
         {30, 20, 10, 60, 50, 40}},
        {"PngGreyWithTrns",
         png(Png(3, PNG_COLOR_TYPE_GRAY, 8, {7, 100, 255}, {}, {7})),
         3,
         1,
         3,
         {7, 7, 7, 100, 100, 100, 255, 255, 255}},
        {"PngRgb16WithTrns",
         png(Png(1, PNG_COLOR_TYPE_RGB, 16, {0xFF, 0xFF, 0x80, 0x00, 0x00, 0x00}, {}, {1, 2, 3})),
         1,
         1,
         3,
         {0, 128, 255}},
        // Screen 4 × 3 with background entry 2 (blue); a 2 × 2 frame at (1, 1) of entries 0 (red),
        // 1 (transparent, keeps its green), 3 (grey 9) and 0.
        {"GifTransparentEntry",
         [] {
             return MakeGif(4, 3, 1, 1, 2, 2, {255, 0, 0, 0, 255, 0, 0, 0, 255, 9, 9, 9},
                            {0, 1, 3, 0}, 1, 2);
         },
         4,
         3,
         3,
         {255, 0,   0, 255, 0, 0, 255, 0, 0, 255, 0, 0, 255, 0, 0,   0,   0, 255,
          0,   255, 0, 255, 0, 0, 255, 0, 0, 9,   9, 9, 0,   0, 255, 255, 0, 0}},
        // 16-bit 5-5-5 default: white, pure red (rows padded to 4 bytes).
        {"Bmp16Bit555",
         bmp(Bmp(40, 2, 1, 16, 0, {0xFF, 0x7F, 0x00, 0x7C})),
         2,
         1,
         3,
         {255, 255, 255, 0, 0, 255}},
        {"Bmp16Bit565Fields",
         bmp(Bmp(40, 2, 1, 16, 3, {0xE0, 0x07, 0x1F, 0x00}, {}, {0xF800, 0x07E0, 0x001F})),
         2,
         1,
         3,
         {0, 255, 0, 255, 0, 0}},
        // V5, bit fields with an alpha mask: straight alpha, 4 bytes per pixel.
        {"BmpV5AlphaMask",
         bmp(Bmp(124, 2, 1, 32, 3, {10, 20, 200, 0, 30, 40, 50, 128}, {},
                 {0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000})),
         2,
         1,
         4,
         {10, 20, 200, 0, 30, 40, 50, 128}},
    };

    // One 3 × 2 picture stored every way a BMP can: top row red, green, blue; bottom row white,
    // black, grey.
    const std::vector<uint8_t> picture = {0,   0,   255, 0, 255, 0, 255, 0,   0,
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
    // 32-bit without an alpha mask: the fourth byte is ignored.
    std::vector<uint8_t> pixels32 = {255, 255, 255, 7, 0, 0,   0, 7, 128, 128, 128, 7,
                                     0,   0,   255, 7, 0, 255, 0, 7, 255, 0,   0,   7};
    const std::vector<std::pair<const char*, BmpLayout>> kVariants = {
        {"Bmp24BitCoreHeader", Bmp(12, 3, 2, 24, 0, bottomUp24)},
        {"Bmp24Bit", Bmp(40, 3, 2, 24, 0, bottomUp24)},
        {"Bmp24BitV4Header", Bmp(108, 3, 2, 24, 0, bottomUp24)},
        {"Bmp24BitV5Header", Bmp(124, 3, 2, 24, 0, bottomUp24)},
        {"Bmp24BitTopDown", Bmp(40, 3, -2, 24, 0, topDown24)},
        {"Bmp8Bit", Bmp(40, 3, 2, 8, 0, {3, 4, 5, 0, 0, 1, 2, 0}, palette)},
        {"Bmp8BitCoreHeader", Bmp(12, 3, 2, 8, 0, {3, 4, 5, 0, 0, 1, 2, 0}, palette3)},
        {"Bmp4Bit", Bmp(40, 3, 2, 4, 0, {0x34, 0x50, 0, 0, 0x01, 0x20, 0, 0}, palette)},
        // RLE8: an absolute run of 3 (padded), three runs of 1, end of picture.
        {"BmpRle8", Bmp(40, 3, 2, 8, 1, {0, 3, 3, 4, 5, 0, 0, 0, 1, 0, 1, 1, 1, 2, 0, 1}, palette)},
        // RLE4: absolute runs of 3 nibbles each.
        {"BmpRle4", Bmp(40, 3, 2, 4, 2, {0, 3, 0x34, 0x50, 0, 0, 0, 3, 0x01, 0x20, 0, 1}, palette)},
        {"Bmp32Bit", Bmp(40, 3, 2, 32, 0, pixels32)},
        {"Bmp32BitFields",
         Bmp(40, 3, 2, 32, 3, pixels32, {}, {0x00FF0000, 0x0000FF00, 0x000000FF})},
    };
    for (const auto& [name, layout] : kVariants)
        files.push_back({name, bmp(layout), 3, 2, 3, picture});
    return files;
}

class MadeFiles : public testing::TestWithParam<MadeFile> {};

TEST_P(MadeFiles, DeliverExactlyTheStoredPicture)
{
    const MadeFile& file = GetParam();
    CTemporaryFolder folder;
    LoadOutcome outcome = LoadBytes(folder, "made", file.make());
    ASSERT_EQ(outcome.result, 0);
    EXPECT_EQ(outcome.width, file.width);
    EXPECT_EQ(outcome.height, file.height);
    EXPECT_EQ(outcome.bytesPerPixel, file.bytesPerPixel);
    EXPECT_EQ(outcome.pixels, file.expected);
}

INSTANTIATE_TEST_SUITE_P(Formats, MadeFiles, testing::ValuesIn(MadeFileCases()),
                         [](const auto& info) { return CaseName(info.param.name); });

// --- Every 8-bit alpha layout libtiff writes: colours of unassociated alpha kept exactly ---

struct TiffAlphaCase {
    const char* name;
    uint16_t colourSamples;
    int extraSample;
    bool separatePlanes;
    bool tiled;
};
void PrintTo(const TiffAlphaCase& c, std::ostream* out)
{
    *out << c.name;
}

std::vector<TiffAlphaCase> TiffAlphaCases()
{
    std::vector<TiffAlphaCase> cases;
    static std::vector<std::string> names;  // the cases point into it
    names.reserve(64);
    for (uint16_t colour : {uint16_t(1), uint16_t(3)})
        for (int extra : {EXTRASAMPLE_UNASSALPHA, EXTRASAMPLE_ASSOCALPHA, EXTRASAMPLE_UNSPECIFIED})
            for (bool separate : {false, true})
                for (bool tiled : {false, true}) {
                    names.push_back(std::string(colour == 1 ? "Grey" : "Rgb") +
                                    (extra == EXTRASAMPLE_UNASSALPHA   ? "Unassociated"
                                     : extra == EXTRASAMPLE_ASSOCALPHA ? "Associated"
                                                                       : "Unspecified") +
                                    (separate ? "Planes" : "Interleaved") +
                                    (tiled ? "Tiles" : "Strips"));
                    cases.push_back({names.back().c_str(), colour, extra, separate, tiled});
                }
    return cases;
}

class TiffAlphaLayouts : public testing::TestWithParam<TiffAlphaCase> {};

TEST_P(TiffAlphaLayouts, KeepUnassociatedColoursAndUndoAssociatedOnes)
{
    const TiffAlphaCase& c = GetParam();
    // 37 × 21: partial strips (8 rows) and partial 16 × 16 tiles at the edges.
    TiffLayout layout;
    layout.width = 37;
    layout.height = 21;
    layout.colourSamples = c.colourSamples;
    layout.extraSample = c.extraSample;
    layout.separatePlanes = c.separatePlanes;
    layout.tiled = c.tiled;
    uint32_t samples = c.colourSamples + 1u;
    size_t count = size_t(layout.width) * layout.height;
    // An unspecified extra sample is alpha (taken as associated) only beside three colours.
    bool alpha = c.extraSample != EXTRASAMPLE_UNSPECIFIED || c.colourSamples == 3;
    bool associated = c.extraSample == EXTRASAMPLE_ASSOCALPHA ||
                      (alpha && c.extraSample == EXTRASAMPLE_UNSPECIFIED);
    for (size_t i = 0; i < count; ++i) {
        uint8_t alpha = i % 7 == 0 ? 0 : uint8_t(i * 53 % 256);
        uint8_t colour[3] = {uint8_t(i * 37 + 11), uint8_t(i * 91 + 3), uint8_t(255 - i * 13)};
        if (i == 1) {  // grey 246 at alpha 8: premultiplying loses it
            colour[0] = colour[1] = colour[2] = 246;
            alpha = 8;
        }
        for (uint32_t s = 0; s < c.colourSamples; ++s)
            layout.samples.push_back(associated ? uint8_t((colour[s] * alpha + 127) / 255)
                                                : colour[s]);
        layout.samples.push_back(alpha);
    }
    CTemporaryFolder folder;
    std::string path = folder.File("alpha.tif");
    ASSERT_TRUE(WriteTiff(path, layout));
    LoadOutcome outcome = Load(ZorGdipLoadImage, path);
    ASSERT_EQ(outcome.result, 0);
    ASSERT_EQ(outcome.width, layout.width);
    ASSERT_EQ(outcome.height, layout.height);

    ASSERT_EQ(outcome.bytesPerPixel, alpha ? 4u : 3u);
    uint32_t b = outcome.bytesPerPixel;
    for (size_t i = 0; i < count; ++i) {
        const uint8_t* stored = &layout.samples[i * samples];
        const uint8_t* delivered = &outcome.pixels[i * b];
        uint8_t storedAlpha = stored[c.colourSamples];
        for (uint32_t channel = 0; channel < 3; ++channel) {
            // Delivered blue, green, red; stored red, green, blue (or one grey).
            uint8_t storedColour = stored[c.colourSamples == 3 ? 2 - channel : 0];
            uint8_t got = delivered[channel];
            if (!associated) {
                ASSERT_EQ(got, storedColour) << "pixel " << i << " channel " << channel;
            } else if (storedAlpha == 0) {
                ASSERT_EQ(got, 0) << "pixel " << i;
            } else {
                // Multiplied by alpha again, the straight colour gives back what was stored.
                ASSERT_NEAR((got * storedAlpha + 127) / 255, storedColour, 1)
                    << "pixel " << i << " channel " << channel;
            }
        }
        if (alpha) {
            ASSERT_EQ(delivered[3], storedAlpha) << "pixel " << i;
        }
    }
    if (c.extraSample == EXTRASAMPLE_UNASSALPHA) {
        EXPECT_EQ(outcome.pixels[b], 246);  // the pixel that premultiplying would change
        EXPECT_EQ(outcome.pixels[b + 3], 8);
    }
}

INSTANTIATE_TEST_SUITE_P(Layouts, TiffAlphaLayouts, testing::ValuesIn(TiffAlphaCases()),
                         [](const auto& info) { return CaseName(info.param.name); });

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
