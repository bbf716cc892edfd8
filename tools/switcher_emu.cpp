// switcher-emu: an emulated switcher for rehearsal and tests. It serves the frame memory transfer
// protocol on TCP, holds FMEM 1 and FMEM 2, and can be told to misbehave in the ways a real
// switcher or network does (wrong replies, busy, a dropped connection, silence, a bad store).
//
// Every connection is served on a thread of its own, up to kMaxClients at once, so a slow or
// silent client holds up nobody else; each is dropped after the idle limit without
// progress. A frame memory is one shared, immutable frame: a write builds the new frame beside
// it, stores it and only then puts it in place, so a reader sends the old frame or the new one,
// whole, and a client that vanishes mid-frame leaves the memory as it was. SIGINT and SIGTERM
// are blocked except inside ppoll(); the handler writes to a pipe that every wait watches, so a
// stop request ends every wait at once and the program ends cleanly wherever it was.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "link/socket_io.h"
#include "link/switcher_link.h"
#include "link/unique_fd.h"

#include <getopt.h>

#ifndef IMGCAST_VERSION
#define IMGCAST_VERSION "unknown"
#endif

namespace {

constexpr uint64_t kDefaultMaxFrameBytes = 64u * 1024u * 1024u;
constexpr size_t kIoBytes = 64 * 1024;
// Connections served at once; more wait in the listen queue until one ends. Every connection
// ends at the latest after the idle limit without progress.
constexpr int kMaxClients = 64;
constexpr int kUsageError = 64;

struct EmulatorOptions {
    std::string listenAddress = "127.0.0.1";
    int port = kSwitcherPort;
    std::string storeFolder;
    std::optional<uint8_t> commandReply;  // answer every command with this byte
    int64_t busyCommands = 0;             // answer the first this many reads and writes with AF
    std::optional<uint8_t> finalStatus;   // answer every complete frame with this byte
    int64_t closeAfter = -1;              // drop the connection after this many payload bytes
    int64_t stallAfter = -1;              // go silent after this many payload bytes
    bool stallCommand = false;            // go silent instead of answering the command
    bool corruptStore = false;            // keep every written frame with its middle byte changed
    uint64_t maxFrameBytes = kDefaultMaxFrameBytes;
    int idleTimeoutMs = 10000;
};

volatile sig_atomic_t g_stopRequested = 0;
int g_stopPipe[2] = {-1, -1};  // written once on a stop request; never read, so it stays ready
sigset_t g_waitMask;           // the mask in force while waiting: SIGINT and SIGTERM deliverable

void OnStopSignal(int)
{
    const int saved = errno;
    g_stopRequested = 1;
    const char byte = 1;
    [[maybe_unused]] ssize_t ignored = ::write(g_stopPipe[1], &byte, 1);
    errno = saved;
}

// One whole line per call, so that the lines of concurrent connections never mix.
void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Log(const char* format, ...)
{
    char line[512];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(line, sizeof line, format, arguments);
    va_end(arguments);
    ::flockfile(stdout);
    std::fputs(line, stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    ::funlockfile(stdout);
}

enum class Wait { Ready, TimedOut, Stopped };

// Waits for `events` on `fd` (no limit when `idleTimeoutMs` is negative); a stop request ends
// the wait. As in the link, the peer taking bytes of ours out of the connection is progress and
// starts the limit again, so a client that reads a frame slowly is not dropped.
Wait WaitFor(int fd, short events, int idleTimeoutMs)
{
    using Clock = std::chrono::steady_clock;
    const auto limit = std::chrono::milliseconds(idleTimeoutMs);
    Clock::time_point deadline = Clock::now() + limit;
    int pending = PendingSendBytes(fd);
    for (;;) {
        if (g_stopRequested) return Wait::Stopped;
        pollfd entries[2] = {{fd, events, 0}, {g_stopPipe[0], POLLIN, 0}};
        timespec slice{};
        if (idleTimeoutMs >= 0) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            const int64_t sliceMs = std::clamp<int64_t>(left.count(), 0, 100);
            slice = {0, static_cast<long>(sliceMs) * 1000000L};
        }
        int ready = ::ppoll(entries, 2, idleTimeoutMs < 0 ? nullptr : &slice, &g_waitMask);
        if (ready > 0) return entries[1].revents != 0 ? Wait::Stopped : Wait::Ready;
        if (ready < 0) {
            if (errno == EINTR) continue;
            return Wait::Ready;  // let the following call report what is wrong
        }
        const int now = PendingSendBytes(fd);
        if (now >= 0 && pending >= 0 && now < pending)
            deadline = Clock::now() + limit;
        else if (Clock::now() >= deadline)
            return Wait::TimedOut;
        pending = now;
    }
}

// Reads or writes exactly `size` bytes; false when the client closed, failed, went quiet for the
// idle limit or a stop was requested.
bool ReadExactly(int fd, uint8_t* data, size_t size, int idleTimeoutMs)
{
    while (size > 0) {
        if (WaitFor(fd, POLLIN, idleTimeoutMs) != Wait::Ready) return false;
        ssize_t received = ::recv(fd, data, size, MSG_DONTWAIT);
        if (received == 0) return false;
        if (received < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
            return false;
        }
        data += received;
        size -= static_cast<size_t>(received);
    }
    return true;
}

bool WriteExactly(int fd, const uint8_t* data, size_t size, int idleTimeoutMs)
{
    while (size > 0) {
        if (WaitFor(fd, POLLOUT, idleTimeoutMs) != Wait::Ready) return false;
        ssize_t sent = ::send(fd, data, std::min(size, kIoBytes), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
            return false;
        }
        data += sent;
        size -= static_cast<size_t>(sent);
    }
    return true;
}

// Holds the connection without a word until the client gives up or a stop is requested.
void StallUntilClientLeaves(int fd)
{
    while (!g_stopRequested) {
        pollfd entries[2] = {{fd, POLLRDHUP, 0}, {g_stopPipe[0], POLLIN, 0}};
        int ready = ::ppoll(entries, 2, nullptr, &g_waitMask);
        if (ready > 0 && (entries[0].revents & (POLLRDHUP | POLLHUP | POLLERR))) return;
    }
}

struct FreeDeleter {
    void operator()(uint8_t* block) const { std::free(block); }
};

// The contents of a frame memory, never changed once installed: a write makes a new one. The
// block is allocated without being filled, so that only the pages a client actually sends are
// touched, and without throwing when the heap is exhausted.
struct StoredFrame {
    uint16_t width = 0;
    uint16_t height = 0;
    uint64_t size = 0;  // width × height × 2
    std::unique_ptr<uint8_t, FreeDeleter> bytes;

