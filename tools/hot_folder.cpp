#include "tools/hot_folder.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr uint32_t kWatchMask =
    IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR | IN_EXCL_UNLINK;

bool EndsWithNoCase(const std::string& text, const char* suffix)
{
    const size_t length = std::strlen(suffix);
    if (text.size() < length) return false;
    return std::equal(text.end() - static_cast<std::ptrdiff_t>(length), text.end(), suffix,
                      [](char a, char b) {
                          const auto lower = [](char c) {
                              return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
                          };
                          return lower(a) == lower(b);
                      });
}

std::string LocalTimeNow()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

std::string BaseName(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The descriptor the signal handler writes to; -1 while none is installed.
volatile sig_atomic_t g_signalStopFd = -1;

void StopOnSignal(int)
{
    SignalHotFolderStop(g_signalStopFd);
}

}  // namespace

bool IsHotFolderPictureName(const std::string& name)
{
    if (name.empty() || name[0] == '.') return false;
    for (const char* temporary :
         {".tmp", ".temp", ".part", ".partial", ".crdownload", ".filepart", ".swp", "~"}) {
        if (EndsWithNoCase(name, temporary)) return false;
    }
    for (const char* picture : {".tif", ".tiff", ".jpg", ".jpeg", ".png", ".bmp", ".gif"}) {
        if (EndsWithNoCase(name, picture) && name.size() > std::strlen(picture)) return true;
    }
    return false;
}

void SignalHotFolderStop(int stopFd)
{
    if (stopFd < 0) return;
    const uint64_t one = 1;
    const int saved = errno;  // a signal handler must leave errno as it found it
    [[maybe_unused]] ssize_t written = ::write(stopFd, &one, sizeof one);
    errno = saved;
}

bool StopHotFolderOnSignals(const CHotFolder& folder)
{
    g_signalStopFd = folder.StopFd();
    struct sigaction action {};
    action.sa_handler = StopOnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return ::sigaction(SIGINT, &action, nullptr) == 0 &&
           ::sigaction(SIGTERM, &action, nullptr) == 0;
}

CHotFolder::CHotFolder()
    : m_stopFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
}

CHotFolder::~CHotFolder()
{
    if (m_inotifyFd >= 0) ::close(m_inotifyFd);
    if (m_stopFd >= 0) ::close(m_stopFd);
}

bool CHotFolder::Open(const std::string& folder, std::string* error)
{
    error->clear();
    if (m_inotifyFd >= 0) ::close(m_inotifyFd);
    m_inotifyFd = -1;
    m_watch = -1;
    m_gone = false;
    m_arrivals.clear();
    m_pendingNames.clear();
    m_folder = folder;
    while (m_folder.size() > 1 && m_folder.back() == '/') m_folder.pop_back();

    if (m_stopFd < 0) {
        *error = std::string("cannot create the stop event: ") + std::strerror(errno);
        return false;
    }
    struct stat status {};
    if (::stat(m_folder.c_str(), &status) != 0) {
        *error = m_folder + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISDIR(status.st_mode)) {
        *error = m_folder + ": not a folder";
        return false;
    }
    m_inotifyFd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_inotifyFd < 0) {
        *error = std::string("cannot start watching: ") + std::strerror(errno);
        return false;
    }
    m_watch = ::inotify_add_watch(m_inotifyFd, m_folder.c_str(), kWatchMask);
    if (m_watch < 0) {
        *error = m_folder + ": cannot watch: " + std::strerror(errno);
        ::close(m_inotifyFd);
        m_inotifyFd = -1;
        return false;
    }
    return true;
}

void CHotFolder::Stop() const
{
    SignalHotFolderStop(m_stopFd);
}

bool CHotFolder::StopRequested() const
{
    if (m_stopFd < 0) return false;
    pollfd stop{m_stopFd, POLLIN, 0};
    return ::poll(&stop, 1, 0) > 0 && (stop.revents & POLLIN) != 0;
}

void CHotFolder::Queue(int event, const std::string& name)
{
    // Written again (or replaced) before it was reported: report it once, where it now stands.
    // Only then is the queue searched, so a burst of new files costs no more than their count.
    if (event == kHotFolderFile && !m_pendingNames.insert(name).second) {
        auto same = std::find_if(m_arrivals.begin(), m_arrivals.end(), [&](const Arrival& a) {
            return a.event == kHotFolderFile && a.name == name;
        });
        if (same != m_arrivals.end()) m_arrivals.erase(same);
    }
    m_arrivals.push_back({event, name});
}

