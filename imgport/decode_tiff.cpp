// TIFF reading through libtiff, the first directory only. Pictures with an alpha extra sample load
// with 4 bytes per pixel and straight colours (associated alpha is un-premultiplied); all others
// (palette, grey, RGB, CMYK, YCbCr, any bit depth libtiff can convert) with 3.
//
// 8-bit grey and RGB, with or without alpha, interleaved or planar, in strips or tiles (by far the
// most common kinds) are read directly, so that unassociated alpha keeps its exact colours;
// everything else goes through libtiff's RGBA reader, which delivers premultiplied colours that
// are divided back.
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

// The layouts read directly: 8-bit unsigned grey (min-is-black) or RGB samples, with any extra
// samples after the colour ones (the first is the alpha when there is one), interleaved or in
// separate planes, in strips or tiles, top row first. libtiff's RGBA reader premultiplies
// colours by alpha, which loses the colour of semi-transparent pixels for good, so files with
// unassociated alpha must not go through it.
struct DirectLayout {
    uint32_t colourSamples = 0;  // 1 grey, 3 RGB
    uint32_t samples = 0;        // samples per pixel, extra ones included
    bool separate = false;       // one plane per sample
    bool tiled = false;
};

bool FindDirectLayout(TIFF* tiff, DirectLayout* layout)
{
    uint16_t bits = 0, samples = 0, planar = 0, photometric = 0, orientation = 0, format = 0;
    TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_ORIENTATION, &orientation);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLEFORMAT, &format);
    if (!TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &photometric)) return false;
    if (bits != 8 || format != SAMPLEFORMAT_UINT || orientation != ORIENTATION_TOPLEFT)
        return false;
    if (photometric == PHOTOMETRIC_MINISBLACK)
        layout->colourSamples = 1;
    else if (photometric == PHOTOMETRIC_RGB)
        layout->colourSamples = 3;
    else
        return false;
    if (samples < layout->colourSamples || samples > 8) return false;
    if (planar != PLANARCONFIG_CONTIG && planar != PLANARCONFIG_SEPARATE) return false;
    layout->samples = samples;
    layout->separate = planar == PLANARCONFIG_SEPARATE && samples > 1;
    layout->tiled = TIFFIsTiled(tiff) != 0;
    return true;
}

// Copies a block of `rows` × `columns` samples of one plane (or all samples interleaved) from a
// decoded strip or tile into the band of interleaved pixels.
void PlaceBlock(const uint8_t* block, size_t blockRowBytes, uint32_t rows, uint32_t columns,
                const DirectLayout& layout, int sample, uint8_t* band, size_t bandRowBytes,
                uint32_t firstColumn)
{
    for (uint32_t y = 0; y < rows; ++y) {
        const uint8_t* in = block + blockRowBytes * y;
        uint8_t* out = band + bandRowBytes * y + size_t{firstColumn} * layout.samples;
        if (sample < 0) {
            std::memcpy(out, in, size_t{columns} * layout.samples);
            continue;
        }
        for (uint32_t x = 0; x < columns; ++x) out[size_t{x} * layout.samples + sample] = in[x];
    }
}

// Reads the rows first .. first + rows - 1, all planes, into the band (interleaved samples); with
// band null, one interleaved strip into block.
bool ReadBand(TIFF* tiff, const DirectLayout& layout, uint32_t width, uint32_t first, uint32_t rows,
              uint32_t blockWidth, uint8_t* block, tmsize_t blockBytes, uint8_t* band)
{
    size_t bandRowBytes = size_t{width} * layout.samples;
    int planes = layout.separate ? static_cast<int>(layout.samples) : 1;
    for (int plane = 0; plane < planes; ++plane) {
        int sample = layout.separate ? plane : -1;
        size_t pixelBytes = layout.separate ? 1 : layout.samples;
        for (uint32_t x = 0; x < width; x += blockWidth) {
            uint32_t columns = width - x < blockWidth ? width - x : blockWidth;
            tmsize_t got;
            tmsize_t wanted = static_cast<tmsize_t>(size_t{blockWidth} * pixelBytes * rows);
            if (layout.tiled) {
                ttile_t tile = TIFFComputeTile(tiff, x, first, 0, static_cast<uint16_t>(plane));
                got = TIFFReadEncodedTile(tiff, tile, block, blockBytes);
            } else {
                tstrip_t strip = TIFFComputeStrip(tiff, first, static_cast<uint16_t>(plane));
                got = TIFFReadEncodedStrip(tiff, strip, block, wanted);
            }
            if (got < wanted) return false;
            if (band == nullptr) return true;  // interleaved strip: the block is the band
            PlaceBlock(block, size_t{blockWidth} * pixelBytes, rows, columns, layout, sample, band,
                       bandRowBytes, x);
        }
    }
    return true;
}