    // A frame of width × height with room for its bytes; null when it is empty or the heap is
    // exhausted.
    static std::unique_ptr<StoredFrame> Allocate(uint16_t width, uint16_t height)
    {
        auto frame = std::make_unique<StoredFrame>();
        frame->width = width;
        frame->height = height;
        frame->size = uint64_t{width} * height * 2;
        if (frame->size == 0) return nullptr;
        frame->bytes.reset(static_cast<uint8_t*>(std::malloc(frame->size)));
        if (frame->bytes == nullptr) return nullptr;
        return frame;
    }
};

std::string StorePath(const EmulatorOptions& options, int index)
{
    return options.storeFolder + "/fmem" + std::to_string(index + 1) + ".ycbcr";
}

// Writes the size header and the frame to a fresh temporary file, flushes it to the disk and
// renames it over the stored one, so that the stored frame is always either the old one or the
// new one, whole. Returns 0, or the error of the step that failed (with nothing left behind).
int StoreFrame(const EmulatorOptions& options, int index, const StoredFrame& frame)
{
    const std::string path = StorePath(options, index);
    const std::string temporary = path + ".tmp";
    // Whatever a previous run left under the temporary name goes; O_EXCL then guarantees a new
    // regular file of our own, never a FIFO, device or link someone put there.
    ::unlink(temporary.c_str());
    CUniqueFd file(::open(temporary.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644));
    if (!file) return errno;
    const SizeHeader header = PackSizeHeader(frame.width, frame.height);
    bool written = true;
    int error = 0;
    auto writeAll = [&](const uint8_t* data, size_t size) {
        while (written && size > 0) {
            ssize_t count = ::write(file.Get(), data, size);
            if (count < 0 && errno == EINTR) continue;
            if (count <= 0) {
                written = false;
                error = count < 0 ? errno : ENOSPC;
                break;
            }
            data += count;
            size -= static_cast<size_t>(count);
        }
    };
    writeAll(header.bytes, sizeof header.bytes);
    writeAll(frame.bytes.get(), frame.size);
    if (written && ::fsync(file.Get()) != 0) {
        written = false;
        error = errno;
    }
    if (::close(file.Release()) != 0 && written) {
        written = false;
        error = errno;
    }
    if (written && ::rename(temporary.c_str(), path.c_str()) != 0) {
        written = false;
        error = errno;
    }
    if (!written) ::unlink(temporary.c_str());
    return written ? 0 : error;
}

// The frame kept in the store file of FMEM index + 1, or null when there is none that holds one
// whole frame. Only a regular file is read; it is opened without blocking, so that a FIFO or a
// device in its place cannot hold up the start.
std::shared_ptr<const StoredFrame> LoadStoredFrame(const EmulatorOptions& options, int index)
{
    const std::string path = StorePath(options, index);
    CUniqueFd file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!file) return nullptr;
    struct stat status {};
    if (::fstat(file.Get(), &status) != 0 || !S_ISREG(status.st_mode)) {
        Log("FMEM %d: %s is not a regular file, starting empty", index + 1, path.c_str());
        return nullptr;
    }
    uint8_t header[4];
    if (::read(file.Get(), header, 4) != 4) {
        Log("FMEM %d: %s is unreadable, starting empty", index + 1, path.c_str());
        return nullptr;
    }
    uint16_t width = 0, height = 0;
    UnpackSizeHeader(header, &width, &height);
    const uint64_t bytes = uint64_t{width} * height * 2;
    if (bytes == 0 || bytes > options.maxFrameBytes ||
        static_cast<uint64_t>(status.st_size) != bytes + 4) {
        Log("FMEM %d: %s does not hold one frame, starting empty", index + 1, path.c_str());
        return nullptr;
    }
    std::unique_ptr<StoredFrame> frame = StoredFrame::Allocate(width, height);
    if (frame == nullptr) {
        Log("FMEM %d: no memory for %s, starting empty", index + 1, path.c_str());
        return nullptr;
    }
    size_t done = 0;
    while (done < bytes) {
        ssize_t count = ::read(file.Get(), frame->bytes.get() + done, bytes - done);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) {
            Log("FMEM %d: %s is short, starting empty", index + 1, path.c_str());
            return nullptr;
        }
        done += static_cast<size_t>(count);
    }
    Log("FMEM %d: loaded %ux%u from %s", index + 1, width, height, path.c_str());
    return frame;
}

