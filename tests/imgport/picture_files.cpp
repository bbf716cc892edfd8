#include "picture_files.h"

#include <csetjmp>
#include <cstring>

#include <gif_lib.h>
#include <png.h>
#include <tiffio.h>
#include <zlib.h>

namespace imgport_test {
namespace {

void Put16(std::vector<uint8_t>& out, size_t at, uint32_t v)
{
    out[at] = uint8_t(v);
    out[at + 1] = uint8_t(v >> 8);
}
void Put32(std::vector<uint8_t>& out, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i) out[at + i] = uint8_t(v >> (8 * i));
}

void AppendToVector(png_structp png, png_bytep data, size_t length)
{
    auto* out = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + length);
}
void FlushNothing(png_structp) {}

void AppendChunk(std::vector<uint8_t>& out, const char* type, const std::vector<uint8_t>& data)
{
    uint32_t length = uint32_t(data.size());
    uint8_t header[8] = {uint8_t(length >> 24), uint8_t(length >> 16), uint8_t(length >> 8),
                         uint8_t(length)};
    std::memcpy(header + 4, type, 4);
    out.insert(out.end(), header, header + 8);
    out.insert(out.end(), data.begin(), data.end());
    uLong crc = crc32(0, header + 4, 4);
    crc = crc32(crc, data.data(), uInt(data.size()));
    uint8_t tail[4] = {uint8_t(crc >> 24), uint8_t(crc >> 16), uint8_t(crc >> 8), uint8_t(crc)};
    out.insert(out.end(), tail, tail + 4);
}

int WriteToVector(GifFileType* gif, const GifByteType* data, int length)
{
    auto* out = static_cast<std::vector<uint8_t>*>(gif->UserData);
    out->insert(out->end(), data, data + length);
    return length;
}

}  // namespace

std::vector<uint8_t> MakeBmp(const BmpLayout& layout)
{
    bool core = layout.headerBytes == 12;
    bool bitFields = layout.compression == 3 || layout.compression == 6;
    uint32_t masksAfter =
        (layout.headerBytes == 40 && bitFields) ? (layout.compression == 6 ? 16 : 12) : 0;
    uint32_t offset = 14 + layout.headerBytes + masksAfter + uint32_t(layout.palette.size());
    std::vector<uint8_t> out(offset, 0);
    out[0] = 'B';
    out[1] = 'M';
    Put32(out, 2, uint32_t(offset + layout.pixelData.size()));
    Put32(out, 10, offset);
    Put32(out, 14, layout.headerBytes);
    if (core) {
        Put16(out, 18, uint32_t(layout.width));
        Put16(out, 20, uint32_t(layout.height));
        Put16(out, 22, 1);
        Put16(out, 24, layout.bitCount);
    } else {
        Put32(out, 18, uint32_t(layout.width));
        Put32(out, 22, uint32_t(layout.height));
        Put16(out, 26, 1);
        Put16(out, 28, layout.bitCount);
        Put32(out, 30, layout.compression);
        Put32(out, 34, uint32_t(layout.pixelData.size()));
        uint32_t entries = layout.colorsUsed >= 0 ? uint32_t(layout.colorsUsed)
                                                  : uint32_t(layout.palette.size() / 4);
        Put32(out, 46, entries);
        if (bitFields || layout.headerBytes >= 108)
            for (int i = 0; i < (masksAfter == 12 ? 3 : 4); ++i)
                Put32(out, 54 + 4 * i, layout.masks[i]);
    }
    if (!layout.palette.empty())
        std::memcpy(out.data() + 14 + layout.headerBytes + masksAfter, layout.palette.data(),
                    layout.palette.size());
    out.insert(out.end(), layout.pixelData.begin(), layout.pixelData.end());
    return out;
}

std::vector<uint8_t> MakePng(const PngLayout& layout)
{
    std::vector<uint8_t> out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return {};
    }
    png_set_write_fn(png, &out, AppendToVector, FlushNothing);
    png_set_IHDR(png, info, layout.width, layout.height, layout.bitDepth, layout.colorType,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    std::vector<png_color> palette;
    for (size_t i = 0; i + 2 < layout.palette.size(); i += 3)
        palette.push_back(
            png_color{layout.palette[i], layout.palette[i + 1], layout.palette[i + 2]});
    if (!palette.empty()) png_set_PLTE(png, info, palette.data(), int(palette.size()));
    if (!layout.transparency.empty()) {
        if (layout.colorType == PNG_COLOR_TYPE_PALETTE) {
            png_set_tRNS(png, info, layout.transparency.data(), int(layout.transparency.size()),
                         nullptr);
        } else {
            png_color_16 colour{};
            colour.gray = layout.transparency[0];
            colour.red = layout.transparency[0];
            colour.green = layout.transparency.size() > 1 ? layout.transparency[1] : 0;
            colour.blue = layout.transparency.size() > 2 ? layout.transparency[2] : 0;
            png_set_tRNS(png, info, nullptr, 0, &colour);
        }
    }
    png_write_info(png, info);
    size_t rowBytes = png_get_rowbytes(png, info);
    for (uint32_t y = 0; y < layout.height; ++y)
        png_write_row(png, layout.rows.data() + rowBytes * y);
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return out;
}

