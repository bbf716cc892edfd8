#include "link/socket_io.h"

#include <algorithm>
#include <cerrno>
#include <chrono>

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <linux/sockios.h>

bool WaitForSocket(int fd, short events, int timeoutMs)
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int remaining = -1;
        if (timeoutMs >= 0) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            remaining = static_cast<int>(std::max<int64_t>(0, left.count()));
        }
        pollfd entry{fd, events, 0};
        int ready = ::poll(&entry, 1, remaining);
        if (ready > 0) return true;
        if (ready == 0) return false;
        if (errno != EINTR)
            return true;  // let the following call report what is wrong with the descriptor
    }
}

int PendingSendBytes(int fd)
{
    int pending = 0;
    if (::ioctl(fd, SIOCOUTQ, &pending) != 0) return -1;
    return pending;
}

bool WaitForProgress(int fd, short events, int idleTimeoutMs)
{
    if (idleTimeoutMs < 0) return WaitForSocket(fd, events, -1);
    using Clock = std::chrono::steady_clock;
    // The send queue is looked at a few times per limit: often enough that a peer taking bytes
    // now and then is never missed for long, rarely enough to cost nothing.
    const int slice = std::clamp(idleTimeoutMs / 4, 1, 100);
    const auto limit = std::chrono::milliseconds(idleTimeoutMs);
    Clock::time_point deadline = Clock::now() + limit;
    int pending = PendingSendBytes(fd);
    for (;;) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        const int wait = static_cast<int>(std::clamp<int64_t>(left.count(), 0, slice));
        if (WaitForSocket(fd, events, wait)) return true;
        // Nothing is sent while this waits, so a shorter queue means the peer took bytes.
        const int now = PendingSendBytes(fd);
        if (now >= 0 && pending >= 0 && now < pending)
            deadline = Clock::now() + limit;
        else if (Clock::now() >= deadline)
            return false;
        pending = now;
    }
}

ssize_t SendSome(int fd, const void* data, size_t size, int idleTimeoutMs)
{
    for (;;) {
        ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent >= 0) return sent;
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
        if (!WaitForProgress(fd, POLLOUT, idleTimeoutMs)) return -1;
    }
}

ssize_t ReceiveSome(int fd, void* data, size_t size, int idleTimeoutMs)
{
    for (;;) {
        ssize_t received = ::recv(fd, data, size, MSG_DONTWAIT);
        if (received >= 0) return received;
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
        if (!WaitForProgress(fd, POLLIN, idleTimeoutMs)) return -1;
    }
}

bool SendAll(int fd, const void* data, size_t size, int idleTimeoutMs)
{
    const auto* bytes = static_cast<const uint8_t*>(data);
    while (size > 0) {
        ssize_t sent = SendSome(fd, bytes, size, idleTimeoutMs);
        if (sent <= 0) return false;
        bytes += sent;
        size -= static_cast<size_t>(sent);
    }
    return true;
}

bool ReceiveAll(int fd, void* data, size_t size, int idleTimeoutMs)
{
    auto* bytes = static_cast<uint8_t*>(data);
    while (size > 0) {
        ssize_t received = ReceiveSome(fd, bytes, size, idleTimeoutMs);
        if (received <= 0) return false;
        bytes += received;
        size -= static_cast<size_t>(received);
    }
    return true;
}
