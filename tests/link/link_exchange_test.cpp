// The link against a scripted switcher: the bytes on the wire, every result code, the time
// limits, the counters and the sockets it leaves behind.
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <random>

#include <fcntl.h>
#include <sys/resource.h>

#include <gtest/gtest.h>

#include "block/frame_block.h"
#include "link/progress.h"
#include "link/switcher_link.h"
#include "tests/link/scripted_peer.h"

#include <dirent.h>

namespace {

std::vector<uint8_t> PatternFrame(size_t bytes)
{
    std::vector<uint8_t> frame(bytes);
    for (size_t i = 0; i < bytes; ++i) frame[i] = static_cast<uint8_t>(i * 7 + i / 251);
    return frame;
}

void ResetCounters()
{
    g_progressTotal = -1;
    g_progressDone = 0;
}

// A link ready to write `frame` of width × height to `target`.
struct WriteSetup {
    TestInputs inputs;
    std::vector<uint8_t> frame;
    CSwitcherLink link;

    WriteSetup(uint16_t port, uint16_t width, uint16_t height, uint8_t target, int limitMs = 5000)
        : frame(PatternFrame(size_t{width} * height * 2))
        , link(inputs, TestLinkOptions(port, limitMs))
    {
        link.m_frame = frame.data();
        link.m_frameBytes = static_cast<uint32_t>(frame.size());
        link.m_frameWidth = width;
        link.m_frameHeight = height;
        link.m_target = target;
        ResetCounters();
    }
    ~WriteSetup() { link.m_frame = nullptr; }  // the frame is the test's
};

int OpenDescriptorCount()
{
    int count = 0;
    DIR* folder = ::opendir("/proc/self/fd");
    while (dirent* entry = ::readdir(folder)) count += entry->d_name[0] != '.';
    ::closedir(folder);
    return count;
}

}  // namespace

TEST(LinkWriteBytes, FullFrameToFmem2)
{
    std::vector<uint8_t> command, header, payload;
    CScriptedPeer peer([&](int fd) {
        command = PeerRead(fd, 1);
        PeerSend(fd, {kReplyAccept});
        header = PeerRead(fd, 4);
        payload = PeerRead(fd, 1920 * 1080 * 2);
        PeerSend(fd, {kReplyAccept});
        EXPECT_TRUE(PeerSeesEnd(fd));
    });
    WriteSetup setup(peer.Port(), 1920, 1080, 1);
    EXPECT_EQ(setup.link.SendFrame(), kTransferOk);
    peer.Join();
    EXPECT_EQ(command, std::vector<uint8_t>{0x30});
    EXPECT_EQ(header, (std::vector<uint8_t>{0x07, 0x80, 0x04, 0x38}));
    EXPECT_TRUE(payload == setup.frame);
    EXPECT_EQ(setup.link.m_sentBytes, 4147200u);
    EXPECT_EQ(g_progressTotal.load(), 4147200);
    EXPECT_EQ(g_progressDone.load(), 4147200);
    EXPECT_EQ(setup.link.m_socket, -1);
    EXPECT_EQ(ComposeProgressText(1, g_progressDone, g_progressTotal), "Frame memory writing.");
}

TEST(LinkWriteBytes, CommandByteFollowsTarget)
{
    for (uint8_t target : {0, 1, 7}) {
        std::vector<uint8_t> command;
        CScriptedPeer peer([&](int fd) {
            command = PeerRead(fd, 1);
            PeerSend(fd, {kReplyBusy});
        });
        WriteSetup setup(peer.Port(), 2, 1, target);
        EXPECT_EQ(setup.link.SendFrame(), kWriteBusy);
        peer.Join();
        EXPECT_EQ(command, std::vector<uint8_t>{target == 0 ? uint8_t{0x20} : uint8_t{0x30}});
    }
}

