// Retrying a write or read that the switcher answered "processing": the waits, the jobs against a
// scripted switcher that is busy for given connections, and imgcast-cli --retry.
#include <atomic>
#include <set>
#include <tuple>

#include <gtest/gtest.h>

#include "tests/link/cli_fixtures.h"

namespace {

// A switcher on 127.0.0.1 that answers AF to the connections numbered in `busyAt` (0 for the
// first) and serves every other one: it takes a written frame (final status AC) or sends the frame
// it holds. Finish() after the client is done: every exchange of the client waited for an answer,
// so all its connections have been seen.
class CBusyPeer {
  public:
    CBusyPeer(std::set<int> busyAt, std::vector<uint8_t> held = {}, uint16_t heldWidth = 0,
              uint16_t heldHeight = 0)
        : m_busyAt(std::move(busyAt))
        , m_held(std::move(held))
        , m_heldWidth(heldWidth)
        , m_heldHeight(heldHeight)
    {
        m_thread = std::thread([this] { Serve(); });
    }
    ~CBusyPeer() { Finish(); }

    uint16_t Port() const { return m_listener.Port(); }
    void Finish()
    {
        m_stop = true;
        if (m_thread.joinable()) m_thread.join();
    }
    // Read after Finish: the command byte of each connection, and the frames written.
    std::vector<uint8_t> m_commands;
    std::vector<std::vector<uint8_t>> m_written;

  private:
    void Serve()
    {
        // Gives up after a few seconds without a connection, so that a broken client cannot
        // hang the test.
        for (int idle = 0; !m_stop && idle < 100;) {
            if (!WaitForSocket(m_listener.Listener(), POLLIN, 50)) {
                ++idle;
                continue;
            }
            idle = 0;
            CUniqueFd connection(::accept4(m_listener.Listener(), nullptr, nullptr, SOCK_CLOEXEC));
            if (!connection) continue;
            const int fd = connection.Get();
            const std::vector<uint8_t> command = PeerRead(fd, 1);
            if (command.empty()) continue;
            const int number = static_cast<int>(m_commands.size());
            m_commands.push_back(command[0]);
            if (m_busyAt.count(number) != 0) {
                PeerSend(fd, {kReplyBusy});
            } else if (command[0] == kCommandWriteFmem1 || command[0] == kCommandWriteFmem2) {
                PeerSend(fd, {kReplyAccept});
                const std::vector<uint8_t> header = PeerRead(fd, 4);
                if (header.size() != 4) continue;
                uint16_t width = 0, height = 0;
                UnpackSizeHeader(header.data(), &width, &height);
                m_written.push_back(PeerRead(fd, size_t{width} * height * 2));
                PeerSend(fd, {kReplyAccept});
            } else {
                PeerSend(fd, {kReplyFrameFollows});
                const SizeHeader header = PackSizeHeader(m_heldWidth, m_heldHeight);
                PeerSend(fd, {header.bytes, header.bytes + 4});
                PeerSend(fd, m_held);
            }
        }
    }

