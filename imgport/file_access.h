// Files as ImgPort's exports see them: path checks and the code page 932 fallback, reading a whole
// file, and writing a saved file so that a failed save leaves nothing behind and nothing but the
// named file is ever replaced.
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

// Writes a whole encoded file (already complete in memory) to the path a saver was given, and
// never replaces something that is not a file of ours:
// - a symbolic link is followed (to its end, even a dangling one) and the file it names is saved;
// - a new file, or an existing regular file with one link, is written under a temporary name
//   beside it (".NAME.imgport-PID-N") and renamed over it only when complete; an existing file
//   keeps its permission bits and, where the process may set them, its owner and group;
// - an existing regular file with more than one hard link is written in place, so that every
//   name keeps showing the same file; its space is reserved first, so a full disk leaves it as it
//   was;
// - a FIFO or a character device (a pipe, a terminal, /dev/null) is written in place; a FIFO
//   without a reader is refused at once instead of waiting for one;
// - folders, block devices, sockets and anything else are refused.
// SIGINT, SIGTERM and SIGHUP are held back for the calling thread while a temporary file exists
// (and while a hard-linked file is rewritten), so that an interrupt arriving during the save takes
// effect after it. False when nothing was written (an existing file is then unchanged), or when a
// device or FIFO failed mid-write.
bool SaveFileContents(const std::string& path, const uint8_t* data, size_t size);

}  // namespace imgport