// The reply to the write command: only AC lets size and frame go out.
TEST(LinkWriteReplies, EveryReplyByte)
{
    const std::pair<uint8_t, int> cases[] = {{kReplyError, kSwitcherReceiveError},
                                             {kReplyBusy, kWriteBusy},
                                             {kReplyFrameFollows, kReceiveDataError},
                                             {0x00, kReceiveDataError},
                                             {0xFF, kReceiveDataError}};
    for (auto [reply, expected] : cases) {
        bool nothingMore = false;
        CScriptedPeer peer([&](int fd) {
            PeerRead(fd, 1);
            PeerSend(fd, {reply});
            nothingMore = PeerSeesEnd(fd);
        });
        WriteSetup setup(peer.Port(), 720, 487, 0);
        EXPECT_EQ(setup.link.SendFrame(), expected) << "reply " << int(reply);
        peer.Join();
        EXPECT_TRUE(nothingMore) << "reply " << int(reply);
        EXPECT_EQ(setup.link.m_sentBytes, 0u);
        EXPECT_EQ(g_progressTotal.load(), -1) << "the total is set only once the size went out";
    }
}

TEST(LinkWriteReplies, EveryFinalStatus)
{
    const std::pair<uint8_t, int> cases[] = {{kReplyAccept, kTransferOk},
                                             {kReplyError, kSwitcherReceiveError},
                                             {kReplyBusy, kWriteBusy},
                                             {kReplyFrameFollows, kReceiveDataError},
                                             {0x42, kReceiveDataError}};
    for (auto [status, expected] : cases) {
        CScriptedPeer peer([&](int fd) {
            PeerRead(fd, 1);
            PeerSend(fd, {kReplyAccept});
            PeerRead(fd, 4 + 720 * 576 * 2);
            PeerSend(fd, {status});
        });
        WriteSetup setup(peer.Port(), 720, 576, 0);
        EXPECT_EQ(setup.link.SendFrame(), expected) << "status " << int(status);
        EXPECT_EQ(setup.link.m_sentBytes, 720u * 576 * 2) << "the whole frame went out";
    }
}

// The switcher goes away or falls silent at each step of the write.
TEST(LinkWriteFailures, ReplyOrStatusMissing)
{
    {
        CScriptedPeer peer([](int fd) { PeerRead(fd, 1); });  // closes without a reply
        WriteSetup setup(peer.Port(), 16, 2, 0);
        EXPECT_EQ(setup.link.SendFrame(), kImageSendError);
    }
    {
        CScriptedPeer peer([](int fd) {
            PeerRead(fd, 1);
            PeerSend(fd, {kReplyAccept});
            PeerRead(fd, 4 + 64);  // takes the frame, closes without a status
        });
        WriteSetup setup(peer.Port(), 16, 2, 0);
        EXPECT_EQ(setup.link.SendFrame(), kImageSendError);
    }
}

TEST(LinkWriteFailures, SilentSwitcherTimesOut)
{
    for (bool silentAfterFrame : {false, true}) {
        CAutoResetEvent done;
        CScriptedPeer peer([&](int fd) {
            PeerRead(fd, 1);
            if (silentAfterFrame) {
                PeerSend(fd, {kReplyAccept});
                PeerRead(fd, 4 + 64);
            }
            done.Wait(5000);  // holds the connection open without a word
        });
        WriteSetup setup(peer.Port(), 16, 2, 0, kShortLimitMs);
        EXPECT_EQ(setup.link.SendFrame(), kImageSendError);
        done.Set();
    }
}

TEST(LinkWriteFailures, ResetDuringFrame)
{
    CScriptedPeer peer([](int fd) {
        PeerRead(fd, 1);
        PeerSend(fd, {kReplyAccept});
        PeerRead(fd, 4 + 1000);
        PeerReset(fd);
    });
    WriteSetup setup(peer.Port(), 1920, 1080, 0);
    EXPECT_EQ(setup.link.SendFrame(), kImageSendError);
    EXPECT_LT(setup.link.m_sentBytes, 4147200u);
    EXPECT_EQ(setup.link.m_frame, setup.frame.data()) << "the frame stays the caller's";
}

