// The savers: files written (0) or not written at all (1), round trips, the caller's buffer.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "imgport/ImgPort.h"
#include "imgport_test_support.h"

using namespace imgport_test;

namespace {

enum class Saver { kBmp, kJpeg, kPng, kTiff };

int Save(Saver saver, const std::string& path, int width, int height, int bytesPerPixel,
         const unsigned char* pixels)
{
    switch (saver) {
        case Saver::kBmp:
            return ZorGdipSaveImageBMP(path.c_str(), width, height, pixels);
        case Saver::kJpeg:
            return ZorGdipSaveImageJPG(path.c_str(), width, height, 90, pixels);
        case Saver::kPng:
            return ZorGdipSaveImagePNG(path.c_str(), width, height, bytesPerPixel, pixels);
        case Saver::kTiff:
            return ZorGdipSaveImageTIFF(path.c_str(), width, height, bytesPerPixel, pixels);
    }
    return -1;
}

const Saver kSavers[] = {Saver::kBmp, Saver::kJpeg, Saver::kPng, Saver::kTiff};

TEST(SaverRoundTrip, LosslessSaversGiveBackTheSameBytesForAwkwardSizes)
{
    CTemporaryFolder folder;
    for (Saver saver : {Saver::kBmp, Saver::kPng, Saver::kTiff}) {
        for (auto [height, width] : {std::pair{1, 1}, {2, 101}, {3, 1921}, {17, 2}}) {
            auto pixels = MakePattern(height, width, 3);
            std::string path = folder.File("rt");
            ASSERT_EQ(Save(saver, path, width, height, 3, pixels.data()), 0);
            LoadOutcome outcome = Load(ZorGdipLoadImage, path);
            ASSERT_EQ(outcome.result, 0);
            EXPECT_EQ(outcome.width, unsigned(width));
            EXPECT_EQ(outcome.height, unsigned(height));
            EXPECT_EQ(outcome.bytesPerPixel, 3u);
            EXPECT_EQ(outcome.pixels, pixels) << int(saver) << " " << height << "x" << width;
        }
    }
}

TEST(SaverRoundTrip, BmpOfAFullHdFrameShowsTheFirstRowAtTheTop)
{
    CTemporaryFolder folder;
    auto pixels = MakePattern(1080, 1920, 3);
    std::string path = folder.File("frame.bmp");
    ASSERT_EQ(ZorGdipSaveImageBMP(path.c_str(), 1920, 1080, pixels.data()), 0);
    std::vector<uint8_t> file = ReadBytes(path);
    ASSERT_EQ(file.size(), 54u + 1920 * 1080 * 3);
    EXPECT_EQ(file[28], 24);  // bits per pixel
    // Bottom-up file: the caller's first row is the file's last.
    EXPECT_TRUE(std::equal(pixels.begin(), pixels.begin() + 5760, file.end() - 5760));
    EXPECT_EQ(Load(ZorGdipLoadImage, path).pixels, pixels);
}

TEST(SaverRoundTrip, AlphaIsWrittenOnlyForFourBytesPerPixel)
{
    CTemporaryFolder folder;
    auto rgba = MakePattern(5, 7, 4);
    for (Saver saver : {Saver::kPng, Saver::kTiff}) {
        std::string path = folder.File("alpha");
        ASSERT_EQ(Save(saver, path, 7, 5, 4, rgba.data()), 0);
        LoadOutcome outcome = Load(ZorGdipLoadImage, path);
        ASSERT_EQ(outcome.result, 0);
        EXPECT_EQ(outcome.bytesPerPixel, 4u);
        EXPECT_EQ(outcome.pixels, rgba);  // straight alpha, colours untouched
        // Any other value reads 3-byte pixels and writes no alpha.
        auto rgb = MakePattern(5, 7, 3);
        for (int bytesPerPixel : {3, 0, 1, 5, -4}) {
            ASSERT_EQ(Save(saver, path, 7, 5, bytesPerPixel, rgb.data()), 0);
            outcome = Load(ZorGdipLoadImage, path);
            EXPECT_EQ(outcome.bytesPerPixel, 3u);
            EXPECT_EQ(outcome.pixels, rgb);
        }
    }
}

TEST(SaverRoundTrip, JpegStaysCloseAndQualityChangesTheSize)
{
    CTemporaryFolder folder;
    auto pixels = MakeSmooth(240, 320, 3);
    std::string low = folder.File("q10.jpg"), high = folder.File("q90.jpg");
    ASSERT_EQ(ZorGdipSaveImageJPG(low.c_str(), 320, 240, 10, pixels.data()), 0);
    ASSERT_EQ(ZorGdipSaveImageJPG(high.c_str(), 320, 240, 90, pixels.data()), 0);
    EXPECT_LT(ReadBytes(low).size(), ReadBytes(high).size());
    LoadOutcome outcome = Load(ZorGdipLoadImage, high);
    ASSERT_EQ(outcome.result, 0);
    EXPECT_EQ(outcome.bytesPerPixel, 3u);
    EXPECT_LT(MeanAbsoluteDifference(outcome.pixels, pixels), 2.0);

    // Out-of-range qualities are clamped to 1 and 100, and still write a file.
    std::string zero = folder.File("q0.jpg"), huge = folder.File("q1000.jpg");
    std::string hundred = folder.File("q100.jpg");
    EXPECT_EQ(ZorGdipSaveImageJPG(zero.c_str(), 320, 240, -5, pixels.data()), 0);
    EXPECT_EQ(ZorGdipSaveImageJPG(huge.c_str(), 320, 240, 1000, pixels.data()), 0);
    EXPECT_EQ(ZorGdipSaveImageJPG(hundred.c_str(), 320, 240, 100, pixels.data()), 0);
    EXPECT_EQ(ReadBytes(huge), ReadBytes(hundred));
    EXPECT_LT(ReadBytes(zero).size(), ReadBytes(low).size());
}

TEST(SaverRefusals, NothingIsCreatedWhenNothingCanBeWritten)
{
    CTemporaryFolder folder;
    auto pixels = MakePattern(4, 4, 4);
    for (Saver saver : kSavers) {
        EXPECT_EQ(Save(saver, folder.File("missing-folder/x"), 4, 4, 3, pixels.data()), 1);
        EXPECT_EQ(Save(saver, folder.File("zero-width"), 0, 4, 3, pixels.data()), 1);
        EXPECT_EQ(Save(saver, folder.File("negative"), 4, -4, 3, pixels.data()), 1);
        EXPECT_EQ(Save(saver, folder.File("null"), 4, 4, 3, nullptr), 1);
        // Above 2^28 pixels: refused before the buffer is read.
        EXPECT_EQ(Save(saver, folder.File("huge"), 16384, 16385, 3, pixels.data()), 1);
        EXPECT_EQ(Save(saver, folder.File("huge"), 65536, 65536, 3, pixels.data()), 1);
        EXPECT_EQ(Save(saver, "", 4, 4, 3, pixels.data()), 1);
        EXPECT_EQ(Save(saver, folder.File(std::string(600, 'n')), 4, 4, 3, pixels.data()), 1);
        // A folder in the way of the file: not replaced.
        EXPECT_EQ(Save(saver, folder.Path(), 4, 4, 3, pixels.data()), 1);
    }
    EXPECT_EQ(ZorGdipSaveImageBMP(nullptr, 4, 4, pixels.data()), 1);
    EXPECT_TRUE(folder.Entries().empty());
}

TEST(SaverRefusals, FailedSaveLeavesAnExistingFileAsItWas)
{
    CTemporaryFolder folder;
    std::string path = folder.File("keep.png");
    auto pixels = MakePattern(3, 3, 3);
    ASSERT_EQ(ZorGdipSaveImagePNG(path.c_str(), 3, 3, 3, pixels.data()), 0);
    const std::vector<uint8_t> before = ReadBytes(path);
    for (Saver saver : kSavers) EXPECT_EQ(Save(saver, path, 3, 0, 3, pixels.data()), 1);
    EXPECT_EQ(ReadBytes(path), before);
    EXPECT_EQ(folder.Entries(), (std::vector<std::string>{"keep.png"}));
}

TEST(CallerBuffer, NoSaverChangesIt)
{
    CTemporaryFolder folder;
    auto pixels = MakePattern(33, 101, 4);
    const auto original = pixels;
    for (Saver saver : kSavers)
        for (int bytesPerPixel : {3, 4}) {
            ASSERT_EQ(Save(saver, folder.File("b"), 101, 33, bytesPerPixel, pixels.data()), 0);
            EXPECT_EQ(pixels, original);
        }
}

TEST(CallerBuffer, OnlyTheFinishedFileIsLeftInTheFolder)
{
    CTemporaryFolder folder;
    auto pixels = MakePattern(8, 8, 3);
    ASSERT_EQ(ZorGdipSaveImageBMP(folder.File("a.bmp").c_str(), 8, 8, pixels.data()), 0);
    ASSERT_EQ(ZorGdipSaveImageJPG(folder.File("a.jpg").c_str(), 8, 8, 75, pixels.data()), 0);
    ASSERT_EQ(ZorGdipSaveImagePNG(folder.File("a.png").c_str(), 8, 8, 3, pixels.data()), 0);
    ASSERT_EQ(ZorGdipSaveImageTIFF(folder.File("a.tif").c_str(), 8, 8, 3, pixels.data()), 0);
    // Saving over an existing file replaces it.
    ASSERT_EQ(ZorGdipSaveImageBMP(folder.File("a.bmp").c_str(), 8, 8, pixels.data()), 0);
    EXPECT_EQ(folder.Entries(), (std::vector<std::string>{"a.bmp", "a.jpg", "a.png", "a.tif"}));
}

}  // namespace
