// BMP reading, our own: every header field is checked before it is used, and every read of the
// file's bytes is bounds-checked, so a hostile header can neither crash nor allocate without limit.
//
// Read: BITMAPCOREHEADER (12 bytes), the OS/2 2.x header (16 to 64 bytes), BITMAPINFOHEADER (40)
// and its V2/V3/V4/V5 extensions (52, 56, 108, 124); bottom-up and top-down rows; 1, 2, 4 and 8-bit
// palettes; 16-bit (5-5-5 or bit fields); 24-bit; 32-bit (x-8-8-8 or bit fields); RLE8 and RLE4;
// and JPEG or PNG streams embedded in a BMP. Bit-field pictures with a non-zero alpha mask load
// with 4 bytes per pixel, all others with 3.
#include <bit>
#include <cstring>

#include "imgport/picture_codec.h"

namespace imgport {
namespace {

constexpr uint32_t kFileHeaderBytes = 14;
constexpr uint32_t kCompressionRgb = 0;
constexpr uint32_t kCompressionRle8 = 1;
constexpr uint32_t kCompressionRle4 = 2;
constexpr uint32_t kCompressionBitFields = 3;
constexpr uint32_t kCompressionJpeg = 4;
constexpr uint32_t kCompressionPng = 5;
constexpr uint32_t kCompressionAlphaBitFields = 6;

uint16_t ReadU16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t ReadU32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// One colour channel of a bit-field pixel.
struct ChannelMask {
    uint32_t mask = 0;
    int shift = 0;
    int bits = 0;  // 0: the channel is absent
    uint32_t maximum = 0;
};

// False for masks whose bits are not contiguous.
bool MakeChannel(uint32_t mask, ChannelMask* channel)
{
    *channel = ChannelMask{};
    if (mask == 0) return true;
    int shift = std::countr_zero(mask);
    uint32_t shifted = mask >> shift;
    if ((shifted & (shifted + 1)) != 0 && shifted != 0xFFFFFFFFu) return false;
    channel->mask = mask;
    channel->shift = shift;
    channel->bits = std::popcount(shifted);
    channel->maximum = shifted;
    return true;
}

inline uint8_t ExtractChannel(uint32_t value, const ChannelMask& channel)
{
    if (channel.bits == 0) return 0;
    uint32_t v = (value & channel.mask) >> channel.shift;
    if (channel.bits >= 8) return static_cast<uint8_t>(v >> (channel.bits - 8));
    return static_cast<uint8_t>((v * 255 + channel.maximum / 2) / channel.maximum);
}

struct BmpHeader {
    uint32_t width = 0;
    uint32_t height = 0;
    bool topDown = false;
    uint32_t bitCount = 0;
    uint32_t compression = kCompressionRgb;
    uint32_t pixelOffset = 0;
    uint32_t paletteOffset = 0;
    uint32_t paletteEntryBytes = 4;
    uint32_t paletteCount = 0;  // entries present in the file, at most 1 << bitCount
    ChannelMask red, green, blue, alpha;
};

// Reads and checks everything up to the pixel data. False: not a BMP we can read.
bool ReadBmpHeader(const uint8_t* data, size_t size, BmpHeader* header)
{
    if (size < kFileHeaderBytes + 12 || data[0] != 'B' || data[1] != 'M') return false;
    header->pixelOffset = ReadU32(data + 10);
    uint32_t infoBytes = ReadU32(data + 14);
    bool core = infoBytes == 12;
    bool os2 = infoBytes == 16 || infoBytes == 64;
    bool info = infoBytes == 40 || infoBytes == 52 || infoBytes == 56 || infoBytes == 108 ||
                infoBytes == 124;
    if (!core && !os2 && !info) return false;
    if (size < kFileHeaderBytes + uint64_t{infoBytes}) return false;
    const uint8_t* h = data + kFileHeaderBytes;
    uint32_t planes;
    uint32_t colorsUsed = 0;
    uint32_t masksAfterHeader = 0;
    if (core) {
        header->width = ReadU16(h + 4);
        header->height = ReadU16(h + 6);
        planes = ReadU16(h + 8);
        header->bitCount = ReadU16(h + 10);
        header->paletteEntryBytes = 3;
    } else {
        int32_t width = static_cast<int32_t>(ReadU32(h + 4));
        int32_t height = static_cast<int32_t>(ReadU32(h + 8));
        if (width <= 0 || height == 0 || height == INT32_MIN) return false;
        header->width = static_cast<uint32_t>(width);
        header->topDown = height < 0;
        header->height = static_cast<uint32_t>(height < 0 ? -height : height);
        planes = ReadU16(h + 12);
        header->bitCount = ReadU16(h + 14);
        if (infoBytes >= 20) header->compression = ReadU32(h + 16);
        if (infoBytes >= 36) colorsUsed = ReadU32(h + 32);
        // The OS/2 header reuses 3 and 4 for Huffman 1D and RLE24, which we do not read.
        if (os2 && header->compression != kCompressionRgb &&
            header->compression != kCompressionRle8 && header->compression != kCompressionRle4)
            return false;
        uint32_t red = 0, green = 0, blue = 0, alpha = 0;
        bool bitFields = header->compression == kCompressionBitFields ||
                         header->compression == kCompressionAlphaBitFields;
        if (bitFields) {
            const uint8_t* masks = h + 40;
            if (infoBytes == 40) {
                // Plain info header: the masks follow it.
                masksAfterHeader = header->compression == kCompressionAlphaBitFields ? 16 : 12;
                if (size < kFileHeaderBytes + uint64_t{infoBytes} + masksAfterHeader) return false;
            }
            red = ReadU32(masks);
            green = ReadU32(masks + 4);
            blue = ReadU32(masks + 8);
            if (infoBytes >= 56 || masksAfterHeader == 16) alpha = ReadU32(masks + 12);
            if (!MakeChannel(red, &header->red) || !MakeChannel(green, &header->green) ||
                !MakeChannel(blue, &header->blue) || !MakeChannel(alpha, &header->alpha))
                return false;
        }
    }
    if (planes != 1 || header->width == 0 || header->height == 0) return false;

    switch (header->compression) {
        case kCompressionRgb:
            if (header->bitCount != 1 && header->bitCount != 2 && header->bitCount != 4 &&
                header->bitCount != 8 && header->bitCount != 16 && header->bitCount != 24 &&
                header->bitCount != 32)
                return false;
            if (header->bitCount == 16) {
                MakeChannel(0x7C00, &header->red);
                MakeChannel(0x03E0, &header->green);
                MakeChannel(0x001F, &header->blue);
            }
            break;
        case kCompressionRle8:
            if (header->bitCount != 8 || header->topDown) return false;
            break;
        case kCompressionRle4:
            if (header->bitCount != 4 || header->topDown) return false;
            break;
        case kCompressionBitFields:
        case kCompressionAlphaBitFields:
            if (header->bitCount != 16 && header->bitCount != 32) return false;
            break;
        case kCompressionJpeg:
        case kCompressionPng:
            break;
        default:
            return false;
    }

    header->paletteOffset = kFileHeaderBytes + infoBytes + masksAfterHeader;
    if (header->pixelOffset < header->paletteOffset || header->pixelOffset >= size) return false;
    if (header->bitCount <= 8 && header->compression != kCompressionJpeg &&
        header->compression != kCompressionPng) {
        // The colour table lies between the headers and the pixel data. A table size the file
        // states must fit there: a larger one is a broken header, not a short palette. Entries
        // past what the depth can index are never used (an oversized table that is present is
        // read like a full one).
        uint64_t room = (header->pixelOffset - header->paletteOffset) / header->paletteEntryBytes;
        if (colorsUsed > room) return false;
        uint32_t wanted = 1u << header->bitCount;
        if (colorsUsed != 0 && colorsUsed < wanted) wanted = colorsUsed;
        // Without a stated size, older writers store fewer entries than the depth allows.
        header->paletteCount = static_cast<uint32_t>(room < wanted ? room : wanted);
    }
    return true;
}

struct Bgr {
    uint8_t blue, green, red;
};

// Palette entries past the ones the file holds are black.
void ReadPalette(const uint8_t* data, const BmpHeader& header, Bgr* palette)
{
    std::memset(palette, 0, sizeof(Bgr) * 256);
    for (uint32_t i = 0; i < header.paletteCount; ++i) {
        const uint8_t* entry = data + header.paletteOffset + i * header.paletteEntryBytes;
        palette[i] = Bgr{entry[0], entry[1], entry[2]};
    }
}

void ConvertRow(const uint8_t* source, const BmpHeader& header, const Bgr* palette,
                uint32_t bytesPerPixel, uint8_t* row)
{
    uint32_t width = header.width;
    switch (header.bitCount) {
        case 1:
        case 2:
        case 4:
        case 8: {
            uint32_t bits = header.bitCount;
            uint32_t perByte = 8 / bits;
            uint32_t mask = (1u << bits) - 1;
            for (uint32_t x = 0; x < width; ++x) {
                uint32_t shift = 8 - bits * (x % perByte + 1);
                const Bgr& c = palette[(source[x / perByte] >> shift) & mask];
                row[x * 3] = c.blue;
                row[x * 3 + 1] = c.green;
                row[x * 3 + 2] = c.red;
            }
            break;
        }
        case 24:
            std::memcpy(row, source, size_t{width} * 3);
            break;
        case 16:
        case 32: {
            bool wide = header.bitCount == 32;
            bool fields = header.compression != kCompressionRgb;
            for (uint32_t x = 0; x < width; ++x) {
                uint8_t* out = row + size_t{x} * bytesPerPixel;
                if (wide && !fields) {
                    const uint8_t* in = source + size_t{x} * 4;
                    out[0] = in[0];
                    out[1] = in[1];
                    out[2] = in[2];
                    continue;
                }
                uint32_t value =
                    wide ? ReadU32(source + size_t{x} * 4) : ReadU16(source + size_t{x} * 2);
                out[0] = ExtractChannel(value, header.blue);
                out[1] = ExtractChannel(value, header.green);
                out[2] = ExtractChannel(value, header.red);
                if (bytesPerPixel == 4) out[3] = ExtractChannel(value, header.alpha);
            }
            break;
        }
    }
}

// How an RLE8 / RLE4 stream ends.
enum class RleEnd {
    kComplete,   // end-of-bitmap marker, or every row reached
    kTruncated,  // the bytes run out first
    kOutside,    // a run or a delta leaves its row or the picture
};

// Walks an RLE8 / RLE4 stream from the bottom row up. With pixels null it only checks the stream
// (before the buffer exists); otherwise it draws into a picture cleared to black, where pixels the
// stream skips (by a delta or an early end of line or of the picture) stay black. Runs and deltas
// must stay inside their row and the picture: a stream that reaches outside was not written for
// this picture's size.
RleEnd WalkRle(const uint8_t* data, size_t size, const BmpHeader& header, const Bgr* palette,
               uint8_t* pixels)
{
    bool four = header.compression == kCompressionRle4;
    uint32_t width = header.width;
    uint32_t height = header.height;
    if (pixels != nullptr) std::memset(pixels, 0, size_t{width} * height * 3);
    size_t p = header.pixelOffset;
    uint64_t x = 0, y = 0;  // y counts rows from the bottom
    auto put = [&](uint32_t index) {
        const Bgr& c = palette[index & 0xFF];
        uint8_t* out = pixels + ((height - 1 - y) * size_t{width} + x) * 3;
        out[0] = c.blue;
        out[1] = c.green;
        out[2] = c.red;
        ++x;
    };
    while (y < height) {
        if (p + 2 > size) return RleEnd::kTruncated;
        uint32_t count = data[p];
        uint32_t value = data[p + 1];
        p += 2;
        if (count > 0) {  // encoded run of `count` pixels
            if (x + count > width) return RleEnd::kOutside;
            if (pixels == nullptr) {
                x += count;
                continue;
            }
            for (uint32_t i = 0; i < count; ++i)
                put(four ? ((i & 1) ? value & 0x0F : value >> 4) : value);
            continue;
        }
        if (value == 0) {  // end of line
            x = 0;
            ++y;
        } else if (value == 1) {  // end of picture
            return RleEnd::kComplete;
        } else if (value == 2) {  // delta: right and up, within the picture
            if (p + 2 > size) return RleEnd::kTruncated;
            x += data[p];
            y += data[p + 1];
            p += 2;
            if (x > width || y >= height) return RleEnd::kOutside;
        } else {  // absolute run of `value` pixels, padded to a 16-bit boundary
            size_t bytes = four ? (value + 1) / 2 : value;
            size_t padded = (bytes + 1) & ~size_t{1};
            if (x + value > width) return RleEnd::kOutside;
            if (p + padded > size) return RleEnd::kTruncated;
            if (pixels == nullptr) {
                x += value;
            } else {
                for (uint32_t i = 0; i < value; ++i)
                    put(four ? ((i & 1) ? data[p + i / 2] & 0x0F : data[p + i / 2] >> 4)
                             : data[p + i]);
            }
            p += padded;
        }
    }
    return RleEnd::kComplete;
}

// True when the RLE stream of the file could draw every pixel of the picture. Each two-byte code
// draws at most 255 pixels (an encoded run; an absolute run draws at most two per byte), so N
// stream bytes draw at most 255 × N / 2. End-of-line, delta and end-of-bitmap codes draw nothing:
// they leave pixels to the background, and a delta alone skips up to 255 rows in four bytes, so
// counting skipped pixels would let a few hundred bytes claim any size. A picture larger than its
// runs can draw is therefore not one the data describes, and is refused before its buffer (up to
// three bytes per claimed pixel) is allocated.
bool RleCanFill(const BmpHeader& header, size_t size)
{
    uint64_t streamBytes = size - header.pixelOffset;
    return uint64_t{header.width} * header.height <= 255 * (streamBytes / 2);
}

}  // namespace

DecodeResult DecodeBmp(const uint8_t* data, size_t size, CDecodeTarget& target)
{
    BmpHeader header;
    if (!ReadBmpHeader(data, size, &header)) return DecodeResult::kNoPicture;
    if (header.compression == kCompressionJpeg)
        return DecodeJpeg(data + header.pixelOffset, size - header.pixelOffset, target);
    if (header.compression == kCompressionPng)
        return DecodePng(data + header.pixelOffset, size - header.pixelOffset, target);

    uint32_t bytesPerPixel = header.alpha.bits != 0 ? 4 : 3;
    if (!PictureFits(header.height, header.width, bytesPerPixel, target.MaxPixels()))
        return DecodeResult::kNoPicture;
    PictureSize pictureSize{header.height, header.width, bytesPerPixel};

    Bgr palette[256];
    ReadPalette(data, header, palette);
    bool rle = header.compression == kCompressionRle8 || header.compression == kCompressionRle4;
    uint64_t stride = (uint64_t{header.width} * header.bitCount + 31) / 32 * 4;
    if (!rle && header.pixelOffset + stride * header.height > size) {
        // The header is sound but the rows are not all there: checked before allocating.
        target.Announce(pictureSize);
        return DecodeResult::kReadFailed;
    }
    if (rle) {
        if (!RleCanFill(header, size)) return DecodeResult::kNoPicture;
        RleEnd end = WalkRle(data, size, header, palette, nullptr);
        if (end == RleEnd::kOutside) return DecodeResult::kNoPicture;
        if (end == RleEnd::kTruncated) {
            target.Announce(pictureSize);
            return DecodeResult::kReadFailed;
        }
    }
    uint8_t* pixels = target.Allocate(pictureSize);
    if (pixels == nullptr) return DecodeResult::kNoMemory;
    if (rle) {
        WalkRle(data, size, header, palette, pixels);  // checked above
        return DecodeResult::kOk;
    }
    size_t rowBytes = size_t{header.width} * bytesPerPixel;
    for (uint32_t y = 0; y < header.height; ++y) {
        const uint8_t* source = data + header.pixelOffset + stride * y;
        uint32_t row = header.topDown ? y : header.height - 1 - y;
        ConvertRow(source, header, palette, bytesPerPixel, pixels + rowBytes * row);
    }
    return DecodeResult::kOk;
}

}  // namespace imgport
