// PNG reading through libpng, straight into the delivered buffer (no intermediate copy).
//
// Colour types RGBA and grey+alpha load with 4 bytes per pixel (blue, green, red, alpha); all
// others with 3, including palette, grey and RGB pictures that carry a tRNS chunk: their
// transparency is not a per-pixel alpha channel and is dropped. 16-bit samples are scaled to 8
// bits. Gamma and colour-profile chunks are ignored: pixels are delivered as stored.
#include <csetjmp>
#include <cstdlib>
#include <cstring>

#include <png.h>

#include "imgport/picture_codec.h"

namespace imgport {
namespace {

struct MemoryReader {
    const uint8_t* data;
    size_t size;
    size_t position;
};

void ReadFromMemory(png_structp png, png_bytep out, size_t length)
{
    auto* reader = static_cast<MemoryReader*>(png_get_io_ptr(png));
    if (length > reader->size - reader->position) png_error(png, "unexpected end of file");
    std::memcpy(out, reader->data + reader->position, length);
    reader->position += length;
}

// Bytes of image data (all IDAT chunks) the file holds, walking its chunk list.
uint64_t CountImageDataBytes(const uint8_t* data, size_t size)
{
    uint64_t total = 0;
    size_t position = 8;
    while (position + 12 <= size) {
        const uint8_t* chunk = data + position;
        uint64_t length = (uint64_t{chunk[0]} << 24) | (uint64_t{chunk[1]} << 16) |
                          (uint64_t{chunk[2]} << 8) | chunk[3];
        if (std::memcmp(chunk + 4, "IDAT", 4) == 0) total += length;
        if (length > size - position - 12) break;
        position += 12 + static_cast<size_t>(length);
    }
    return total;
}

// Deflate packs at most 1032 bytes into one; rows that would need more than that from the data
// present cannot all be there.
constexpr uint64_t kMaxDeflateRatio = 1100;

void IgnoreWarning(png_structp, png_const_charp) {}
[[noreturn]] void JumpOnError(png_structp png, png_const_charp)
{
    png_longjmp(png, 1);
}

// libpng reports errors by longjmp; this function holds no object with a destructor, and every
// value it changes after setjmp and reads afterwards is volatile.
// The row-pointer array it allocates is handed out through rowPointersOut for the caller to free.
DecodeResult DecodePngStream(png_structp png, png_infop info, CDecodeTarget& target,
                             uint64_t imageDataBytes, png_bytep** rowPointersOut)
{
    volatile DecodeResult failure = DecodeResult::kNoPicture;
    if (setjmp(png_jmpbuf(png))) return failure;

    png_read_info(png, info);
    png_uint_32 width = 0, height = 0;
    int bitDepth = 0, colorType = 0, interlace = 0;
    png_get_IHDR(png, info, &width, &height, &bitDepth, &colorType, &interlace, nullptr, nullptr);
    uint64_t storedChannels = png_get_channels(png, info);  // before any transform
    uint32_t bytesPerPixel =
        (colorType == PNG_COLOR_TYPE_RGB_ALPHA || colorType == PNG_COLOR_TYPE_GRAY_ALPHA) ? 4 : 3;
    if (!PictureFits(height, width, bytesPerPixel, target.MaxPixels()))
        return DecodeResult::kNoPicture;

    if (colorType == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
    if (colorType == PNG_COLOR_TYPE_GRAY && bitDepth < 8) png_set_expand_gray_1_2_4_to_8(png);
    if (colorType == PNG_COLOR_TYPE_GRAY || colorType == PNG_COLOR_TYPE_GRAY_ALPHA)
        png_set_gray_to_rgb(png);
    if (bitDepth == 16) png_set_scale_16(png);
    // Expanding a palette also turns a tRNS chunk into an alpha channel, which we drop again.
    if (bytesPerPixel == 3) png_set_strip_alpha(png);
    png_set_bgr(png);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    if (png_get_rowbytes(png, info) != size_t{width} * bytesPerPixel)
        return DecodeResult::kNoPicture;  // a layout the transforms above cannot produce

    PictureSize size{height, width, bytesPerPixel};
    // A header that claims far more rows than the file's data can hold (a truncated or hostile
    // file) is found out before the buffer is allocated.
    uint64_t storedRowBytes =
        (uint64_t{width} * storedChannels * static_cast<uint64_t>(bitDepth) + 7) / 8;
    if (imageDataBytes * kMaxDeflateRatio + 4096 < (storedRowBytes + 1) * height) {
        target.Announce(size);
        return DecodeResult::kReadFailed;
    }
    failure = DecodeResult::kNoMemory;
    png_bytep* rowPointers = static_cast<png_bytep*>(std::malloc(sizeof(png_bytep) * height));
    *rowPointersOut = rowPointers;
    uint8_t* pixels = rowPointers != nullptr ? target.Allocate(size) : nullptr;
    if (pixels == nullptr) {
        target.Announce(size);
        return DecodeResult::kNoMemory;
    }
    for (png_uint_32 y = 0; y < height; ++y)
        rowPointers[y] = pixels + size_t{y} * width * bytesPerPixel;
    failure = DecodeResult::kReadFailed;
    png_read_image(png, rowPointers);
    return DecodeResult::kOk;
}

}  // namespace

DecodeResult DecodePng(const uint8_t* data, size_t size, CDecodeTarget& target)
{
    if (size < 8 || png_sig_cmp(data, 0, 8) != 0) return DecodeResult::kNoPicture;
    png_structp png =
        png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, JumpOnError, IgnoreWarning);
    if (png == nullptr) return DecodeResult::kNoPicture;
    png_infop info = png_create_info_struct(png);
    if (info == nullptr) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        return DecodeResult::kNoPicture;
    }
    // Sides above 2^28 are refused by libpng itself; the pixel count is checked after the header.
    png_set_user_limits(png, 1u << 28, 1u << 28);
    png_set_chunk_malloc_max(png, 8u << 20);
    // Only the critical chunks are read (tRNS too, which libpng keeps but we do not use): text,
    // profiles and the like are skipped unread, so their claimed sizes never cost memory.
    png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_NEVER, nullptr, -1);
#ifdef IMGPORT_FUZZING
    // Mutated inputs rarely keep their checksums; accepting them lets the fuzzer reach the
    // decoder instead of stopping at every CRC.
    png_set_crc_action(png, PNG_CRC_QUIET_USE, PNG_CRC_QUIET_USE);
    png_set_option(png, PNG_IGNORE_ADLER32, PNG_OPTION_ON);
#endif
    MemoryReader reader{data, size, 0};
    png_set_read_fn(png, &reader, ReadFromMemory);

    png_bytep* rowPointers = nullptr;
    DecodeResult result =
        DecodePngStream(png, info, target, CountImageDataBytes(data, size), &rowPointers);
    std::free(rowPointers);
    png_destroy_read_struct(&png, &info, nullptr);
    return result;
}

}  // namespace imgport