TEST(LinkWriteFailures, CommandOnResetConnection)
{
    CAutoResetEvent connected;
    CScriptedPeer peer([&](int fd) {
        connected.Wait(5000);
        PeerReset(fd);
    });
    WriteSetup setup(peer.Port(), 16, 2, 0);
    ASSERT_EQ(setup.link.ConnectSwitcher(), kTransferOk);
    connected.Set();
    peer.Join();  // the reset has arrived before the command goes out
    EXPECT_EQ(setup.link.WriteFrameMemory(), kSizeSendError);
    EXPECT_EQ(setup.link.m_socket, -1);
}

TEST(LinkReadBytes, CommandByteFollowsFmem1Radio)
{
    for (bool fmem1 : {true, false}) {
        std::vector<uint8_t> command;
        CScriptedPeer peer([&](int fd) {
            command = PeerRead(fd, 1);
            PeerSend(fd, {kReplyAccept});
        });
        TestInputs inputs;
        inputs.fmem1 = fmem1;
        CSwitcherLink link(inputs, TestLinkOptions(peer.Port()));
        EXPECT_EQ(link.ReceiveFrame(), kFmemEmpty);
        peer.Join();
        EXPECT_EQ(command, std::vector<uint8_t>{fmem1 ? uint8_t{0x21} : uint8_t{0x31}});
    }
}

TEST(LinkReadReplies, EveryReplyByte)
{
    const std::pair<uint8_t, int> cases[] = {{kReplyAccept, kFmemEmpty},
                                             {kReplyError, kFmemReadError},
                                             {kReplyBusy, kReadBusy},
                                             {0x20, kReceiveDataError},
                                             {0x00, kReceiveDataError}};
    for (auto [reply, expected] : cases) {
        CScriptedPeer peer([&](int fd) {
            PeerRead(fd, 1);
            PeerSend(fd, {reply, 0x07, 0x80, 0x04, 0x38});  // nothing after the reply is read
        });
        TestInputs inputs;
        CSwitcherLink link(inputs, TestLinkOptions(peer.Port()));
        ResetCounters();
        EXPECT_EQ(link.ReceiveFrame(), expected) << "reply " << int(reply);
        EXPECT_EQ(link.m_frame, nullptr);
        EXPECT_EQ(g_progressTotal.load(), -1);
    }
}