class CEmulator {
  public:
    explicit CEmulator(const EmulatorOptions& options)
        : m_options(options)
        , m_busyLeft(options.busyCommands)
    {
    }

    void LoadStore()
    {
        if (m_options.storeFolder.empty()) return;
        for (int index = 0; index < 2; ++index)
            m_memories[index].frame = LoadStoredFrame(m_options, index);
    }

    // Runs one exchange on `client`; safe to call from several threads at once.
    void Serve(int client)
    {
        const int idle = m_options.idleTimeoutMs;
        uint8_t command = 0;
        if (!ReadExactly(client, &command, 1, idle)) {
            Log("connection closed before a command");
            return;
        }
        if (m_options.stallCommand) {
            Log("command %02X: stalling", command);
            StallUntilClientLeaves(client);
            return;
        }
        switch (command) {
            case kCommandWriteFmem1:
            case kCommandWriteFmem2:
                ServeWrite(client, command == kCommandWriteFmem1 ? 0 : 1);
                break;
            case kCommandReadFmem1:
            case kCommandReadFmem2:
                ServeRead(client, command == kCommandReadFmem1 ? 0 : 1);
                break;
            default: {
                const uint8_t reply = m_options.commandReply.value_or(kReplyError);
                WriteExactly(client, &reply, 1, idle);
                Log("unknown command %02X: answered %02X", command, reply);
                break;
            }
        }
    }