DecodeResult ReadDirect(TIFF* tiff, const DirectLayout& layout, const PictureSize& size,
                        bool associated, uint8_t* pixels)
{
    uint32_t bandHeight = 0, blockWidth = size.width;
    if (layout.tiled) {
        TIFFGetField(tiff, TIFFTAG_TILEWIDTH, &blockWidth);
        TIFFGetField(tiff, TIFFTAG_TILELENGTH, &bandHeight);
        if (blockWidth == 0 || bandHeight == 0) return DecodeResult::kReadFailed;
    } else {
        TIFFGetFieldDefaulted(tiff, TIFFTAG_ROWSPERSTRIP, &bandHeight);
        if (bandHeight == 0 || bandHeight > size.height) bandHeight = size.height;
    }
    // One strip or tile as libtiff decodes it, and the interleaved rows it belongs to.
    uint64_t pixelBytes = layout.separate ? 1 : layout.samples;
    uint64_t blockBytes = uint64_t{blockWidth} * pixelBytes * bandHeight;
    uint64_t libtiffBlock =
        layout.tiled ? uint64_t(TIFFTileSize64(tiff)) : uint64_t(TIFFStripSize64(tiff));
    if (libtiffBlock < blockBytes || blockBytes > (uint64_t{1} << 31))
        return DecodeResult::kReadFailed;
    // Interleaved strips are already rows of whole pixels: they are converted where libtiff
    // decoded them. Planes and tiles are gathered into a band of rows first.
    bool interleavedStrips = !layout.tiled && !layout.separate;
    uint64_t bandBytes = uint64_t{size.width} * layout.samples * bandHeight;
    CMallocBlock block(_TIFFmalloc(static_cast<tmsize_t>(libtiffBlock)));
    CMallocBlock band(interleavedStrips ? nullptr : std::malloc(static_cast<size_t>(bandBytes)));
    if (!block || (!interleavedStrips && !band)) return DecodeResult::kNoMemory;
    uint32_t b = size.bytesPerPixel;
    uint32_t c = layout.colourSamples;
    for (uint32_t first = 0; first < size.height; first += bandHeight) {
        uint32_t rows = size.height - first < bandHeight ? size.height - first : bandHeight;
        if (!ReadBand(tiff, layout, size.width, first, rows, blockWidth, block.Get(),
                      static_cast<tmsize_t>(libtiffBlock),
                      interleavedStrips ? nullptr : band.Get()))
            return DecodeResult::kReadFailed;
        const uint8_t* in = interleavedStrips ? block.Get() : band.Get();
        uint8_t* out = pixels + size_t{size.width} * b * first;
        for (size_t i = 0; i < size_t{rows} * size.width; ++i) {
            uint8_t red = in[0];
            uint8_t green = c == 3 ? in[1] : red;
            uint8_t blue = c == 3 ? in[2] : red;
            if (b == 4) {
                uint8_t alpha = in[c];  // the first extra sample
                if (associated) {
                    red = Unpremultiply(red, alpha);
                    green = Unpremultiply(green, alpha);
                    blue = Unpremultiply(blue, alpha);
                }
                out[3] = alpha;
            }
            out[0] = blue;
            out[1] = green;
            out[2] = red;
            in += layout.samples;
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
    DirectLayout layout;
    if (FindDirectLayout(tiff, &layout) &&
        layout.samples >= layout.colourSamples + (bytesPerPixel == 4))
        result = ReadDirect(tiff, layout, pictureSize,
                            image.Image().alpha == EXTRASAMPLE_ASSOCALPHA, pixels);
    else
        result = ReadThroughRgba(image.Image(), pictureSize, pixels);
    // The pixel buffer exists, so a failure from here on is one of reading the pixels.
    return result == DecodeResult::kOk ? result : DecodeResult::kReadFailed;
}

}  // namespace imgport
