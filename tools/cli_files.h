// imgcast-cli's files: saving a received picture in the format its name asks for, BMP on standard
// output, the reason a load or save failed, and keeping the stop signals from cutting a save short.
#pragma once

#include <string>

#include <signal.h>

#include "picture/picture.h"
#include "tools/cli_options.h"

// Keeps SIGINT, SIGTERM and SIGHUP from the calling thread while it lives; one that arrives
// meanwhile acts (with its usual effect) when it ends. A thread started meanwhile keeps them
// blocked for good, so that the thread that held them stays the only one they can reach.
class CStopSignalsHeld {
  public:
    CStopSignalsHeld();
    ~CStopSignalsHeld();
    CStopSignalsHeld(const CStopSignalsHeld&) = delete;
    CStopSignalsHeld& operator=(const CStopSignalsHeld&) = delete;

  private:
    sigset_t m_previous;
};

// Why the picture file at `path` could not be loaded ("no such file", "permission denied", ...).
std::string DescribeLoadFailure(const char* path);
// Why no picture file could be saved at `path` ("no such folder", "is a folder", ...).
std::string DescribeSaveFailure(const char* path);

// Saves the picture's colour plane at `path` through the library's saver for `type` (JPEG at
// quality 90). The stop signals are held meanwhile, so that the saver's temporary file is always
// renamed or removed. Returns 0 when the file was written, else 1 with the reason in *reason.
int SavePictureFile(const ImgPortApi& api, const Picture& picture, const char* path,
                    PictureFileType type, std::string* reason);

// Writes to standard output exactly the bytes that the BMP saver writes to a file (it saves into
// a private temporary folder, then copies). Returns 0 or 1 with the reason in *reason.
int WriteBmpToStandardOutput(const ImgPortApi& api, const Picture& picture, std::string* reason);
