// BMP writing, our own: a standard 24-bit bottom-up file with a 40-byte info header, rows padded to
// 4 bytes as the format requires (the caller's rows are packed).
#include <cstring>

#include "imgport/picture_codec.h"

namespace imgport {
namespace {

// 72 pixels per inch, the usual value for pictures without a known resolution.
constexpr uint32_t kPixelsPerMetre = 2835;

void PutU16(uint8_t* p, uint32_t value)
{
    p[0] = static_cast<uint8_t>(value);
    p[1] = static_cast<uint8_t>(value >> 8);
}
void PutU32(uint8_t* p, uint32_t value)
{
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace

bool SaveSizeFits(int height, int width, int bytesPerPixel)
{
    if (height < 1 || width < 1) return false;
    return PictureFits(static_cast<uint64_t>(height), static_cast<uint64_t>(width),
                       static_cast<uint64_t>(bytesPerPixel), kMaxPixels);
}

bool EncodeBmp(const uint8_t* pixels, int height, int width, std::vector<uint8_t>* file)
{
    constexpr uint32_t kHeaderBytes = 14 + 40;
    uint64_t rowBytes = uint64_t(width) * 3;
    uint64_t stride = (rowBytes + 3) & ~uint64_t{3};
    uint64_t imageBytes = stride * uint64_t(height);
    uint64_t fileBytes = kHeaderBytes + imageBytes;
    if (fileBytes > UINT32_MAX) return false;
    file->assign(static_cast<size_t>(fileBytes), 0);
    uint8_t* h = file->data();
    h[0] = 'B';
    h[1] = 'M';
    PutU32(h + 2, static_cast<uint32_t>(fileBytes));
    PutU32(h + 10, kHeaderBytes);
    PutU32(h + 14, 40);
    PutU32(h + 18, static_cast<uint32_t>(width));
    PutU32(h + 22, static_cast<uint32_t>(height));  // positive: bottom row first
    PutU16(h + 26, 1);
    PutU16(h + 28, 24);
    PutU32(h + 30, 0);  // uncompressed
    PutU32(h + 34, static_cast<uint32_t>(imageBytes));
    PutU32(h + 38, kPixelsPerMetre);
    PutU32(h + 42, kPixelsPerMetre);
    for (int y = 0; y < height; ++y) {
        const uint8_t* source = pixels + rowBytes * static_cast<uint64_t>(height - 1 - y);
        std::memcpy(h + kHeaderBytes + stride * static_cast<uint64_t>(y), source, rowBytes);
    }
    return true;
}

}  // namespace imgport