// The frame arrives in pieces of any size, the reply and the size header included.
TEST(LinkReadBytes, FrameSplitArbitrarily)
{
    const std::vector<uint8_t> frame = PatternFrame(1920 * 1080 * 2);
    CScriptedPeer peer([&](int fd) {
        PeerRead(fd, 1);
        std::vector<uint8_t> wire{kReplyFrameFollows, 0x07, 0x80, 0x04, 0x38};
        wire.insert(wire.end(), frame.begin(), frame.end());
        std::mt19937 random(4);
        size_t offset = 0;
        for (size_t piece : {1, 1, 2, 1}) {  // reply alone, then the header in three pieces
            SendAll(fd, wire.data() + offset, piece, 5000);
            offset += piece;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        while (offset < wire.size()) {
            size_t piece = std::min<size_t>(wire.size() - offset, 1 + random() % 9000);
            SendAll(fd, wire.data() + offset, piece, 5000);
            offset += piece;
        }
    });
    TestInputs inputs;
    CSwitcherLink link(inputs, TestLinkOptions(peer.Port()));
    ResetCounters();
    ASSERT_EQ(link.ReceiveFrame(), kTransferOk);
    EXPECT_EQ(link.m_frameWidth, 1920);
    EXPECT_EQ(link.m_frameHeight, 1080);
    ASSERT_NE(link.m_frame, nullptr);
    EXPECT_EQ(std::memcmp(link.m_frame, frame.data(), frame.size()), 0);
    EXPECT_EQ(g_progressTotal.load(), 4147200);
    EXPECT_EQ(g_progressDone.load(), 4147200);
    EXPECT_EQ(ComposeProgressText(0, g_progressDone, g_progressTotal),
              "Transfer [    4050KB /     4050KB]");
    ReleaseFrameBlock(link.m_frame);
}

TEST(LinkReadBytes, WidthZeroIsAnEmptyFrame)
{
    CScriptedPeer peer([](int fd) {
        PeerRead(fd, 1);
        PeerSend(fd, {kReplyFrameFollows, 0x00, 0x00, 0x04, 0x38});
    });
    TestInputs inputs;
    CSwitcherLink link(inputs, TestLinkOptions(peer.Port()));
    EXPECT_EQ(link.ReceiveFrame(), kTransferOk);
    EXPECT_EQ(link.m_frameWidth, 0);
    EXPECT_EQ(link.m_frameHeight, 1080);
    EXPECT_EQ(link.m_frame, nullptr);
    EXPECT_EQ(g_progressTotal.load(), 0);
}

TEST(LinkReadFailures, SwitcherStopsMidway)
{
    // {bytes the switcher sends after the command, then it closes}
    const std::vector<std::vector<uint8_t>> cases = {
        {},                                               // no reply
        {kReplyFrameFollows},                             // no size header
        {kReplyFrameFollows, 0x00, 0x10},                 // half a size header
        {kReplyFrameFollows, 0x00, 0x10, 0x00, 0x10, 1},  // 1 of 512 frame bytes
    };
    for (const auto& wire : cases) {
        CScriptedPeer peer([&](int fd) {
            PeerRead(fd, 1);
            PeerSend(fd, wire);
        });
        TestInputs inputs;
        CSwitcherLink link(inputs, TestLinkOptions(peer.Port()));
        EXPECT_EQ(link.ReceiveFrame(), kReceiveDataError) << wire.size() << " bytes";
        EXPECT_EQ(link.m_frame, nullptr) << "no frame buffer is left allocated";
    }
}

TEST(LinkReadFailures, SilentSwitcherTimesOut)
{
    for (size_t sent : {0, 1, 5, 9}) {
        CAutoResetEvent done;
        CScriptedPeer peer([&](int fd) {
            PeerRead(fd, 1);
            std::vector<uint8_t> wire{kReplyFrameFollows, 0x00, 0x10, 0x00, 0x10, 1, 2, 3, 4};
            wire.resize(sent);
            PeerSend(fd, wire);
            done.Wait(5000);
        });
        TestInputs inputs;
        CSwitcherLink link(inputs, TestLinkOptions(peer.Port(), kShortLimitMs));
        EXPECT_EQ(link.ReceiveFrame(), kReceiveDataError) << sent << " bytes";
        EXPECT_EQ(link.m_frame, nullptr);
        done.Set();
    }
}

// A size header whose byte count does not fit 32 bits, or exceeds the bound, is refused before
// anything is allocated.
TEST(LinkReadFailures, OversizedHeaderRefused)
{
    for (std::vector<uint8_t> header : {std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFF},
                                        std::vector<uint8_t>{0xB5, 0x05, 0xB5, 0x05},
                                        std::vector<uint8_t>{0x40, 0x00, 0x40, 0x01}}) {
        CScriptedPeer peer([&](int fd) {
            PeerRead(fd, 1);
            header.insert(header.begin(), kReplyFrameFollows);
            PeerSend(fd, header);
        });
        TestInputs inputs;
        CSwitcherLink link(inputs, TestLinkOptions(peer.Port()));
        ResetCounters();
        EXPECT_EQ(link.ReceiveFrame(), kReceiveDataError);
        EXPECT_EQ(link.m_frame, nullptr);
        EXPECT_EQ(g_progressTotal.load(), -1);
    }
}

