// The picture the tool holds, without any window toolkit: binding the ImgPort library, loading a
// picture file into padded colour and alpha planes, building a picture from a received frame, and
// saving the colour plane through the library's BMP saver.
//
// A Picture is immutable once built and is shared as std::shared_ptr<const Picture>: the window
// paints the one it holds, a send job keeps the one it started with, and a receive job builds a new
// one and hands it over whole, so nobody ever sees a released or half-built picture.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "block/frame_block.h"

// The three exports the program binds, by name, in this order.
using LoadImageFn = int (*)(const char* path, unsigned int* width, unsigned int* height,
                            unsigned int* bytesPerPixel, unsigned char** pixels);
using DeleteImageFn = int (*)(unsigned char** pixels);
using SaveImageBmpFn = int (*)(const char* path, int width, int height,
                               const unsigned char* pixels);
// The library's other savers, which only imgcast-cli uses.
using SaveImageJpgFn = int (*)(const char* path, int width, int height, int quality,
                               const unsigned char* pixels);
using SaveImageLayoutFn = int (*)(const char* path, int width, int height, int bytesPerPixel,
                                  const unsigned char* pixels);

struct ImgPortApi {
    LoadImageFn loadImage = nullptr;
    DeleteImageFn deleteImage = nullptr;
    SaveImageBmpFn saveImageBmp = nullptr;
    // Looked up after the three above, silently; null when the library lacks them.
    SaveImageJpgFn saveImageJpg = nullptr;
    SaveImageLayoutFn saveImagePng = nullptr;
    SaveImageLayoutFn saveImageTiff = nullptr;
};

// Text of the message box shown when the library cannot be loaded.
inline constexpr char kCannotLoadImgPort[] = "Cannot load libImgPort.so\n";

enum class BindResult { Bound, LibraryMissing, ExportMissing };

// Loads libImgPort.so from the running program's own folder, then through the library search
// path, and looks up ZorGdipLoadImage, ZorGdipDeletImage and ZorGdipSaveImageBMP in this order.
// A missing export writes "GdipLoadImage is NULL\n" (and so on) to standard output and stops at
// the first one. Once the three are bound, the other savers are looked up without a word and
// without changing the result. The library stays loaded for the rest of the process.
BindResult BindImgPort(ImgPortApi* api);

// The 40-byte bitmap information header that describes every picture the tool holds.
struct PictureHeader {
    uint32_t size;
    int32_t width;
    int32_t height;
    uint16_t planes;
    uint16_t bitCount;
    uint32_t compression;
    uint32_t sizeImage;
    int32_t xPelsPerMeter;
    int32_t yPelsPerMeter;
    uint32_t colorsUsed;
    uint32_t colorsImportant;
};
static_assert(sizeof(PictureHeader) == 40);

// size 40, the given width and height, planes 1, 24 bits, uncompressed, 100 pixels per metre.
PictureHeader MakePictureHeader(int width, int height);

struct Picture {
    PictureHeader header{};
    int width = 0;
    int height = 0;
    int stride = 0;     // PaddedStride(width)
    PlaneBytes colour;  // stride × height bytes, rows top to bottom, pad bytes 0
    PlaneBytes alpha;   // same layout, the alpha value in all three bytes; empty if none

    bool HasAlpha() const { return !alpha.empty(); }
};

// Loads a picture file through the library. Returns 0 and sets *picture on success; returns 1 and
// resets *picture on failure (the picture held before is discarded, as a failed load leaves none).
int LoadPicture(const ImgPortApi& api, const char* path, std::shared_ptr<const Picture>* picture);

// Decodes a received YCbCr 4:2:2 frame into a new picture with padded rows and no alpha.
// Returns null when width or height is 0 or memory runs out.
std::shared_ptr<const Picture> PictureFromFrame(const uint8_t* frame, int height, int width);

// Hands the colour plane to the BMP saver as packed rows (any width). Returns 0 when the file was
// written, 1 when it was not.
int SavePictureBmp(const ImgPortApi& api, const Picture& picture, const char* path);
