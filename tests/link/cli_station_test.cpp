// imgcast-cli with the station settings file, the transfer journal, --verify and --palette-alpha,
// observed through switcher-emu.
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "picture/palette_alpha.h"
#include "station/transfer_journal.h"
#include "tests/link/cli_fixtures.h"
#include "tests/support/corpus.h"

namespace {

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) lines.push_back(line);
    return lines;
}

size_t Occurrences(const std::string& text, const std::string& part)
{
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

}  // namespace

// Each key of the file takes effect when no option names it: what the emulator holds shows it.
// The rows give the emulator's port on the command line unless the file names it.
TEST_F(CliTest, SettingsFileKeysTakeEffect)
{
    std::shared_ptr<const Picture> colour;
    ASSERT_EQ(LoadPicture(m_api, m_folder.File("colour.bmp").c_str(), &colour), 0);
    struct Case {
        std::string settings;  // "@PORT@" stands for the emulator's port
        bool portInFile;
        bool fmem1;  // where the frame must land
        OutputRaster raster;
        AspectMode aspect;
    };
    const std::vector<Case> cases = {
        {"", false, true, OutputRaster::HD1080, AspectMode::Full},
        {"[General]\nRaster=720x576\n", false, true, OutputRaster::SD576, AspectMode::Full},
        {"Raster=1280x720\n", false, true, OutputRaster::HD720, AspectMode::Full},
        {"[General]\nFmem=2\n", false, false, OutputRaster::HD1080, AspectMode::Full},
        {"[General]\nAspect=Keep\nRaster=720x487\n", false, true, OutputRaster::SD480,
         AspectMode::Keep},
        {"[General]\nPort=@PORT@\n", true, true, OutputRaster::HD1080, AspectMode::Full},
    };
    for (const Case& row : cases) {
        CEmulatorProcess emulator;
        const std::string port = std::to_string(emulator.Port());
        std::string text = row.settings;
        if (const size_t at = text.find("@PORT@"); at != std::string::npos)
            text.replace(at, 6, port);
        WriteSettings(UserSettingsFile(), text);
        std::vector<std::string> arguments = {"send", "--host", "127.0.0.1"};
        if (!row.portInFile) arguments.insert(arguments.end(), {"--port", port});
        arguments.push_back(m_folder.File("colour.bmp"));
        Run sent = RunCli(arguments);
        ASSERT_EQ(sent.status, 0) << text << sent.errors;
        EXPECT_EQ(sent.errors, "") << text;
        EXPECT_TRUE(ReadFrameMemoryBytes(emulator.Port(), row.fmem1) ==
                    ExpectedFrame(*colour, colour->colour, row.raster, row.aspect))
            << text;
        EXPECT_TRUE(ReadFrameMemoryBytes(emulator.Port(), !row.fmem1).empty()) << text;
    }
}

// Address in the file reaches the emulator without --host (the file is the test's own, naming
// 127.0.0.1 only); an option beats the file, the user file beats the system file, and a key only
// the system file has still applies.
TEST_F(CliTest, SettingsPrecedence)
{
    CEmulatorProcess emulator;
    const std::string port = std::to_string(emulator.Port());
    const std::string colour = m_folder.File("colour.bmp");
    uint16_t width = 0;
    uint16_t height = 0;

    WriteSettings(UserSettingsFile(), "[General]\nAddress=127.0.0.1\nPort=" + port + "\n");
    Run fromFile = RunCli({"send", colour});
    ASSERT_EQ(fromFile.status, 0) << fromFile.errors;
    EXPECT_FALSE(ReadFrameMemoryBytes(emulator.Port(), true).empty());

    WriteSettings(UserSettingsFile(), "[General]\nRaster=720x576\nFmem=2\n");
    Run option = RunCli({"send", "--host", "127.0.0.1", "--port", port, "--raster", "HD720",
                         "--fmem", "1", colour});
    ASSERT_EQ(option.status, 0) << option.errors;
    ReadFrameMemoryBytes(emulator.Port(), true, nullptr, &width, &height);
    EXPECT_EQ(width, 1280);
    EXPECT_EQ(height, 720);

    WriteSettings(SystemSettingsFile(), "[General]\nRaster=720x487\nFmem=2\n");
    WriteSettings(UserSettingsFile(), "[General]\nRaster=720x576\n");
    Run layered = RunCli({"send", "--host", "127.0.0.1", "--port", port, colour});
    ASSERT_EQ(layered.status, 0) << layered.errors;
    ReadFrameMemoryBytes(emulator.Port(), false, nullptr, &width, &height);
    EXPECT_EQ(width, 720);
    EXPECT_EQ(height, 576);
}