  private:
    struct Memory {
        std::mutex mutex;  // guards `frame`, the pointer; the frame itself never changes
        std::shared_ptr<const StoredFrame> frame;
        std::mutex storeMutex;  // one write at a time stores and installs a frame
    };

    std::shared_ptr<const StoredFrame> CurrentFrame(int index)
    {
        std::lock_guard<std::mutex> lock(m_memories[index].mutex);
        return m_memories[index].frame;
    }

    // True while the count of --busy N lasts; each read or write command uses up one.
    bool TakeBusyCommand()
    {
        int64_t left = m_busyLeft.load();
        while (left > 0) {
            if (m_busyLeft.compare_exchange_weak(left, left - 1)) return true;
        }
        return false;
    }

    // The payload limit of the fault options: true when the exchange must end after `done` bytes,
    // having dropped the connection or stalled as asked.
    bool PayloadLimitReached(int client, uint64_t done, const char* what)
    {
        if (m_options.closeAfter >= 0 && done >= static_cast<uint64_t>(m_options.closeAfter)) {
            Log("%s: closing after %llu payload bytes", what,
                static_cast<unsigned long long>(done));
            return true;
        }
        if (m_options.stallAfter >= 0 && done >= static_cast<uint64_t>(m_options.stallAfter)) {
            Log("%s: stalling after %llu payload bytes", what,
                static_cast<unsigned long long>(done));
            StallUntilClientLeaves(client);
            return true;
        }
        return false;
    }

    // How many payload bytes may move before the next fault limit.
    uint64_t BytesBeforeLimit(uint64_t done, uint64_t total) const
    {
        uint64_t limit = total;
        if (m_options.closeAfter >= 0)
            limit = std::min(limit, static_cast<uint64_t>(m_options.closeAfter));
        if (m_options.stallAfter >= 0)
            limit = std::min(limit, static_cast<uint64_t>(m_options.stallAfter));
        return limit > done ? limit - done : 0;
    }

    // Stores `frame` (when there is a store) and makes it the contents of the memory; false when
    // it could not be stored, and then the memory keeps what it held.
    bool InstallFrame(int index, std::shared_ptr<const StoredFrame> frame, const char* what)
    {
        Memory& memory = m_memories[index];
        std::lock_guard<std::mutex> storing(memory.storeMutex);
        if (!m_options.storeFolder.empty()) {
            if (int error = StoreFrame(m_options, index, *frame); error != 0) {
                Log("%s: cannot store %s: %s", what, StorePath(m_options, index).c_str(),
                    std::strerror(error));
                return false;
            }
        }
        std::lock_guard<std::mutex> lock(memory.mutex);
        memory.frame = std::move(frame);
        return true;
    }

