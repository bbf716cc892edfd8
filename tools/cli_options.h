// imgcast-cli's command line: `send` or `get` first, then options in any order (GNU getopt_long:
// --opt=value or --opt value, -- ends the options).
#pragma once

#include "link/transfer_jobs.h"

// Exit status for a command line that cannot be understood; apart from the TransferResult codes
// and 1 (a file or memory error) the only non-zero status.
inline constexpr int kUsageError = 64;

// The file types get writes, each through the library's saver of that format.
enum class PictureFileType { Bmp, Png, Jpeg, Tiff };

struct CliOptions {
    bool send = true;
    JobSettings settings;
    const char* file = nullptr;    // send: the picture to load
    const char* output = nullptr;  // get: where to save; "-" for standard output
    PictureFileType outputType = PictureFileType::Bmp;
    bool verbose = false;
};

// Returns 0 when the command line was understood, -1 after --help or --version (printed to
// standard output), else the exit status after the error was written to standard error.
int ParseCommandLine(int argc, char** argv, CliOptions* options);

// The file type named by the extension of `path` (case-insensitive); false for other extensions.
bool FileTypeForPath(const char* path, PictureFileType* type);
