// Truncated, corrupt and oversized files: refused without crashing, hanging or huge allocations;
// and every file of the corpus of real and broken pictures loads or is refused cleanly.
#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "block/frame_block.h"
#include "imgport/ImgPort.h"
#include "imgport/picture_codec.h"
#include "imgport_test_support.h"
#include "picture_files.h"

using namespace imgport_test;

namespace {

// Fails the test for any allocation of more than a few megabytes while it lives.
class CAllocationCeiling {
  public:
    CAllocationCeiling() { imgport::g_allocatePixels = CheckedMalloc; }
    ~CAllocationCeiling() { imgport::g_allocatePixels = AllocateFrameBlock; }
    static size_t s_largest;

  private:
    static void* CheckedMalloc(size_t bytes)
    {
        if (bytes > s_largest) s_largest = bytes;
        return std::malloc(bytes);
    }
};
size_t CAllocationCeiling::s_largest = 0;

void ExpectCleanOutcome(const LoadOutcome& outcome, const std::string& what)
{
    ASSERT_TRUE(outcome.result == 0 || outcome.result == 1 || outcome.result == 2) << what;
    if (outcome.result == 0) {
        EXPECT_FALSE(outcome.pixelsNull) << what;
        EXPECT_GT(outcome.width, 0u) << what;
        EXPECT_GT(outcome.height, 0u) << what;
        EXPECT_TRUE(outcome.bytesPerPixel == 3 || outcome.bytesPerPixel == 4) << what;
    } else {
        EXPECT_TRUE(outcome.pixelsNull) << what;
    }
}

TEST(HostileFiles, TruncatedFilesOfEveryFormatAreRefused)
{
    CTemporaryFolder folder;
    auto pixels = MakeSmooth(96, 128, 4);
    std::vector<std::pair<std::string, int>> made;
    std::string bmp = folder.File("t.bmp"), jpg = folder.File("t.jpg"), png = folder.File("t.png"),
                tif = folder.File("t.tif"), gif = folder.File("t.gif");
    ASSERT_EQ(ZorGdipSaveImageBMP(bmp.c_str(), 128, 96, pixels.data()), 0);
    ASSERT_EQ(ZorGdipSaveImageJPG(jpg.c_str(), 128, 96, 90, pixels.data()), 0);
    ASSERT_EQ(ZorGdipSaveImagePNG(png.c_str(), 128, 96, 4, pixels.data()), 0);
    ASSERT_EQ(ZorGdipSaveImageTIFF(tif.c_str(), 128, 96, 4, pixels.data()), 0);
    std::vector<uint8_t> indices(128 * 96);
    for (size_t i = 0; i < indices.size(); ++i) indices[i] = uint8_t(i * 7 % 251);
    std::vector<uint8_t> palette(256 * 3);
    for (size_t i = 0; i < palette.size(); ++i) palette[i] = uint8_t(i);
    ASSERT_TRUE(WriteBytes(gif, MakeGif(128, 96, 0, 0, 128, 96, palette, indices, -1)));

    for (const std::string& path : {bmp, jpg, png, tif, gif}) {
        std::vector<uint8_t> whole = ReadBytes(path);
        ASSERT_EQ(Load(ZorGdipLoadImage, path).result, 0) << path;
        for (size_t length : {size_t(1), size_t(10), size_t(40), whole.size() / 4, whole.size() / 2,
                              whole.size() - 40}) {
            std::string cut = folder.File("cut");
            WriteBytes(cut, std::vector<uint8_t>(whole.begin(), whole.begin() + length));
            for (LoaderFn loader : {ZorGdipLoadImage, ZorGdipLoadImagePC, ZorGdipLoadImagePC2}) {
                LoadOutcome outcome = Load(loader, cut);
                ExpectCleanOutcome(outcome, path + " cut at " + std::to_string(length));
                // TIFF keeps its directory at the end; a cut TIFF is not a picture at all.
                EXPECT_NE(outcome.result, 0) << path << " cut at " << length;
            }
        }
    }
}

TEST(HostileFiles, HugeClaimedSizesAreRefusedBeforeAllocating)
{
    CTemporaryFolder folder;
    CAllocationCeiling::s_largest = 0;
    CAllocationCeiling ceiling;
    // BMP: 100000 × 100000 pixels claimed, a few bytes present.
    imgport_test::BmpLayout bmp;
    bmp.width = 100000;
    bmp.height = 100000;
    bmp.pixelData = {1, 2, 3, 4};
    // BMP within the pixel limit but with its rows missing: 2 (unreadable), no allocation.
    imgport_test::BmpLayout bmpShort = bmp;
    bmpShort.width = 16000;
    bmpShort.height = 16000;
    // JPEG: a frame header claiming 65000 × 65000.
    std::vector<uint8_t> jpeg = {0xFF, 0xD8, 0xFF, 0xC0, 0x00, 0x11, 0x08, 0xFD,
                                 0xE8, 0xFD, 0xE8, 0x03, 0x01, 0x22, 0x00, 0x02,
                                 0x11, 0x01, 0x03, 0x11, 0x01, 0xFF, 0xD9};
    // GIF: a 65535 × 65535 screen and frame.
    std::vector<uint8_t> palette = {0, 0, 0, 255, 255, 255};
    std::vector<uint8_t> gif = MakeGif(65535, 65535, 0, 0, 1, 1, palette, {1}, -1);
    gif[6] = gif[7] = gif[8] = gif[9] = 0xFF;
    // TIFF: a 1 × 1 file made by us with its width patched to 2^31.
    auto one = MakePattern(1, 1, 3);
    std::string tiffPath = folder.File("t.tif");
    ASSERT_EQ(ZorGdipSaveImageTIFF(tiffPath.c_str(), 1, 1, 3, one.data()), 0);

    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        int expected;
    };
    std::vector<Case> cases = {
        {"bmp", MakeBmp(bmp), 1},
        {"bmp-short", MakeBmp(bmpShort), 2},
        {"png", MakePngHeaderOnly(1u << 20, 1u << 20, 2), 1},
        {"png-limit", MakePngHeaderOnly(16385, 16384, 6), 1},
        // Within the limit, but the data could not hold the rows: 2, and no buffer allocated.
        {"png-short", MakePngHeaderOnly(16000, 16000, 2), 2},
        {"png-sides", MakePngHeaderOnly(0x7FFFFFFF, 1, 0), 1},
        {"jpeg", jpeg, 1},
        {"gif", gif, 1},
    };
    for (const Case& c : cases) {
        LoadOutcome outcome =
            Load(ZorGdipLoadImage, (WriteBytes(folder.File(c.name), c.bytes), folder.File(c.name)));
        ExpectCleanOutcome(outcome, c.name);
        EXPECT_EQ(outcome.result, c.expected) << c.name;
    }
    EXPECT_LT(CAllocationCeiling::s_largest, size_t(64) << 20);

