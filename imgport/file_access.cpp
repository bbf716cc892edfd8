#include "imgport/file_access.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <iconv.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace imgport {
namespace {

// Larger files hold no picture within the pixel limit that we could use.
constexpr uint64_t kMaxFileBytes = 0x7FFFFFFF;

std::atomic<uint32_t> g_pendingFileCounter{0};

bool PathAcceptable(const char* path)
{
    if (path == nullptr || path[0] == '\0') return false;
    return std::strlen(path) <= kMaxPathBytes;
}

bool PathExists(const char* path)
{
    struct stat status;
    return lstat(path, &status) == 0;
}

}  // namespace

bool IsValidUtf8(const char* text)
{
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    while (*p != 0) {
        unsigned char lead = *p;
        int extra;
        uint32_t code;
        if (lead < 0x80) {
            ++p;
            continue;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            extra = 1;
            code = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            extra = 2;
            code = lead & 0x0F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            extra = 3;
            code = lead & 0x07;
        } else {
            return false;
        }
        for (int i = 1; i <= extra; ++i) {
            if ((p[i] & 0xC0) != 0x80) return false;  // also stops at the terminating NUL
            code = (code << 6) | (p[i] & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
        if ((extra == 2 && code < 0x800) || (extra == 3 && code < 0x10000) ||
            (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF)
            return false;
        p += extra + 1;
    }
    return true;
}

bool ConvertCp932ToUtf8(const char* text, std::string* utf8)
{
    iconv_t converter = iconv_open("UTF-8", "CP932");
    if (converter == reinterpret_cast<iconv_t>(-1)) return false;
    size_t inLeft = std::strlen(text);
    // One code page 932 byte becomes at most three UTF-8 bytes.
    std::vector<char> out(inLeft * 3 + 4);
    char* in = const_cast<char*>(text);
    char* outPosition = out.data();
    size_t outLeft = out.size();
    size_t converted = iconv(converter, &in, &inLeft, &outPosition, &outLeft);
    iconv_close(converter);
    if (converted == static_cast<size_t>(-1) || inLeft != 0) return false;
    utf8->assign(out.data(), outPosition);
    return utf8->find('\0') == std::string::npos;
}

bool ResolveLoadPath(const char* path, std::string* resolved)
{
    if (!PathAcceptable(path)) return false;
    *resolved = path;
    std::string converted;
    if (!PathExists(path) && !IsValidUtf8(path) && ConvertCp932ToUtf8(path, &converted))
        *resolved = converted;
    return true;
}

bool ResolveSavePath(const char* path, std::string* resolved)
{
    if (!PathAcceptable(path)) return false;
    *resolved = path;
    std::string converted;
    if (!IsValidUtf8(path) && !PathExists(path) && ConvertCp932ToUtf8(path, &converted))
        *resolved = converted;
    return true;
}

bool ReadWholeFile(const std::string& path, CMallocBlock* contents, size_t* size)
{
    *size = 0;
    // Non-blocking, so that opening a FIFO cannot wait for a writer; it is refused below.
    CUniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (fd.Get() < 0) return false;
    struct stat status;
    if (fstat(fd.Get(), &status) != 0 || !S_ISREG(status.st_mode) || status.st_size <= 0 ||
        static_cast<uint64_t>(status.st_size) > kMaxFileBytes)
        return false;
    size_t expected = static_cast<size_t>(status.st_size);
    contents->Reset(std::malloc(expected));
    if (!*contents) return false;
    size_t done = 0;
    while (done < expected) {
        ssize_t got = read(fd.Get(), contents->Get() + done, expected - done);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;  // the file shrank while we read it: decode what is there
        done += static_cast<size_t>(got);
    }
    if (done == 0) return false;
    *size = done;
    return true;
}

namespace {

// Symbolic links followed before a save gives up, as the kernel does for a path.
constexpr int kMaxLinkHops = 40;

// The path at the end of a chain of symbolic links (itself when it is no link); it need not
// exist. False for loops, unreadable links and paths whose folders cannot be examined.
bool FollowLinks(const std::string& path, std::string* target)
{
    std::string current = path;
    for (int hop = 0; hop <= kMaxLinkHops; ++hop) {
        struct stat status;
        if (lstat(current.c_str(), &status) != 0) {
            if (errno != ENOENT) return false;
            *target = current;
            return true;
        }
        if (!S_ISLNK(status.st_mode)) {
            *target = current;
            return true;
        }
        std::vector<char> link(static_cast<size_t>(status.st_size > 0 ? status.st_size : 255) + 2);
        ssize_t length = readlink(current.c_str(), link.data(), link.size());
        if (length <= 0 || static_cast<size_t>(length) >= link.size()) return false;
        std::string next(link.data(), static_cast<size_t>(length));
        if (next[0] != '/') {  // relative to the folder that holds the link
            size_t slash = current.rfind('/');
            if (slash != std::string::npos) next = current.substr(0, slash + 1) + next;
        }
        current = next;
    }
    return false;  // ELOOP
}

// Holds back the signals that end a process by default and that a user or a session sends while
// a save is under way, for the calling thread; restores the previous mask when it ends. Signals
// sent meanwhile are delivered then.
class CHeldSignals {
  public:
    CHeldSignals()
    {
        sigset_t held;
        sigemptyset(&held);
        sigaddset(&held, SIGINT);
        sigaddset(&held, SIGTERM);
        sigaddset(&held, SIGHUP);
        m_held = pthread_sigmask(SIG_BLOCK, &held, &m_previous) == 0;
    }
    CHeldSignals(const CHeldSignals&) = delete;
    CHeldSignals& operator=(const CHeldSignals&) = delete;
    ~CHeldSignals()
    {
        if (m_held) pthread_sigmask(SIG_SETMASK, &m_previous, nullptr);
    }

  private:
    sigset_t m_previous;
    bool m_held = false;
};

bool WriteAll(int fd, const uint8_t* data, size_t size)
{
    while (size > 0) {
        ssize_t written = write(fd, data, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

// A new file under a temporary name beside target, renamed over it when complete. With existing
// set, the new file takes over that file's permission bits, owner and group.
bool ReplaceWithNewFile(const std::string& target, const uint8_t* data, size_t size,
                        const struct stat* existing)
{
    size_t slash = target.rfind('/');
    std::string folder = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    if (name.empty()) return false;
    CHeldSignals held;
    std::string temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temporary = folder + "." + name + ".imgport-" + std::to_string(getpid()) + "-" +
                    std::to_string(g_pendingFileCounter.fetch_add(1));
        // An existing file's copy stays private until it has that file's owner and mode.
        fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                  existing != nullptr ? 0600 : 0666);
        if (fd < 0 && errno != EEXIST) return false;  // missing folder, no permission
    }
    if (fd < 0) return false;
    bool ok = true;
    if (existing != nullptr) {
        mode_t mode = existing->st_mode & 07777;
        // Only the superuser may give a file away; a copy we cannot give to the old owner and
        // group does not keep set-user-ID or set-group-ID bits.
        if ((existing->st_uid != geteuid() || existing->st_gid != getegid()) &&
            fchown(fd, existing->st_uid, existing->st_gid) != 0)
            mode &= ~mode_t{S_ISUID | S_ISGID};
        ok = fchmod(fd, mode) == 0;
    }
    ok = ok && WriteAll(fd, data, size);
    ok = close(fd) == 0 && ok;
    ok = ok && rename(temporary.c_str(), target.c_str()) == 0;
    if (!ok) unlink(temporary.c_str());
    return ok;
}

// Rewrites a regular file with more than one link in place, after reserving the space the new
// contents need, so that a full disk fails before the first byte changes.
bool RewriteInPlace(const std::string& target, const uint8_t* data, size_t size,
                    const struct stat& existing)
{
    CHeldSignals held;
    CUniqueFd fd(open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK));
    if (fd.Get() < 0) return false;
    struct stat opened;
    if (fstat(fd.Get(), &opened) != 0 || !S_ISREG(opened.st_mode) ||
        opened.st_dev != existing.st_dev || opened.st_ino != existing.st_ino)
        return false;  // replaced between the look and the open
    if (size > 0 && fallocate(fd.Get(), FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(size)) != 0 &&
        errno != EOPNOTSUPP && errno != ENOSYS)
        return false;  // no room: untouched
    bool ok = WriteAll(fd.Get(), data, size) && ftruncate(fd.Get(), static_cast<off_t>(size)) == 0;
    return close(fd.Release()) == 0 && ok;
}

// Writes to a FIFO or character device as it is. Opened without blocking, so that a FIFO
// without a reader is refused at once; then written with blocking writes, as a reader expects.
bool WriteToStream(const std::string& target, const uint8_t* data, size_t size)
{
    CUniqueFd fd(open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (fd.Get() < 0) return false;  // ENXIO: a FIFO nobody reads
    struct stat opened;
    if (fstat(fd.Get(), &opened) != 0 || !(S_ISFIFO(opened.st_mode) || S_ISCHR(opened.st_mode)))
        return false;
    int flags = fcntl(fd.Get(), F_GETFL);
    if (flags < 0 || fcntl(fd.Get(), F_SETFL, flags & ~O_NONBLOCK) != 0) return false;
    bool ok = WriteAll(fd.Get(), data, size);
    return close(fd.Release()) == 0 && ok;
}

}  // namespace

bool SaveFileContents(const std::string& path, const uint8_t* data, size_t size)
{
    std::string target;
    if (!FollowLinks(path, &target)) return false;
    struct stat status;
    if (lstat(target.c_str(), &status) != 0)
        return errno == ENOENT && ReplaceWithNewFile(target, data, size, nullptr);
    if (S_ISREG(status.st_mode))
        return status.st_nlink > 1 ? RewriteInPlace(target, data, size, status)
                                   : ReplaceWithNewFile(target, data, size, &status);
    if (S_ISFIFO(status.st_mode) || S_ISCHR(status.st_mode))
        return WriteToStream(target, data, size);
    return false;  // a folder, a block device, a socket
}

}  // namespace imgport
