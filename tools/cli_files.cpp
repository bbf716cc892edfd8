#include "tools/cli_files.h"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <new>
#include <system_error>
#include <vector>

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "link/unique_fd.h"

namespace {

// ImgPort refuses longer paths.
constexpr size_t kMaxPathBytes = 511;
constexpr int kJpegQuality = 90;

std::string ErrnoText(int error)
{
    switch (error) {
        case ENOENT:
            return "no such file";
        case EACCES:
        case EPERM:
            return "permission denied";
        case ENOTDIR:
            return "a part of the path is not a folder";
        case EISDIR:
            return "is a folder";
        case ELOOP:
            return "too many symbolic links";
        case ENAMETOOLONG:
            return "name too long";
        case EROFS:
            return "read-only file system";
        case ENOSPC:
            return "no space left on the device";
        case EDQUOT:
            return "disk quota exceeded";
        case EPIPE:
            return "the reading end is closed";
        default: {
            std::string text = std::strerror(error);
            if (!text.empty()) text[0] = static_cast<char>(std::tolower(text[0]));
            return text;
        }
    }
}

std::string FolderOf(const char* path)
{
    const std::string text = path;
    const size_t slash = text.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : text.substr(0, slash);
}

// The colour plane as packed rows, the layout the savers read; copied only when rows are padded.
const uint8_t* PackedRows(const Picture& picture, std::vector<uint8_t>* storage)
{
    const size_t packedRow = static_cast<size_t>(picture.width) * 3;
    if (static_cast<size_t>(picture.stride) == packedRow) return picture.colour.data();
    try {
        storage->resize(packedRow * picture.height);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    for (int y = 0; y < picture.height; ++y) {
        std::memcpy(storage->data() + packedRow * y,
                    picture.colour.data() + static_cast<size_t>(picture.stride) * y, packedRow);
    }
    return storage->data();
}

bool WriteAll(int fd, const char* data, size_t size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

}  // namespace

CStopSignalsHeld::CStopSignalsHeld()
{
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGHUP);
    ::pthread_sigmask(SIG_BLOCK, &stop, &m_previous);
}

CStopSignalsHeld::~CStopSignalsHeld()
{
    ::pthread_sigmask(SIG_SETMASK, &m_previous, nullptr);
}

std::string DescribeLoadFailure(const char* path)
{
    if (std::strlen(path) > kMaxPathBytes) return "path longer than 511 bytes";
    struct stat status;
    if (::stat(path, &status) != 0) return ErrnoText(errno);
    if (S_ISDIR(status.st_mode)) return "is a folder";
    if (!S_ISREG(status.st_mode)) return "not a regular file";
    CUniqueFd file(::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!file) return ErrnoText(errno);
    if (status.st_size == 0) return "empty file";
    return "not a picture that can be read (TIFF, JPEG, PNG, BMP or GIF)";
}

std::string DescribeSaveFailure(const char* path)
{
    if (std::strlen(path) > kMaxPathBytes) return "path longer than 511 bytes";
    struct stat status;
    if (::stat(path, &status) == 0) {
        if (S_ISDIR(status.st_mode)) return "is a folder";
        if (!S_ISREG(status.st_mode)) return "not a regular file";
    }
    const std::string folder = FolderOf(path);
    if (::stat(folder.c_str(), &status) != 0)
        return errno == ENOENT ? "no such folder" : ErrnoText(errno);
    if (!S_ISDIR(status.st_mode)) return "a part of the path is not a folder";
    if (::access(folder.c_str(), W_OK | X_OK) != 0) return ErrnoText(errno);
    struct statvfs volume;
    if (::statvfs(folder.c_str(), &volume) == 0) {
        if ((volume.f_flag & ST_RDONLY) != 0) return "read-only file system";
        if (volume.f_bavail == 0) return "no space left on the device";
    }
    return "the picture could not be written there";
}

int SavePictureFile(const ImgPortApi& api, const Picture& picture, const char* path,
                    PictureFileType type, std::string* reason)
{
    reason->clear();
    std::vector<uint8_t> storage;
    const uint8_t* rows = picture.colour.empty() ? nullptr : PackedRows(picture, &storage);
    if (rows == nullptr) {
        *reason = picture.colour.empty() ? "no picture" : "out of memory";
        return 1;
    }
    const int width = picture.width;
    const int height = picture.height;
    std::function<int()> save;
    const char* format = "BMP";
    switch (type) {
        case PictureFileType::Bmp:
            if (api.saveImageBmp != nullptr)
                save = [&] { return api.saveImageBmp(path, width, height, rows); };
            break;
        case PictureFileType::Png:
            format = "PNG";
            if (api.saveImagePng != nullptr)
                save = [&] { return api.saveImagePng(path, width, height, 3, rows); };
            break;
        case PictureFileType::Jpeg:
            format = "JPEG";
            if (api.saveImageJpg != nullptr)
                save = [&] { return api.saveImageJpg(path, width, height, kJpegQuality, rows); };
            break;
        case PictureFileType::Tiff:
            format = "TIFF";
            if (api.saveImageTiff != nullptr)
                save = [&] { return api.saveImageTiff(path, width, height, 3, rows); };
            break;
    }
    if (!save) {
        *reason = std::string("the ImgPort library has no ") + format + " saver";
        return 1;
    }
    int saved = 1;
    {
        CStopSignalsHeld held;
        saved = save();
    }
    if (saved != 0) {
        *reason = DescribeSaveFailure(path);
        return 1;
    }
    return 0;
}

int WriteBmpToStandardOutput(const ImgPortApi& api, const Picture& picture, std::string* reason)
{
    reason->clear();
    CUniqueFd file;
    {
        // Held from the folder's creation to its removal: nothing is left behind in it.
        CStopSignalsHeld held;
        std::error_code error;
        const std::filesystem::path temporary = std::filesystem::temp_directory_path(error);
        std::string folder = (error ? std::filesystem::path("/tmp") : temporary).string();
        folder += "/imgcast-cli-XXXXXX";
        if (::mkdtemp(folder.data()) == nullptr) {
            *reason = "no temporary folder: " + ErrnoText(errno);
            return 1;
        }
        const std::string path = folder + "/frame.bmp";
        std::string saveReason;
        if (SavePictureFile(api, picture, path.c_str(), PictureFileType::Bmp, &saveReason) == 0)
            file.Reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        else
            *reason = "temporary file " + path + ": " + saveReason;
        ::unlink(path.c_str());
        ::rmdir(folder.c_str());
        if (!file) {
            if (reason->empty()) *reason = "temporary file " + path + ": " + ErrnoText(errno);
            return 1;
        }
    }
    // The copy runs with the signals back, so that a reader that stalls cannot make the
    // program deaf to them; the file is already unlinked.
    std::vector<char> buffer(1 << 16);
    for (;;) {
        const ssize_t count = ::read(file.Get(), buffer.data(), buffer.size());
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) {
            *reason = ErrnoText(errno);
            return 1;
        }
        if (count == 0) return 0;
        if (!WriteAll(STDOUT_FILENO, buffer.data(), static_cast<size_t>(count))) {
            *reason = ErrnoText(errno);
            return 1;
        }
    }
}
