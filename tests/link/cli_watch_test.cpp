// imgcast-cli watch DIR against switcher-emu: pictures dropped into the folder are sent one by
// one, each with a line on standard output and a journal entry.
#include <chrono>
#include <csignal>
#include <sstream>
#include <thread>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "station/transfer_journal.h"
#include "tests/link/cli_fixtures.h"

namespace {

// Lines of `text` that end with `ending`.
int CountLinesEnding(const std::string& text, const std::string& ending)
{
    int count = 0;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        if (line.size() >= ending.size() &&
            line.compare(line.size() - ending.size(), ending.size(), ending) == 0)
            ++count;
    }
    return count;
}

}  // namespace

class CliWatchTest : public CliTest {
  protected:
    void SetUp() override
    {
        CliTest::SetUp();
        ASSERT_EQ(::mkdir(m_folder.File("drop").c_str(), 0755), 0);
    }

    // Starts `imgcast-cli watch` on the drop folder with the switcher at 127.0.0.1:`port` and
    // waits until it watches.
    void StartWatch(uint16_t port, const std::vector<std::string>& more = {})
    {
        std::vector<std::string> arguments = {
            "watch", "--host", "127.0.0.1", "--port", std::to_string(port), "--timeout", "1"};
        arguments.insert(arguments.end(), more.begin(), more.end());
        arguments.push_back(Drop());
        m_watch =
            std::make_unique<CChildProcess>(ProgramPath("imgcast-cli"), arguments, Environment());
        ASSERT_EQ(m_watch->WaitForLine("watching "), "watching " + Drop()) << m_watch->Errors();
    }

