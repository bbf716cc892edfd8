// The eight exports of libImgPort.so: C shape outside, the codecs of this folder inside. Nothing
// thrown inside crosses these functions.
#include <cstdio>
#include <string>
#include <vector>

#include "imgport/file_access.h"
#include "imgport/malloc_block.h"
#include "imgport/picture_codec.h"

// Only the declarations of the public header get default visibility; everything else in the
// library is hidden (and the version script keeps it so).
#pragma GCC visibility push(default)
#include "imgport/ImgPort.h"
#pragma GCC visibility pop

namespace imgport {
namespace {

// The loaders' results, listed once: 0 picture delivered; 1 no picture; 2 pixel buffer not
// allocated or pixels not readable. The half-size loader reports 1 for both kinds of failure.
int ExportedLoadResult(DecodeResult result, LoadMode mode)
{
    switch (result) {
        case DecodeResult::kOk:
            return 0;
        case DecodeResult::kNoPicture:
            return 1;
        case DecodeResult::kNoMemory:
        case DecodeResult::kReadFailed:
            return mode == LoadMode::kHalf ? 1 : 2;
    }
    return 1;
}

// Debug lines of the reduced loaders, on standard output.
void PrintLoadFailure(DecodeResult result, LoadMode mode)
{
    if (mode == LoadMode::kFull) return;
    if (result == DecodeResult::kNoMemory)
        std::fputs("ImgPort memory alloc err\n", stdout);
    else if (result == DecodeResult::kReadFailed && mode == LoadMode::kQuarter)
        std::fputs("LockBits Fail\n", stdout);
    else
        return;
    std::fflush(stdout);
}

int LoadPictureFile(const char* path, unsigned int* width, unsigned int* height,
                    unsigned int* bytesPerPixel, unsigned char** pixels, LoadMode mode)
{
    // Every out-parameter the caller gave is written on every return.
    if (width != nullptr) *width = 0;
    if (height != nullptr) *height = 0;
    if (bytesPerPixel != nullptr) *bytesPerPixel = 0;
    if (pixels != nullptr) *pixels = nullptr;
    if (width == nullptr || height == nullptr || bytesPerPixel == nullptr || pixels == nullptr)
        return 1;
    try {
        std::string resolved;
        if (!ResolveLoadPath(path, &resolved)) return 1;
        CMallocBlock contents;
        size_t size = 0;
        if (!ReadWholeFile(resolved, &contents, &size)) return 1;
        LoadedPicture picture;
        DecodeResult result =
            LoadPictureFromMemory(contents.Get(), size, mode, kMaxPixels, &picture);
        if (result != DecodeResult::kNoPicture) {
            *width = picture.size.width;
            *height = picture.size.height;
            *bytesPerPixel = picture.size.bytesPerPixel;
        }
        *pixels = picture.pixels;
        PrintLoadFailure(result, mode);
        return ExportedLoadResult(result, mode);
    } catch (...) {
        *width = 0;
        *height = 0;
        *bytesPerPixel = 0;
        return 1;
    }
}

// Savers: 0 when the file was written, 1 when it was not (and then nothing was created).
constexpr int kSaved = 0;
constexpr int kNotSaved = 1;

// Every saver encodes the whole file into memory first, so that the file on disk (or its
// temporary name) exists only for the time of one write.
int WriteEncodedFile(const char* path, const std::vector<uint8_t>& encoded)
{
    std::string resolved;
    if (!ResolveSavePath(path, &resolved)) return kNotSaved;
    return SaveFileContents(resolved, encoded.data(), encoded.size()) ? kSaved : kNotSaved;
}

}  // namespace
}  // namespace imgport

using namespace imgport;

int ZorGdipDeletImage(unsigned char** pixels)
{
    if (pixels == nullptr) return 0;
    ReleaseFrameBlock(*pixels);
    *pixels = nullptr;
    return 0;
}

int ZorGdipLoadImage(const char* path, unsigned int* width, unsigned int* height,
                     unsigned int* bytesPerPixel, unsigned char** pixels)
{
    return LoadPictureFile(path, width, height, bytesPerPixel, pixels, LoadMode::kFull);
}

int ZorGdipLoadImagePC2(const char* path, unsigned int* width, unsigned int* height,
                        unsigned int* bytesPerPixel, unsigned char** pixels)
{
    return LoadPictureFile(path, width, height, bytesPerPixel, pixels, LoadMode::kHalf);
}

int ZorGdipLoadImagePC(const char* path, unsigned int* width, unsigned int* height,
                       unsigned int* bytesPerPixel, unsigned char** pixels)
{
    return LoadPictureFile(path, width, height, bytesPerPixel, pixels, LoadMode::kQuarter);
}

int ZorGdipSaveImageBMP(const char* path, int width, int height, const unsigned char* pixels)
{
    try {
        std::vector<uint8_t> encoded;
        if (pixels == nullptr || !SaveSizeFits(height, width, 3) ||
            !EncodeBmp(pixels, height, width, &encoded))
            return kNotSaved;
        return WriteEncodedFile(path, encoded);
    } catch (...) {
        return kNotSaved;
    }
}

int ZorGdipSaveImageJPG(const char* path, int width, int height, int quality,
                        const unsigned char* pixels)
{
    try {
        std::vector<uint8_t> encoded;
        if (pixels == nullptr || !SaveSizeFits(height, width, 3) ||
            !EncodeJpeg(pixels, height, width, ClampJpegQuality(quality), &encoded))
            return kNotSaved;
        return WriteEncodedFile(path, encoded);
    } catch (...) {
        return kNotSaved;
    }
}

int ZorGdipSaveImagePNG(const char* path, int width, int height, int bytesPerPixel,
                        const unsigned char* pixels)
{
    try {
        int layout = bytesPerPixel == 4 ? 4 : 3;
        std::vector<uint8_t> encoded;
        if (pixels == nullptr || !SaveSizeFits(height, width, layout) ||
            !EncodePng(pixels, height, width, layout, &encoded))
            return kNotSaved;
        return WriteEncodedFile(path, encoded);
    } catch (...) {
        return kNotSaved;
    }
}

int ZorGdipSaveImageTIFF(const char* path, int width, int height, int bytesPerPixel,
                         const unsigned char* pixels)
{
    try {
        int layout = bytesPerPixel == 4 ? 4 : 3;
        std::vector<uint8_t> encoded;
        if (pixels == nullptr || !SaveSizeFits(height, width, layout) ||
            !EncodeTiff(pixels, height, width, layout, &encoded))
            return kNotSaved;
        return WriteEncodedFile(path, encoded);
    } catch (...) {
        return kNotSaved;
    }
}
