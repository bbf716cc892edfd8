// TIFF reading through libtiff, the first directory only. Pictures with an alpha extra sample load
// with 4 bytes per pixel and straight colours (associated alpha is un-premultiplied); all others
// (palette, grey, RGB, CMYK, YCbCr, any bit depth libtiff can convert) with 3.
//
// 8-bit interleaved RGB and RGBA strips, by far the most common kind, are read directly, so their
// unassociated alpha keeps its exact colours; everything else goes through libtiff's RGBA reader,
// which delivers premultiplied colours that are divided back.
#include <cstdarg>
#include <cstring>

#include <tiffio.h>

#include "imgport/malloc_block.h"
#include "imgport/picture_codec.h"

namespace imgport {
namespace {

struct MemoryFile {
    const uint8_t* data;
    size_t size;
    uint64_t position;
};

tmsize_t ReadMemory(thandle_t handle, void* out, tmsize_t length)
{
    auto* file = static_cast<MemoryFile*>(handle);
    if (length <= 0 || file->position >= file->size) return 0;
    uint64_t left = file->size - file->position;
    uint64_t count = static_cast<uint64_t>(length) < left ? static_cast<uint64_t>(length) : left;
    std::memcpy(out, file->data + file->position, static_cast<size_t>(count));
    file->position += count;
    return static_cast<tmsize_t>(count);
}

tmsize_t WriteNothing(thandle_t, void*, tmsize_t)
{
    return 0;
}

toff_t SeekMemory(thandle_t handle, toff_t offset, int whence)
{
    auto* file = static_cast<MemoryFile*>(handle);
    uint64_t base = whence == SEEK_CUR ? file->position : whence == SEEK_END ? file->size : 0;
    uint64_t target = base + offset;
    if (target < base) return static_cast<toff_t>(-1);
    file->position = target;
    return target;
}

int CloseNothing(thandle_t)
{
    return 0;
}
toff_t SizeOfMemory(thandle_t handle)
{
    return static_cast<MemoryFile*>(handle)->size;
}

int MapMemory(thandle_t handle, void** base, toff_t* size)
{
    auto* file = static_cast<MemoryFile*>(handle);
    *base = const_cast<uint8_t*>(file->data);
    *size = file->size;
    return 1;
}
void UnmapNothing(thandle_t, void*, toff_t) {}

// libtiff's messages go nowhere: the caller only needs the result.
int SilenceMessage(TIFF*, void*, const char*, const char*, va_list)
{
    return 1;
}

class CTiffReader {
  public:
    CTiffReader(MemoryFile* file, uint64_t maxPixels)
    {
        TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
        if (options == nullptr) return;
        // No single buffer inside libtiff may outgrow the largest picture we accept.
        TIFFOpenOptionsSetMaxSingleMemAlloc(options,
                                            static_cast<tmsize_t>(maxPixels * 8 + (16 << 20)));
        TIFFOpenOptionsSetErrorHandlerExtR(options, SilenceMessage, nullptr);
        TIFFOpenOptionsSetWarningHandlerExtR(options, SilenceMessage, nullptr);
        m_tiff = TIFFClientOpenExt("memory", "rm", file, ReadMemory, WriteNothing, SeekMemory,
                                   CloseNothing, SizeOfMemory, MapMemory, UnmapNothing, options);
        TIFFOpenOptionsFree(options);
    }
    CTiffReader(const CTiffReader&) = delete;
    CTiffReader& operator=(const CTiffReader&) = delete;
    ~CTiffReader()
    {
        if (m_tiff != nullptr) TIFFClose(m_tiff);
    }
    TIFF* Get() const { return m_tiff; }

  private:
    TIFF* m_tiff = nullptr;
};

class CRgbaImage {
  public:
    CRgbaImage() { std::memset(&m_image, 0, sizeof(m_image)); }
    CRgbaImage(const CRgbaImage&) = delete;
    CRgbaImage& operator=(const CRgbaImage&) = delete;
    ~CRgbaImage()
    {
        if (m_begun) TIFFRGBAImageEnd(&m_image);
    }
    bool Begin(TIFF* tiff)
    {
        char message[1024];
        if (!TIFFRGBAImageOK(tiff, message)) return false;
        m_begun = TIFFRGBAImageBegin(&m_image, tiff, 1, message) != 0;
        return m_begun;
    }
    TIFFRGBAImage& Image() { return m_image; }

  private:
    TIFFRGBAImage m_image;
    bool m_begun = false;
};

inline uint8_t Unpremultiply(uint32_t colour, uint32_t alpha)
{
    if (alpha == 0) return 0;
    uint32_t value = (colour * 255 + alpha / 2) / alpha;
    return static_cast<uint8_t>(value > 255 ? 255 : value);
}

// 8-bit interleaved RGB(A) in strips, top row first.
bool IsPlainRgbStrips(TIFF* tiff, uint32_t bytesPerPixel)
{
    uint16_t bits = 0, samples = 0, planar = 0, photometric = 0, orientation = 0;
    TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_ORIENTATION, &orientation);
    if (!TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &photometric)) return false;
    return !TIFFIsTiled(tiff) && bits == 8 && planar == PLANARCONFIG_CONTIG &&
           photometric == PHOTOMETRIC_RGB && orientation == ORIENTATION_TOPLEFT &&
           samples == bytesPerPixel;
}