    // TIFF: find the width tag (256) in our file's directory and claim 2^31 columns.
    std::vector<uint8_t> tiff = ReadBytes(tiffPath);
    bool patched = false;
    for (size_t i = 8; i + 12 <= tiff.size(); i += 2) {
        if (tiff[i] == 0x00 && tiff[i + 1] == 0x01 && (tiff[i + 2] == 3 || tiff[i + 2] == 4)) {
            tiff[i + 2] = 4;
            tiff[i + 4] = 1;
            tiff[i + 8] = 0;
            tiff[i + 9] = 0;
            tiff[i + 10] = 0;
            tiff[i + 11] = 0x80;
            patched = true;
            break;
        }
    }
    ASSERT_TRUE(patched);
    ASSERT_TRUE(WriteBytes(tiffPath, tiff));
    LoadOutcome outcome = Load(ZorGdipLoadImage, tiffPath);
    EXPECT_EQ(outcome.result, 1);
}

TEST(HostileFiles, CorruptBytesInsideValidFilesNeverCrash)
{
    CTemporaryFolder folder;
    auto pixels = MakeSmooth(40, 56, 4);
    std::string png = folder.File("c.png"), jpg = folder.File("c.jpg"), tif = folder.File("c.tif"),
                bmp = folder.File("c.bmp");
    ASSERT_EQ(ZorGdipSaveImagePNG(png.c_str(), 56, 40, 4, pixels.data()), 0);
    ASSERT_EQ(ZorGdipSaveImageJPG(jpg.c_str(), 56, 40, 80, pixels.data()), 0);
    ASSERT_EQ(ZorGdipSaveImageTIFF(tif.c_str(), 56, 40, 4, pixels.data()), 0);
    ASSERT_EQ(ZorGdipSaveImageBMP(bmp.c_str(), 56, 40, pixels.data()), 0);
    uint32_t seed = 12345;
    for (const std::string& path : {png, jpg, tif, bmp}) {
        const std::vector<uint8_t> whole = ReadBytes(path);
        for (int round = 0; round < 60; ++round) {
            std::vector<uint8_t> bytes = whole;
            for (int flips = 0; flips < 1 + round % 4; ++flips) {
                seed = seed * 1103515245u + 12345u;
                bytes[(seed >> 8) % bytes.size()] ^= uint8_t(1u << (seed >> 5) % 8);
            }
            std::string broken = folder.File("broken");
            WriteBytes(broken, bytes);
            ExpectCleanOutcome(Load(ZorGdipLoadImage, broken), path);
            ExpectCleanOutcome(Load(ZorGdipLoadImagePC, broken), path);
        }
    }
}

