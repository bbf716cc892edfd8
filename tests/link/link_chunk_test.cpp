// How the link cuts a frame into sends. This program is linked with --wrap=send, so every send
// the link makes passes through the recorder below before it reaches the kernel.
#include <map>
#include <mutex>

#include <gtest/gtest.h>

#include "link/switcher_link.h"
#include "tests/link/scripted_peer.h"

namespace {

struct SendCall {
    size_t offered;
    ssize_t taken;  // -1 when the kernel had no room: the same bytes are offered again
};
thread_local bool t_recording = false;
std::vector<SendCall> g_sends;  // written only by the recording thread

}  // namespace

extern "C" ssize_t __real_send(int fd, const void* data, size_t size, int flags);
extern "C" ssize_t __wrap_send(int fd, const void* data, size_t size, int flags)
{
    const ssize_t taken = __real_send(fd, data, size, flags);
    if (t_recording) g_sends.push_back({size, taken});
    return taken;
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

        g_sends.clear();
        t_recording = true;
        EXPECT_EQ(link.SendFrame(), kTransferOk);
        t_recording = false;
        link.m_frame = nullptr;

        // The command byte, the size header in one send, then the frame: every send offers the
        // next min(1024, rest) bytes from where the previous one ended.
        std::vector<size_t> taken;
        for (const SendCall& call : g_sends) {
            if (call.taken > 0) taken.push_back(static_cast<size_t>(call.taken));
        }
        ASSERT_GE(taken.size(), 2u);
        EXPECT_EQ(taken[0], 1u);
        EXPECT_EQ(taken[1], 4u);
        size_t offset = 0;
        bool allWhole = true;
        for (size_t i = 0; i < g_sends.size(); ++i) {
            if (i < 2 || g_sends[i].taken < 0) continue;
            ASSERT_EQ(g_sends[i].offered, std::min<size_t>(1024, frameBytes - offset));
            allWhole = allWhole && static_cast<size_t>(g_sends[i].taken) == g_sends[i].offered;
            offset += static_cast<size_t>(g_sends[i].taken);
        }
        EXPECT_EQ(offset, frameBytes);
        // Unless the kernel took part of a chunk (then the rest goes in one more send), the
        // frame is exactly the full chunks and the short last one.
        if (allWhole) {
            std::vector<size_t> chunks(taken.begin() + 2, taken.end());
            std::vector<size_t> expected(c.fullChunks, 1024);
            if (c.lastChunk != 0) expected.push_back(c.lastChunk);
            EXPECT_EQ(chunks, expected) << c.width << "x" << c.height;
        }
    }
}