    void ServeWrite(int client, int index)
    {
        const int idle = m_options.idleTimeoutMs;
        const uint8_t reply =
            TakeBusyCommand() ? kReplyBusy : m_options.commandReply.value_or(kReplyAccept);
        if (!WriteExactly(client, &reply, 1, idle)) return;
        if (reply != kReplyAccept) {
            Log("write FMEM %d: answered %02X", index + 1, reply);
            return;
        }
        uint8_t header[4];
        if (!ReadExactly(client, header, 4, idle)) {
            Log("write FMEM %d: no size header", index + 1);
            return;
        }
        uint16_t width = 0, height = 0;
        UnpackSizeHeader(header, &width, &height);
        const uint64_t total = uint64_t{width} * height * 2;
        // A frame that is empty, larger than the memory holds or beyond the heap is taken off
        // the wire but not kept; the switcher then reports a receive error.
        std::unique_ptr<StoredFrame> frame;
        if (total > 0 && total <= m_options.maxFrameBytes)
            frame = StoredFrame::Allocate(width, height);
        const bool acceptable = frame != nullptr;
        std::vector<uint8_t> scratch;
        if (!acceptable) scratch.resize(kIoBytes);
        uint64_t done = 0;
        char what[64];
        std::snprintf(what, sizeof what, "write FMEM %d %ux%u", index + 1, width, height);
        // The fault limits are tested once more after the last byte, so that a limit of the
        // frame's size drops or silences the connection before the final status.
        for (;;) {
            if (PayloadLimitReached(client, done, what)) return;
            if (done == total) break;
            uint64_t want = std::min(total - done, BytesBeforeLimit(done, total));
            uint8_t* into = acceptable ? frame->bytes.get() + done : scratch.data();
            if (!acceptable) want = std::min<uint64_t>(want, scratch.size());
            if (WaitFor(client, POLLIN, idle) != Wait::Ready) {
                Log("%s: client silent or stop requested after %llu bytes, frame dropped", what,
                    static_cast<unsigned long long>(done));
                return;
            }
            ssize_t received = ::recv(client, into, want, MSG_DONTWAIT);
            if (received == 0 || (received < 0 && errno != EINTR && errno != EAGAIN)) {
                Log("%s: client left after %llu of %llu bytes, frame dropped", what,
                    static_cast<unsigned long long>(done), static_cast<unsigned long long>(total));
                return;
            }
            if (received > 0) done += static_cast<uint64_t>(received);
        }

        uint8_t status = acceptable ? m_options.finalStatus.value_or(kReplyAccept) : kReplyError;
        if (status == kReplyAccept) {
            if (m_options.corruptStore) {
                frame->bytes.get()[total / 2] ^= 0x01;
                Log("%s: byte %llu changed", what, static_cast<unsigned long long>(total / 2));
            }
            if (!InstallFrame(index, std::move(frame), what)) status = kReplyError;
        }
        WriteExactly(client, &status, 1, idle);
        Log("%s: %llu bytes, answered %02X", what, static_cast<unsigned long long>(total), status);
    }

    void ServeRead(int client, int index)
    {
        const int idle = m_options.idleTimeoutMs;
        // The frame is held for the whole exchange: a write meanwhile installs a new one and
        // leaves this one whole.
        const std::shared_ptr<const StoredFrame> frame = CurrentFrame(index);
        uint8_t reply = frame != nullptr ? kReplyFrameFollows : kReplyAccept;
        if (m_options.commandReply) reply = *m_options.commandReply;
        if (TakeBusyCommand()) reply = kReplyBusy;
        if (!WriteExactly(client, &reply, 1, idle)) return;
        if (reply != kReplyFrameFollows) {
            Log("read FMEM %d: answered %02X", index + 1, reply);
            return;
        }
        static const StoredFrame kNoFrame;  // a forced 10 reply to an empty memory: size 0 × 0
        const StoredFrame& memory = frame != nullptr ? *frame : kNoFrame;
        const SizeHeader header = PackSizeHeader(memory.width, memory.height);
        if (!WriteExactly(client, header.bytes, sizeof header.bytes, idle)) return;
        char what[64];
        std::snprintf(what, sizeof what, "read FMEM %d %ux%u", index + 1, memory.width,
                      memory.height);
        const uint64_t total = memory.size;
        uint64_t done = 0;
        while (done < total) {
            if (PayloadLimitReached(client, done, what)) return;
            const uint64_t count = std::min(total - done, BytesBeforeLimit(done, total));
            if (!WriteExactly(client, memory.bytes.get() + done, count, idle)) {
                Log("%s: client left after %llu of %llu bytes", what,
                    static_cast<unsigned long long>(done), static_cast<unsigned long long>(total));
                return;
            }
            done += count;
        }
        Log("%s: %llu bytes sent", what, static_cast<unsigned long long>(total));
    }

    const EmulatorOptions& m_options;
    Memory m_memories[2];
    std::atomic<int64_t> m_busyLeft;
};

// The threads serving connections. Each marks itself finished as its last act; the accept loop
// joins finished ones before it takes the next connection, and all of them before it ends.
class CClientThreads {
  public:
    ~CClientThreads() { JoinAll(); }

    int Running()
    {
        JoinFinished();
        return static_cast<int>(m_threads.size());
    }