bool CHotFolder::ReadEvents()
{
    alignas(inotify_event) char buffer[64 * 1024];
    for (;;) {
        const ssize_t count = ::read(m_inotifyFd, buffer, sizeof buffer);
        if (count < 0) {
            if (errno == EINTR) continue;
            return errno == EAGAIN || errno == EWOULDBLOCK;  // all read
        }
        if (count == 0) return true;
        for (ssize_t offset = 0; offset + static_cast<ssize_t>(sizeof(inotify_event)) <= count;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
            offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            if ((event->mask & IN_Q_OVERFLOW) != 0) {
                Queue(kHotFolderOverflow, {});
                continue;
            }
            if ((event->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT | IN_IGNORED)) != 0) {
                if (!m_gone) Queue(kHotFolderGone, {});
                m_gone = true;
                continue;
            }
            if ((event->mask & IN_ISDIR) != 0 || event->len == 0) continue;
            const std::string name(event->name, strnlen(event->name, event->len));
            if ((event->mask & (IN_CLOSE_WRITE | IN_MOVED_TO)) != 0 && IsHotFolderPictureName(name))
                Queue(kHotFolderFile, name);
        }
    }
}

int CHotFolder::TakeArrival(std::string* path)
{
    const Arrival arrival = std::move(m_arrivals.front());
    m_arrivals.pop_front();
    if (arrival.event != kHotFolderFile) return arrival.event;
    m_pendingNames.erase(arrival.name);
    // Looked at when it is reported, not when it arrived: a file moved away or replaced by a
    // folder in the meantime is passed over. Links are not followed.
    const std::string full = m_folder + "/" + arrival.name;
    struct stat status {};
    if (::lstat(full.c_str(), &status) != 0 || !S_ISREG(status.st_mode) || status.st_size == 0)
        return -1;
    *path = full;
    return kHotFolderFile;
}

int CHotFolder::NextFile(std::string* path, int timeoutMs)
{
    path->clear();
    if (m_inotifyFd < 0) return StopRequested() ? kHotFolderStopped : kHotFolderError;
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (StopRequested()) return kHotFolderStopped;
        if (!ReadEvents()) return kHotFolderError;
        while (!m_arrivals.empty()) {
            const int event = TakeArrival(path);
            if (event >= 0) return event;
        }
        if (m_gone) return kHotFolderGone;

        int wait = -1;
        if (timeoutMs >= 0) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) return kHotFolderTimeout;
            wait = static_cast<int>(std::min<int64_t>(left.count(), INT32_MAX));
        }
        pollfd waits[2] = {{m_inotifyFd, POLLIN, 0}, {m_stopFd, POLLIN, 0}};
        const int ready = ::poll(waits, 2, wait);
        if (ready < 0 && errno != EINTR) return kHotFolderError;
        if (ready == 0 && timeoutMs >= 0) return kHotFolderTimeout;
    }
}

int RunHotFolder(CHotFolder& folder, const HotFolderSendFn& send, const HotFolderLogFn& log,
                 const HotFolderDescribeFn& describe)
{
    for (;;) {
        std::string path;
        switch (folder.NextFile(&path, -1)) {
            case kHotFolderFile: {
                const int result = send(path);
                std::string outcome = "sent";
                if (result != 0) {
                    const std::string text = describe ? describe(result) : std::string();
                    outcome =
                        "failed: " + (text.empty() ? "result " + std::to_string(result) : text);
                }
                log(LocalTimeNow() + "  " + BaseName(path) + "  " + outcome);
                break;
            }
            case kHotFolderOverflow:
                log(LocalTimeNow() +
                    "  too many files at once: some arrivals were lost, drop them in again");
                break;
            case kHotFolderStopped:
                return 0;
            case kHotFolderGone:
                log(LocalTimeNow() + "  the folder was removed or renamed; watching ends");
                return 1;
            case kHotFolderTimeout:
                break;
            default:
                log(LocalTimeNow() + "  the folder's events cannot be read; watching ends");
                return 1;
        }
    }
}