// BMP files whose runs, deltas or colour table do not fit the picture they claim: refused with 1
// by every loader, before a buffer is allocated; the sound neighbours of each load.
struct BmpFaultCase {
    const char* name;
    BmpLayout layout;
    int expected;
};

std::vector<BmpFaultCase> BmpFaultCases()
{
    // 3 × 2, palette 0 red, 1 green, 2 blue (blue, green, red, 0).
    BmpLayout rle8;
    rle8.width = 3;
    rle8.height = 2;
    rle8.bitCount = 8;
    rle8.compression = 1;
    rle8.palette = {0, 0, 255, 0, 0, 255, 0, 0, 255, 0, 0, 0};
    BmpLayout rle4 = rle8;
    rle4.bitCount = 4;
    rle4.compression = 2;
    auto with = [](BmpLayout layout, std::vector<uint8_t> stream) {
        layout.pixelData = std::move(stream);
        return layout;
    };
    BmpLayout huge = with(rle8, {0, 1});  // end of picture at once, 16384 × 16384 claimed
    huge.width = 16384;
    huge.height = 16384;
    BmpLayout tall = with(rle8, std::vector<uint8_t>(9000, 0));  // 9000 bytes of row ends
    tall.height = 2000000;
    tall.width = 127;
    BmpLayout palette = rle8;
    palette.compression = 0;
    palette.pixelData = {0, 1, 2, 0, 2, 1, 0, 0};
    BmpLayout paletteTooLarge = palette;
    paletteTooLarge.colorsUsed = 305402420;  // more entries than lie before the pixels
    BmpLayout paletteBeyondRoom = palette;
    paletteBeyondRoom.colorsUsed = 4;  // three entries stored
    return {
        {"Rle8Sound", with(rle8, {3, 0, 0, 0, 0, 3, 0, 1, 2, 0, 0, 1}), 0},
        {"Rle8DeltaToTheRowEnd", with(rle8, {0, 2, 3, 0, 0, 0, 3, 2, 0, 1}), 0},
        {"Rle8EarlyEndOfPicture", with(rle8, {3, 1, 0, 1}), 0},
        {"Rle8RunPastTheRow", with(rle8, {4, 0, 0, 0, 3, 1, 0, 1}), 1},
        {"Rle8RunAfterADeltaToTheRowEnd", with(rle8, {0, 2, 3, 0, 1, 0, 0, 1}), 1},
        {"Rle8AbsoluteRunPastTheRow", with(rle8, {0, 4, 0, 1, 2, 0, 0, 0, 0, 1}), 1},
        {"Rle8DeltaPastTheRow", with(rle8, {1, 0, 0, 2, 3, 0, 0, 1}), 1},
        {"Rle8DeltaPastThePicture", with(rle8, {0, 2, 0, 2, 0, 1}), 1},
        {"Rle8TinyStreamHugePicture", huge, 1},
        {"Rle8RowEndsCannotFillTwoMillionRows", tall, 1},
        {"Rle8Truncated", with(rle8, {3, 0, 0, 0}), 2},
        {"Rle4Sound", with(rle4, {3, 0x01, 0, 0, 0, 3, 0x12, 0x00, 0, 1}), 0},
        {"Rle4RunPastTheRow", with(rle4, {4, 0x01, 0, 1}), 1},
        {"Rle4AbsoluteRunPastTheRow", with(rle4, {0, 5, 0x01, 0x20, 0x10, 0, 0, 1}), 1},
        {"Rle4DeltaPastThePicture", with(rle4, {0, 2, 1, 5, 0, 1}), 1},
        {"PaletteSound", palette, 0},
        {"PaletteSizeBeyondAnyRoom", paletteTooLarge, 1},
        {"PaletteSizeBeyondTheStoredEntries", paletteBeyondRoom, 1},
    };
}