// A broken line is reported once, with the file and line, and everything else goes on.
TEST_F(CliTest, BrokenSettingsFileIsReportedOnceAndTheSendGoesOn)
{
    CEmulatorProcess emulator;
    WriteSettings(UserSettingsFile(), "[General]\nRaster=720x576\nPort=70000\n");
    Run sent = RunCli(At(emulator.Port(), {"send", m_folder.File("colour.bmp")}));
    EXPECT_EQ(sent.status, 0) << sent.errors;
    const std::vector<std::string> lines = Lines(sent.errors);
    ASSERT_EQ(lines.size(), 1u) << sent.errors;
    EXPECT_EQ(lines[0].rfind("imgcast-cli: " + UserSettingsFile() + ":3: Port:", 0), 0u)
        << lines[0];
    uint16_t width = 0;
    uint16_t height = 0;
    ReadFrameMemoryBytes(emulator.Port(), true, nullptr, &width, &height);
    EXPECT_EQ(width, 720) << "the good line still counts";
    EXPECT_EQ(height, 576);

    // A file that is a folder is one problem of the file as a whole; commands that contact no
    // switcher report it too.
    std::filesystem::remove(UserSettingsFile());
    std::filesystem::create_directories(UserSettingsFile());
    Run journal = RunCli({"journal"});
    EXPECT_EQ(journal.status, 0);
    EXPECT_EQ(Occurrences(journal.errors, UserSettingsFile()), 1u) << journal.errors;
}

// IdleTimeout bounds a stalled exchange when --timeout is not given (the default is 10 s).
TEST_F(CliTest, SettingsTimeLimitsReachTheLink)
{
    CEmulatorProcess emulator({"--stall"});
    WriteSettings(UserSettingsFile(), "[General]\nIdleTimeout=0.3\nConnectTimeout=2\n");
    Run sent = RunCli({"send", "--host", "127.0.0.1", "--port", std::to_string(emulator.Port()),
                       m_folder.File("colour.bmp")});
    EXPECT_NE(sent.status, 0);
    std::vector<std::string> lines = Lines(ReadFile(JournalFile()));
    ASSERT_EQ(lines.size(), 1u);
    JournalEntry entry;
    ASSERT_TRUE(ParseJournalLine(lines[0], &entry));
    EXPECT_EQ(entry.result, sent.status);
    EXPECT_LT(entry.milliseconds, 5000) << "the stall was not cut short by IdleTimeout";
}

