// The hot folder with real files in a temporary folder: only completely written files, once, in
// arrival order; renames in; ignored names and kinds; stops from another thread and from a
// signal; queue overflow; the send-and-log loop going on after a failed send.
#include "tools/hot_folder.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/support/temp_folder.h"

namespace {

// Writes `bytes` bytes into `path` in one open, write, close.
void WriteFile(const std::string& path, size_t bytes = 16)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0) << path;
    const std::string data(bytes, 'p');
    ASSERT_EQ(::write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
    ::close(fd);
}

std::string EventText(int event)
{
    std::string text = "[";
    text += std::to_string(event);
    text += ']';
    return text;
}

struct Watched {
    CTemporaryFolder folder;
    CHotFolder hot;

    Watched()
    {
        std::string error;
        EXPECT_TRUE(hot.Open(folder.Path(), &error)) << error;
    }
    // The next file's name (not the full path), or the event's number in brackets.
    std::string Next(int timeoutMs = 2000)
    {
        std::string path;
        const int event = hot.NextFile(&path, timeoutMs);
        if (event != kHotFolderFile) {
            EXPECT_TRUE(path.empty());
            return EventText(event);
        }
        EXPECT_EQ(path.rfind(folder.Path() + "/", 0), 0u) << path;
        return path.substr(folder.Path().size() + 1);
    }
};

const std::string kTimeout = EventText(kHotFolderTimeout);
const std::string kStopped = EventText(kHotFolderStopped);

}  // namespace

// Open, write in pieces with pauses, close: nothing while the file is open, one report after.
TEST(HotFolderArrivals, SlowCopyReportedOnceAfterClose)
{
    Watched watched;
    const int fd =
        ::open(watched.folder.File("slow.png").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    for (int piece = 0; piece < 4; ++piece) {
        const std::string data(4096, char('a' + piece));
        ASSERT_EQ(::write(fd, data.data(), data.size()), 4096);
        EXPECT_EQ(watched.Next(150), kTimeout) << "reported while still open, piece " << piece;
    }
    ::close(fd);
    EXPECT_EQ(watched.Next(), "slow.png");
    EXPECT_EQ(watched.Next(150), kTimeout) << "reported twice";
}

TEST(HotFolderArrivals, RenamedAndMovedIn)
{
    Watched watched;
    CTemporaryFolder outside;  // same file system, so a move is a rename
    WriteFile(watched.folder.File(".incoming.png"));
    WriteFile(watched.folder.File("upload.png.part"));
    WriteFile(outside.File("from-elsewhere.jpg"));
    std::filesystem::rename(watched.folder.File(".incoming.png"), watched.folder.File("in.png"));
    std::filesystem::rename(watched.folder.File("upload.png.part"),
                            watched.folder.File("upload.png"));
    std::filesystem::rename(outside.File("from-elsewhere.jpg"),
                            watched.folder.File("from-elsewhere.jpg"));
    EXPECT_EQ(watched.Next(), "in.png");
    EXPECT_EQ(watched.Next(), "upload.png");
    EXPECT_EQ(watched.Next(), "from-elsewhere.jpg");
    EXPECT_EQ(watched.Next(150), kTimeout);
}

TEST(HotFolderArrivals, IgnoredNamesAndKinds)
{
    Watched watched;
    CTemporaryFolder outside;
    for (const char* name : {".hidden.png", "a.png.tmp", "b.PART", "c.png~", "d.crdownload",
                             "notes.txt", "png", "noextension"})
        WriteFile(watched.folder.File(name));
    WriteFile(watched.folder.File("empty.png"), 0);
    std::filesystem::create_directory(outside.File("folder.png"));
    std::filesystem::rename(outside.File("folder.png"), watched.folder.File("folder.png"));
    WriteFile(outside.File("target.png"));
    std::filesystem::create_symlink(outside.File("target.png"), outside.File("link.png"));
    std::filesystem::rename(outside.File("link.png"), watched.folder.File("link.png"));
    ASSERT_EQ(::mkfifo(outside.File("fifo.png").c_str(), 0644), 0);
    std::filesystem::rename(outside.File("fifo.png"), watched.folder.File("fifo.png"));
    // Written, then moved away before it was reported.
    WriteFile(watched.folder.File("gone.png"));
    std::filesystem::rename(watched.folder.File("gone.png"), outside.File("gone.png"));
    WriteFile(watched.folder.File("Last.TIFF"));
    EXPECT_EQ(watched.Next(), "Last.TIFF");
    EXPECT_EQ(watched.Next(150), kTimeout);
}

TEST(HotFolderArrivals, ArrivalOrderAndRewrites)
{
    CTemporaryFolder folder;
    WriteFile(folder.File("before.png"));  // there before watching starts: never reported
    CHotFolder hot;
    std::string error;
    ASSERT_TRUE(hot.Open(folder.Path() + "/", &error)) << error;
    for (const char* name : {"3.png", "1.bmp", "2.gif", "x.jpg", "4.jpeg", "x.jpg", "5.tif"})
        WriteFile(folder.File(name));
    std::vector<std::string> names;
    std::string path;
    while (hot.NextFile(&path, 300) == kHotFolderFile) names.push_back(path);
    const std::vector<std::string> expected = {"3.png",  "1.bmp", "2.gif",
                                               "4.jpeg", "x.jpg", "5.tif"};
    ASSERT_EQ(names.size(), expected.size());
    for (size_t i = 0; i < names.size(); ++i) EXPECT_EQ(names[i], folder.File(expected[i]));
}

TEST(HotFolderStop, FromAnotherThreadWhileWaiting)
{
    Watched watched;
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        watched.hot.Stop();
    });
    EXPECT_EQ(watched.Next(-1), kStopped);
    stopper.join();
    WriteFile(watched.folder.File("after.png"));
    EXPECT_EQ(watched.Next(100), kStopped) << "a stop stays; it wins over waiting files";
}