    // Serves `client` on a new thread; when no thread can be made, the connection is closed.
    void Start(CEmulator* emulator, CUniqueFd client)
    {
        m_threads.emplace_back();
        Entry& entry = m_threads.back();
        const int fd = client.Get();
        try {
            entry.thread = std::thread([emulator, &entry, fd] {
                CUniqueFd connection(fd);
                emulator->Serve(connection.Get());
                connection.Reset();
                entry.finished = true;
            });
        } catch (const std::system_error& error) {
            m_threads.pop_back();
            Log("connection refused: no thread for it (%s)", error.what());
            return;
        }
        client.Release();  // the thread owns it now
    }

    void JoinAll()
    {
        for (Entry& entry : m_threads) entry.thread.join();
        m_threads.clear();
    }

  private:
    struct Entry {
        std::thread thread;
        std::atomic<bool> finished{false};
    };

    void JoinFinished()
    {
        for (auto it = m_threads.begin(); it != m_threads.end();) {
            if (it->finished) {
                it->thread.join();
                it = m_threads.erase(it);
            } else {
                ++it;
            }
        }
    }

    std::list<Entry> m_threads;  // a list, so that an entry stays put while its thread runs
};

void PrintUsage(FILE* to)
{
    std::fprintf(
        to,
        "usage: switcher-emu [--listen ADDR] [--port N] [--store DIR] [fault options]\n"
        "\n"
        "Serves the frame memory transfer protocol of the switcher on TCP, up to %d clients at\n"
        "once, holding FMEM 1 and FMEM 2 (empty at start: a read answers AC).\n"
        "\n"
        "  --listen ADDR        IPv4 address to listen on (default 127.0.0.1)\n"
        "  --port N             TCP port (default 2006); 0 picks a free port\n"
        "  --store DIR          keep accepted frames in DIR/fmem1.ycbcr and DIR/fmem2.ycbcr\n"
        "                       (size header + frame, replaced atomically) and load them at "
        "start;\n"
        "                       a frame that cannot be stored is answered AD and not kept\n"
        "  --max-frame-bytes N  largest frame accepted (default %llu); larger ones answer AD\n"
        "  --timeout SECONDS    drop a client that makes no progress this long (default 10)\n"
        "  -h, --help           show this text\n"
        "  --version            show the version\n"
        "\n"
        "Fault options (BYTE in hex: AD or 0xAD):\n"
        "  --command-reply BYTE answer every command with BYTE (AF busy, AD error, AC empty...)\n"
        "  --busy               the same as --command-reply AF\n"
        "  --busy N, --busy=N   answer AF (busy) to the first N read and write commands, then\n"
        "                       serve normally\n"
        "  --final-status BYTE  answer every complete frame with BYTE (AC keeps the frame)\n"
        "  --corrupt-store      keep every written frame (memory and store file) with its middle\n"
        "                       byte changed (XOR 01), still answering AC\n"
        "  --close-after N      drop the connection after N payload bytes (write or read)\n"
        "  --stall              never answer the command, hold the connection\n"
        "  --stall-after N      go silent after N payload bytes (N = frame size: before the\n"
        "                       final status)\n"
        "\n"
        "Options take their value as --option VALUE or --option=VALUE. The first line on standard\n"
        "output is \"listening on ADDR:PORT\"; then one line per exchange. SIGINT or SIGTERM "
        "stops\n"
        "it. Exit status: 0 when stopped, 1 when it cannot listen or use the store folder, 64 for\n"
        "a command line that cannot be understood.\n",
        kMaxClients, static_cast<unsigned long long>(kDefaultMaxFrameBytes));
}

bool ParseUnsigned(const char* text, uint64_t maximum, uint64_t* value)
{
    if (text == nullptr || *text == '\0' || *text < '0' || *text > '9') return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long parsed = std::strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0' || parsed > maximum) return false;
    *value = parsed;
    return true;
}

bool ParseByte(const char* text, uint8_t* value)
{
    if (text == nullptr || *text == '\0' || *text == '-' || *text == '+' || *text == ' ')
        return false;
    char* end = nullptr;
    errno = 0;
    unsigned long parsed = std::strtoul(text, &end, 16);
    if (errno != 0 || *end != '\0' || parsed > 0xFF) return false;
    *value = static_cast<uint8_t>(parsed);
    return true;
}