void PrintTo(const BmpFaultCase& c, std::ostream* out)
{
    *out << c.name;
}

class BmpFaults : public testing::TestWithParam<BmpFaultCase> {};

TEST_P(BmpFaults, AreRefusedBeforeAllocatingAndSoundNeighboursLoad)
{
    const BmpFaultCase& c = GetParam();
    CTemporaryFolder folder;
    std::string path = folder.File("fault.bmp");
    ASSERT_TRUE(WriteBytes(path, MakeBmp(c.layout)));
    CAllocationCeiling::s_largest = 0;
    CAllocationCeiling ceiling;
    for (LoaderFn loader : {ZorGdipLoadImage, ZorGdipLoadImagePC, ZorGdipLoadImagePC2}) {
        LoadOutcome outcome = Load(loader, path);
        ExpectCleanOutcome(outcome, c.name);
        // The half-size loader reports every failure as 1.
        int expected = loader == ZorGdipLoadImagePC2 && c.expected == 2 ? 1 : c.expected;
        EXPECT_EQ(outcome.result, expected);
        if (c.expected == 1) {
            EXPECT_EQ(outcome.width, 0u);
            EXPECT_EQ(outcome.height, 0u);
        }
    }
    EXPECT_LT(CAllocationCeiling::s_largest, size_t(1) << 20);
}

