// imgcast-cli preview: the frame a send would leave in the frame memory, saved without a switcher.
#include <gtest/gtest.h>

#include "tests/link/cli_fixtures.h"
#include "tests/support/corpus.h"

namespace {

// The BMP file the library's saver writes for `frame` (raster-sized YCbCr 4:2:2) decoded here.
std::string ReferenceBmp(const ImgPortApi& api, const std::vector<uint8_t>& frame,
                         OutputRaster raster, const std::string& path)
{
    const RasterSize size = RasterDimensions(raster);
    std::vector<uint8_t> packed(static_cast<size_t>(size.width) * size.height * 3);
    DecodeFrame(frame.data(), packed.data(), size.height, size.width);
    if (api.saveImageBmp(path.c_str(), size.width, size.height, packed.data()) != 0) return {};
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

}  // namespace

// Every raster, stretched and with the aspect kept, the colour frame and the key frame: the file
// is byte for byte the saver's file of the fitted, encoded and decoded plane.
TEST_F(CliTest, PreviewWritesTheFrameASendLeaves)
{
    const std::string alphaPng = m_folder.File("alpha.png");
    std::shared_ptr<const Picture> picture;
    ASSERT_EQ(LoadPicture(m_api, alphaPng.c_str(), &picture), 0);
    ASSERT_TRUE(picture->HasAlpha());
    struct Raster {
        OutputRaster raster;
        const char* name;
    };
    const Raster rasters[] = {{OutputRaster::HD1080, "HD1080"},
                              {OutputRaster::HD720, "HD720"},
                              {OutputRaster::SD480, "SD480"},
                              {OutputRaster::SD576, "SD576"}};
    const std::string output = m_folder.File("preview.bmp");
    for (const Raster& raster : rasters) {
        for (AspectMode aspect : {AspectMode::Full, AspectMode::Keep}) {
            for (bool key : {false, true}) {
                std::vector<std::string> arguments = {"preview", "--raster", raster.name,
                                                      alphaPng,  "--output", output};
                if (aspect == AspectMode::Keep) arguments.push_back("--keep");
                if (key) arguments.push_back("--alpha");
                Run run = RunCli(arguments);
                const std::string what = std::string(raster.name) +
                                         (aspect == AspectMode::Keep ? " Keep" : " Full") +
                                         (key ? " key" : " colour");
                ASSERT_EQ(run.status, 0) << what << ": " << run.errors;
                EXPECT_EQ(run.errors, "") << what;
                const std::string expected =
                    ReferenceBmp(m_api,
                                 ExpectedFrame(*picture, key ? picture->alpha : picture->colour,
                                               raster.raster, aspect),
                                 raster.raster, m_folder.File("reference.bmp"));
                ASSERT_FALSE(expected.empty());
                EXPECT_TRUE(ReadFile(output) == expected) << what;
            }
        }
    }

    // Standard output gets the same BMP; other extensions go through their savers.
    Run toOutput = RunCli({"preview", "--raster", "SD576", alphaPng, "--output", "-"});
    ASSERT_EQ(toOutput.status, 0) << toOutput.errors;
    EXPECT_TRUE(toOutput.output ==
                ReferenceBmp(
                    m_api,
                    ExpectedFrame(*picture, picture->colour, OutputRaster::SD576, AspectMode::Full),
                    OutputRaster::SD576, m_folder.File("reference.bmp")));
    const std::string png = m_folder.File("preview.png");
    ASSERT_EQ(RunCli({"preview", "--raster", "HD720", alphaPng, "--output", png}).status, 0);
    std::shared_ptr<const Picture> saved;
    ASSERT_EQ(LoadPicture(m_api, png.c_str(), &saved), 0);
    EXPECT_EQ(saved->width, 1280);
    EXPECT_EQ(saved->height, 720);
    EXPECT_FALSE(saved->HasAlpha());
}

// The settings file's raster and aspect are the preview's defaults too.
TEST_F(CliTest, PreviewFollowsTheSettingsFile)
{
    WriteSettings(UserSettingsFile(), "[General]\nRaster=720x487\nAspect=Keep\n");
    std::shared_ptr<const Picture> picture;
    ASSERT_EQ(LoadPicture(m_api, m_folder.File("colour.bmp").c_str(), &picture), 0);
    const std::string output = m_folder.File("preview.bmp");
    Run run = RunCli({"preview", m_folder.File("colour.bmp"), "--output", output});
    ASSERT_EQ(run.status, 0) << run.errors;
    EXPECT_TRUE(ReadFile(output) ==
                ReferenceBmp(
                    m_api,
                    ExpectedFrame(*picture, picture->colour, OutputRaster::SD480, AspectMode::Keep),
                    OutputRaster::SD480, m_folder.File("reference.bmp")));
}

// A key frame of a picture without alpha is refused; so is a file that cannot be read. Neither
// writes anything.
TEST_F(CliTest, PreviewRefusals)
{
    const std::string output = m_folder.File("preview.bmp");
    const std::string colour = m_folder.File("colour.bmp");
    Run noAlpha = RunCli({"preview", "--alpha", colour, "--output", output});
    EXPECT_EQ(noAlpha.status, 1);
    EXPECT_EQ(noAlpha.errors,
              "imgcast-cli: " + colour + ": the picture has no alpha channel for a key frame\n");
    Run missing = RunCli({"preview", m_folder.File("missing.png"), "--output", output});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.errors, "imgcast-cli: " + m_folder.File("missing.png") +
                                  ": no such file\nFile read error!!\n");
    Run folder = RunCli({"preview", colour, "--output", m_folder.File("none/preview.bmp")});
    EXPECT_EQ(folder.status, 1);
    EXPECT_NE(folder.errors.find("Cannot write "), std::string::npos) << folder.errors;
    EXPECT_FALSE(std::filesystem::exists(output));
    EXPECT_FALSE(std::filesystem::exists(JournalFile())) << "a preview is no transfer";
}

// --palette-alpha gives a tRNS PNG the key frame its transparency makes.
TEST_F(CliTest, PreviewKeyFrameOfPaletteTransparency)
{
    SKIP_WITHOUT_CORPUS();
    const std::string png = CorpusDir() + "/pngsuite/tbbn3p08.png";
    const std::string output = m_folder.File("key.bmp");
    Run without = RunCli({"preview", "--alpha", png, "--output", output});
    EXPECT_EQ(without.status, 1);
    Run with = RunCli({"preview", "--alpha", "--palette-alpha", png, "--output", output});
    ASSERT_EQ(with.status, 0) << with.errors;
    std::shared_ptr<const Picture> key;
    ASSERT_EQ(LoadPicture(m_api, output.c_str(), &key), 0);
    EXPECT_EQ(key->width, 1920);
    // Black where the palette entry is transparent, white elsewhere: both are present.
    bool black = false;
    bool white = false;
    for (uint8_t value : key->colour) {
        black = black || value <= 16;
        white = white || value >= 235;
    }
    EXPECT_TRUE(black && white);
}
