// ImgPort: picture files to pixel buffers and back, as plain C exports that any host can load by
// name (libImgPort.so).
//
// Loaders deliver packed rows, top row first: 3 bytes per pixel (blue, green, red) or 4 (blue,
// green, red, straight alpha) for pictures with an alpha value in each pixel. A buffer a loader
// returns belongs to the library's heap and goes back through ZorGdipDeletImage exactly once.
// Savers read the caller's packed rows and never change or keep them; they return 0 when the file
// was written and 1 when it was not.
//
// What a save writes to. A symbolic link is followed and the file it names is saved. A new file,
// or an existing regular file, is encoded whole in memory, written under a temporary name beside
// it, ".NAME.imgport-PID-N" (NAME the file's name, PID the saving process, N a counter), and
// renamed to NAME when complete; an existing file keeps its permission bits, and its owner and
// group where the process may set them. An existing file with more than one hard link is
// rewritten in place, so that all its names keep showing one file. A FIFO or a character device
// (a pipe, a terminal, /dev/null) is written in place, and a FIFO that nobody reads fails at once
// with 1. Folders, block devices and sockets are never written: 1. A save that fails leaves an
// existing file as it was.
//
// Interrupts. While the temporary file exists (a single write and a rename), the saving thread
// holds back SIGINT, SIGTERM and SIGHUP, which then take effect when the save has ended. A host
// with other threads must block these signals in them too (or handle them, say by setting a flag
// that ends the program after the save), or else a signal taken by another thread can end the
// process with the temporary file left behind. SIGKILL cannot be held back: a host that may be
// killed can remove leftovers whose process no longer runs, recognised by
// ImgPortTemporaryFileProcess() below.
#pragma once

#include <string.h>

#ifdef __cplusplus
extern "C" {
#endif

// The declarations keep their published alignment.
// clang-format off
int ZorGdipDeletImage(unsigned char** pixels);
int ZorGdipLoadImage   (const char* path, unsigned int* width, unsigned int* height,
                        unsigned int* bytesPerPixel, unsigned char** pixels);
int ZorGdipLoadImagePC2(const char* path, unsigned int* width, unsigned int* height,
                        unsigned int* bytesPerPixel, unsigned char** pixels);
int ZorGdipLoadImagePC (const char* path, unsigned int* width, unsigned int* height,
                        unsigned int* bytesPerPixel, unsigned char** pixels);
int ZorGdipSaveImageBMP (const char* path, int width, int height, const unsigned char* pixels);
int ZorGdipSaveImageJPG (const char* path, int width, int height, int quality, const unsigned char* pixels);
int ZorGdipSaveImagePNG (const char* path, int width, int height, int bytesPerPixel, const unsigned char* pixels);
int ZorGdipSaveImageTIFF(const char* path, int width, int height, int bytesPerPixel, const unsigned char* pixels);
// clang-format on

// For a file name without its folder: the process id in a save's temporary name
// ".NAME.imgport-PID-N", or 0 when the name is not one. Part of this header only (nothing to look
// up in the library); for example, a host may unlink such a file when kill(pid, 0) fails with
// ESRCH.
static inline long ImgPortTemporaryFileProcess(const char* fileName)
{
    static const char kMark[] = ".imgport-";
    const size_t markLength = sizeof(kMark) - 1;
    const char* mark = NULL;
    const char* p;
    long processId = 0;
    if (fileName == NULL || fileName[0] != '.') return 0;
    for (p = fileName + 2; *p != '\0'; ++p)  // NAME has at least one character
        if (strncmp(p, kMark, markLength) == 0) mark = p;
    if (mark == NULL) return 0;
    for (p = mark + markLength; *p >= '0' && *p <= '9'; ++p) {
        if (processId > 99999999) return 0;
        processId = processId * 10 + (*p - '0');
    }
    if (processId == 0 || *p != '-' || p[1] < '0' || p[1] > '9') return 0;
    for (++p; *p >= '0' && *p <= '9'; ++p) {
    }
    return *p == '\0' ? processId : 0;
}

#ifdef __cplusplus
}
#endif