TEST(BmpFaults, SoundRunsAndDeltasDrawWhereTheyPoint)
{
    CTemporaryFolder folder;
    std::vector<BmpFaultCase> cases = BmpFaultCases();
    // Rows top first; red, green, blue as blue-green-red bytes; skipped pixels black.
    const std::vector<std::pair<const char*, std::vector<uint8_t>>> kExpected = {
        {"Rle8Sound", {0, 0, 255, 0, 255, 0, 255, 0, 0, 0, 0, 255, 0, 0, 255, 0, 0, 255}},
        {"Rle8DeltaToTheRowEnd", {255, 0, 0, 255, 0, 0, 255, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"Rle8EarlyEndOfPicture", {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 255, 0, 0, 255, 0, 0, 255, 0}},
        {"Rle4Sound", {0, 255, 0, 255, 0, 0, 0, 0, 255, 0, 0, 255, 0, 255, 0, 0, 0, 255}},
    };
    for (const auto& [name, pixels] : kExpected) {
        auto c = std::find_if(cases.begin(), cases.end(),
                              [&](const BmpFaultCase& k) { return std::string(k.name) == name; });
        ASSERT_NE(c, cases.end());
        std::string path = folder.File("sound.bmp");
        ASSERT_TRUE(WriteBytes(path, MakeBmp(c->layout)));
        LoadOutcome outcome = Load(ZorGdipLoadImage, path);
        ASSERT_EQ(outcome.result, 0) << name;
        EXPECT_EQ(outcome.pixels, pixels) << name;
    }
}

INSTANTIATE_TEST_SUITE_P(Layouts, BmpFaults, testing::ValuesIn(BmpFaultCases()),
                         [](const testing::TestParamInfo<BmpFaultCase>& info) {
                             return std::string(info.param.name);
                         });

TEST(BmpFaults, SuiteFilesWithRunsOutsideOrAnOversizedPaletteAreRefused)
{
    SKIP_WITHOUT_CORPUS();
    for (const char* name : {"badrle.bmp", "badrlebis.bmp", "badrleter.bmp", "badrle4.bmp",
                             "badrle4bis.bmp", "badrle4ter.bmp", "badpalettesize.bmp"}) {
        std::string path = CorpusDir() + "/bmpsuite/b/" + name;
        ASSERT_TRUE(FileExists(path)) << path;
        for (LoaderFn loader : {ZorGdipLoadImage, ZorGdipLoadImagePC, ZorGdipLoadImagePC2}) {
            LoadOutcome outcome = Load(loader, path);
            EXPECT_EQ(outcome.result, 1) << name;
            EXPECT_TRUE(outcome.pixelsNull) << name;
        }
    }
    // Files that end early or skip pixels, but stay inside the picture, still load.
    for (const char* name : {"pal8rlecut.bmp", "pal4rlecut.bmp", "pal8rletrns.bmp",
                             "pal4rletrns.bmp", "pal8oversizepal.bmp"}) {
        LoadOutcome outcome = Load(ZorGdipLoadImage, CorpusDir() + "/bmpsuite/q/" + name);
        EXPECT_EQ(outcome.result, 0) << name;
        EXPECT_EQ(outcome.width, 127u) << name;
        EXPECT_EQ(outcome.height, 64u) << name;
    }
}

TEST(CorpusSweep, EveryFileLoadsOrIsRefusedCleanly)
{
    SKIP_WITHOUT_CORPUS();
    std::vector<std::string> files = CorpusFiles();
    ASSERT_GT(files.size(), 100u) << "corpus incomplete at " << CorpusDir();
    int loaded = 0;
    for (const std::string& path : files) {
        LoadOutcome full = Load(ZorGdipLoadImage, path);
        ExpectCleanOutcome(full, path);
        loaded += full.result == 0;
        for (LoaderFn loader : {ZorGdipLoadImagePC, ZorGdipLoadImagePC2}) {
            LoadOutcome reduced = Load(loader, path);
            ExpectCleanOutcome(reduced, path);
            // A picture that loads at full size loads reduced, with the same layout.
            if (full.result == 0) {
                EXPECT_EQ(reduced.result, 0) << path;
                EXPECT_EQ(reduced.bytesPerPixel, full.bytesPerPixel) << path;
            }
        }
        // The first half of every file: decoded or refused, never a crash.
        std::vector<uint8_t> bytes = ReadBytes(path);
        bytes.resize(bytes.size() / 2);
        imgport::LoadedPicture picture;
        imgport::LoadPictureFromMemory(bytes.data(), bytes.size(), imgport::LoadMode::kFull,
                                       imgport::kMaxPixels, &picture);
        ReleaseFrameBlock(picture.pixels);
    }
    // The corpus is mostly pictures we read (PngSuite, BMP Suite, libtiff, giflib samples).
    EXPECT_GT(loaded, int(files.size()) / 2);
}

// Known-good files of the suites must load; the broken ones of PngSuite must be refused.
TEST(CorpusSweep, GoodFilesLoadAndBrokenPngSuiteFilesAreRefused)
{
    SKIP_WITHOUT_CORPUS();
    for (const std::string& path : CorpusFiles()) {
        std::string name = path.substr(path.rfind('/') + 1);
        bool pngSuite = path.find("/pngsuite/") != std::string::npos &&
                        path.find("/libpng/") == std::string::npos;
        bool bmpGood = path.find("/bmpsuite/g/") != std::string::npos;
        if (pngSuite && name.size() > 4 && name.substr(name.size() - 4) == ".png") {
            int result = Load(ZorGdipLoadImage, path).result;
            if (name[0] == 'x') {
                EXPECT_NE(result, 0) << name;
            } else {
                EXPECT_EQ(result, 0) << name;
            }
        }
        if (bmpGood) {
            EXPECT_EQ(Load(ZorGdipLoadImage, path).result, 0) << name;
        }
    }
}

}  // namespace