DecodeResult ReadPlainRgbStrips(TIFF* tiff, const PictureSize& size, bool associated,
                                uint8_t* pixels)
{
    uint32_t rowsPerStrip = 0;
    TIFFGetFieldDefaulted(tiff, TIFFTAG_ROWSPERSTRIP, &rowsPerStrip);
    if (rowsPerStrip == 0 || rowsPerStrip > size.height) rowsPerStrip = size.height;
    tmsize_t stripBytes = TIFFStripSize(tiff);
    tmsize_t rowBytes = static_cast<tmsize_t>(size.width) * size.bytesPerPixel;
    if (stripBytes < rowBytes * static_cast<tmsize_t>(rowsPerStrip))
        return DecodeResult::kReadFailed;
    CMallocBlock strip(_TIFFmalloc(stripBytes));
    if (!strip) return DecodeResult::kNoMemory;
    uint32_t b = size.bytesPerPixel;
    for (uint32_t first = 0; first < size.height; first += rowsPerStrip) {
        uint32_t rows = size.height - first < rowsPerStrip ? size.height - first : rowsPerStrip;
        tmsize_t wanted = rowBytes * rows;
        if (TIFFReadEncodedStrip(tiff, TIFFComputeStrip(tiff, first, 0), strip.Get(), wanted) !=
            wanted)
            return DecodeResult::kReadFailed;
        const uint8_t* in = strip.Get();
        uint8_t* out = pixels + static_cast<size_t>(rowBytes) * first;
        for (size_t i = 0; i < size_t{rows} * size.width; ++i) {
            if (b == 4 && associated) {
                out[0] = Unpremultiply(in[2], in[3]);
                out[1] = Unpremultiply(in[1], in[3]);
                out[2] = Unpremultiply(in[0], in[3]);
            } else {
                out[0] = in[2];
                out[1] = in[1];
                out[2] = in[0];
            }
            if (b == 4) out[3] = in[3];
            in += b;
            out += b;
        }
    }
    return DecodeResult::kOk;
}

// libtiff's RGBA reader: packed 32-bit words, premultiplied when there is alpha.
DecodeResult ReadThroughRgba(TIFFRGBAImage& image, const PictureSize& size, uint8_t* pixels)
{
    CMallocBlock raster(std::malloc(size_t{size.height} * size.width * 4));
    if (!raster) return DecodeResult::kNoMemory;
    image.req_orientation = ORIENTATION_TOPLEFT;
    auto* words = reinterpret_cast<uint32_t*>(raster.Get());
    if (!TIFFRGBAImageGet(&image, words, size.width, size.height)) return DecodeResult::kReadFailed;
    size_t count = size_t{size.height} * size.width;
    uint8_t* out = pixels;
    for (size_t i = 0; i < count; ++i) {
        uint32_t word = words[i];
        uint32_t red = TIFFGetR(word), green = TIFFGetG(word), blue = TIFFGetB(word);
        if (size.bytesPerPixel == 4) {
            uint32_t alpha = TIFFGetA(word);
            out[0] = Unpremultiply(blue, alpha);
            out[1] = Unpremultiply(green, alpha);
            out[2] = Unpremultiply(red, alpha);
            out[3] = static_cast<uint8_t>(alpha);
            out += 4;
        } else {
            out[0] = static_cast<uint8_t>(blue);
            out[1] = static_cast<uint8_t>(green);
            out[2] = static_cast<uint8_t>(red);
            out += 3;
        }
    }
    return DecodeResult::kOk;
}

}  // namespace

DecodeResult DecodeTiff(const uint8_t* data, size_t size, CDecodeTarget& target)
{
    if (SniffFormat(data, size) != PictureFormat::kTiff) return DecodeResult::kNoPicture;
    MemoryFile file{data, size, 0};
    CTiffReader reader(&file, target.MaxPixels());
    TIFF* tiff = reader.Get();
    if (tiff == nullptr) return DecodeResult::kNoPicture;
    uint32_t width = 0, height = 0;
    if (!TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width) ||
        !TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height) ||
        !PictureFits(height, width, 4, target.MaxPixels()))
        return DecodeResult::kNoPicture;
    CRgbaImage image;
    if (!image.Begin(tiff)) return DecodeResult::kNoPicture;
    uint32_t bytesPerPixel = image.Image().alpha != 0 ? 4 : 3;
    PictureSize pictureSize{height, width, bytesPerPixel};
    uint8_t* pixels = target.Allocate(pictureSize);
    if (pixels == nullptr) return DecodeResult::kNoMemory;
    DecodeResult result;
    if (IsPlainRgbStrips(tiff, bytesPerPixel))
        result = ReadPlainRgbStrips(tiff, pictureSize,
                                    image.Image().alpha == EXTRASAMPLE_ASSOCALPHA, pixels);
    else
        result = ReadThroughRgba(image.Image(), pictureSize, pixels);
    // The pixel buffer exists, so a failure from here on is one of reading the pixels.
    return result == DecodeResult::kOk ? result : DecodeResult::kReadFailed;
}

}  // namespace imgport