TEST(HotFolderStop, FromSignalWhileWaiting)
{
    Watched watched;
    ASSERT_TRUE(StopHotFolderOnSignals(watched.hot));
    const pthread_t waiter = ::pthread_self();
    std::thread signaller([waiter] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ::pthread_kill(waiter, SIGINT);
    });
    EXPECT_EQ(watched.Next(-1), kStopped);
    signaller.join();
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
}

TEST(HotFolderProblems, FolderRemovedAndOpenErrors)
{
    auto folder = std::make_unique<CTemporaryFolder>();
    CHotFolder hot;
    std::string error;
    ASSERT_TRUE(hot.Open(folder->Path(), &error));
    const std::string path = folder->Path();
    folder.reset();  // removes it
    std::string file;
    EXPECT_EQ(hot.NextFile(&file, 2000), kHotFolderGone);
    EXPECT_EQ(hot.NextFile(&file, 100), kHotFolderGone);

    EXPECT_FALSE(hot.Open(path, &error));
    EXPECT_NE(error.find(path), std::string::npos) << error;
    CTemporaryFolder other;
    WriteFile(other.File("plain.png"));
    EXPECT_FALSE(hot.Open(other.File("plain.png"), &error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(hot.NextFile(&file, 0), kHotFolderError) << "not open";
}

// More arrivals than the kernel queues at once (two files closed after writing in turn, so that
// the kernel cannot merge neighbouring events): the overflow is reported, the files before it too.
TEST(HotFolderProblems, QueueOverflowIsReported)
{
    int limit = 0;
    if (FILE* file = std::fopen("/proc/sys/fs/inotify/max_queued_events", "r")) {
        if (std::fscanf(file, "%d", &limit) != 1) limit = 0;
        std::fclose(file);
    }
    if (limit <= 0 || limit > 40000) GTEST_SKIP() << "inotify queue limit " << limit;
    Watched watched;
    const std::string names[2] = {watched.folder.File("a.png"), watched.folder.File("b.png")};
    for (int i = 0; i < limit + 200; ++i) {
        const int fd = ::open(names[i % 2].c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::write(fd, "p", 1), 1);
        ::close(fd);
    }
    int reported = 0;
    bool overflow = false;
    std::string path;
    for (;;) {
        const int event = watched.hot.NextFile(&path, 200);
        if (event == kHotFolderFile) {
            ++reported;
        } else if (event == kHotFolderOverflow) {
            overflow = true;
        } else {
            break;
        }
    }
    EXPECT_TRUE(overflow);
    EXPECT_EQ(reported, 2) << "each file once, however often it was closed before reporting";
}

TEST(HotFolderLoop, FailedSendThenGoodFile)
{
    Watched watched;
    WriteFile(watched.folder.File("bad.png"));
    WriteFile(watched.folder.File("good.png"));
    std::vector<std::string> sent;
    std::vector<std::string> lines;
    const int result = RunHotFolder(
        watched.hot,
        [&](const std::string& path) {
            sent.push_back(path);
            if (path.find("bad") != std::string::npos) return 6;
            watched.hot.Stop();
            return 0;
        },
        [&](const std::string& line) { lines.push_back(line); },
        [](int code) { return code == 6 ? std::string("qx700 recive error") : std::string(); });
    EXPECT_EQ(result, 0);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0], watched.folder.File("bad.png"));
    EXPECT_EQ(sent[1], watched.folder.File("good.png"));
    ASSERT_EQ(lines.size(), 2u);
    // "YYYY-MM-DD HH:MM:SS  name  outcome"
    EXPECT_EQ(lines[0].substr(19), "  bad.png  failed: qx700 recive error");
    EXPECT_EQ(lines[1].substr(19), "  good.png  sent");
    EXPECT_EQ(lines[0][4], '-');
    EXPECT_EQ(lines[0][13], ':');

    // Without a describer the result code is logged; a removed folder ends the loop with 1.
    auto folder = std::make_unique<CTemporaryFolder>();
    CHotFolder hot;
    std::string error;
    ASSERT_TRUE(hot.Open(folder->Path(), &error));
    WriteFile(folder->File("one.png"));
    lines.clear();
    EXPECT_EQ(RunHotFolder(
                  hot,
                  [&](const std::string&) {
                      folder.reset();
                      return 31;
                  },
                  [&](const std::string& line) { lines.push_back(line); }),
              1);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].substr(19), "  one.png  failed: result 31");
    EXPECT_NE(lines[1].find("removed"), std::string::npos);
}

TEST(HotFolderNames, PictureNamesOnly)
{
    for (const char* name : {"a.png", "A.PNG", "b.jpg", "c.jpeg", "d.tif", "e.tiff", "f.bmp",
                             "g.gif", "with space.png", "x.tmp.png"})
        EXPECT_TRUE(IsHotFolderPictureName(name)) << name;
    for (const char* name :
         {"", ".png", ".a.png", "a.png.tmp", "a.png.TEMP", "a.png.part", "a.png.partial", "a.png~",
          "a.png.crdownload", "a.png.filepart", "a.png.swp", "a.txt", "png", "a.pngx"})
        EXPECT_FALSE(IsHotFolderPictureName(name)) << name;
}
