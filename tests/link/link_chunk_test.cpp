// How the link cuts a frame into sends. This program is linked with --wrap=send, so every send
// the link makes passes through the recorder below before it reaches the kernel.
#include <map>
#include <mutex>

#include <gtest/gtest.h>

#include "link/switcher_link.h"
#include "tests/link/scripted_peer.h"

namespace {

thread_local bool t_recording = false;
std::vector<size_t> g_sendSizes;  // written only by the recording thread

}  // namespace

extern "C" ssize_t __real_send(int fd, const void* data, size_t size, int flags);
extern "C" ssize_t __wrap_send(int fd, const void* data, size_t size, int flags)
{
    if (t_recording) g_sendSizes.push_back(size);
    return __real_send(fd, data, size, flags);
}

TEST(LinkFrameChunks, FourRasters)
{
    struct Case {
        uint16_t width, height;
        size_t fullChunks, lastChunk;
    };
    for (Case c : {Case{1920, 1080, 4050, 0}, Case{1280, 720, 1800, 0}, Case{720, 487, 684, 864},
                   Case{720, 576, 810, 0}}) {
        const size_t frameBytes = size_t{c.width} * c.height * 2;
        CScriptedPeer peer([&](int fd) {
            PeerRead(fd, 1);
            PeerSend(fd, {kReplyAccept});
            PeerRead(fd, 4 + frameBytes);
            PeerSend(fd, {kReplyAccept});
        });
        std::vector<uint8_t> frame(frameBytes, 0x80);
        TestInputs inputs;
        CSwitcherLink link(inputs, TestLinkOptions(peer.Port()));
        link.m_frame = frame.data();
        link.m_frameBytes = static_cast<uint32_t>(frameBytes);
        link.m_frameWidth = c.width;
        link.m_frameHeight = c.height;

        g_sendSizes.clear();
        t_recording = true;
        EXPECT_EQ(link.SendFrame(), kTransferOk);
        t_recording = false;
        link.m_frame = nullptr;

        // The command byte, the size header in one send, then the frame.
        ASSERT_GE(g_sendSizes.size(), 2u);
        EXPECT_EQ(g_sendSizes[0], 1u);
        EXPECT_EQ(g_sendSizes[1], 4u);
        std::vector<size_t> chunks(g_sendSizes.begin() + 2, g_sendSizes.end());
        std::vector<size_t> expected(c.fullChunks, 1024);
        if (c.lastChunk != 0) expected.push_back(c.lastChunk);
        EXPECT_EQ(chunks, expected) << c.width << "x" << c.height;
    }
}
