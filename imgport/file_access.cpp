#include "imgport/file_access.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <iconv.h>
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

CPendingFile::CPendingFile(const std::string& path)
    : m_path(path)
{
    size_t slash = path.rfind('/');
    std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.empty()) return;
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string candidate = folder + "." + name + ".imgport-" + std::to_string(getpid()) + "-" +
                                std::to_string(g_pendingFileCounter.fetch_add(1));
        int fd = open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            m_fd = fd;
            m_temporaryPath = candidate;
            return;
        }
        if (errno != EEXIST) return;  // missing folder, no permission: nothing is created
    }
}

CPendingFile::~CPendingFile()
{
    if (m_fd >= 0) close(m_fd);
    if (!m_committed && !m_temporaryPath.empty()) unlink(m_temporaryPath.c_str());
}

int CPendingFile::ReleaseFd()
{
    int fd = m_fd;
    m_fd = -1;
    return fd;
}

bool CPendingFile::WriteAll(const uint8_t* data, size_t size)
{
    while (size > 0) {
        ssize_t written = write(m_fd, data, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

bool CPendingFile::Commit()
{
    if (m_temporaryPath.empty()) return false;
    if (m_fd >= 0) {
        int fd = ReleaseFd();
        if (close(fd) != 0) return false;
    }
    if (rename(m_temporaryPath.c_str(), m_path.c_str()) != 0) return false;
    m_committed = true;
    return true;
}

}  // namespace imgport
