// imgcast-cli against switcher-emu: exit statuses, messages on standard error, files in and out.
#include <fstream>
#include <regex>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "tests/link/cli_fixtures.h"

namespace {

// The frame of `height` × `width` with a pattern, as the switcher would hold it.
std::vector<uint8_t> PatternFrame(int height, int width)
{
    std::vector<uint8_t> frame(static_cast<size_t>(height) * width * 2);
    for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(16 + i * 7 % 220);
    return frame;
}

// Writes a store file for switcher-emu --store: the size header, then the frame.
void WriteStoreFile(const std::string& path, const std::vector<uint8_t>& frame, uint16_t height,
                    uint16_t width)
{
    const SizeHeader header = PackSizeHeader(width, height);
    std::ofstream file(path, std::ios::binary);
    file.write(reinterpret_cast<const char*>(header.bytes), sizeof header.bytes);
    file.write(reinterpret_cast<const char*>(frame.data()),
               static_cast<std::streamsize>(frame.size()));
}

}  // namespace

TEST_F(CliTest, SendThenGetGivesThePictureBack)
{
    CEmulatorProcess emulator;
    Run sent =
        RunCli(At(emulator.Port(), {"send", "--raster", "SD576", m_folder.File("colour.bmp")}));
    EXPECT_EQ(sent.status, 0);
    EXPECT_EQ(sent.errors, "");
    EXPECT_EQ(sent.output, "") << "the resampler's trace lines are dropped";
    const std::string output = m_folder.File("back.bmp");
    Run got = RunCli(At(emulator.Port(), {"get", "--output", output}));
    EXPECT_EQ(got.status, 0);
    EXPECT_EQ(got.errors, "");
    EXPECT_EQ(got.output, "");

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

TEST_F(CliTest, TraceLinesGoToStandardErrorWithVerbose)
{
    CEmulatorProcess emulator;
    Run sent = RunCli(At(emulator.Port(),
                         {"send", "--verbose", "--raster", "SD576", m_folder.File("colour.bmp")}));
    EXPECT_EQ(sent.status, 0);
    EXPECT_EQ(sent.output, "");
    EXPECT_EQ(sent.errors, "old size\t64  48 \nnew size\t720  576 \n");
}

TEST_F(CliTest, PairSendsAlphaToFmem2)
{
    CEmulatorProcess emulator;
    Run sent =
        RunCli(At(emulator.Port(), {"send", "--pair", "--keep", m_folder.File("alpha.png")}));
    EXPECT_EQ(sent.status, 0) << sent.errors;
    EXPECT_EQ(sent.output, "");
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
    Run empty =
        RunCli(At(emulator.Port(), {"get", "--fmem", "2", "--output", m_folder.File("x.bmp")}));
    EXPECT_EQ(empty.status, kFmemEmpty);
    EXPECT_EQ(empty.errors, "FMEM is empty\n");
    EXPECT_EQ(emulator.Process().Output().find("write"), std::string::npos)
        << "nothing was sent by the refused commands";

    Run nobody = RunCli(At(UnusedPort(), {"send", colour}));
    EXPECT_EQ(nobody.status, kServerConnectError);
    EXPECT_EQ(nobody.errors, "server connect error\n");
}

// A file that cannot be loaded or saved: a line naming the file and the reason, then the message.
TEST_F(CliTest, FileErrorsNameTheFileAndTheReason)
{
    CEmulatorProcess emulator;
    ASSERT_EQ(::mkdir(m_folder.File("folder.bmp").c_str(), 0755), 0);
    std::ofstream(m_folder.File("text.png")) << "not a picture\n";
    std::ofstream(m_folder.File("empty.png"));
    struct Load {
        std::string file;
        std::string reason;
    };
    for (const Load& load : std::vector<Load>{
             {m_folder.File("missing.png"), "no such file"},
             {m_folder.File("folder.bmp"), "is a folder"},
             {m_folder.File("empty.png"), "empty file"},
             {m_folder.File("text.png"),
              "not a picture that can be read (TIFF, JPEG, PNG, BMP or GIF)"},
             {m_folder.File("colour.bmp/x.png"), "a part of the path is not a folder"},
         }) {
        Run run = RunCli(At(emulator.Port(), {"send", load.file}));
        EXPECT_EQ(run.status, 1) << load.file;
        EXPECT_EQ(run.errors,
                  "imgcast-cli: " + load.file + ": " + load.reason + "\nFile read error!!\n");
    }
    EXPECT_EQ(emulator.Process().Output().find("write"), std::string::npos);

    ASSERT_EQ(RunCli(At(emulator.Port(), {"send", m_folder.File("colour.bmp")})).status, 0);
    struct Save {
        std::string file;
        std::string reason;
    };
    for (const Save& save : std::vector<Save>{
             {"/nonexistent-dir/x.bmp", "no such folder"},
             {m_folder.File("no/x.bmp"), "no such folder"},
             {m_folder.File("folder.bmp"), "is a folder"},
             {m_folder.File("colour.bmp/x.png"), "a part of the path is not a folder"},
             {m_folder.File(std::string(600, 'x') + ".bmp"), "path longer than 511 bytes"},
         }) {
        Run run = RunCli(At(emulator.Port(), {"get", "--output", save.file}));
        EXPECT_EQ(run.status, 1) << save.file;
        EXPECT_EQ(run.errors, "imgcast-cli: " + save.file + ": " + save.reason + "\nCannot write " +
                                  save.file + "\n");
    }
    EXPECT_TRUE(std::filesystem::is_directory(m_folder.File("folder.bmp")));
}

// The extension picks the library's saver, whatever its case.
TEST_F(CliTest, GetSavesTheFormatTheExtensionNames)
{
    CEmulatorProcess emulator;
    ASSERT_EQ(RunCli(At(emulator.Port(),
                        {"send", "--raster", "SD576", "--keep", m_folder.File("colour.bmp")}))
                  .status,
              0);
    const std::vector<uint8_t> frame = ReadFrameMemoryBytes(emulator.Port(), true);
    ASSERT_EQ(frame.size(), 720u * 576 * 2);
    auto expected = PictureFromFrame(frame.data(), 576, 720);

    struct Case {
        std::string name;
        std::string magic;
        bool lossless;
    };
    for (const Case& format : std::vector<Case>{
             {"f.bmp", "BM", true},
             {"f.BMP", "BM", true},
             {"f.png", "\x89PNG", true},
             {"f.Png", "\x89PNG", true},
             {"f.jpg", "\xFF\xD8\xFF", false},
             {"f.JPEG", "\xFF\xD8\xFF", false},
             {"f.tif", "", true},
             {"f.TIFF", "", true},
         }) {
        const std::string path = m_folder.File(format.name);
        Run got = RunCli(At(emulator.Port(), {"get", "--output", path}));
        ASSERT_EQ(got.status, 0) << format.name << ": " << got.errors;
        EXPECT_EQ(got.errors, "");
        const std::string bytes = ReadFile(path);
        if (format.magic.empty()) {
            EXPECT_TRUE(bytes.rfind("II*", 0) == 0 || bytes.rfind("MM", 0) == 0) << format.name;
        } else {
            EXPECT_EQ(bytes.rfind(format.magic, 0), 0u) << format.name;
        }
        std::shared_ptr<const Picture> back;
        ASSERT_EQ(LoadPicture(m_api, path.c_str(), &back), 0) << format.name;
        EXPECT_EQ(back->width, 720);
        EXPECT_EQ(back->height, 576);
        EXPECT_FALSE(back->HasAlpha()) << format.name;
        if (format.lossless) {
            EXPECT_TRUE(back->colour == expected->colour) << format.name;
        }
    }
}

// --output - writes the very bytes the BMP saver writes to a file, also for a width whose rows
// the picture pads, and leaves nothing in the temporary folder.
TEST_F(CliTest, BmpOnStandardOutputEqualsTheSaversFile)
{
    CTemporaryFolder store;
    const std::vector<uint8_t> odd = PatternFrame(7, 101);
    WriteStoreFile(store.File("fmem2.ycbcr"), odd, 7, 101);
    CEmulatorProcess emulator({"--store", store.Path()});
    ASSERT_EQ(RunCli(At(emulator.Port(), {"send", "--raster", "HD720", m_folder.File("alpha.png")}))
                  .status,
              0);

    const std::string temporary = m_folder.File("tmp");
    ASSERT_EQ(::mkdir(temporary.c_str(), 0755), 0);
    const bool ownTemporary = std::getenv("TMPDIR") == nullptr;
    CChildProcess toOutput(ProgramPath("imgcast-cli"),
                           At(emulator.Port(), {"get", "--output", "-"}),
                           Environment({"TMPDIR=" + temporary}));
    ASSERT_EQ(toOutput.Wait(), 0) << toOutput.Errors();
    EXPECT_EQ(toOutput.Errors(), "");
    const std::string file = m_folder.File("file.bmp");
    ASSERT_EQ(RunCli(At(emulator.Port(), {"get", "--output", file})).status, 0);
    EXPECT_EQ(toOutput.Output().size(), 54u + 1280 * 720 * 3);
    EXPECT_TRUE(toOutput.Output() == ReadFile(file));
    if (ownTemporary) {
        EXPECT_TRUE(std::filesystem::is_empty(temporary));
    }

    Run padded = RunCli(At(emulator.Port(), {"get", "--fmem", "2", "--output", "-"}));
    ASSERT_EQ(padded.status, 0) << padded.errors;
    std::vector<uint8_t> packed(101 * 3 * 7);
    DecodeFrame(odd.data(), packed.data(), 7, 101);
    const std::string reference = m_folder.File("reference.bmp");
    ASSERT_EQ(m_api.saveImageBmp(reference.c_str(), 101, 7, packed.data()), 0);
    EXPECT_TRUE(padded.output == ReadFile(reference));
}

TEST_F(CliTest, HostNamesAndOptionForms)
{
    CEmulatorProcess emulator;
    const std::string port = std::to_string(emulator.Port());
    // Operands before options, --option=value.
    Run named = RunCli({"send", m_folder.File("colour.bmp"), "--raster=SD480", "--host=localhost",
                        "--port=" + port, "--timeout=5"});
    EXPECT_EQ(named.status, 0) << named.errors;
    uint16_t width = 0, height = 0;
    EXPECT_FALSE(ReadFrameMemoryBytes(emulator.Port(), true, nullptr, &width, &height).empty());
    EXPECT_EQ(width, 720);
    EXPECT_EQ(height, 487);

    // After -- every word is an operand, even one that looks like an option.
    Run operand = RunCli(At(emulator.Port(), {"send", "--", "--keep"}));
    EXPECT_EQ(operand.status, 1);
    EXPECT_EQ(operand.errors, "imgcast-cli: --keep: no such file\nFile read error!!\n");
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

TEST_F(CliTest, HelpAndVersion)
{
    for (const std::vector<std::string>& arguments :
         std::vector<std::vector<std::string>>{{"--help"},
                                               {"-h"},
                                               {"help"},
                                               {"send", "-h"},
                                               {"get", "--output", "x.bmp", "--help"}}) {
        Run help = RunCli(arguments);
        EXPECT_EQ(help.status, 0) << arguments[0];
        EXPECT_EQ(help.output.rfind("usage: imgcast-cli send", 0), 0u) << arguments[0];
        for (const char* part : {"--retry N", "--verify", "--palette-alpha", "--alpha",
                                 "imgcast-cli preview", "imgcast-cli watch", "journal [-n N]",
                                 "120 FMEM N does not hold the picture that was sent"})
            EXPECT_NE(help.output.find(part), std::string::npos) << part;
        EXPECT_EQ(help.errors, "");
    }
    for (const std::vector<std::string>& arguments :
         std::vector<std::vector<std::string>>{{"--version"}, {"send", "--version"}}) {
        Run version = RunCli(arguments);
        EXPECT_EQ(version.status, 0);
        EXPECT_TRUE(
            std::regex_match(version.output, std::regex("imgcast-cli [0-9]+(\\.[0-9]+){3}\n")))
            << version.output;
    }
}

// Every command line that cannot be understood ends with status 64 and a line saying why, before
// anything is connected. Rows that name a command get a local switcher nobody listens on, so that
// a line understood by mistake cannot reach any other address.
TEST_F(CliTest, CommandLineErrors)
{
    struct Case {
        std::vector<std::string> arguments;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{}, "a command expected: send, get, preview, watch or journal"},
        {{"frobnicate"}, "unknown command frobnicate"},
        {{"--host", "127.0.0.1", "send", "x.png"},
         "a command (send, get, preview, watch, journal) expected before the options"},
        {{"send"}, "send needs a picture FILE"},
        {{"send", "a.png", "b.png"}, "unexpected argument b.png"},
        {{"get"}, "get needs --output FILE"},
        {{"get", "--output", "x.bmp", "extra"}, "unexpected argument extra"},
        {{"send", "--raster", "HD999", "x.png"}, "unknown raster HD999"},
        {{"send", "--host", "192.168.0", "x.png"}, "192.168.0 is not an IPv4 address A.B.C.D"},
        {{"send", "--host=", "x.png"}, "--host needs an IPv4 address or a host name"},
        {{"send", "--fmem", "3", "x.png"}, "--fmem takes 1 or 2, not 3"},
        {{"get", "--keep", "--output", "x.bmp"}, "--keep is not an option of get"},
        {{"send", "--output", "x.bmp", "x.png"}, "--output is not an option of send"},
        {{"send", "--port", "0", "x.png"}, "0 is not a port number 1 to 65535"},
        {{"send", "--port", "65536", "x.png"}, "65536 is not a port number 1 to 65535"},
        {{"send", "--timeout", "0", "x.png"}, "0 is not a time in seconds"},
        {{"send", "--retry", "-1", "x.png"}, "--retry takes a count 0 to 1000, not -1"},
        {{"send", "--retry", "2x", "x.png"}, "--retry takes a count 0 to 1000, not 2x"},
        {{"send", "--keep=1", "x.png"}, "--keep takes no value"},
        {{"send", "x.png", "--raster"}, "--raster needs a value"},
        {{"send", "--bogus", "x.png"}, "--bogus is not an option of send"},
        {{"send", "-x", "x.png"}, "-x is not an option of send"},
        {{"send", "--p", "1", "x.png"}, "--p is ambiguous (--port, --pair, --palette-alpha)"},
        {{"get", "--verify", "--output", "x.bmp"}, "--verify is not an option of get"},
        {{"get", "--palette-alpha", "--output", "x.bmp"},
         "--palette-alpha is not an option of get"},
        {{"send", "--alpha", "x.png"}, "--alpha is not an option of send"},
        {{"send", "-n", "3", "x.png"}, "-n is not an option of send"},
        {{"watch"}, "watch needs a folder DIR"},
        {{"watch", "a", "b"}, "unexpected argument b"},
        {{"watch", "--output", "x.bmp", "dir"}, "--output is not an option of watch"},
        {{"preview", "x.png"}, "preview needs --output FILE"},
        {{"preview", "--output", "x.bmp"}, "preview needs a picture FILE"},
        {{"preview", "--host", "127.0.0.1", "--output", "x.bmp", "x.png"},
         "--host is not an option of preview"},
        {{"preview", "--pair", "--output", "x.bmp", "x.png"}, "--pair is not an option of preview"},
        {{"preview", "--output", "x.gif", "x.png"}, "cannot tell the format of x.gif"},
        {{"journal", "-n", "0"}, "-n takes a count 1 to 1000000, not 0"},
        {{"journal", "-n"}, "-n needs a value"},
        {{"journal", "extra"}, "unexpected argument extra"},
        {{"journal", "--fmem", "1"}, "--fmem is not an option of journal"},
        {{"get", "--output", "x.gif"}, "cannot tell the format of x.gif"},
        {{"get", "--output", "frame"}, "cannot tell the format of frame"},
        {{"get", "--output", "frame.bmp.part"}, "cannot tell the format of frame.bmp.part"},
    };
    const std::string unused = std::to_string(UnusedPort());
    for (const Case& row : cases) {
        std::vector<std::string> arguments = row.arguments;
        if (!arguments.empty() &&
            (arguments[0] == "send" || arguments[0] == "get" || arguments[0] == "watch"))
            arguments.insert(arguments.begin() + 1, {"--host", "127.0.0.1", "--port", unused});
        Run run = RunCli(arguments);
        const std::string line = row.arguments.empty() ? "" : row.arguments[0];
        EXPECT_EQ(run.status, 64) << line << " → " << run.errors;
        EXPECT_EQ(run.errors.rfind("imgcast-cli: " + row.message, 0), 0u) << run.errors;
        EXPECT_NE(run.errors.find("\n(imgcast-cli --help explains the options)\n"),
                  std::string::npos);
        EXPECT_EQ(run.output, "");
    }
}