// A send and a failing get each add one line with what was done and how it ended.
TEST_F(CliTest, JournalRecordsEverySendAndGet)
{
    CEmulatorProcess emulator;
    const std::string colour = m_folder.File("colour.bmp");
    ASSERT_EQ(RunCli(At(emulator.Port(), {"send", "--keep", "--raster", "SD576", colour})).status,
              0);
    const std::string output = m_folder.File("never.bmp");
    Run empty = RunCli(At(emulator.Port(), {"get", "--fmem", "2", "--output", output}));
    ASSERT_EQ(empty.status, kFmemEmpty);
    ASSERT_EQ(RunCli(At(emulator.Port(), {"get", "--output", output})).status, 0);
    ASSERT_EQ(RunCli(At(emulator.Port(), {"send", "--pair", m_folder.File("alpha.png")})).status,
              0);

    const std::vector<std::string> lines = Lines(ReadFile(JournalFile()));
    ASSERT_EQ(lines.size(), 4u);
    std::vector<JournalEntry> entries(4);
    for (size_t i = 0; i < lines.size(); ++i)
        ASSERT_TRUE(ParseJournalLine(lines[i], &entries[i])) << lines[i];
    for (const JournalEntry& entry : entries) {
        EXPECT_EQ(entry.program, "imgcast-cli");
        EXPECT_EQ(entry.host, "127.0.0.1");
        EXPECT_EQ(entry.port, emulator.Port());
        EXPECT_GE(entry.milliseconds, 0);
        EXPECT_GT(entry.timeMilliseconds, 0);
    }
    const JournalEntry& sent = entries[0];
    EXPECT_TRUE(sent.send);
    EXPECT_EQ(sent.fmem, 1);
    EXPECT_FALSE(sent.pair);
    EXPECT_EQ(sent.file, colour);
    EXPECT_EQ(sent.width, 720);
    EXPECT_EQ(sent.height, 576);
    EXPECT_TRUE(sent.keepAspect);
    EXPECT_EQ(sent.result, 0);
    EXPECT_EQ(sent.message, "");
    EXPECT_EQ(sent.bytes, 720 * 576 * 2);

    const JournalEntry& failed = entries[1];
    EXPECT_FALSE(failed.send);
    EXPECT_EQ(failed.fmem, 2);
    EXPECT_EQ(failed.file, "");
    EXPECT_EQ(failed.width, 0);
    EXPECT_EQ(failed.result, kFmemEmpty);
    EXPECT_EQ(failed.message, "FMEM is empty");
    EXPECT_EQ(failed.bytes, 0);

    const JournalEntry& got = entries[2];
    EXPECT_FALSE(got.send);
    EXPECT_EQ(got.file, output);
    EXPECT_EQ(got.width, 720);
    EXPECT_EQ(got.height, 576);
    EXPECT_EQ(got.result, 0);
    EXPECT_EQ(got.bytes, 720 * 576 * 2);

    EXPECT_TRUE(entries[3].pair);
    EXPECT_NE(lines[3].find("\"fmem\":\"1+2\""), std::string::npos) << lines[3];
    EXPECT_EQ(entries[3].bytes, int64_t{1920} * 1080 * 2 * 2);

    // journal -n 1 prints the last entry as FormatJournalEntry shows it; without -n all four.
    Run last = RunCli({"journal", "-n", "1"});
    EXPECT_EQ(last.status, 0) << last.errors;
    EXPECT_EQ(last.output, FormatJournalEntry(entries[3]) + "\n");
    Run all = RunCli({"journal"});
    EXPECT_EQ(Lines(all.output).size(), 4u);
    EXPECT_EQ(Lines(all.output)[1], FormatJournalEntry(entries[1]));
}

// A journal that cannot be written (its state folder is a regular file) is reported once; the
// transfer's status is what it would be without it.
TEST_F(CliTest, UnwritableJournalIsReportedOnceAndChangesNoStatus)
{
    CEmulatorProcess emulator;
    const std::string blocker = m_folder.File("state-file");
    std::ofstream(blocker) << "a file, not a folder\n";
    const std::vector<std::string> environment = {"XDG_STATE_HOME=" + blocker};
    Run sent = RunCli(At(emulator.Port(), {"send", m_folder.File("colour.bmp")}), environment);
    EXPECT_EQ(sent.status, 0);
    EXPECT_EQ(Lines(sent.errors).size(), 1u) << sent.errors;
    EXPECT_EQ(sent.errors.rfind("imgcast-cli: Transfer journal ", 0), 0u) << sent.errors;
    EXPECT_FALSE(ReadFrameMemoryBytes(emulator.Port(), true).empty());

    Run got = RunCli(At(emulator.Port(), {"get", "--fmem", "2", "--output", "x.bmp"}), environment);
    EXPECT_EQ(got.status, kFmemEmpty);
    EXPECT_EQ(Occurrences(got.errors, "Transfer journal "), 1u) << got.errors;
    EXPECT_NE(got.errors.find("FMEM is empty\n"), std::string::npos);
}