    CScriptedPeer m_listener{nullptr};
    std::set<int> m_busyAt;
    std::vector<uint8_t> m_held;
    uint16_t m_heldWidth;
    uint16_t m_heldHeight;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

struct Announcement {
    int retry, retries, waitMs, result;
    bool operator==(const Announcement& other) const
    {
        return std::tie(retry, retries, waitMs, result) ==
               std::tie(other.retry, other.retries, other.waitMs, other.result);
    }
};

}  // namespace

TEST(BusyRetryWaits, DoubleFrom200MillisecondsUpTo2Seconds)
{
    const std::vector<std::pair<int, int>> waits = {{1, 200},  {2, 400},  {3, 800},   {4, 1600},
                                                    {5, 2000}, {6, 2000}, {40, 2000}, {1000, 2000}};
    for (const auto& [retry, milliseconds] : waits)
        EXPECT_EQ(BusyRetryWaitMs(retry), milliseconds) << "retry " << retry;
}

// Only the exchange that was answered "processing" is repeated: a pair whose alpha pass is busy
// once writes FMEM 1 once and FMEM 2 twice.
TEST(BusyRetryJobs, PairRepeatsOnlyTheBusyPass)
{
    CBusyPeer peer({1});
    JobSettings settings = LocalSettings(peer.Port());
    settings.rgbaPair = true;
    std::vector<Announcement> announced;
    settings.busyRetry.retries = 3;
    settings.busyRetry.announce = [&](int retry, int retries, int waitMs, int result) {
        announced.push_back({retry, retries, waitMs, result});
    };
    RecordingHost host;
    TakeCompletionSignals();
    CTransferJob job(settings, host);
    auto picture = MakeTestPicture(4, 6, true);
    job.RunSendJob(picture);
    peer.Finish();
    EXPECT_EQ(job.m_result, 0);
    EXPECT_TRUE(host.messages.empty());
    EXPECT_EQ(peer.m_commands,
              (std::vector<uint8_t>{kCommandWriteFmem1, kCommandWriteFmem2, kCommandWriteFmem2}));
    EXPECT_EQ(announced, (std::vector<Announcement>{{1, 3, 200, kWriteBusy}}));
    ASSERT_EQ(peer.m_written.size(), 2u);
    EXPECT_TRUE(peer.m_written[1] ==
                ExpectedFrame(*picture, picture->alpha, OutputRaster::HD1080, AspectMode::Full));
    EXPECT_EQ(TakeCompletionSignals(), 1);
}

TEST(BusyRetryJobs, TriesAsOftenAsAllowed)
{
    struct Case {
        bool send;
        std::set<int> busyAt;
        int retries;
        size_t connections;
        int result;
    };
    const std::vector<Case> cases = {
        {true, {0}, 0, 1, kWriteBusy},        // no retry unless asked for
        {true, {0, 1, 2}, 2, 3, kWriteBusy},  // the last busy answer stands
        {true, {0, 1}, 2, 3, kTransferOk},    // the last retry gets through
        {false, {0}, 0, 1, kReadBusy},       {false, {0, 1}, 1, 2, kReadBusy},
        {false, {0}, 1, 2, kTransferOk},
    };
    const std::vector<uint8_t> held(6 * 4 * 2, 128);
    for (const Case& row : cases) {
        CBusyPeer peer(row.busyAt, held, 6, 4);
        JobSettings settings = LocalSettings(peer.Port());
        settings.busyRetry.retries = row.retries;
        int announcements = 0;
        settings.busyRetry.announce = [&](int, int, int, int) { ++announcements; };
        RecordingHost host;
        TakeCompletionSignals();
        CTransferJob job(settings, host);
        if (row.send)
            job.RunSendJob(MakeTestPicture(4, 6, false));
        else
            job.RunReceiveJob();
        peer.Finish();
        const std::string label =
            (row.send ? "send, " : "receive, ") + std::to_string(row.retries) + " retries";
        EXPECT_EQ(job.m_result, row.result) << label;
        EXPECT_EQ(peer.m_commands.size(), row.connections) << label;
        EXPECT_EQ(announcements, static_cast<int>(row.connections) - 1) << label;
        if (row.result == kTransferOk) {
            EXPECT_TRUE(host.messages.empty()) << label;
            EXPECT_EQ(host.installs, row.send ? 0 : 1) << label;
        } else {
            EXPECT_EQ(host.messages, std::vector<std::string>{"qx700 is processing now!!"})
                << label;
        }
        EXPECT_EQ(TakeCompletionSignals(), 1) << label;
    }
}

// The retry lines go to standard error with --verbose (or on a terminal); the final message and
// status are those of the last try.
TEST_F(CliTest, RetryAfterBusy)
{
    const std::string colour = m_folder.File("colour.bmp");
    {
        CBusyPeer peer({0, 1});
        Run sent = RunCli(At(peer.Port(), {"send", "--retry", "2", "--verbose", colour}));
        peer.Finish();
        EXPECT_EQ(sent.status, 0);
        EXPECT_EQ(peer.m_commands.size(), 3u);
        EXPECT_NE(sent.errors.find("imgcast-cli: qx700 is processing now!! (90); try 2 of 3 in "
                                   "200 ms\nimgcast-cli: qx700 is processing now!! (90); try 3 "
                                   "of 3 in 400 ms\n"),
                  std::string::npos)
            << sent.errors;
    }
    {
        CBusyPeer peer({0, 1});
        Run quiet = RunCli(At(peer.Port(), {"send", "--retry=2", colour}));
        peer.Finish();
        EXPECT_EQ(quiet.status, 0);
        EXPECT_EQ(quiet.errors, "") << "no retry lines when standard error is no terminal";
    }
    {
        CBusyPeer peer({0, 1});
        Run tooFew = RunCli(At(peer.Port(), {"send", "--retry", "1", colour}));
        peer.Finish();
        EXPECT_EQ(tooFew.status, kWriteBusy);
        EXPECT_EQ(tooFew.errors, "qx700 is processing now!!\n");
        EXPECT_EQ(peer.m_commands.size(), 2u);
    }
    {
        std::vector<uint8_t> held(8 * 2 * 2, 128);
        CBusyPeer peer({0}, held, 8, 2);
        const std::string output = m_folder.File("got.png");
        Run got = RunCli(At(peer.Port(), {"get", "--retry", "1", "--verbose", "--output", output}));
        peer.Finish();
        EXPECT_EQ(got.status, 0) << got.errors;
        EXPECT_EQ(got.errors,
                  "imgcast-cli: qx700 is processing now!! (80); try 2 of 2 in 200 ms\n");
        EXPECT_EQ(peer.m_commands, (std::vector<uint8_t>{kCommandReadFmem1, kCommandReadFmem1}));
        std::shared_ptr<const Picture> back;
        ASSERT_EQ(LoadPicture(m_api, output.c_str(), &back), 0);
        EXPECT_EQ(back->width, 8);
        EXPECT_EQ(back->height, 2);
    }
}

// switcher-emu --busy N answers "processing" N times, then accepts: --retry 3 gets through, and
// so does Retry=3 from the settings file; --retry 1 (beating the file) does not.
TEST_F(CliTest, RetryAgainstAnEmulatorBusyTwice)
{
    const std::string colour = m_folder.File("colour.bmp");
    {
        CEmulatorProcess emulator({"--busy", "2"});
        ASSERT_NE(emulator.Port(), 0) << "switcher-emu refuses --busy 2";
        Run sent = RunCli(At(emulator.Port(), {"send", "--retry", "3", colour}));
        EXPECT_EQ(sent.status, 0) << sent.errors;
        EXPECT_FALSE(ReadFrameMemoryBytes(emulator.Port(), true).empty());
    }
    WriteSettings(UserSettingsFile(), "[General]\nRetry=3\n");
    {
        CEmulatorProcess emulator({"--busy", "2"});
        Run sent = RunCli(At(emulator.Port(), {"send", colour}));
        EXPECT_EQ(sent.status, 0) << sent.errors;
        EXPECT_FALSE(ReadFrameMemoryBytes(emulator.Port(), true).empty());
    }
    {
        CEmulatorProcess emulator({"--busy", "2"});
        Run sent = RunCli(At(emulator.Port(), {"send", "--retry", "1", colour}));
        EXPECT_EQ(sent.status, kWriteBusy);
        EXPECT_EQ(sent.errors, "qx700 is processing now!!\n");
    }
}
