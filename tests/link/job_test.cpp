// The transfer jobs against scripted switchers: what a job does around the link.
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