    // Waits up to 10 s for `count` log lines ending in "  NAME  OUTCOME"; true when they came.
    bool WaitForLog(const std::string& name, const std::string& outcome, int count = 1)
    {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < until) {
            if (CountLinesEnding(m_watch->Output(), "  " + name + "  " + outcome) >= count)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    // Stops the watch with `signal`; returns its exit status.
    int StopWatch(int signal = SIGTERM)
    {
        m_watch->Signal(signal);
        return m_watch->Wait();
    }

    std::string Drop() const { return m_folder.File("drop"); }
    void CopyIn(const std::string& from, const std::string& name)
    {
        std::ofstream(Drop() + "/" + name, std::ios::binary) << ReadFile(from);
    }
    size_t JournalLines()
    {
        return static_cast<size_t>(CountLinesEnding(ReadFile(JournalFile()), "}"));
    }

    std::unique_ptr<CChildProcess> m_watch;
};

// A file written in pieces is sent once, after it was closed; a file renamed into the folder is
// sent; both as a send would send them, with a journal entry each.
TEST_F(CliWatchTest, SendsEachFileOnceItIsComplete)
{
    CEmulatorProcess emulator;
    StartWatch(emulator.Port(), {"--raster", "SD576"});
    std::shared_ptr<const Picture> colour;
    ASSERT_EQ(LoadPicture(m_api, m_folder.File("colour.bmp").c_str(), &colour), 0);

    const std::string bytes = ReadFile(m_folder.File("colour.bmp"));
    {
        std::ofstream slow(Drop() + "/slow.bmp", std::ios::binary);
        for (size_t at = 0; at < bytes.size(); at += bytes.size() / 4 + 1) {
            slow.write(bytes.data() + at, static_cast<std::streamsize>(
                                              std::min(bytes.size() - at, bytes.size() / 4 + 1)));
            slow.flush();
            std::this_thread::sleep_for(std::chrono::milliseconds(60));
        }
        EXPECT_EQ(CountLinesEnding(m_watch->Output(), "slow.bmp  sent"), 0)
            << "sent while still open";
    }
    ASSERT_TRUE(WaitForLog("slow.bmp", "sent")) << m_watch->Output() << m_watch->Errors();
    EXPECT_TRUE(ReadFrameMemoryBytes(emulator.Port(), true) ==
                ExpectedFrame(*colour, colour->colour, OutputRaster::SD576, AspectMode::Full));

    // Written under another name outside, then renamed in.
    std::shared_ptr<const Picture> alpha;
    ASSERT_EQ(LoadPicture(m_api, m_folder.File("alpha.png").c_str(), &alpha), 0);
    std::filesystem::rename(m_folder.File("alpha.png"), Drop() + "/moved.png");
    ASSERT_TRUE(WaitForLog("moved.png", "sent")) << m_watch->Output() << m_watch->Errors();
    EXPECT_TRUE(ReadFrameMemoryBytes(emulator.Port(), true) ==
                ExpectedFrame(*alpha, alpha->colour, OutputRaster::SD576, AspectMode::Full));

    EXPECT_EQ(StopWatch(), 0);
    EXPECT_EQ(CountLinesEnding(m_watch->Output(), "slow.bmp  sent"), 1);
    EXPECT_EQ(JournalLines(), 2u);
    JournalEntry last;
    std::istringstream journal(ReadFile(JournalFile()));
    std::string line;
    std::getline(journal, line);
    std::getline(journal, line);
    ASSERT_TRUE(ParseJournalLine(line, &last)) << line;
    EXPECT_EQ(last.file, Drop() + "/moved.png");
    EXPECT_EQ(last.width, 720);
    EXPECT_EQ(last.result, 0);
}

// A broken picture is logged as failed and the next good file is still sent; --pair works in
// the watch as in send.
TEST_F(CliWatchTest, AFailedSendDoesNotStopTheWatch)
{
    CEmulatorProcess emulator;
    StartWatch(emulator.Port(), {"--pair"});
    std::ofstream(Drop() + "/broken.png") << "not a picture\n";
    ASSERT_TRUE(WaitForLog("broken.png", "failed: File read error!!")) << m_watch->Output();
    CopyIn(m_folder.File("colour.bmp"), "plain.bmp");
    ASSERT_TRUE(WaitForLog("plain.bmp", std::string("failed: ") + kNoAlphaForPair))
        << m_watch->Output();
    CopyIn(m_folder.File("alpha.png"), "key.png");
    ASSERT_TRUE(WaitForLog("key.png", "sent")) << m_watch->Output() << m_watch->Errors();
    std::shared_ptr<const Picture> alpha;
    ASSERT_EQ(LoadPicture(m_api, m_folder.File("alpha.png").c_str(), &alpha), 0);
    EXPECT_TRUE(ReadFrameMemoryBytes(emulator.Port(), false) ==
                ExpectedFrame(*alpha, alpha->alpha, OutputRaster::HD1080, AspectMode::Full));
    EXPECT_EQ(StopWatch(SIGINT), 0);
    EXPECT_EQ(JournalLines(), 3u);
}

// With the switcher gone a file fails; once it is back on the same port the next one is sent.
TEST_F(CliWatchTest, SwitcherDownForAWhile)
{
    auto emulator = std::make_unique<CEmulatorProcess>();
    const uint16_t port = emulator->Port();
    StartWatch(port);
    CopyIn(m_folder.File("colour.bmp"), "first.bmp");
    ASSERT_TRUE(WaitForLog("first.bmp", "sent")) << m_watch->Output() << m_watch->Errors();

    emulator->Stop();
    CopyIn(m_folder.File("colour.bmp"), "second.bmp");
    ASSERT_TRUE(WaitForLog("second.bmp", "failed: server connect error")) << m_watch->Output();

    emulator = std::make_unique<CEmulatorProcess>(
        std::vector<std::string>{"--port", std::to_string(port)});
    ASSERT_EQ(emulator->Port(), port);
    CopyIn(m_folder.File("colour.bmp"), "third.bmp");
    ASSERT_TRUE(WaitForLog("third.bmp", "sent")) << m_watch->Output() << m_watch->Errors();
    EXPECT_FALSE(ReadFrameMemoryBytes(port, true).empty());
    EXPECT_EQ(StopWatch(), 0);
    EXPECT_EQ(JournalLines(), 3u);
}

// A folder that cannot be watched ends at once with status 1 and the reason.
TEST_F(CliTest, WatchOfAMissingFolder)
{
    Run run = RunCli({"watch", "--host", "127.0.0.1", "--port", std::to_string(UnusedPort()),
                      m_folder.File("missing")});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.errors.rfind("imgcast-cli: " + m_folder.File("missing") + ": ", 0), 0u)
        << run.errors;
}