// --verify (or Verify=true) reads each frame memory back: an emulator that keeps a changed frame
// fails with 120 and names the frame memory; a sound one passes.
TEST_F(CliTest, VerifyCatchesAFrameMemoryThatDiffers)
{
    const std::string colour = m_folder.File("colour.bmp");
    const std::string alpha = m_folder.File("alpha.png");
    struct Case {
        std::vector<std::string> options;
        std::string settings;
        bool corrupt;
        int status;
        std::string errors;
    };
    const std::vector<Case> cases = {
        {{"--verify", colour},
         "",
         true,
         kVerifyFailed,
         "FMEM 1 does not hold the picture that was sent\n"},
        {{"--verify", "--fmem", "2", colour},
         "",
         true,
         kVerifyFailed,
         "FMEM 2 does not hold the picture that was sent\n"},
        {{"--verify", "--pair", alpha},
         "",
         true,
         kVerifyFailed,
         "FMEM 1 does not hold the picture that was sent\n"},
        {{colour},
         "[General]\nVerify=true\n",
         true,
         kVerifyFailed,
         "FMEM 1 does not hold the picture that was sent\n"},
        {{colour}, "", true, 0, ""},  // without verification the change goes unnoticed
        {{"--verify", colour}, "", false, 0, ""},
        {{"--verify", "--pair", alpha}, "", false, 0, ""},
    };
    for (const Case& row : cases) {
        CEmulatorProcess emulator(row.corrupt ? std::vector<std::string>{"--corrupt-store"}
                                              : std::vector<std::string>{});
        std::filesystem::remove(UserSettingsFile());
        if (!row.settings.empty()) WriteSettings(UserSettingsFile(), row.settings);
        std::vector<std::string> arguments = row.options;
        arguments.insert(arguments.begin(), "send");
        Run sent = RunCli(At(emulator.Port(), arguments));
        EXPECT_EQ(sent.status, row.status) << row.options[0] << " " << sent.errors;
        EXPECT_EQ(sent.errors, row.errors) << row.options[0];
    }
    const std::vector<std::string> lines = Lines(ReadFile(JournalFile()));
    ASSERT_EQ(lines.size(), cases.size());
    JournalEntry first;
    ASSERT_TRUE(ParseJournalLine(lines[0], &first));
    EXPECT_EQ(first.result, kVerifyFailed);
    EXPECT_EQ(first.message, "FMEM 1 does not hold the picture that was sent");
}

// A palette PNG with tRNS has no alpha as ImgPort loads it; --palette-alpha (or PaletteAlpha=true)
// makes it a pair whose key frame is the transparency. A picture with nothing to add is said so
// and goes on as without the option.
TEST_F(CliTest, PaletteAlphaMakesATransparentPngAPair)
{
    SKIP_WITHOUT_CORPUS();
    const std::string png = CorpusDir() + "/pngsuite/tbbn3p08.png";
    std::shared_ptr<const Picture> loaded;
    ASSERT_EQ(LoadPicture(m_api, png.c_str(), &loaded), 0);
    ASSERT_FALSE(loaded->HasAlpha());
    std::shared_ptr<const Picture> withAlpha;
    ASSERT_EQ(AddPaletteAlpha(png.c_str(), *loaded, &withAlpha), kPaletteAlphaAdded);
    const std::vector<uint8_t> key =
        ExpectedFrame(*withAlpha, withAlpha->alpha, OutputRaster::HD720, AspectMode::Keep);
    const std::vector<uint8_t> fill =
        ExpectedFrame(*withAlpha, withAlpha->colour, OutputRaster::HD720, AspectMode::Keep);

    CEmulatorProcess emulator;
    Run refused = RunCli(At(emulator.Port(), {"send", "--pair", png}));
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.errors, std::string(kNoAlphaForPair) + "\n");
    EXPECT_TRUE(ReadFrameMemoryBytes(emulator.Port(), false).empty());

    for (const std::string& settings : {std::string(), std::string("PaletteAlpha=true\n")}) {
        CEmulatorProcess fresh;
        std::filesystem::remove(UserSettingsFile());
        std::vector<std::string> arguments = {"send", "--pair", "--raster", "HD720", "--keep", png};
        if (settings.empty())
            arguments.insert(arguments.begin() + 1, "--palette-alpha");
        else
            WriteSettings(UserSettingsFile(), settings);
        Run sent = RunCli(At(fresh.Port(), arguments));
        EXPECT_EQ(sent.status, 0) << sent.errors;
        EXPECT_EQ(sent.errors, "");
        EXPECT_TRUE(ReadFrameMemoryBytes(fresh.Port(), true) == fill) << settings;
        EXPECT_TRUE(ReadFrameMemoryBytes(fresh.Port(), false) == key) << settings;
    }

    std::filesystem::remove(UserSettingsFile());
    const std::string colour = m_folder.File("colour.bmp");
    const std::string note =
        "imgcast-cli: " + colour + ": " + PaletteAlphaText(kPaletteAlphaNothingToAdd) + "\n";
    Run plain = RunCli(At(emulator.Port(), {"send", "--palette-alpha", colour}));
    EXPECT_EQ(plain.status, 0);
    EXPECT_EQ(plain.errors, note);
    Run pair = RunCli(At(emulator.Port(), {"send", "--palette-alpha", "--pair", colour}));
    EXPECT_EQ(pair.status, 1);
    EXPECT_EQ(pair.errors, note + kNoAlphaForPair + "\n");
}