TEST(LinkConnect, NobodyListening)
{
    TestInputs inputs;
    CSwitcherLink link(inputs, TestLinkOptions(UnusedPort()));
    EXPECT_EQ(link.SendFrame(), kServerConnectError);
    EXPECT_EQ(link.ReceiveFrame(), kServerConnectError);
    EXPECT_EQ(link.m_socket, -1);
}

// The first field of the address is the most significant byte: 127.0.0.2 reaches a peer on
// 127.0.0.2 and not one on 2.0.0.127.
TEST(LinkConnect, AddressByteOrder)
{
    CScriptedPeer peer(
        [](int fd) {
            PeerRead(fd, 1);
            PeerSend(fd, {kReplyAccept});
        },
        "127.0.0.2");
    TestInputs inputs;
    inputs.address = {127, 0, 0, 2};
    CSwitcherLink link(inputs, TestLinkOptions(peer.Port()));
    EXPECT_EQ(link.ReceiveFrame(), kFmemEmpty);
}

// A switcher whose accept queue is full never completes the handshake: the connect gives up.
TEST(LinkConnect, GivesUpAfterTimeLimit)
{
    CScriptedPeer peer(nullptr, "127.0.0.1", 0);
    std::vector<CUniqueFd> fillers;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(peer.Port());
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int i = 0; i < 4; ++i) {
        fillers.emplace_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        ::connect(fillers.back().Get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    TestInputs inputs;
    LinkOptions options = TestLinkOptions(peer.Port());
    options.connectTimeoutMs = 300;
    CSwitcherLink link(inputs, options);
    EXPECT_EQ(link.SendFrame(), kServerConnectError);
    EXPECT_EQ(link.m_socket, -1);
}

namespace {

// Runs a send with every descriptor in use, so that no socket can be made; returns its result.
[[noreturn]] void SendWithoutDescriptors()
{
    TestInputs inputs;
    CSwitcherLink link(inputs, TestLinkOptions(UnusedPort()));
    // One attempt while descriptors are free: the sanitizers check the inputs' type on the first
    // call and need a descriptor of their own for it.
    if (link.SendFrame() != kServerConnectError) std::_Exit(100);
    int highest = 0;
    for (int fd = 0; fd < 4096; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1) highest = fd;
    }
    rlimit limit{static_cast<rlim_t>(highest + 1), static_cast<rlim_t>(highest + 1)};
    ::setrlimit(RLIMIT_NOFILE, &limit);
    while (::dup(0) >= 0) {
    }
    std::_Exit(link.SendFrame());
}

}  // namespace

// Run in a child process, since it lowers the descriptor limit.
TEST(LinkConnect, NoSocketLeft)
{
    EXPECT_EXIT(SendWithoutDescriptors(), ::testing::ExitedWithCode(kSocketInitError), "");
}

// Every exchange closes its socket, whichever way it ends.
TEST(LinkSockets, NoneLeftAfterFailures)
{
    const int before = OpenDescriptorCount();
    for (int round = 0; round < 10; ++round) {
        {
            TestInputs inputs;
            CSwitcherLink link(inputs, TestLinkOptions(UnusedPort()));
            EXPECT_EQ(link.SendFrame(), kServerConnectError);
        }
        {
            CScriptedPeer peer([](int fd) {
                PeerRead(fd, 1);
                PeerSend(fd, {kReplyBusy});
            });
            WriteSetup setup(peer.Port(), 16, 2, 0);
            EXPECT_EQ(setup.link.SendFrame(), kWriteBusy);
        }
        {
            CScriptedPeer peer([](int fd) {
                PeerRead(fd, 1);
                PeerSend(fd, {kReplyAccept});
                PeerRead(fd, 10);
                PeerReset(fd);
            });
            WriteSetup setup(peer.Port(), 720, 576, 0);
            EXPECT_EQ(setup.link.SendFrame(), kImageSendError);
        }
        {
            CScriptedPeer peer([](int fd) {
                PeerRead(fd, 1);
                PeerSend(fd, {kReplyFrameFollows, 0x00, 0x10});
            });
            TestInputs inputs;
            CSwitcherLink link(inputs, TestLinkOptions(peer.Port()));
            EXPECT_EQ(link.ReceiveFrame(), kReceiveDataError);
        }
        {
            // Connected, but the exchange never ran: the link closes the socket itself.
            CScriptedPeer peer([](int fd) { PeerSeesEnd(fd); });
            TestInputs inputs;
            CSwitcherLink link(inputs, TestLinkOptions(peer.Port()));
            EXPECT_EQ(link.ConnectSwitcher(), kTransferOk);
        }
    }
    EXPECT_EQ(OpenDescriptorCount(), before);
}

