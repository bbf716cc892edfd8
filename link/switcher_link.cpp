#include "link/switcher_link.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include "block/frame_block.h"
#include "link/progress.h"
#include "link/socket_io.h"
#include "link/unique_fd.h"

namespace {

// A size header may announce up to 65535 × 65535 × 2 bytes, more than 32 bits hold; anything above
// this bound is refused before a byte is allocated.
constexpr uint64_t kMaxReadFrameBytes = 256u * 1024u * 1024u;

int WriteResultForReply(uint8_t reply)
{
    switch (reply) {
        case kReplyAccept:
            return kTransferOk;
        case kReplyError:
            return kSwitcherReceiveError;
        case kReplyBusy:
            return kWriteBusy;
        default:
            return kReceiveDataError;
    }
}

// Switches O_NONBLOCK on or off; false when the flags cannot be read or written.
bool SetBlocking(int fd, bool blocking)
{
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0) return false;
    flags = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
    return ::fcntl(fd, F_SETFL, flags) == 0;
}

// Connects within `timeoutMs` (no limit when negative) and leaves the socket blocking.
bool ConnectWithin(int fd, const sockaddr_in& address, int timeoutMs)
{
    if (!SetBlocking(fd, false)) return false;
    int result = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    if (result != 0) {
        if (errno != EINPROGRESS && errno != EINTR) return false;
        if (!WaitForSocket(fd, POLLOUT, timeoutMs)) return false;
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0)
            return false;
    }
    return SetBlocking(fd, true);
}

void SetCork(int fd, bool on)
{
    // Holding the cork over the frame lets the kernel cut it into full segments although every
    // send hands it at most 1024 bytes; without it a small last segment can wait for a delayed
    // acknowledgement. A failure only costs speed, so the result is not examined.
    int value = on ? 1 : 0;
    ::setsockopt(fd, IPPROTO_TCP, TCP_CORK, &value, sizeof value);
}

}  // namespace

CSwitcherLink::CSwitcherLink(const LinkInputs& inputs, LinkOptions options)
    : m_inputs(inputs)
    , m_options(options)
{
}

CSwitcherLink::~CSwitcherLink()
{
    // Only a connection made without its exchange is still open here; m_frame is the caller's.
    CUniqueFd pending(m_socket);
    m_socket = -1;
}

int CSwitcherLink::ConnectSwitcher()
{
    // A connection left over from a ConnectSwitcher without its exchange is closed first.
    CUniqueFd(m_socket).Reset();
    m_socket = -1;

    const std::array<uint8_t, 4> address = m_inputs.SwitcherAddress();
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(m_options.port);
    auto* addressBytes = reinterpret_cast<uint8_t*>(&peer.sin_addr.s_addr);
    std::copy(address.begin(), address.end(), addressBytes);  // a.b.c.d in network order

    CUniqueFd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP));
    if (!socket) return kSocketInitError;
    if (!ConnectWithin(socket.Get(), peer, m_options.connectTimeoutMs))
        return kServerConnectError;  // the socket closes with `socket`
    m_socket = socket.Release();
    return kTransferOk;
}

int CSwitcherLink::WriteFrameMemory()
{
    CUniqueFd socket(m_socket);  // closed on every return
    m_socket = -1;
    const int fd = socket.Get();
    const int idle = m_options.idleTimeoutMs;

    const uint8_t command = m_target == 0 ? kCommandWriteFmem1 : kCommandWriteFmem2;
    if (!SendAll(fd, &command, 1, idle)) return kSizeSendError;

    uint8_t reply = 0;
    if (!ReceiveAll(fd, &reply, 1, idle)) return kImageSendError;
    if (reply != kReplyAccept) return WriteResultForReply(reply);

    SetCork(fd, true);
    const SizeHeader header = PackSizeHeader(m_frameWidth, m_frameHeight);
    if (!SendAll(fd, header.bytes, sizeof header.bytes, idle)) return kSizeSendError;
    g_progressTotal = static_cast<int32_t>(m_frameBytes);

    while (m_sentBytes < m_frameBytes) {
        const uint32_t chunk = std::min<uint32_t>(m_frameBytes - m_sentBytes, kChunkBytes);
        ssize_t sent = SendSome(fd, m_frame + m_sentBytes, chunk, idle);
        if (sent <= 0) return kImageSendError;
        m_sentBytes += static_cast<uint32_t>(sent);
        g_progressDone = static_cast<int32_t>(m_sentBytes);
    }
    SetCork(fd, false);  // the last partial segment leaves now, before the status is awaited

    uint8_t status = 0;
    if (!ReceiveAll(fd, &status, 1, idle)) return kImageSendError;
    return WriteResultForReply(status);
}

int CSwitcherLink::ReadFrameMemory()
{
    CUniqueFd socket(m_socket);  // closed on every return
    m_socket = -1;
    const int fd = socket.Get();
    const int idle = m_options.idleTimeoutMs;

    const uint8_t command = m_inputs.Fmem1Checked() ? kCommandReadFmem1 : kCommandReadFmem2;
    if (!SendAll(fd, &command, 1, idle)) return kSizeSendError;

    uint8_t reply = 0;
    if (!ReceiveAll(fd, &reply, 1, idle)) return kReceiveDataError;
    switch (reply) {
        case kReplyFrameFollows:
            break;
        case kReplyAccept:
            return kFmemEmpty;
        case kReplyError:
            return kFmemReadError;
        case kReplyBusy:
            return kReadBusy;
        default:
            return kReceiveDataError;
    }

    uint8_t header[4];
    if (!ReceiveAll(fd, header, sizeof header, idle)) return kReceiveDataError;
    UnpackSizeHeader(header, &m_frameWidth, &m_frameHeight);
    const uint64_t count = uint64_t{m_frameWidth} * m_frameHeight * 2;
    if (count > kMaxReadFrameBytes) return kReceiveDataError;

    m_frame = nullptr;
    if (count > 0) {
        m_frame = static_cast<uint8_t*>(AllocateFrameBlock(count));
        if (m_frame == nullptr) return kFrameAllocError;
    }
    g_progressTotal = static_cast<int32_t>(count);

    uint64_t offset = 0;
    while (offset < count) {
        ssize_t received = ReceiveSome(fd, m_frame + offset, count - offset, idle);
        if (received <= 0) {
            ReleaseFrameBlock(m_frame);
            m_frame = nullptr;
            return kReceiveDataError;
        }
        offset += static_cast<uint64_t>(received);
        g_progressDone = static_cast<int32_t>(offset);
    }
    return kTransferOk;
}

int CSwitcherLink::SendFrame()
{
    int result = ConnectSwitcher();
    if (result != kTransferOk) return result;
    return WriteFrameMemory();
}

int CSwitcherLink::ReceiveFrame()
{
    int result = ConnectSwitcher();
    if (result != kTransferOk) return result;
    return ReadFrameMemory();
}
