// TIFF writing through libtiff: 8-bit RGB, or RGBA with unassociated (straight) alpha when the
// caller's pixels have 4 bytes; LZW with the horizontal predictor, in strips of about 8 KB.
#include <cstdarg>
#include <vector>

#include <unistd.h>

#include <tiffio.h>

#include "imgport/picture_codec.h"

namespace imgport {
namespace {

int SilenceMessage(TIFF*, void*, const char*, const char*, va_list)
{
    return 1;
}

}  // namespace

bool EncodeTiff(const uint8_t* pixels, int height, int width, int bytesPerPixel, int fd,
                const char* name)
{
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    if (options == nullptr) {
        close(fd);
        return false;
    }
    TIFFOpenOptionsSetErrorHandlerExtR(options, SilenceMessage, nullptr);
    TIFFOpenOptionsSetWarningHandlerExtR(options, SilenceMessage, nullptr);
    // libtiff owns the descriptor from here and closes it in TIFFClose.
    TIFF* tiff = TIFFFdOpenExt(fd, name, "w", options);
    TIFFOpenOptionsFree(options);
    if (tiff == nullptr) {
        close(fd);
        return false;
    }
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
    return ok;
}

}  // namespace imgport
