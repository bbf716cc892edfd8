// switcher-emu: an emulated switcher for rehearsal and tests. It serves the frame memory transfer
// protocol on TCP, holds FMEM 1 and FMEM 2, and can be told to misbehave in the ways a real
// switcher or network does (wrong replies, busy, a dropped connection, silence).
//
// One client is served at a time, in the order they connect. A frame replaces a memory only once
// every byte of it has arrived, so a client that vanishes mid-frame leaves the stored frame as it
// was. All waiting happens in ppoll() with SIGINT and SIGTERM unblocked only there, so a stop
// request is seen at once and the program ends cleanly wherever it was.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "link/switcher_link.h"
#include "link/unique_fd.h"

namespace {

constexpr uint64_t kDefaultMaxFrameBytes = 64u * 1024u * 1024u;
constexpr size_t kIoBytes = 64 * 1024;

struct EmulatorOptions {
    std::string listenAddress = "127.0.0.1";
    int port = kSwitcherPort;
    std::string storeFolder;
    std::optional<uint8_t> commandReply;  // answer every command with this byte
    std::optional<uint8_t> finalStatus;   // answer every complete frame with this byte
    int64_t closeAfter = -1;              // drop the connection after this many payload bytes
    int64_t stallAfter = -1;              // go silent after this many payload bytes
    bool stallCommand = false;            // go silent instead of answering the command
    uint64_t maxFrameBytes = kDefaultMaxFrameBytes;
    int idleTimeoutMs = 10000;
};

volatile sig_atomic_t g_stopRequested = 0;
sigset_t g_waitMask;  // the mask in force while waiting: SIGINT and SIGTERM deliverable

void OnStopSignal(int)
{
    g_stopRequested = 1;
}

void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Log(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    std::vprintf(format, arguments);
    va_end(arguments);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

enum class Wait { Ready, TimedOut, Stopped };

// Waits for `events` on `fd`; a stop request ends the wait.
Wait WaitFor(int fd, short events, int timeoutMs)
{
    pollfd entry{fd, events, 0};
    timespec limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000000L};
    for (;;) {
        if (g_stopRequested) return Wait::Stopped;
        int ready = ::ppoll(&entry, 1, timeoutMs < 0 ? nullptr : &limit, &g_waitMask);
        if (ready > 0) return Wait::Ready;
        if (ready == 0) return Wait::TimedOut;
        if (errno != EINTR) return Wait::Ready;
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
    pollfd entry{fd, POLLRDHUP, 0};
    while (!g_stopRequested) {
        int ready = ::ppoll(&entry, 1, nullptr, &g_waitMask);
        if (ready > 0 && (entry.revents & (POLLRDHUP | POLLHUP | POLLERR))) return;
    }
}

struct FrameMemory {
    bool filled = false;
    uint16_t width = 0;
    uint16_t height = 0;
    std::vector<uint8_t> frame;
};

std::string StorePath(const EmulatorOptions& options, int index)
{
    return options.storeFolder + "/fmem" + std::to_string(index + 1) + ".ycbcr";
}

// Writes the size header and the frame to a temporary file and renames it over the stored one,
// so that the stored frame is always either the old one or the new one, whole.
bool StoreFrame(const EmulatorOptions& options, int index, const FrameMemory& memory)
{
    const std::string path = StorePath(options, index);
    const std::string temporary = path + ".tmp";
    CUniqueFd file(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!file) return false;
    const SizeHeader header = PackSizeHeader(memory.width, memory.height);
    bool written = true;
    auto writeAll = [&](const uint8_t* data, size_t size) {
        while (written && size > 0) {
            ssize_t count = ::write(file.Get(), data, size);
            if (count < 0 && errno == EINTR) continue;
            if (count <= 0) {
                written = false;
                break;
            }
            data += count;
            size -= static_cast<size_t>(count);
        }
    };
    writeAll(header.bytes, sizeof header.bytes);
    writeAll(memory.frame.data(), memory.frame.size());
    written = written && ::fsync(file.Get()) == 0;
    file.Reset();
    if (!written || ::rename(temporary.c_str(), path.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

void LoadStoredFrame(const EmulatorOptions& options, int index, FrameMemory* memory)
{
    const std::string path = StorePath(options, index);
    CUniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file) return;
    struct stat status {};
    uint8_t header[4];
    if (::fstat(file.Get(), &status) != 0 || ::read(file.Get(), header, 4) != 4) {
        Log("FMEM %d: %s is unreadable, starting empty", index + 1, path.c_str());
        return;
    }
    uint16_t width = 0, height = 0;
    UnpackSizeHeader(header, &width, &height);
    const uint64_t bytes = uint64_t{width} * height * 2;
    if (bytes == 0 || bytes > options.maxFrameBytes ||
        static_cast<uint64_t>(status.st_size) != bytes + 4) {
        Log("FMEM %d: %s does not hold one frame, starting empty", index + 1, path.c_str());
        return;
    }
    std::vector<uint8_t> frame(bytes);
    size_t done = 0;
    while (done < bytes) {
        ssize_t count = ::read(file.Get(), frame.data() + done, bytes - done);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) {
            Log("FMEM %d: %s is short, starting empty", index + 1, path.c_str());
            return;
        }
        done += static_cast<size_t>(count);
    }
    memory->filled = true;
    memory->width = width;
    memory->height = height;
    memory->frame = std::move(frame);
    Log("FMEM %d: loaded %ux%u from %s", index + 1, width, height, path.c_str());
}

class CEmulator {
  public:
    explicit CEmulator(const EmulatorOptions& options)
        : m_options(options)
    {
    }

    void LoadStore()
    {
        if (m_options.storeFolder.empty()) return;
        for (int index = 0; index < 2; ++index)
            LoadStoredFrame(m_options, index, &m_memories[index]);
    }

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

    void ServeWrite(int client, int index)
    {
        const int idle = m_options.idleTimeoutMs;
        const uint8_t reply = m_options.commandReply.value_or(kReplyAccept);
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
        // A frame that is empty or larger than the memory holds is taken off the wire but not
        // kept; the switcher then reports a receive error.
        const bool acceptable = total > 0 && total <= m_options.maxFrameBytes;

        // The frame arrives in the spare buffer, which changes places with the memory's frame
        // only once the frame is complete; reusing it spares the page faults of a fresh block.
        std::vector<uint8_t>& frame = m_spare;
        std::vector<uint8_t> scratch;
        if (acceptable)
            frame.resize(total);
        else
            scratch.resize(kIoBytes);
        uint64_t done = 0;
        char what[64];
        std::snprintf(what, sizeof what, "write FMEM %d %ux%u", index + 1, width, height);
        // The fault limits are tested once more after the last byte, so that a limit of the
        // frame's size drops or silences the connection before the final status.
        for (;;) {
            if (PayloadLimitReached(client, done, what)) return;
            if (done == total) break;
            uint64_t want = std::min(total - done, BytesBeforeLimit(done, total));
            uint8_t* into = acceptable ? frame.data() + done : scratch.data();
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
            FrameMemory& memory = m_memories[index];
            memory.filled = true;
            memory.width = width;
            memory.height = height;
            memory.frame.swap(frame);
            if (!m_options.storeFolder.empty() && !StoreFrame(m_options, index, memory)) {
                Log("%s: cannot store %s", what, StorePath(m_options, index).c_str());
            }
        }
        WriteExactly(client, &status, 1, idle);
        Log("%s: %llu bytes, answered %02X", what, static_cast<unsigned long long>(total), status);
    }

    void ServeRead(int client, int index)
    {
        const int idle = m_options.idleTimeoutMs;
        const FrameMemory& memory = m_memories[index];
        uint8_t reply = memory.filled ? kReplyFrameFollows : kReplyAccept;
        if (m_options.commandReply) reply = *m_options.commandReply;
        if (!WriteExactly(client, &reply, 1, idle)) return;
        if (reply != kReplyFrameFollows) {
            Log("read FMEM %d: answered %02X", index + 1, reply);
            return;
        }
        const SizeHeader header = PackSizeHeader(memory.width, memory.height);
        if (!WriteExactly(client, header.bytes, sizeof header.bytes, idle)) return;
        char what[64];
        std::snprintf(what, sizeof what, "read FMEM %d %ux%u", index + 1, memory.width,
                      memory.height);
        const uint64_t total = memory.frame.size();
        uint64_t done = 0;
        while (done < total) {
            if (PayloadLimitReached(client, done, what)) return;
            const uint64_t count = std::min(total - done, BytesBeforeLimit(done, total));
            if (!WriteExactly(client, memory.frame.data() + done, count, idle)) {
                Log("%s: client left after %llu of %llu bytes", what,
                    static_cast<unsigned long long>(done), static_cast<unsigned long long>(total));
                return;
            }
            done += count;
        }
        Log("%s: %llu bytes sent", what, static_cast<unsigned long long>(total));
    }

    const EmulatorOptions& m_options;
    FrameMemory m_memories[2];
    std::vector<uint8_t> m_spare;
};

void PrintUsage(FILE* to)
{
    std::fprintf(
        to,
        "usage: switcher-emu [--listen ADDR] [--port N] [--store DIR] [fault options]\n"
        "\n"
        "Serves the frame memory transfer protocol of the switcher on TCP, one client after\n"
        "another, holding FMEM 1 and FMEM 2 (empty at start: a read answers AC).\n"
        "\n"
        "  --listen ADDR        IPv4 address to listen on (default 127.0.0.1)\n"
        "  --port N             TCP port (default 2006); 0 picks a free port\n"
        "  --store DIR          keep accepted frames in DIR/fmem1.ycbcr and DIR/fmem2.ycbcr\n"
        "                       (size header + frame, replaced atomically) and load them at start\n"
        "  --max-frame-bytes N  largest frame accepted (default %llu); larger ones answer AD\n"
        "  --timeout SECONDS    drop a client that stays silent this long (default 10)\n"
        "\n"
        "Fault options (BYTE in hex: AD or 0xAD):\n"
        "  --command-reply BYTE answer every command with BYTE (AF busy, AD error, AC empty...)\n"
        "  --busy               the same as --command-reply AF\n"
        "  --final-status BYTE  answer every complete frame with BYTE (AC keeps the frame)\n"
        "  --close-after N      drop the connection after N payload bytes (write or read)\n"
        "  --stall              never answer the command, hold the connection\n"
        "  --stall-after N      go silent after N payload bytes (N = frame size: before the\n"
        "                       final status)\n"
        "\n"
        "The first line on standard output is \"listening on ADDR:PORT\"; then one line per\n"
        "exchange. SIGINT or SIGTERM stops it.\n",
        static_cast<unsigned long long>(kDefaultMaxFrameBytes));
}

bool ParseUnsigned(const char* text, uint64_t maximum, uint64_t* value)
{
    if (text == nullptr || *text == '\0' || *text == '-') return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long parsed = std::strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0' || parsed > maximum) return false;
    *value = parsed;
    return true;
}

bool ParseByte(const char* text, uint8_t* value)
{
    if (text == nullptr || *text == '\0' || *text == '-') return false;
    char* end = nullptr;
    errno = 0;
    unsigned long parsed = std::strtoul(text, &end, 16);
    if (errno != 0 || *end != '\0' || parsed > 0xFF) return false;
    *value = static_cast<uint8_t>(parsed);
    return true;
}

// Returns 0 when the options were understood, otherwise the exit status to end with.
int ParseOptions(int argc, char** argv, EmulatorOptions* options)
{
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        uint64_t number = 0;
        uint8_t byte = 0;
        bool usedValue = true;
        bool valid = true;
        if (option == "--help" || option == "-h") {
            PrintUsage(stdout);
            return -1;
        } else if (option == "--listen") {
            in_addr probe{};
            valid = value != nullptr && ::inet_pton(AF_INET, value, &probe) == 1;
            if (valid) options->listenAddress = value;
        } else if (option == "--port") {
            valid = ParseUnsigned(value, 65535, &number);
            options->port = static_cast<int>(number);
        } else if (option == "--store") {
            valid = value != nullptr && *value != '\0';
            if (valid) options->storeFolder = value;
        } else if (option == "--max-frame-bytes") {
            valid = ParseUnsigned(value, UINT32_MAX, &number);
            options->maxFrameBytes = number;
        } else if (option == "--timeout") {
            char* end = nullptr;
            double seconds = value != nullptr ? std::strtod(value, &end) : -1;
            valid = value != nullptr && *end == '\0' && seconds > 0 && seconds <= 86400;
            options->idleTimeoutMs = static_cast<int>(seconds * 1000 + 0.5);
        } else if (option == "--command-reply") {
            valid = ParseByte(value, &byte);
            options->commandReply = byte;
        } else if (option == "--busy") {
            usedValue = false;
            options->commandReply = kReplyBusy;
        } else if (option == "--final-status") {
            valid = ParseByte(value, &byte);
            options->finalStatus = byte;
        } else if (option == "--close-after") {
            valid = ParseUnsigned(value, INT64_MAX, &number);
            options->closeAfter = static_cast<int64_t>(number);
        } else if (option == "--stall") {
            usedValue = false;
            options->stallCommand = true;
        } else if (option == "--stall-after") {
            valid = ParseUnsigned(value, INT64_MAX, &number);
            options->stallAfter = static_cast<int64_t>(number);
        } else {
            std::fprintf(stderr, "switcher-emu: unknown option %s (see --help)\n", option.c_str());
            return 2;
        }
        if (!valid) {
            std::fprintf(stderr, "switcher-emu: %s needs a valid value (see --help)\n",
                         option.c_str());
            return 2;
        }
        if (usedValue) ++i;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    EmulatorOptions options;
    int parsed = ParseOptions(argc, argv, &options);
    if (parsed != 0) return parsed < 0 ? 0 : parsed;

    // SIGINT and SIGTERM are blocked except inside ppoll(), where they end the wait; a client
    // that goes away while we write must not kill the emulator either.
    std::signal(SIGPIPE, SIG_IGN);
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
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
        ::listen(listener.Get(), 16) != 0) {
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

    while (!g_stopRequested) {
        if (WaitFor(listener.Get(), POLLIN, -1) != Wait::Ready) continue;
        CUniqueFd client(::accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!client) continue;
        emulator.Serve(client.Get());
    }
    Log("stopped");
    return 0;
}