std::vector<uint8_t> MakePngHeaderOnly(uint32_t width, uint32_t height, int colorType)
{
    std::vector<uint8_t> out = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    std::vector<uint8_t> header = {uint8_t(width >> 24),
                                   uint8_t(width >> 16),
                                   uint8_t(width >> 8),
                                   uint8_t(width),
                                   uint8_t(height >> 24),
                                   uint8_t(height >> 16),
                                   uint8_t(height >> 8),
                                   uint8_t(height),
                                   8,
                                   uint8_t(colorType),
                                   0,
                                   0,
                                   0};
    AppendChunk(out, "IHDR", header);
    AppendChunk(out, "IDAT", {0x78, 0x9C, 0x03, 0x00, 0x00, 0x00, 0x00, 0x01});
    AppendChunk(out, "IEND", {});
    return out;
}

std::vector<uint8_t> MakeGif(int screenWidth, int screenHeight, int left, int top, int width,
                             int height, const std::vector<uint8_t>& paletteRgb,
                             const std::vector<uint8_t>& indices, int transparentIndex,
                             int backgroundIndex)
{
    std::vector<uint8_t> out;
    int error = 0;
    GifFileType* gif = EGifOpen(&out, WriteToVector, &error);
    if (gif == nullptr) return {};
    int count = int(paletteRgb.size() / 3);
    int size = 2;
    while (size < count) size *= 2;
    std::vector<GifColorType> colors(size_t(size), GifColorType{0, 0, 0});
    for (int i = 0; i < count; ++i)
        colors[size_t(i)] =
            GifColorType{paletteRgb[3 * i], paletteRgb[3 * i + 1], paletteRgb[3 * i + 2]};
    ColorMapObject* map = GifMakeMapObject(size, colors.data());
    EGifSetGifVersion(gif, true);
    EGifPutScreenDesc(gif, screenWidth, screenHeight, 8, backgroundIndex, map);
    if (transparentIndex >= 0) {
        GifByteType control[4] = {0x01, 0, 0, GifByteType(transparentIndex)};
        EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, 4, control);
    }
    EGifPutImageDesc(gif, left, top, width, height, false, nullptr);
    for (int y = 0; y < height; ++y)
        EGifPutLine(gif, const_cast<GifPixelType*>(indices.data() + size_t(y) * width), width);
    EGifCloseFile(gif, &error);
    GifFreeMapObject(map);
    return out;
}

bool WriteTiff(const std::string& path, const TiffLayout& layout)
{
    constexpr uint32_t kTileSide = 16;
    uint32_t samples = layout.colourSamples + (layout.extraSample >= 0 ? 1 : 0);
    TIFF* tiff = TIFFOpen(path.c_str(), "w");
    if (tiff == nullptr) return false;
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, layout.width);
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, layout.height);
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, samples);
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC,
                 layout.colourSamples == 1 ? PHOTOMETRIC_MINISBLACK : PHOTOMETRIC_RGB);
    TIFFSetField(tiff, TIFFTAG_PLANARCONFIG,
                 layout.separatePlanes ? PLANARCONFIG_SEPARATE : PLANARCONFIG_CONTIG);
    TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
    if (layout.extraSample >= 0) {
        uint16_t extra = uint16_t(layout.extraSample);
        TIFFSetField(tiff, TIFFTAG_EXTRASAMPLES, 1, &extra);
    }
    // The samples of one plane (or all, interleaved) of the rectangle at (left, top).
    int planes = layout.separatePlanes ? int(samples) : 1;
    auto gather = [&](int plane, uint32_t left, uint32_t top, uint32_t columns, uint32_t rows) {
        uint32_t perPixel = layout.separatePlanes ? 1 : samples;
        std::vector<uint8_t> block(size_t(columns) * rows * perPixel, 0);
        for (uint32_t y = 0; y < rows && top + y < layout.height; ++y)
            for (uint32_t x = 0; x < columns && left + x < layout.width; ++x)
                for (uint32_t s = 0; s < perPixel; ++s)
                    block[(size_t(y) * columns + x) * perPixel + s] =
                        layout.samples[((size_t(top) + y) * layout.width + left + x) * samples +
                                       (layout.separatePlanes ? uint32_t(plane) : s)];
        return block;
    };
    bool ok = true;
    if (layout.tiled) {
        TIFFSetField(tiff, TIFFTAG_TILEWIDTH, kTileSide);
        TIFFSetField(tiff, TIFFTAG_TILELENGTH, kTileSide);
        for (int plane = 0; plane < planes; ++plane)
            for (uint32_t top = 0; top < layout.height; top += kTileSide)
                for (uint32_t left = 0; left < layout.width; left += kTileSide) {
                    auto tile = gather(plane, left, top, kTileSide, kTileSide);
                    ok = ok && TIFFWriteTile(tiff, tile.data(), left, top, 0, uint16_t(plane)) > 0;
                }
    } else {
        TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, layout.rowsPerStrip);
        for (int plane = 0; plane < planes; ++plane)
            for (uint32_t y = 0; y < layout.height; ++y) {
                auto row = gather(plane, 0, y, layout.width, 1);
                ok = ok && TIFFWriteScanline(tiff, row.data(), y, uint16_t(plane)) == 1;
            }
    }
    TIFFClose(tiff);
    return ok;
}

}  // namespace imgport_test