namespace {

using Clock = std::chrono::steady_clock;

// A switcher that takes the frame out of the connection in pieces of `piece` bytes with a pause
// of `pauseMs` after each; after `stopAfter` bytes it stops reading and holds the connection
// until `release` is set. `stoppedAt` tells when it stopped.
void ReadFrameSlowly(int fd, size_t frameBytes, size_t piece, int pauseMs, size_t stopAfter,
                     CAutoResetEvent* release, Clock::time_point* stoppedAt)
{
    PeerRead(fd, 1);
    PeerSend(fd, {kReplyAccept});
    std::vector<uint8_t> buffer(piece);
    size_t done = 0;
    const size_t total = 4 + frameBytes;
    while (done < total) {
        if (done >= stopAfter) {
            *stoppedAt = Clock::now();
            release->Wait(10000);
            return;
        }
        const size_t want = std::min(piece, total - done);
        if (!ReceiveAll(fd, buffer.data(), want, 5000)) return;
        done += want;
        std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
    }
    PeerSend(fd, {kReplyAccept});
}

}  // namespace

// A switcher that reads slowly makes progress all along, although the whole frame sat in the
// kernel's buffers long before and the exchange lasts several times the time limit.
TEST(LinkSlowSwitcher, SlowReaderGetsWholeFrame)
{
    constexpr uint16_t kWidth = 720, kHeight = 576;
    CAutoResetEvent release;
    Clock::time_point stoppedAt{};
    CScriptedPeer peer([&](int fd) {
        ReadFrameSlowly(fd, size_t{kWidth} * kHeight * 2, 32 * 1024, 50, SIZE_MAX, &release,
                        &stoppedAt);
    });
    WriteSetup setup(peer.Port(), kWidth, kHeight, 0, kShortLimitMs);
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(setup.link.SendFrame(), kTransferOk);
    EXPECT_GT(Clock::now() - start, std::chrono::milliseconds(2 * kShortLimitMs))
        << "the peer read too fast to prove anything";
    EXPECT_EQ(setup.link.m_sentBytes, setup.frame.size());
}

// A switcher that stops taking bytes half-way fails the write once the time limit has passed
// without progress, whether the link still has bytes to hand out or waits for the status.
TEST(LinkSlowSwitcher, ReaderThatStopsFailsWithinLimit)
{
    constexpr uint16_t kWidth = 720, kHeight = 576;
    CAutoResetEvent release;
    Clock::time_point stoppedAt{};
    CScriptedPeer peer([&](int fd) {
        ReadFrameSlowly(fd, size_t{kWidth} * kHeight * 2, 32 * 1024, 50, 400 * 1024, &release,
                        &stoppedAt);
    });
    WriteSetup setup(peer.Port(), kWidth, kHeight, 0, kShortLimitMs);
    EXPECT_EQ(setup.link.SendFrame(), kImageSendError);
    const Clock::time_point failedAt = Clock::now();
    release.Set();
    peer.Join();
    ASSERT_NE(stoppedAt, Clock::time_point{});
    EXPECT_LT(failedAt - stoppedAt, std::chrono::milliseconds(kShortLimitMs + 2500));
}
