// Files as ImgPort's exports see them: path checks and the code page 932 fallback, reading a whole
// file, and writing a file so that a failed save leaves nothing behind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "imgport/malloc_block.h"

namespace imgport {

// Paths longer than this many bytes are refused.
constexpr size_t kMaxPathBytes = 511;

// True for byte strings that are well-formed UTF-8.
bool IsValidUtf8(const char* text);
// The code page 932 text as UTF-8; false when the bytes are not valid code page 932.
bool ConvertCp932ToUtf8(const char* text, std::string* utf8);

// The path a loader opens: the bytes as given when that file exists; otherwise, for bytes that are
// valid code page 932 but not valid UTF-8 (a name written by a Japanese Windows host), the same
// name converted to UTF-8. False for null, empty or over-long paths.
bool ResolveLoadPath(const char* path, std::string* resolved);
// The path a saver writes: the bytes as given when they are valid UTF-8 or name an existing file;
// otherwise, when they are valid code page 932, the name converted to UTF-8.
bool ResolveSavePath(const char* path, std::string* resolved);

// Reads a whole regular file into a block from malloc. False when it cannot be opened or read, is
// not a regular file, or is larger than any picture we accept.
bool ReadWholeFile(const std::string& path, CMallocBlock* contents, size_t* size);

// A new file written beside its final path and renamed over it only when complete, so that a
// failed save leaves neither a partial file nor a changed old one.
class CPendingFile {
  public:
    explicit CPendingFile(const std::string& path);
    CPendingFile(const CPendingFile&) = delete;
    CPendingFile& operator=(const CPendingFile&) = delete;
    ~CPendingFile();  // removes the temporary file unless committed

    bool IsOpen() const { return m_fd >= 0; }
    int Fd() const { return m_fd; }
    const std::string& TemporaryPath() const { return m_temporaryPath; }
    // For writers that close the descriptor themselves.
    int ReleaseFd();
    bool WriteAll(const uint8_t* data, size_t size);
    // Closes the file and gives it its final name.
    bool Commit();

  private:
    std::string m_path;
    std::string m_temporaryPath;
    int m_fd = -1;
    bool m_committed = false;
};

}  // namespace imgport
