// Picture files made byte by byte or with the codec libraries directly, for cases the savers do
// not produce (other headers, bit depths, palettes, transparency, premultiplied alpha).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace imgport_test {

// A BMP with the given info header size (12, 40, 108, 124), bit count, compression, colour table
// (4 bytes per entry, or 3 for the 12-byte header) and pixel data as stored; masks go into the
// header (108/124) or after it (40 with bit fields).
struct BmpLayout {
    uint32_t headerBytes = 40;
    int32_t width = 1;
    int32_t height = 1;  // negative: top-down
    uint16_t bitCount = 24;
    uint32_t compression = 0;
    uint32_t masks[4] = {0, 0, 0, 0};  // red, green, blue, alpha
    std::vector<uint8_t> palette;
    std::vector<uint8_t> pixelData;
    int64_t colorsUsed = -1;  // the header's colour count; -1: the entries in palette
};
std::vector<uint8_t> MakeBmp(const BmpLayout& layout);

// A PNG through libpng: rows as stored (already in the file's channel order and bit depth).
struct PngLayout {
    uint32_t width = 1;
    uint32_t height = 1;
    int colorType = 2;
    int bitDepth = 8;
    std::vector<uint8_t> palette;       // red, green, blue triples
    std::vector<uint8_t> transparency;  // tRNS bytes as stored
    std::vector<uint8_t> rows;
};
std::vector<uint8_t> MakePng(const PngLayout& layout);
// A PNG whose header claims the given size, with a tiny (wrong) image data chunk.
std::vector<uint8_t> MakePngHeaderOnly(uint32_t width, uint32_t height, int colorType);

// A GIF through giflib: one frame of palette indices, optionally with a transparent index.
std::vector<uint8_t> MakeGif(int screenWidth, int screenHeight, int left, int top, int width,
                             int height, const std::vector<uint8_t>& paletteRgb,
                             const std::vector<uint8_t>& indices, int transparentIndex,
                             int backgroundIndex = 0);

// An 8-bit TIFF through libtiff: grey (min-is-black) or RGB samples, optionally followed by one
// extra sample of the given kind (EXTRASAMPLE_*), interleaved or in separate planes, in strips of
// rowsPerStrip rows or in 16 × 16 tiles (edge tiles padded). Samples as stored, interleaved.
struct TiffLayout {
    uint32_t width = 1;
    uint32_t height = 1;
    uint16_t colourSamples = 3;
    int extraSample = -1;  // -1: no extra sample
    bool separatePlanes = false;
    bool tiled = false;
    uint32_t rowsPerStrip = 8;
    std::vector<uint8_t> samples;
};
bool WriteTiff(const std::string& path, const TiffLayout& layout);

}  // namespace imgport_test
