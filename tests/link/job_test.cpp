// The transfer jobs against scripted switchers: what a job does around the link.
#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "tests/link/job_fixtures.h"

namespace {

// True when a connection is waiting on the peer's listener, i.e. the job connected once more.
bool ConnectionPending(const CScriptedPeer& peer)
{
    return WaitForSocket(peer.Listener(), POLLIN, 100);
}

}  // namespace

TEST(SendJobPasses, PairStopsAtFirstFailure)
{
    std::vector<uint8_t> command;
    CScriptedPeer peer([&](int fd) {
        command = PeerRead(fd, 1);
        PeerSend(fd, {kReplyBusy});
    });
    JobSettings settings = LocalSettings(peer.Port());
    settings.rgbaPair = true;
    RecordingHost host;
    TakeCompletionSignals();
    CTransferJob job(settings, host);
    job.RunSendJob(MakeTestPicture(4, 6, true));
    peer.Join();
    EXPECT_EQ(command, std::vector<uint8_t>{kCommandWriteFmem1});
    EXPECT_EQ(host.messages, std::vector<std::string>{"qx700 is processing now!!"});
    EXPECT_EQ(job.m_result, kWriteBusy);
    EXPECT_FALSE(ConnectionPending(peer)) << "the second pass is not attempted";
    EXPECT_EQ(TakeCompletionSignals(), 1);
    EXPECT_EQ(job.m_fitted, nullptr);
}

TEST(SendJobPasses, PairNeedsAlpha)
{
    CScriptedPeer peer(nullptr);
    JobSettings settings = LocalSettings(peer.Port());
    settings.rgbaPair = true;
    RecordingHost host;
    CTransferJob job(settings, host);
    job.RunSendJob(MakeTestPicture(4, 6, false));
    EXPECT_EQ(host.messages, std::vector<std::string>{kNoAlphaForPair});
    EXPECT_EQ(job.m_result, 1);
    EXPECT_FALSE(ConnectionPending(peer));
    EXPECT_EQ(TakeCompletionSignals(), 1);
}

TEST(SendJobPasses, NoPicture)
{
    RecordingHost host;
    CTransferJob job(LocalSettings(1), host);
    job.RunSendJob(nullptr);
    EXPECT_EQ(host.messages, std::vector<std::string>{kImageIsNull});
    EXPECT_EQ(TakeCompletionSignals(), 1);
}

TEST(SendJobPasses, SingleSendTargetsChosenMemory)
{
    std::vector<uint8_t> command, header;
    CScriptedPeer peer([&](int fd) {
        command = PeerRead(fd, 1);
        PeerSend(fd, {kReplyAccept});
        header = PeerRead(fd, 4);
        PeerRead(fd, 1280 * 720 * 2);
        PeerSend(fd, {kReplyAccept});
    });
    JobSettings settings = LocalSettings(peer.Port());
    settings.fmem1 = false;
    settings.raster = OutputRaster::HD720;
    RecordingHost host;
    CTransferJob job(settings, host);
    job.RunSendJob(MakeTestPicture(4, 6, true));  // alpha is ignored without the pair
    peer.Join();
    EXPECT_EQ(job.m_result, 0);
    EXPECT_TRUE(host.messages.empty());
    EXPECT_EQ(command, std::vector<uint8_t>{kCommandWriteFmem2});
    EXPECT_EQ(header, (std::vector<uint8_t>{0x05, 0x00, 0x02, 0xD0}));
    EXPECT_EQ(TakeCompletionSignals(), 1);
}

TEST(ReceiveJobInstall, EmptyFrameKeepsPicture)
{
    CScriptedPeer peer([](int fd) {
        PeerRead(fd, 1);
        PeerSend(fd, {kReplyFrameFollows, 0x07, 0x80, 0x00, 0x00});
    });
    RecordingHost host;
    CTransferJob job(LocalSettings(peer.Port()), host);
    job.RunReceiveJob();
    EXPECT_EQ(host.messages, std::vector<std::string>{"FMEM is empty"});
    EXPECT_EQ(host.installs, 0);
    EXPECT_EQ(TakeCompletionSignals(), 1);
}

// A frame whose rows are not a multiple of 4 bytes long is installed with padded rows.
TEST(ReceiveJobInstall, OddWidthGetsPaddedRows)
{
    std::vector<uint8_t> frame(101 * 3 * 2);
    for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(16 + i % 200);
    CScriptedPeer peer([&](int fd) {
        PeerRead(fd, 1);
        PeerSend(fd, {kReplyFrameFollows, 0x00, 101, 0x00, 3});
        PeerSend(fd, frame);
    });
    RecordingHost host;
    CTransferJob job(LocalSettings(peer.Port()), host);
    job.RunReceiveJob();
    ASSERT_EQ(host.installs, 1);
    const Picture& picture = *host.installed;
    EXPECT_EQ(picture.stride, 304);
    ASSERT_EQ(picture.colour.size(), 304u * 3);
    std::vector<uint8_t> packed(101 * 3 * 3);
    DecodeFrame(frame.data(), packed.data(), 3, 101);
    for (int y = 0; y < 3; ++y) {
        const uint8_t* row = picture.colour.data() + y * 304;
        EXPECT_TRUE(std::equal(row, row + 303, packed.begin() + y * 303));
        EXPECT_EQ(row[303], 0) << "padding is zero";
    }
    EXPECT_EQ(picture.header.width, 101);
    EXPECT_EQ(picture.header.height, 3);
    EXPECT_EQ(TakeCompletionSignals(), 1);
}

