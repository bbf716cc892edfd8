#include "picture/picture.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include <dlfcn.h>
#include <unistd.h>

#include "frame/frame.h"

#include <limits.h>

namespace {

// The folder of the running program, with a trailing slash, or "" when it cannot be read.
std::string ProgramFolder()
{
    char path[PATH_MAX];
    ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) return {};
    std::string folder(path, static_cast<size_t>(length));
    size_t slash = folder.rfind('/');
    return slash == std::string::npos ? std::string() : folder.substr(0, slash + 1);
}

}  // namespace

BindResult BindImgPort(ImgPortApi* api)
{
    *api = ImgPortApi{};
    // The library that ships beside the program comes first, so that a copy elsewhere on the
    // search path cannot stand in for it. The handle is never closed: the entry points are used
    // for the rest of the process.
    void* library = nullptr;
    std::string beside = ProgramFolder();
    if (!beside.empty())
        library = ::dlopen((beside + "libImgPort.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) library = ::dlopen("libImgPort.so", RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) return BindResult::LibraryMissing;

    auto loadImage = reinterpret_cast<LoadImageFn>(::dlsym(library, "ZorGdipLoadImage"));
    if (loadImage == nullptr) {
        std::printf("GdipLoadImage is NULL\n");
        std::fflush(stdout);
        return BindResult::ExportMissing;
    }
    auto deleteImage = reinterpret_cast<DeleteImageFn>(::dlsym(library, "ZorGdipDeletImage"));
    if (deleteImage == nullptr) {
        std::printf("GdipDeletImage is NULL\n");
        std::fflush(stdout);
        return BindResult::ExportMissing;
    }
    auto saveImageBmp = reinterpret_cast<SaveImageBmpFn>(::dlsym(library, "ZorGdipSaveImageBMP"));
    if (saveImageBmp == nullptr) {
        std::printf("GdipSaveImageBMP is NULL\n");
        std::fflush(stdout);
        return BindResult::ExportMissing;
    }
    api->loadImage = loadImage;
    api->deleteImage = deleteImage;
    api->saveImageBmp = saveImageBmp;
    api->saveImageJpg = reinterpret_cast<SaveImageJpgFn>(::dlsym(library, "ZorGdipSaveImageJPG"));
    api->saveImagePng =
        reinterpret_cast<SaveImageLayoutFn>(::dlsym(library, "ZorGdipSaveImagePNG"));
    api->saveImageTiff =
        reinterpret_cast<SaveImageLayoutFn>(::dlsym(library, "ZorGdipSaveImageTIFF"));
    return BindResult::Bound;
}

PictureHeader MakePictureHeader(int width, int height)
{
    PictureHeader header{};
    header.size = sizeof(PictureHeader);
    header.width = width;
    header.height = height;
    header.planes = 1;
    header.bitCount = 24;
    header.compression = 0;
    header.sizeImage = 0;
    header.xPelsPerMeter = 100;
    header.yPelsPerMeter = 100;
    header.colorsUsed = 0;
    header.colorsImportant = 0;
    return header;
}

namespace {

// A picture of width × height with its header and row layout, planes still empty.
std::shared_ptr<Picture> NewPicture(int height, int width)
{
    auto picture = std::make_shared<Picture>();
    picture->width = width;
    picture->height = height;
    picture->stride = PaddedStride(width);
    picture->header = MakePictureHeader(width, height);
    return picture;
}

// Copies the library's packed pixels into a new picture: padded rows with zero padding, the
// alpha byte three times into the alpha plane. Returns null when memory runs out.
std::shared_ptr<Picture> BuildPicture(const unsigned char* pixels, int width, int height,
                                      int bytesPerPixel)
{
    try {
        std::shared_ptr<Picture> picture = NewPicture(height, width);
        const size_t planeBytes = static_cast<size_t>(picture->stride) * height;
        const size_t sourceRow = static_cast<size_t>(width) * bytesPerPixel;
        if (bytesPerPixel == 3 && sourceRow == static_cast<size_t>(picture->stride)) {
            // Rows without padding: the library's buffer is the plane already.
            picture->colour.assign(pixels, pixels + planeBytes);
            return picture;
        }
        picture->colour.assign(planeBytes, 0);
        if (bytesPerPixel == 4) picture->alpha.assign(planeBytes, 0);

        for (int y = 0; y < height; ++y) {
            const unsigned char* source = pixels + sourceRow * y;
            uint8_t* colour = picture->colour.data() + static_cast<size_t>(picture->stride) * y;
            if (bytesPerPixel == 3) {
                std::memcpy(colour, source, sourceRow);
                continue;
            }
            uint8_t* alpha = picture->alpha.data() + static_cast<size_t>(picture->stride) * y;
            for (int x = 0; x < width; ++x) {
                colour[0] = source[0];
                colour[1] = source[1];
                colour[2] = source[2];
                alpha[0] = alpha[1] = alpha[2] = source[3];
                source += 4;
                colour += 3;
                alpha += 3;
            }
        }
        return picture;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

}  // namespace

int LoadPicture(const ImgPortApi& api, const char* path, std::shared_ptr<const Picture>* picture)
{
    picture->reset();  // a failed load leaves no picture
    if (api.loadImage == nullptr || api.deleteImage == nullptr) return 1;

    unsigned int width = 0;
    unsigned int height = 0;
    unsigned int bytesPerPixel = 0;
    unsigned char* pixels = nullptr;
    if (api.loadImage(path, &width, &height, &bytesPerPixel, &pixels) != 0) {
        if (pixels != nullptr) api.deleteImage(&pixels);
        return 1;
    }

    // The planes are 32-bit row arithmetic on the window side and 16-bit sizes on the wire; a
    // picture that cannot be held that way, or a pixel layout the planes do not know, is refused.
    std::shared_ptr<Picture> loaded;
    const bool usable = pixels != nullptr && width > 0 && height > 0 && width <= 65535 &&
                        height <= 65535 && (bytesPerPixel == 3 || bytesPerPixel == 4);
    if (usable) {
        loaded = BuildPicture(pixels, static_cast<int>(width), static_cast<int>(height),
                              static_cast<int>(bytesPerPixel));
    }
    api.deleteImage(&pixels);
    if (!loaded) return 1;
    *picture = std::move(loaded);
    return 0;
}

std::shared_ptr<const Picture> PictureFromFrame(const uint8_t* frame, int height, int width)
{
    if (frame == nullptr || height <= 0 || width <= 0) return nullptr;
    try {
        std::shared_ptr<Picture> picture = NewPicture(height, width);
        const size_t packedRow = static_cast<size_t>(width) * 3;
        picture->colour.resize(static_cast<size_t>(picture->stride) * height);
        if (picture->stride == static_cast<int>(packedRow)) {
            DecodeFrame(frame, picture->colour.data(), height, width);
        } else {
            // Rows whose length is not a multiple of 4 are decoded packed, then spread to the
            // padded layout that every picture has; the padding stays 0.
            std::vector<uint8_t> packed(packedRow * height);
            DecodeFrame(frame, packed.data(), height, width);
            for (int y = 0; y < height; ++y) {
                std::memcpy(picture->colour.data() + static_cast<size_t>(picture->stride) * y,
                            packed.data() + packedRow * y, packedRow);
            }
        }
        return picture;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

int SavePictureBmp(const ImgPortApi& api, const Picture& picture, const char* path)
{
    if (api.saveImageBmp == nullptr || picture.colour.empty()) return 1;
    const size_t packedRow = static_cast<size_t>(picture.width) * 3;
    const uint8_t* rows = picture.colour.data();
    std::vector<uint8_t> packed;
    if (static_cast<size_t>(picture.stride) != packedRow) {
        try {
            packed.resize(packedRow * picture.height);
        } catch (const std::bad_alloc&) {
            return 1;
        }
        for (int y = 0; y < picture.height; ++y) {
            std::memcpy(packed.data() + packedRow * y,
                        rows + static_cast<size_t>(picture.stride) * y, packedRow);
        }
        rows = packed.data();
    }
    return api.saveImageBmp(path, picture.width, picture.height, rows) == 0 ? 0 : 1;
}
