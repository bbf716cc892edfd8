// The loaders' results and out-parameters for every failure, and the release function.
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "block/frame_block.h"
#include "imgport/ImgPort.h"
#include "imgport/picture_codec.h"
#include "imgport_test_support.h"

using namespace imgport_test;

namespace {

struct LoaderCase {
    const char* name;
    LoaderFn loader;
    imgport::LoadMode mode;
};
const LoaderCase kLoaders[] = {
    {"Full", ZorGdipLoadImage, imgport::LoadMode::kFull},
    {"PC", ZorGdipLoadImagePC, imgport::LoadMode::kQuarter},
    {"PC2", ZorGdipLoadImagePC2, imgport::LoadMode::kHalf},
};

void ExpectNoPicture(const LoadOutcome& outcome)
{
    EXPECT_EQ(outcome.result, 1);
    EXPECT_EQ(outcome.width, 0u);
    EXPECT_EQ(outcome.height, 0u);
    EXPECT_EQ(outcome.bytesPerPixel, 0u);
    EXPECT_TRUE(outcome.pixelsNull);
}

// Makes every pixel-buffer allocation fail while it lives.
class CExhaustedHeap {
  public:
    CExhaustedHeap()
    {
        imgport::g_allocatePixels = [](size_t) -> void* { return nullptr; };
    }
    ~CExhaustedHeap() { imgport::g_allocatePixels = AllocateFrameBlock; }
};

class LoaderFailures : public testing::TestWithParam<LoaderCase> {
  protected:
    CTemporaryFolder m_folder;
};

TEST_P(LoaderFailures, MissingUnreadableOrNonPictureFilesGiveNoPicture)
{
    LoaderFn loader = GetParam().loader;
    ExpectNoPicture(Load(loader, m_folder.File("missing.png")));
    ExpectNoPicture(Load(loader, m_folder.File("no-folder/x.bmp")));
    ExpectNoPicture(Load(loader, m_folder.Path()));  // a folder
    ExpectNoPicture(Load(loader, ""));

    WriteBytes(m_folder.File("empty.bmp"), {});
    ExpectNoPicture(Load(loader, m_folder.File("empty.bmp")));
    WriteBytes(m_folder.File("text.png"), {'h', 'e', 'l', 'l', 'o'});
    ExpectNoPicture(Load(loader, m_folder.File("text.png")));
    // Only the signature of each format.
    WriteBytes(m_folder.File("sig.png"), {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A});
    ExpectNoPicture(Load(loader, m_folder.File("sig.png")));
    WriteBytes(m_folder.File("sig.jpg"), {0xFF, 0xD8, 0xFF});
    ExpectNoPicture(Load(loader, m_folder.File("sig.jpg")));
    WriteBytes(m_folder.File("sig.gif"), {'G', 'I', 'F', '8', '9', 'a'});
    ExpectNoPicture(Load(loader, m_folder.File("sig.gif")));
    WriteBytes(m_folder.File("sig.tif"), {'I', 'I', 42, 0});
    ExpectNoPicture(Load(loader, m_folder.File("sig.tif")));
    WriteBytes(m_folder.File("sig.bmp"), {'B', 'M'});
    ExpectNoPicture(Load(loader, m_folder.File("sig.bmp")));
}

TEST_P(LoaderFailures, OverlongPathsAreRefused)
{
    std::string path = m_folder.File("p.bmp");
    auto pixels = MakePattern(2, 2, 3);
    ASSERT_EQ(ZorGdipSaveImageBMP(path.c_str(), 2, 2, pixels.data()), 0);
    // The same file named through a run of slashes: 512 bytes are refused, 511 accepted.
    size_t slashes = 512 - m_folder.Path().size() - std::string("p.bmp").size();
    std::string longPath = m_folder.Path() + std::string(slashes, '/') + "p.bmp";
    ASSERT_EQ(longPath.size(), 512u);
    ExpectNoPicture(Load(GetParam().loader, longPath));
    longPath.erase(m_folder.Path().size(), 1);
    EXPECT_EQ(Load(GetParam().loader, longPath).result, 0);
}

TEST_P(LoaderFailures, NullOutPointersGiveOneAndOnlyValidOnesAreWritten)
{
    std::string path = m_folder.File("p.bmp");
    auto pixels = MakePattern(4, 4, 3);
    ASSERT_EQ(ZorGdipSaveImageBMP(path.c_str(), 4, 4, pixels.data()), 0);
    LoaderFn loader = GetParam().loader;
    unsigned int width = 7, height = 7, bytesPerPixel = 7;
    unsigned char* buffer = reinterpret_cast<unsigned char*>(&width);
    EXPECT_EQ(loader(path.c_str(), nullptr, &height, &bytesPerPixel, &buffer), 1);
    EXPECT_EQ(height, 0u);
    EXPECT_EQ(buffer, nullptr);
    EXPECT_EQ(loader(path.c_str(), &width, nullptr, &bytesPerPixel, &buffer), 1);
    EXPECT_EQ(loader(path.c_str(), &width, &height, nullptr, &buffer), 1);
    EXPECT_EQ(loader(path.c_str(), &width, &height, &bytesPerPixel, nullptr), 1);
    EXPECT_EQ(width, 0u);
    EXPECT_EQ(loader(path.c_str(), nullptr, nullptr, nullptr, nullptr), 1);
    EXPECT_EQ(loader(nullptr, &width, &height, &bytesPerPixel, &buffer), 1);
    EXPECT_EQ(buffer, nullptr);
}

TEST_P(LoaderFailures, ExhaustedHeapReportsSizeWithoutPixels)
{
    const LoaderCase& loader = GetParam();
    std::string path = m_folder.File("p.png");
    auto pixels = MakePattern(487, 720, 4);
    ASSERT_EQ(ZorGdipSaveImagePNG(path.c_str(), 720, 487, 4, pixels.data()), 0);
    LoadOutcome outcome;
    testing::internal::CaptureStdout();
    {
        CExhaustedHeap exhausted;
        outcome = Load(loader.loader, path);
    }
    std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(outcome.pixelsNull);
    EXPECT_EQ(outcome.bytesPerPixel, 4u);
    if (loader.mode == imgport::LoadMode::kFull) {
        EXPECT_EQ(outcome.result, 2);
        EXPECT_EQ(outcome.width, 720u);
        EXPECT_EQ(outcome.height, 487u);
        EXPECT_EQ(printed, "");
    } else {
        EXPECT_EQ(outcome.result, loader.mode == imgport::LoadMode::kHalf ? 1 : 2);
        EXPECT_EQ(outcome.width, loader.mode == imgport::LoadMode::kHalf ? 512u : 256u);
        EXPECT_EQ(outcome.height, loader.mode == imgport::LoadMode::kHalf ? 256u : 128u);
        EXPECT_EQ(printed, "ImgPort memory alloc err\n");
    }
}

TEST_P(LoaderFailures, UnreadablePixelsReportSizeWithoutPixels)
{
    // A sound header with its pixel data cut short: the decoded pixels cannot be read.
    const LoaderCase& loader = GetParam();
    std::string full = m_folder.File("full.png");
    auto pixels = MakePattern(487, 720, 3);
    ASSERT_EQ(ZorGdipSaveImagePNG(full.c_str(), 720, 487, 3, pixels.data()), 0);
    std::vector<uint8_t> bytes = ReadBytes(full);
    bytes.resize(bytes.size() / 2);
    std::string cut = m_folder.File("cut.png");
    ASSERT_TRUE(WriteBytes(cut, bytes));

    testing::internal::CaptureStdout();
    LoadOutcome outcome = Load(loader.loader, cut);
    std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(outcome.pixelsNull);
    EXPECT_EQ(outcome.bytesPerPixel, 3u);
    switch (loader.mode) {
        case imgport::LoadMode::kFull:
            EXPECT_EQ(outcome.result, 2);
            EXPECT_EQ(outcome.width, 720u);
            EXPECT_EQ(outcome.height, 487u);
            EXPECT_EQ(printed, "");
            break;
        case imgport::LoadMode::kQuarter:
            EXPECT_EQ(outcome.result, 2);
            EXPECT_EQ(outcome.width, 256u);
            EXPECT_EQ(outcome.height, 128u);
            EXPECT_EQ(printed, "LockBits Fail\n");
            break;
        case imgport::LoadMode::kHalf:
            EXPECT_EQ(outcome.result, 1);
            EXPECT_EQ(outcome.width, 512u);
            EXPECT_EQ(outcome.height, 256u);
            EXPECT_EQ(printed, "");
            break;
    }
}

INSTANTIATE_TEST_SUITE_P(AllLoaders, LoaderFailures, testing::ValuesIn(kLoaders),
                         [](const testing::TestParamInfo<LoaderCase>& info) {
                             return std::string(info.param.name);
                         });

TEST(ReleaseBuffer, NullPointerAndSecondReleaseDoNothing)
{
    EXPECT_EQ(ZorGdipDeletImage(nullptr), 0);
    unsigned char* pixels = nullptr;
    EXPECT_EQ(ZorGdipDeletImage(&pixels), 0);
    EXPECT_EQ(pixels, nullptr);

    CTemporaryFolder folder;
    std::string path = folder.File("p.bmp");
    auto source = MakePattern(3, 3, 3);
    ASSERT_EQ(ZorGdipSaveImageBMP(path.c_str(), 3, 3, source.data()), 0);
    unsigned int width, height, bytesPerPixel;
    ASSERT_EQ(ZorGdipLoadImage(path.c_str(), &width, &height, &bytesPerPixel, &pixels), 0);
    ASSERT_NE(pixels, nullptr);
    EXPECT_EQ(ZorGdipDeletImage(&pixels), 0);
    EXPECT_EQ(pixels, nullptr);
    EXPECT_EQ(ZorGdipDeletImage(&pixels), 0);
    EXPECT_EQ(pixels, nullptr);
}

}  // namespace
