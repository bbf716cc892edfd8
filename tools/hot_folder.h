// A hot folder for `imgcast-cli watch DIR`: reports each picture file that arrives in DIR once it
// is completely there, so that an operator (or a graphics system) can drop pictures into a folder
// and have each one sent as it lands.
//
// A file counts as arrived when a writer closes it after writing (inotify IN_CLOSE_WRITE) or when
// it is renamed or moved into the folder (IN_MOVED_TO). A file still open for writing is never
// reported; writers that cannot close before the file is whole should write under a temporary or
// hidden name and rename it when done, which is what copy tools and uploaders do. Files are
// reported one at a time, in the order they arrived; a file that arrives again before it was
// reported is reported once, at its later place.
//
// Ignored: hidden names (leading '.'), temporary names (ending in .tmp, .temp, .part, .partial,
// .crdownload, .filepart, .swp or ~), names that are not picture files (extensions .tif, .tiff,
// .jpg, .jpeg, .png, .bmp, .gif, in any case), anything that is not a regular file when it is
// reported (directories, symbolic links, fifos, files moved away again), and empty files. Files
// already in the folder when watching starts are not reported: only what is dropped in afterwards.
//
// Linux only (inotify); no window toolkit, no link: the sending is the caller's callback.
//
// Use from a command:
//     CHotFolder folder;
//     std::string error;
//     if (!folder.Open(dir, &error)) { print error; return 2; }
//     StopHotFolderOnSignals(folder);
//     return RunHotFolder(folder, sendOnePicture, printLine, SendJobText);
// where sendOnePicture loads the file and runs a send job, returning its result (0 = sent).
#pragma once

#include <deque>
#include <functional>
#include <string>
#include <unordered_set>

enum HotFolderEvent {
    kHotFolderFile = 0,      // *path names a newly arrived picture file
    kHotFolderTimeout = 1,   // nothing arrived within the time given
    kHotFolderStopped = 2,   // Stop() was called (it stays stopped)
    kHotFolderOverflow = 3,  // the kernel's event queue overflowed: arrivals may have been lost
    kHotFolderGone = 4,      // the folder was removed, renamed or unmounted
    kHotFolderError = 5,     // not open, or reading the events failed
};

class CHotFolder {
  public:
    CHotFolder();
    ~CHotFolder();
    CHotFolder(const CHotFolder&) = delete;
    CHotFolder& operator=(const CHotFolder&) = delete;

    // Starts watching `folder` (a directory). On failure returns false and sets *error to the
    // reason; an earlier watch is given up either way.
    bool Open(const std::string& folder, std::string* error);

    // Waits up to timeoutMs milliseconds (negative: without limit) for the next arrival and
    // returns one of HotFolderEvent; *path is the full path for kHotFolderFile and empty
    // otherwise. A stop wins over files still waiting to be reported.
    int NextFile(std::string* path, int timeoutMs);

    // Makes a waiting NextFile, and every later one, return kHotFolderStopped. Safe from any
    // thread and from a signal handler (one write to an eventfd).
    void Stop() const;
    // The eventfd Stop() writes to; a signal handler may pass it to SignalHotFolderStop.
    int StopFd() const { return m_stopFd; }

  private:
    struct Arrival {
        int event;
        std::string name;
    };
    // Reads what the kernel has queued into m_arrivals; false on a read error.
    bool ReadEvents();
    void Queue(int event, const std::string& name);
    bool StopRequested() const;
    // Removes the first arrival; true with *path set when it is still a reportable file.
    int TakeArrival(std::string* path);

    std::string m_folder;
    int m_inotifyFd = -1;
    int m_watch = -1;
    int m_stopFd = -1;
    bool m_gone = false;
    std::deque<Arrival> m_arrivals;
    std::unordered_set<std::string> m_pendingNames;  // names of the files in m_arrivals
};

// Writes to a stop descriptor from StopFd(); async-signal-safe.
void SignalHotFolderStop(int stopFd);

// Makes SIGINT and SIGTERM stop `folder` (through SignalHotFolderStop) instead of ending the
// process, so a send in progress finishes (the link's time limits bound it) and the loop then
// returns. One folder per process; false when the handlers cannot be installed.
bool StopHotFolderOnSignals(const CHotFolder& folder);

// True for names the hot folder reports (see above), without looking at the file.
bool IsHotFolderPictureName(const std::string& name);

using HotFolderSendFn = std::function<int(const std::string& path)>;
using HotFolderLogFn = std::function<void(const std::string& line)>;
using HotFolderDescribeFn = std::function<std::string(int result)>;

// Sends each arriving file with `send` (0 = sent) until the folder is stopped or gone, and logs
// one line per file: local time, file name, and "sent" or "failed: " with the text `describe`
// gives for the result ("result N" without it). A failed send does not stop the loop. Queue
// overflows and the folder's end are logged too. Returns 0 after Stop(), 1 when the folder went
// away or its events could not be read.
int RunHotFolder(CHotFolder& folder, const HotFolderSendFn& send, const HotFolderLogFn& log,
                 const HotFolderDescribeFn& describe = nullptr);
