// TIFF writing through libtiff: 8-bit RGB, or RGBA with unassociated (straight) alpha when the
// caller's pixels have 4 bytes; LZW with the horizontal predictor, in strips of about 8 KB; into a
// whole file image in memory, like the other encoders.
#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <vector>

#include <tiffio.h>

#include "imgport/picture_codec.h"

namespace imgport {
namespace {

int SilenceMessage(TIFF*, void*, const char*, const char*, va_list)
{
    return 1;
}

// The file libtiff writes, kept in memory: libtiff seeks back to patch offsets and may read what
// it wrote, so this is a small random-access file rather than an appending stream.
struct MemoryOutput {
    std::vector<uint8_t>* bytes;
    uint64_t position;
};

tmsize_t ReadOutput(thandle_t handle, void* out, tmsize_t length)
{
    auto* file = static_cast<MemoryOutput*>(handle);
    uint64_t size = file->bytes->size();
    if (length <= 0 || file->position >= size) return 0;
    uint64_t count = std::min<uint64_t>(static_cast<uint64_t>(length), size - file->position);
    std::memcpy(out, file->bytes->data() + file->position, static_cast<size_t>(count));
    file->position += count;
    return static_cast<tmsize_t>(count);
}

tmsize_t WriteOutput(thandle_t handle, void* data, tmsize_t length)
{
    auto* file = static_cast<MemoryOutput*>(handle);
    if (length <= 0) return 0;
    uint64_t end = file->position + static_cast<uint64_t>(length);
    if (end > UINT32_MAX) return 0;  // classic TIFF offsets are 32 bits
    try {
        if (end > file->bytes->size()) file->bytes->resize(static_cast<size_t>(end));
    } catch (...) {
        return 0;  // out of memory: libtiff reports a write error
    }
    std::memcpy(file->bytes->data() + file->position, data, static_cast<size_t>(length));
    file->position = end;
    return length;
}

toff_t SeekOutput(thandle_t handle, toff_t offset, int whence)
{
    auto* file = static_cast<MemoryOutput*>(handle);
    uint64_t base = whence == SEEK_CUR   ? file->position
                    : whence == SEEK_END ? file->bytes->size()
                                         : 0;
    uint64_t target = base + offset;
    if (target < base) return static_cast<toff_t>(-1);
    file->position = target;
    return target;
}

int CloseOutput(thandle_t)
{
    return 0;
}
toff_t SizeOfOutput(thandle_t handle)
{
    return static_cast<MemoryOutput*>(handle)->bytes->size();
}
int MapNothing(thandle_t, void**, toff_t*)
{
    return 0;
}
void UnmapNothing(thandle_t, void*, toff_t) {}

}  // namespace

bool EncodeTiff(const uint8_t* pixels, int height, int width, int bytesPerPixel,
                std::vector<uint8_t>* file)
{
    file->clear();
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    if (options == nullptr) return false;
    TIFFOpenOptionsSetErrorHandlerExtR(options, SilenceMessage, nullptr);
    TIFFOpenOptionsSetWarningHandlerExtR(options, SilenceMessage, nullptr);
    MemoryOutput output{file, 0};
    TIFF* tiff = TIFFClientOpenExt("memory", "w", &output, ReadOutput, WriteOutput, SeekOutput,
                                   CloseOutput, SizeOfOutput, MapNothing, UnmapNothing, options);
    TIFFOpenOptionsFree(options);
    if (tiff == nullptr) return false;
    bool ok = TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(width)) &&
              TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(height)) &&
              TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 8) &&
              TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, bytesPerPixel) &&
              TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB) &&
              TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) &&
              TIFFSetField(tiff, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT) &&
              TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_LZW) &&
              TIFFSetField(tiff, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL) &&
              TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tiff, 0));
    if (ok && bytesPerPixel == 4) {
        uint16_t extra = EXTRASAMPLE_UNASSALPHA;
        ok = TIFFSetField(tiff, TIFFTAG_EXTRASAMPLES, 1, &extra);
    }
    // libtiff may change the row it is given (the predictor works in place), so each row is
    // converted to red-green-blue in a buffer of our own; the caller's rows are only read.
    size_t rowBytes = size_t(width) * bytesPerPixel;
    std::vector<uint8_t> row(rowBytes);
    for (int y = 0; ok && y < height; ++y) {
        const uint8_t* in = pixels + rowBytes * y;
        for (size_t x = 0; x < rowBytes; x += bytesPerPixel) {
            row[x] = in[x + 2];
            row[x + 1] = in[x + 1];
            row[x + 2] = in[x];
            if (bytesPerPixel == 4) row[x + 3] = in[x + 3];
        }
        ok = TIFFWriteScanline(tiff, row.data(), static_cast<uint32_t>(y), 0) == 1;
    }
    if (ok) ok = TIFFWriteDirectory(tiff) != 0;
    TIFFClose(tiff);
    return ok && !file->empty();
}

}  // namespace imgport