namespace {

// A switcher that keeps what is written and serves it back, one connection after another on the
// peer's listener, for `connections` connections. `alterRead` changes one byte of what a read of
// that memory (0 = FMEM 1) sends; `refuseRead` answers reads of it with AD.
class CKeepingSwitcher {
  public:
    CKeepingSwitcher(int connections, int alterRead = -1, int refuseRead = -1)
        : m_peer(nullptr)
    {
        m_thread = std::thread([=, this] {
            for (int i = 0; i < connections; ++i) {
                if (!WaitForSocket(m_peer.Listener(), POLLIN, 5000)) return;
                CUniqueFd connection(::accept4(m_peer.Listener(), nullptr, nullptr, SOCK_CLOEXEC));
                if (!connection) return;
                ++m_connections;
                Serve(connection.Get(), alterRead, refuseRead);
            }
        });
    }
    ~CKeepingSwitcher() { Join(); }
    void Join()
    {
        if (m_thread.joinable()) m_thread.join();
    }
    uint16_t Port() const { return m_peer.Port(); }
    int Connections() const { return m_connections; }
    const CScriptedPeer& Peer() const { return m_peer; }

  private:
    void Serve(int fd, int alterRead, int refuseRead)
    {
        const std::vector<uint8_t> command = PeerRead(fd, 1);
        if (command.empty()) return;
        const int memory = (command[0] == kCommandWriteFmem2 || command[0] == kCommandReadFmem2);
        if (command[0] == kCommandWriteFmem1 || command[0] == kCommandWriteFmem2) {
            PeerSend(fd, {kReplyAccept});
            const std::vector<uint8_t> header = PeerRead(fd, 4);
            uint16_t width = 0, height = 0;
            UnpackSizeHeader(header.data(), &width, &height);
            m_frames[memory] = PeerRead(fd, size_t{width} * height * 2);
            m_sizes[memory] = header;
            PeerSend(fd, {kReplyAccept});
            return;
        }
        if (memory == refuseRead) {
            PeerSend(fd, {kReplyError});
            return;
        }
        std::vector<uint8_t> frame = m_frames[memory];
        if (memory == alterRead && !frame.empty()) frame[frame.size() / 2] ^= 0x01;
        std::vector<uint8_t> reply{kReplyFrameFollows};
        reply.insert(reply.end(), m_sizes[memory].begin(), m_sizes[memory].end());
        reply.insert(reply.end(), frame.begin(), frame.end());
        PeerSend(fd, reply);
    }

    CScriptedPeer m_peer;
    std::thread m_thread;
    std::atomic<int> m_connections{0};
    std::vector<uint8_t> m_frames[2];
    std::vector<uint8_t> m_sizes[2];
};

struct VerifyCase {
    const char* name;
    bool pair;
    int alterRead;   // memory whose read-back differs, -1 none
    int refuseRead;  // memory whose read-back is refused, -1 none
    int connections;
    int result;
    const char* message;
};

}  // namespace

// With verification on, every pass is read back and compared; a difference or a failed
// read-back is its own failure, naming the memory. Off, a send makes one connection a pass.
TEST(SendJobVerify, ReadsEveryPassBackAndNamesTheMemoryThatDiffers)
{
    const VerifyCase cases[] = {
        {"holds", false, -1, -1, 2, kTransferOk, nullptr},
        {"pair holds", true, -1, -1, 4, kTransferOk, nullptr},
        {"one byte differs", false, 0, -1, 2, kVerifyFailed,
         "FMEM 1 does not hold the picture that was sent"},
        {"read-back refused", false, -1, 0, 2, kVerifyFailed,
         "FMEM 1 does not hold the picture that was sent"},
        {"pair: key differs", true, 1, -1, 4, kVerifyFailed,
         "FMEM 2 does not hold the picture that was sent"},
        {"pair: colour differs, key never sent", true, 0, -1, 2, kVerifyFailed,
         "FMEM 1 does not hold the picture that was sent"},
    };
    for (const VerifyCase& c : cases) {
        SCOPED_TRACE(c.name);
        CKeepingSwitcher switcher(c.connections, c.alterRead, c.refuseRead);
        JobSettings settings = LocalSettings(switcher.Port());
        settings.raster = OutputRaster::SD576;
        settings.rgbaPair = c.pair;
        settings.verify = true;
        RecordingHost host;
        TakeCompletionSignals();
        CTransferJob job(settings, host);
        job.RunSendJob(MakeTestPicture(31, 45, true));
        switcher.Join();
        EXPECT_EQ(job.m_result, c.result);
        EXPECT_EQ(switcher.Connections(), c.connections);
        EXPECT_FALSE(ConnectionPending(switcher.Peer()));
        if (c.message == nullptr)
            EXPECT_TRUE(host.messages.empty());
        else
            EXPECT_EQ(host.messages, std::vector<std::string>{c.message});
        EXPECT_EQ(TakeCompletionSignals(), 1);
    }
}

TEST(SendJobVerify, OffByDefault)
{
    CKeepingSwitcher switcher(1);
    JobSettings settings = LocalSettings(switcher.Port());
    EXPECT_FALSE(settings.verify);
    RecordingHost host;
    CTransferJob job(settings, host);
    job.RunSendJob(MakeTestPicture(8, 10, false));
    switcher.Join();
    EXPECT_EQ(job.m_result, kTransferOk);
    EXPECT_EQ(switcher.Connections(), 1);
    EXPECT_FALSE(ConnectionPending(switcher.Peer()));
}
