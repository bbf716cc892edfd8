// imgcast-cli against switcher-emu: exit statuses, messages on standard error, files in and out.
#include <dlfcn.h>

#include <gtest/gtest.h>

#include "tests/support/child_process.h"
#include "tests/link/job_fixtures.h"

namespace {

using SavePngFn = int (*)(const char*, int, int, int, const unsigned char*);

// Pictures written through the library itself: a colour BMP and a PNG with alpha.
class CliTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ASSERT_EQ(BindImgPort(&m_api), BindResult::Bound);
        std::vector<uint8_t> pixels(64 * 48 * 4);
        for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<uint8_t>(i * 13);
        ASSERT_EQ(m_api.saveImageBmp(m_folder.File("colour.bmp").c_str(), 64, 48, pixels.data()),
                  0);
        void* library = ::dlopen(ProgramPath("libImgPort.so").c_str(), RTLD_NOW);
        ASSERT_NE(library, nullptr);
        auto savePng = reinterpret_cast<SavePngFn>(::dlsym(library, "ZorGdipSaveImagePNG"));
        ASSERT_NE(savePng, nullptr);
        ASSERT_EQ(savePng(m_folder.File("alpha.png").c_str(), 64, 48, 4, pixels.data()), 0);
    }

    struct Run {
        int status;
        std::string errors;
    };
    Run RunCli(std::vector<std::string> arguments)
    {
        CChildProcess cli(ProgramPath("imgcast-cli"), arguments);
        int status = cli.Wait();
        return {status, cli.Errors()};
    }
    static std::vector<std::string> At(uint16_t port, std::vector<std::string> arguments)
    {
        arguments.insert(arguments.begin() + 1,
                         {"--host", "127.0.0.1", "--port", std::to_string(port), "--timeout", "5"});
        return arguments;
    }

    ImgPortApi m_api;
    CTemporaryFolder m_folder;
};

}  // namespace

TEST_F(CliTest, SendThenGetGivesThePictureBack)
{
    CEmulatorProcess emulator;
    Run sent =
        RunCli(At(emulator.Port(), {"send", "--raster", "SD576", m_folder.File("colour.bmp")}));
    EXPECT_EQ(sent.status, 0);
    EXPECT_EQ(sent.errors, "");
    const std::string output = m_folder.File("back.bmp");
    Run got = RunCli(At(emulator.Port(), {"get", "--output", output}));
    EXPECT_EQ(got.status, 0);
    EXPECT_EQ(got.errors, "");

    // The file holds the decoded frame: load it back and compare with the frame decoded here.
    std::shared_ptr<const Picture> back;
    ASSERT_EQ(LoadPicture(m_api, output.c_str(), &back), 0);
    EXPECT_EQ(back->width, 720);
    EXPECT_EQ(back->height, 576);
    std::shared_ptr<const Picture> original;
    ASSERT_EQ(LoadPicture(m_api, m_folder.File("colour.bmp").c_str(), &original), 0);
    const std::vector<uint8_t> frame =
        ExpectedFrame(*original, original->colour, OutputRaster::SD576, AspectMode::Full);
    auto expected = PictureFromFrame(frame.data(), 576, 720);
    EXPECT_TRUE(back->colour == expected->colour);
}

TEST_F(CliTest, PairSendsAlphaToFmem2)
{
    CEmulatorProcess emulator;
    Run sent =
        RunCli(At(emulator.Port(), {"send", "--pair", "--keep", m_folder.File("alpha.png")}));
    EXPECT_EQ(sent.status, 0) << sent.errors;
    std::shared_ptr<const Picture> picture;
    ASSERT_EQ(LoadPicture(m_api, m_folder.File("alpha.png").c_str(), &picture), 0);
    ASSERT_TRUE(picture->HasAlpha());
    EXPECT_TRUE(ReadFrameMemoryBytes(emulator.Port(), false) ==
                ExpectedFrame(*picture, picture->alpha, OutputRaster::HD1080, AspectMode::Keep));
    TakeCompletionSignals();
}

TEST_F(CliTest, RefusalsAndFailures)
{
    CEmulatorProcess emulator;
    const std::string colour = m_folder.File("colour.bmp");
    Run noAlpha = RunCli(At(emulator.Port(), {"send", "--pair", colour}));
    EXPECT_EQ(noAlpha.status, 1);
    EXPECT_EQ(noAlpha.errors, std::string(kNoAlphaForPair) + "\n");
    Run noFile = RunCli(At(emulator.Port(), {"send", m_folder.File("missing.png")}));
    EXPECT_EQ(noFile.status, 1);
    EXPECT_EQ(noFile.errors, "File read error!!\n");
    Run empty =
        RunCli(At(emulator.Port(), {"get", "--fmem", "2", "--output", m_folder.File("x.bmp")}));
    EXPECT_EQ(empty.status, kFmemEmpty);
    EXPECT_EQ(empty.errors, "FMEM is empty\n");
    EXPECT_EQ(emulator.Process().Output().find("write"), std::string::npos)
        << "nothing was sent by the refused commands";
    ASSERT_EQ(RunCli(At(emulator.Port(), {"send", colour})).status, 0);
    Run unwritable = RunCli(At(emulator.Port(), {"get", "--output", m_folder.File("no/x.bmp")}));
    EXPECT_EQ(unwritable.status, 1);
    EXPECT_EQ(unwritable.errors, "Cannot write " + m_folder.File("no/x.bmp") + "\n");

    Run nobody = RunCli(At(UnusedPort(), {"send", colour}));
    EXPECT_EQ(nobody.status, kServerConnectError);
    EXPECT_EQ(nobody.errors, "server connect error\n");
}

TEST_F(CliTest, BusySwitcher)
{
    CEmulatorProcess emulator({"--busy"});
    Run sent = RunCli(At(emulator.Port(), {"send", m_folder.File("colour.bmp")}));
    EXPECT_EQ(sent.status, kWriteBusy);
    EXPECT_EQ(sent.errors, "qx700 is processing now!!\n");
    Run got = RunCli(At(emulator.Port(), {"get", "--output", m_folder.File("x.bmp")}));
    EXPECT_EQ(got.status, kReadBusy);
    EXPECT_EQ(got.errors, "qx700 is processing now!!\n");
}

TEST_F(CliTest, CommandLineErrors)
{
    EXPECT_EQ(RunCli({"--help"}).status, 0);
    EXPECT_EQ(RunCli({}).status, 64);
    EXPECT_EQ(RunCli({"send"}).status, 64);
    EXPECT_EQ(RunCli({"get"}).status, 64);
    EXPECT_EQ(RunCli({"send", "--raster", "HD999", "x.png"}).status, 64);
    EXPECT_EQ(RunCli({"send", "--host", "192.168.0", "x.png"}).status, 64);
    EXPECT_EQ(RunCli({"send", "--fmem", "3", "x.png"}).status, 64);
    EXPECT_EQ(RunCli({"get", "--keep", "--output", "x.bmp"}).status, 64);
    EXPECT_EQ(RunCli({"send", "--port", "0", "x.png"}).status, 64);
}
