// Blocking-socket input and output with a limit on how long a call may go without progress.
// The socket itself stays blocking; each call is tried at once (MSG_DONTWAIT) and poll() waits
// only when the kernel has no room or no data, so a steady stream costs one system call per send.
// Writes never raise SIGPIPE (MSG_NOSIGNAL). Used by the link, switcher-emu and the test peers.
//
// Progress is a byte moving in either direction: one arriving, or the peer taking one of ours out
// of the connection. The kernel takes a frame into its send buffer long before a slow peer has
// read it, so while a call waits, the bytes still queued for the peer (sent but unacknowledged,
// or not yet sent) are watched; each time there are fewer of them the limit starts again.
#pragma once

#include <cstddef>
#include <cstdint>

#include <sys/types.h>

// Waits until `fd` is ready for `events` (POLLIN / POLLOUT). Returns true when ready (an error or
// hang-up counts: the next call reports it), false when `timeoutMs` passed first. A negative
// timeout waits without limit.
bool WaitForSocket(int fd, short events, int timeoutMs);

// Bytes the kernel holds for the peer of TCP socket `fd`, unsent or unacknowledged (SIOCOUTQ);
// -1 when it cannot tell.
int PendingSendBytes(int fd);

// Waits like WaitForSocket, but `idleTimeoutMs` counts only the time in which the peer took none
// of the bytes queued for it. False when the limit passed without readiness or progress.
bool WaitForProgress(int fd, short events, int idleTimeoutMs);

// Hands up to `size` bytes to the socket. Returns the count taken (at least 1 for size > 0), or
// -1 when the send failed or neither could a byte go out nor did the peer take one for
// `idleTimeoutMs`.
ssize_t SendSome(int fd, const void* data, size_t size, int idleTimeoutMs);

// Receives up to `size` bytes. Returns the count received (at least 1), 0 when the peer closed
// the connection, or -1 when the receive failed or for `idleTimeoutMs` nothing arrived and the
// peer took none of the bytes still queued for it.
ssize_t ReceiveSome(int fd, void* data, size_t size, int idleTimeoutMs);

// Sends or receives exactly `size` bytes, however the network splits them. False on failure, on
// the peer closing, or on `idleTimeoutMs` without progress.
bool SendAll(int fd, const void* data, size_t size, int idleTimeoutMs);
bool ReceiveAll(int fd, void* data, size_t size, int idleTimeoutMs);
