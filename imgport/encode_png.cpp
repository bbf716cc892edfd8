// PNG writing through libpng: 8-bit RGB, or RGBA when the caller's pixels have 4 bytes; the
// blue-green-red order is swapped by libpng while writing, so the caller's rows are used as they
// are.
#include <csetjmp>
#include <cstring>

#include <png.h>

#include "imgport/picture_codec.h"

namespace imgport {
namespace {

void AppendToVector(png_structp png, png_bytep data, size_t length)
{
    auto* file = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(png));
    try {
        file->insert(file->end(), data, data + length);
    } catch (...) {
        png_error(png, "out of memory");
    }
}
void FlushNothing(png_structp) {}
void IgnoreWarning(png_structp, png_const_charp) {}

// libpng reports errors by longjmp: this function holds no object with a destructor.
bool EncodePngStream(png_structp png, png_infop info, const uint8_t* pixels, int height, int width,
                     int bytesPerPixel, std::vector<uint8_t>* file)
{
    if (setjmp(png_jmpbuf(png))) return false;
    png_set_write_fn(png, file, AppendToVector, FlushNothing);
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
                 bytesPerPixel == 4 ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    png_set_bgr(png);
    size_t rowBytes = size_t(width) * bytesPerPixel;
    for (int y = 0; y < height; ++y) png_write_row(png, pixels + rowBytes * y);
    png_write_end(png, info);
    return true;
}

}  // namespace

bool EncodePng(const uint8_t* pixels, int height, int width, int bytesPerPixel,
               std::vector<uint8_t>* file)
{
    png_structp png =
        png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, IgnoreWarning);
    if (png == nullptr) return false;
    png_infop info = png_create_info_struct(png);
    if (info == nullptr) {
        png_destroy_write_struct(&png, nullptr);
        return false;
    }
    bool encoded = EncodePngStream(png, info, pixels, height, width, bytesPerPixel, file);
    png_destroy_write_struct(&png, &info);
    return encoded;
}

}  // namespace imgport
