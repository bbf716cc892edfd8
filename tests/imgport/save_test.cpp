// The savers: files written (0) or not written at all (1), round trips, the caller's buffer, what
// a save may replace (links, devices, FIFOs, other owners' files) and interrupted saves.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "imgport/ImgPort.h"
#include "imgport_test_support.h"

using namespace imgport_test;

namespace {

enum class Saver { kBmp, kJpeg, kPng, kTiff };

int Save(Saver saver, const std::string& path, int width, int height, int bytesPerPixel,
         const unsigned char* pixels)
{
    switch (saver) {
        case Saver::kBmp:
            return ZorGdipSaveImageBMP(path.c_str(), width, height, pixels);
        case Saver::kJpeg:
            return ZorGdipSaveImageJPG(path.c_str(), width, height, 90, pixels);
        case Saver::kPng:
            return ZorGdipSaveImagePNG(path.c_str(), width, height, bytesPerPixel, pixels);
        case Saver::kTiff:
            return ZorGdipSaveImageTIFF(path.c_str(), width, height, bytesPerPixel, pixels);
    }
    return -1;
}

const Saver kSavers[] = {Saver::kBmp, Saver::kJpeg, Saver::kPng, Saver::kTiff};

TEST(SaverRoundTrip, LosslessSaversGiveBackTheSameBytesForAwkwardSizes)
{
    CTemporaryFolder folder;
    for (Saver saver : {Saver::kBmp, Saver::kPng, Saver::kTiff}) {
        for (auto [height, width] : {std::pair{1, 1}, {2, 101}, {3, 1921}, {17, 2}}) {
            auto pixels = MakePattern(height, width, 3);
            std::string path = folder.File("rt");
            ASSERT_EQ(Save(saver, path, width, height, 3, pixels.data()), 0);
            LoadOutcome outcome = Load(ZorGdipLoadImage, path);
            ASSERT_EQ(outcome.result, 0);
            EXPECT_EQ(outcome.width, unsigned(width));
            EXPECT_EQ(outcome.height, unsigned(height));
            EXPECT_EQ(outcome.bytesPerPixel, 3u);
            EXPECT_EQ(outcome.pixels, pixels) << int(saver) << " " << height << "x" << width;
        }
    }
}

TEST(SaverRoundTrip, BmpOfAFullHdFrameShowsTheFirstRowAtTheTop)
{
    CTemporaryFolder folder;
    auto pixels = MakePattern(1080, 1920, 3);
    std::string path = folder.File("frame.bmp");
    ASSERT_EQ(ZorGdipSaveImageBMP(path.c_str(), 1920, 1080, pixels.data()), 0);
    std::vector<uint8_t> file = ReadBytes(path);
    ASSERT_EQ(file.size(), 54u + 1920 * 1080 * 3);
    EXPECT_EQ(file[28], 24);  // bits per pixel
    // Bottom-up file: the caller's first row is the file's last.
    EXPECT_TRUE(std::equal(pixels.begin(), pixels.begin() + 5760, file.end() - 5760));
    EXPECT_EQ(Load(ZorGdipLoadImage, path).pixels, pixels);
}

TEST(SaverRoundTrip, AlphaIsWrittenOnlyForFourBytesPerPixel)
{
    CTemporaryFolder folder;
    auto rgba = MakePattern(5, 7, 4);
    for (Saver saver : {Saver::kPng, Saver::kTiff}) {
        std::string path = folder.File("alpha");
        ASSERT_EQ(Save(saver, path, 7, 5, 4, rgba.data()), 0);
        LoadOutcome outcome = Load(ZorGdipLoadImage, path);
        ASSERT_EQ(outcome.result, 0);
        EXPECT_EQ(outcome.bytesPerPixel, 4u);
        EXPECT_EQ(outcome.pixels, rgba);  // straight alpha, colours untouched
        // Any other value reads 3-byte pixels and writes no alpha.
        auto rgb = MakePattern(5, 7, 3);
        for (int bytesPerPixel : {3, 0, 1, 5, -4}) {
            ASSERT_EQ(Save(saver, path, 7, 5, bytesPerPixel, rgb.data()), 0);
            outcome = Load(ZorGdipLoadImage, path);
            EXPECT_EQ(outcome.bytesPerPixel, 3u);
            EXPECT_EQ(outcome.pixels, rgb);
        }
    }
}

TEST(SaverRoundTrip, JpegStaysCloseAndQualityChangesTheSize)
{
    CTemporaryFolder folder;
    auto pixels = MakeSmooth(240, 320, 3);
    std::string low = folder.File("q10.jpg"), high = folder.File("q90.jpg");
    ASSERT_EQ(ZorGdipSaveImageJPG(low.c_str(), 320, 240, 10, pixels.data()), 0);
    ASSERT_EQ(ZorGdipSaveImageJPG(high.c_str(), 320, 240, 90, pixels.data()), 0);
    EXPECT_LT(ReadBytes(low).size(), ReadBytes(high).size());
    LoadOutcome outcome = Load(ZorGdipLoadImage, high);
    ASSERT_EQ(outcome.result, 0);
    EXPECT_EQ(outcome.bytesPerPixel, 3u);
    EXPECT_LT(MeanAbsoluteDifference(outcome.pixels, pixels), 2.0);

    // Out-of-range qualities are clamped to 1 and 100, and still write a file.
    std::string zero = folder.File("q0.jpg"), huge = folder.File("q1000.jpg");
    std::string hundred = folder.File("q100.jpg");
    EXPECT_EQ(ZorGdipSaveImageJPG(zero.c_str(), 320, 240, -5, pixels.data()), 0);
    EXPECT_EQ(ZorGdipSaveImageJPG(huge.c_str(), 320, 240, 1000, pixels.data()), 0);
    EXPECT_EQ(ZorGdipSaveImageJPG(hundred.c_str(), 320, 240, 100, pixels.data()), 0);
    EXPECT_EQ(ReadBytes(huge), ReadBytes(hundred));
    EXPECT_LT(ReadBytes(zero).size(), ReadBytes(low).size());
}

TEST(SaverRefusals, NothingIsCreatedWhenNothingCanBeWritten)
{
    CTemporaryFolder folder;
    auto pixels = MakePattern(4, 4, 4);
    for (Saver saver : kSavers) {
        EXPECT_EQ(Save(saver, folder.File("missing-folder/x"), 4, 4, 3, pixels.data()), 1);
        EXPECT_EQ(Save(saver, folder.File("zero-width"), 0, 4, 3, pixels.data()), 1);
        EXPECT_EQ(Save(saver, folder.File("negative"), 4, -4, 3, pixels.data()), 1);
        EXPECT_EQ(Save(saver, folder.File("null"), 4, 4, 3, nullptr), 1);
        // Above 2^28 pixels: refused before the buffer is read.
        EXPECT_EQ(Save(saver, folder.File("huge"), 16384, 16385, 3, pixels.data()), 1);
        EXPECT_EQ(Save(saver, folder.File("huge"), 65536, 65536, 3, pixels.data()), 1);
        EXPECT_EQ(Save(saver, "", 4, 4, 3, pixels.data()), 1);
        EXPECT_EQ(Save(saver, folder.File(std::string(600, 'n')), 4, 4, 3, pixels.data()), 1);
        // A folder in the way of the file: not replaced.
        EXPECT_EQ(Save(saver, folder.Path(), 4, 4, 3, pixels.data()), 1);
    }
    EXPECT_EQ(ZorGdipSaveImageBMP(nullptr, 4, 4, pixels.data()), 1);
    EXPECT_TRUE(folder.Entries().empty());
}

TEST(SaverRefusals, FailedSaveLeavesAnExistingFileAsItWas)
{
    CTemporaryFolder folder;
    std::string path = folder.File("keep.png");
    auto pixels = MakePattern(3, 3, 3);
    ASSERT_EQ(ZorGdipSaveImagePNG(path.c_str(), 3, 3, 3, pixels.data()), 0);
    const std::vector<uint8_t> before = ReadBytes(path);
    for (Saver saver : kSavers) EXPECT_EQ(Save(saver, path, 3, 0, 3, pixels.data()), 1);
    EXPECT_EQ(ReadBytes(path), before);
    EXPECT_EQ(folder.Entries(), (std::vector<std::string>{"keep.png"}));
}

TEST(CallerBuffer, NoSaverChangesIt)
{
    CTemporaryFolder folder;
    auto pixels = MakePattern(33, 101, 4);
    const auto original = pixels;
    for (Saver saver : kSavers)
        for (int bytesPerPixel : {3, 4}) {
            ASSERT_EQ(Save(saver, folder.File("b"), 101, 33, bytesPerPixel, pixels.data()), 0);
            EXPECT_EQ(pixels, original);
        }
}

TEST(CallerBuffer, OnlyTheFinishedFileIsLeftInTheFolder)
{
    CTemporaryFolder folder;
    auto pixels = MakePattern(8, 8, 3);
    ASSERT_EQ(ZorGdipSaveImageBMP(folder.File("a.bmp").c_str(), 8, 8, pixels.data()), 0);
    ASSERT_EQ(ZorGdipSaveImageJPG(folder.File("a.jpg").c_str(), 8, 8, 75, pixels.data()), 0);
    ASSERT_EQ(ZorGdipSaveImagePNG(folder.File("a.png").c_str(), 8, 8, 3, pixels.data()), 0);
    ASSERT_EQ(ZorGdipSaveImageTIFF(folder.File("a.tif").c_str(), 8, 8, 3, pixels.data()), 0);
    // Saving over an existing file replaces it.
    ASSERT_EQ(ZorGdipSaveImageBMP(folder.File("a.bmp").c_str(), 8, 8, pixels.data()), 0);
    EXPECT_EQ(folder.Entries(), (std::vector<std::string>{"a.bmp", "a.jpg", "a.png", "a.tif"}));
}

// --- What a save writes to ---

struct stat StatusOf(const std::string& path)
{
    struct stat status {};
    EXPECT_EQ(lstat(path.c_str(), &status), 0) << path;
    return status;
}

TEST(SaveTargets, SymbolicLinksAreFollowedAndStayLinks)
{
    CTemporaryFolder folder;
    ASSERT_EQ(mkdir(folder.File("real").c_str(), 0755), 0);
    auto old = MakePattern(3, 4, 3);
    ASSERT_EQ(ZorGdipSaveImageBMP(folder.File("real/target.bmp").c_str(), 4, 3, old.data()), 0);
    ASSERT_EQ(symlink("real/target.bmp", folder.File("link.bmp").c_str()), 0);
    ASSERT_EQ(symlink("link.bmp", folder.File("chain.bmp").c_str()), 0);
    ASSERT_EQ(symlink(folder.File("real/new.png").c_str(), folder.File("dangling.png").c_str()), 0);
    ASSERT_EQ(symlink("loop.bmp", folder.File("loop.bmp").c_str()), 0);
    auto pixels = MakePattern(5, 8, 3);
    for (Saver saver : kSavers) {
        for (const char* name : {"link.bmp", "chain.bmp"}) {
            ASSERT_EQ(Save(saver, folder.File(name), 8, 5, 3, pixels.data()), 0) << name;
            EXPECT_TRUE(S_ISLNK(StatusOf(folder.File(name)).st_mode)) << name;
            LoadOutcome outcome = Load(ZorGdipLoadImage, folder.File("real/target.bmp"));
            ASSERT_EQ(outcome.result, 0);
            EXPECT_EQ(outcome.width, 8u);
        }
        EXPECT_EQ(Save(saver, folder.File("loop.bmp"), 8, 5, 3, pixels.data()), 1);
    }
    // A dangling link: the file it names is created.
    ASSERT_EQ(ZorGdipSaveImagePNG(folder.File("dangling.png").c_str(), 8, 5, 3, pixels.data()), 0);
    EXPECT_TRUE(S_ISLNK(StatusOf(folder.File("dangling.png")).st_mode));
    EXPECT_EQ(Load(ZorGdipLoadImage, folder.File("real/new.png")).pixels, pixels);
    // The temporary files lived beside the real files and are gone.
    EXPECT_EQ(folder.Entries(), (std::vector<std::string>{"chain.bmp", "dangling.png", "link.bmp",
                                                          "loop.bmp", "real"}));
    std::vector<std::string> real;
    for (const auto& entry : std::filesystem::directory_iterator(folder.File("real")))
        real.push_back(entry.path().filename().string());
    std::sort(real.begin(), real.end());
    EXPECT_EQ(real, (std::vector<std::string>{"new.png", "target.bmp"}));
}

TEST(SaveTargets, ExistingFileKeepsItsModeAndOwner)
{
    CTemporaryFolder folder;
    auto pixels = MakePattern(4, 4, 3);
    bool root = geteuid() == 0;
    const uid_t kNobody = 65534;
    for (Saver saver : kSavers) {
        std::string path = folder.File("private");
        ASSERT_TRUE(WriteBytes(path, {'o', 'l', 'd'}));
        ASSERT_EQ(chmod(path.c_str(), 0640), 0);
        if (root) {
            ASSERT_EQ(chown(path.c_str(), kNobody, kNobody), 0);
        }
        ASSERT_EQ(Save(saver, path, 4, 4, 3, pixels.data()), 0);
        struct stat status = StatusOf(path);
        EXPECT_EQ(status.st_mode & 07777, 0640u) << int(saver);
        if (root) {
            EXPECT_EQ(status.st_uid, kNobody) << int(saver);
            EXPECT_EQ(status.st_gid, kNobody) << int(saver);
        }
        EXPECT_EQ(Load(ZorGdipLoadImage, path).result, 0);
        ASSERT_EQ(unlink(path.c_str()), 0);
    }
    // A new file gets the usual mode for new files, not the private mode of temporary copies.
    mode_t mask = umask(022);
    ASSERT_EQ(ZorGdipSaveImageBMP(folder.File("new.bmp").c_str(), 4, 4, pixels.data()), 0);
    umask(mask);
    EXPECT_EQ(StatusOf(folder.File("new.bmp")).st_mode & 07777, 0644u);
}

TEST(SaveTargets, HardLinkedFileIsRewrittenInPlace)
{
    CTemporaryFolder folder;
    std::string first = folder.File("a.bmp"), second = folder.File("b.bmp");
    auto large = MakePattern(40, 40, 3), small = MakePattern(3, 4, 3);
    ASSERT_EQ(ZorGdipSaveImageBMP(first.c_str(), 40, 40, large.data()), 0);
    ASSERT_EQ(link(first.c_str(), second.c_str()), 0);
    ino_t inode = StatusOf(first).st_ino;
    for (Saver saver : kSavers) {
        ASSERT_EQ(Save(saver, first, 4, 3, 3, small.data()), 0);
        struct stat status = StatusOf(first);
        EXPECT_EQ(status.st_ino, inode) << int(saver);
        EXPECT_EQ(status.st_nlink, 2u) << int(saver);
        // Shorter than before: the old tail is cut off, and both names show the new picture.
        EXPECT_EQ(ReadBytes(first), ReadBytes(second));
        LoadOutcome outcome = Load(ZorGdipLoadImage, second);
        ASSERT_EQ(outcome.result, 0) << int(saver);
        EXPECT_EQ(outcome.width, 4u);
        EXPECT_EQ(outcome.height, 3u);
        ASSERT_EQ(Save(saver, first, 40, 40, 3, large.data()), 0);
        EXPECT_EQ(Load(ZorGdipLoadImage, second).width, 40u);
    }
    EXPECT_EQ(folder.Entries(), (std::vector<std::string>{"a.bmp", "b.bmp"}));
}

TEST(SaveTargets, DevicesAreWrittenInPlaceOrRefusedButNeverReplaced)
{
    CTemporaryFolder folder;
    std::string full = folder.File("full"), null = folder.File("null"), disk = folder.File("disk");
    if (mknod(full.c_str(), S_IFCHR | 0666, makedev(1, 7)) != 0 ||
        mknod(null.c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0 ||
        mknod(disk.c_str(), S_IFBLK | 0600, makedev(7, 200)) != 0)
        GTEST_SKIP() << "device nodes cannot be made here (needs root): " << std::strerror(errno);
    auto pixels = MakePattern(8, 8, 3);
    for (Saver saver : kSavers) {
        EXPECT_EQ(Save(saver, full, 8, 8, 3, pixels.data()), 1) << int(saver);  // no space left
        EXPECT_EQ(Save(saver, null, 8, 8, 3, pixels.data()), 0) << int(saver);
        EXPECT_EQ(Save(saver, disk, 8, 8, 3, pixels.data()), 1) << int(saver);  // never written
        struct stat status = StatusOf(full);
        EXPECT_TRUE(S_ISCHR(status.st_mode));
        EXPECT_EQ(status.st_rdev, makedev(1, 7));
        EXPECT_TRUE(S_ISCHR(StatusOf(null).st_mode));
        EXPECT_TRUE(S_ISBLK(StatusOf(disk).st_mode));
    }
    EXPECT_EQ(folder.Entries(), (std::vector<std::string>{"disk", "full", "null"}));
}

TEST(SaveTargets, FifoIsWrittenToItsReaderAndRefusedWithoutOne)
{
    CTemporaryFolder folder;
    std::string fifo = folder.File("pipe");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    auto pixels = MakePattern(200, 300, 3);  // larger than a pipe's buffer
    // Nobody reads: refused at once, and the FIFO stays.
    for (Saver saver : kSavers) EXPECT_EQ(Save(saver, fifo, 300, 200, 3, pixels.data()), 1);
    EXPECT_TRUE(S_ISFIFO(StatusOf(fifo).st_mode));

    int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    std::atomic<int> result{-1};
    std::thread saver([&] { result = ZorGdipSaveImageBMP(fifo.c_str(), 300, 200, pixels.data()); });
    std::vector<uint8_t> received;
    uint8_t buffer[65536];
    for (;;) {
        bool done = result != -1;
        ssize_t got = read(reader, buffer, sizeof(buffer));
        if (got > 0) {
            received.insert(received.end(), buffer, buffer + got);
        } else if (done) {
            break;
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    saver.join();
    close(reader);
    EXPECT_EQ(result, 0);
    ASSERT_TRUE(WriteBytes(folder.File("received.bmp"), received));
    EXPECT_EQ(Load(ZorGdipLoadImage, folder.File("received.bmp")).pixels, pixels);
    EXPECT_TRUE(S_ISFIFO(StatusOf(fifo).st_mode));
}

// --- Interrupted saves ---

std::vector<std::string> TemporaryNames(const CTemporaryFolder& folder)
{
    std::vector<std::string> names;
    for (const std::string& name : folder.Entries())
        if (ImgPortTemporaryFileProcess(name.c_str()) != 0) names.push_back(name);
    return names;
}

TEST(InterruptedSaves, SignalsDuringASaveLeaveNoTemporaryFile)
{
    CTemporaryFolder folder;
    auto pixels = MakePattern(1080, 1920, 3);
    std::string path = folder.File("frame.bmp");
    int round = 0;
    for (int signal : {SIGTERM, SIGINT, SIGHUP})
        for (int delayMs : {3, 7, 12, 20, 30, 45}) {
            ++round;
            pid_t child = fork();
            ASSERT_GE(child, 0);
            if (child == 0) {
                // Save over and over until the signal ends the process (default action).
                for (;;) ZorGdipSaveImageBMP(path.c_str(), 1920, 1080, pixels.data());
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(delayMs + round % 3));
            kill(child, signal);
            int status = 0;
            ASSERT_EQ(waitpid(child, &status, 0), child);
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal);
            EXPECT_TRUE(TemporaryNames(folder).empty())
                << "signal " << signal << " after " << delayMs << " ms left "
                << TemporaryNames(folder)[0];
            for (const std::string& name : TemporaryNames(folder))
                std::remove(folder.File(name).c_str());
        }
    // Renamed only when complete: the file is whole, whenever the signal came.
    EXPECT_EQ(Load(ZorGdipLoadImage, path).pixels, pixels);
}

TEST(InterruptedSaves, TemporaryNamesAreRecognised)
{
    EXPECT_EQ(ImgPortTemporaryFileProcess(".frame.bmp.imgport-4242-0"), 4242);
    EXPECT_EQ(ImgPortTemporaryFileProcess(".a.imgport-1-17"), 1);
    EXPECT_EQ(ImgPortTemporaryFileProcess(".x.imgport-2.imgport-77-3"), 77);
    for (const char* name : {"frame.bmp", ".frame.bmp", "frame.bmp.imgport-42-0", "..imgport-42-0",
                             ".imgport-42-0", ".a.imgport-42", ".a.imgport-42-", ".a.imgport--1",
                             ".a.imgport-0-1", ".a.imgport-42-1x", ""})
        EXPECT_EQ(ImgPortTemporaryFileProcess(name), 0) << name;
    EXPECT_EQ(ImgPortTemporaryFileProcess(nullptr), 0);
}

}  // namespace