enum OptionCode {
    kOptionListen = 256,
    kOptionPort,
    kOptionStore,
    kOptionMaxFrameBytes,
    kOptionTimeout,
    kOptionCommandReply,
    kOptionBusy,
    kOptionFinalStatus,
    kOptionCorruptStore,
    kOptionCloseAfter,
    kOptionStall,
    kOptionStallAfter,
    kOptionVersion,
};

int UsageError(const char* format, const char* what)
{
    std::fprintf(stderr, "switcher-emu: ");
    std::fprintf(stderr, format, what);
    std::fprintf(stderr, " (see --help)\n");
    return kUsageError;
}

// Returns 0 when the options were understood, -1 when --help or --version has been answered,
// otherwise the exit status to end with.
int ParseOptions(int argc, char** argv, EmulatorOptions* options)
{
    static const option kOptions[] = {
        {"listen", required_argument, nullptr, kOptionListen},
        {"port", required_argument, nullptr, kOptionPort},
        {"store", required_argument, nullptr, kOptionStore},
        {"max-frame-bytes", required_argument, nullptr, kOptionMaxFrameBytes},
        {"timeout", required_argument, nullptr, kOptionTimeout},
        {"command-reply", required_argument, nullptr, kOptionCommandReply},
        {"busy", optional_argument, nullptr, kOptionBusy},
        {"final-status", required_argument, nullptr, kOptionFinalStatus},
        {"corrupt-store", no_argument, nullptr, kOptionCorruptStore},
        {"close-after", required_argument, nullptr, kOptionCloseAfter},
        {"stall", no_argument, nullptr, kOptionStall},
        {"stall-after", required_argument, nullptr, kOptionStallAfter},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, kOptionVersion},
        {nullptr, 0, nullptr, 0},
    };
    ::opterr = 0;  // the messages below say what is wrong
    ::optind = 1;
    int code = 0;
    int index = -1;
    // "+": the first operand ends the options, as it does everywhere else; there are none.
    while ((code = ::getopt_long(argc, argv, "+:h", kOptions, &index)) != -1) {
        const char* name = index >= 0 ? kOptions[index].name : nullptr;
        const std::string shown = name != nullptr ? std::string("--") + name : "";
        index = -1;
        uint64_t number = 0;
        uint8_t byte = 0;
        bool valid = true;
        switch (code) {
            case 'h':
                PrintUsage(stdout);
                return -1;
            case kOptionVersion:
                std::printf("switcher-emu %s\n", IMGCAST_VERSION);
                return -1;
            case kOptionListen: {
                in_addr probe{};
                valid = ::inet_pton(AF_INET, ::optarg, &probe) == 1;
                if (valid) options->listenAddress = ::optarg;
                break;
            }
            case kOptionPort:
                valid = ParseUnsigned(::optarg, 65535, &number);
                options->port = static_cast<int>(number);
                break;
            case kOptionStore:
                valid = *::optarg != '\0';
                if (valid) options->storeFolder = ::optarg;
                break;
            case kOptionMaxFrameBytes:
                valid = ParseUnsigned(::optarg, UINT32_MAX, &number);
                options->maxFrameBytes = number;
                break;
            case kOptionTimeout: {
                char* end = nullptr;
                double seconds = std::strtod(::optarg, &end);
                valid = *::optarg != '\0' && *end == '\0' && seconds >= 0.001 && seconds <= 86400;
                options->idleTimeoutMs = static_cast<int>(seconds * 1000 + 0.5);
                break;
            }
            case kOptionCommandReply:
                valid = ParseByte(::optarg, &byte);
                options->commandReply = byte;
                break;
            case kOptionBusy: {
                // The count is optional; it may also stand as the next argument (--busy 3).
                const char* count = ::optarg;
                if (count == nullptr && ::optind < argc &&
                    ParseUnsigned(argv[::optind], INT64_MAX, &number))
                    count = argv[::optind++];
                if (count == nullptr) {
                    options->commandReply = kReplyBusy;
                    options->busyCommands = 0;
                } else {
                    valid = ParseUnsigned(count, INT64_MAX, &number);
                    options->busyCommands = static_cast<int64_t>(number);
                }
                break;
            }
            case kOptionFinalStatus:
                valid = ParseByte(::optarg, &byte);
                options->finalStatus = byte;
                break;
            case kOptionCorruptStore:
                options->corruptStore = true;
                break;
            case kOptionCloseAfter:
                valid = ParseUnsigned(::optarg, INT64_MAX, &number);
                options->closeAfter = static_cast<int64_t>(number);
                break;
            case kOptionStall:
                options->stallCommand = true;
                break;
            case kOptionStallAfter:
                valid = ParseUnsigned(::optarg, INT64_MAX, &number);
                options->stallAfter = static_cast<int64_t>(number);
                break;
            case ':':
                return UsageError("%s needs a value", argv[::optind - 1]);
            default:
                // An unknown option, or a value given to one that takes none (--stall=1).
                return UsageError("cannot understand %s", argv[::optind - 1]);
        }
        if (!valid) return UsageError("%s needs a valid value", shown.c_str());
    }
    if (::optind < argc) return UsageError("takes no operands: %s", argv[::optind]);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    EmulatorOptions options;
    int parsed = ParseOptions(argc, argv, &options);
    if (parsed != 0) return parsed < 0 ? 0 : parsed;

    // SIGINT and SIGTERM are blocked except inside ppoll(), where they end the wait; a client
    // that goes away while we write must not kill the emulator, nor a store file that outgrows
    // the file size limit (the write then fails and the frame is answered AD).
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    if (::pipe2(g_stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::perror("switcher-emu: pipe");
        return 1;
    }
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    // Set before any thread starts, so that every thread inherits it.
    ::sigprocmask(SIG_BLOCK, &stopSignals, &g_waitMask);
    sigdelset(&g_waitMask, SIGINT);
    sigdelset(&g_waitMask, SIGTERM);

    if (!options.storeFolder.empty()) {
        ::mkdir(options.storeFolder.c_str(), 0755);
        struct stat status {};
        if (::stat(options.storeFolder.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
            std::fprintf(stderr, "switcher-emu: cannot use %s as the store folder\n",
                         options.storeFolder.c_str());
            return 1;
        }
    }

    CUniqueFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP));
    if (!listener) {
        std::perror("switcher-emu: socket");
        return 1;
    }
    // Only the listening socket gets an option: a restarted emulator may take its port again
    // while connections of the previous run linger in TIME_WAIT.
    int reuse = 1;
    ::setsockopt(listener.Get(), SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(options.port));
    ::inet_pton(AF_INET, options.listenAddress.c_str(), &address.sin_addr);
    if (::bind(listener.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener.Get(), SOMAXCONN) != 0) {
        std::fprintf(stderr, "switcher-emu: cannot listen on %s:%d: %s\n",
                     options.listenAddress.c_str(), options.port, std::strerror(errno));
        return 1;
    }
    socklen_t length = sizeof address;
    ::getsockname(listener.Get(), reinterpret_cast<sockaddr*>(&address), &length);

    // The address line comes first, so that whoever started the emulator on port 0 learns the
    // port from the first line; clients that connect meanwhile wait until the store is loaded.
    Log("listening on %s:%u", options.listenAddress.c_str(), ntohs(address.sin_port));
    CEmulator emulator(options);
    emulator.LoadStore();

    CClientThreads clients;
    while (!g_stopRequested) {
        // With every slot taken, new connections wait in the listen queue; a slot frees at the
        // latest after the idle limit of the connection holding it.
        if (clients.Running() >= kMaxClients) {
            WaitFor(g_stopPipe[0], POLLIN, 20);
            continue;
        }
        if (WaitFor(listener.Get(), POLLIN, -1) != Wait::Ready) continue;
        CUniqueFd client(::accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!client) continue;
        clients.Start(&emulator, std::move(client));
    }
    clients.JoinAll();
    Log("stopped");
    return 0;
}
