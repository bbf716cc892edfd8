// From a file's bytes to the delivered buffer: format sniffing, the size limits, and the reduced
// loads (power-of-two sides, each chosen by itself, made by area averaging or by JPEG's scaled
// decode where that gives the delivered size directly).
#include <cstdlib>
#include <cstring>

#include "block/frame_block.h"
#include "imgport/malloc_block.h"
#include "imgport/picture_codec.h"

namespace imgport {

// Decoded pictures are frame-sized blocks: huge-page backed, see block/frame_block.h.
AllocatePixelsFn g_allocatePixels = AllocateFrameBlock;

uint8_t* AllocatePixels(uint64_t bytes)
{
    if (bytes == 0 || bytes > SIZE_MAX) return nullptr;
    return static_cast<uint8_t*>(g_allocatePixels(static_cast<size_t>(bytes)));
}

bool PictureFits(uint64_t height, uint64_t width, uint64_t bytesPerPixel, uint64_t maxPixels)
{
    if (height == 0 || width == 0 || height > UINT32_MAX || width > UINT32_MAX) return false;
    uint64_t pixels = height * width;
    return pixels <= maxPixels && pixels <= kMaxPixels && pixels * bytesPerPixel <= UINT32_MAX;
}

PictureFormat SniffFormat(const uint8_t* data, size_t size)
{
    static const uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    if (size >= 8 && std::memcmp(data, kPngSignature, 8) == 0) return PictureFormat::kPng;
    if (size >= 3 && data[0] == 0xFF && data[1] == 0xD8 && data[2] == 0xFF)
        return PictureFormat::kJpeg;
    if (size >= 6 && (std::memcmp(data, "GIF87a", 6) == 0 || std::memcmp(data, "GIF89a", 6) == 0))
        return PictureFormat::kGif;
    // Classic TIFF (42) and BigTIFF (43), either byte order.
    if (size >= 4 &&
        ((data[0] == 'I' && data[1] == 'I' && (data[2] == 42 || data[2] == 43) && data[3] == 0) ||
         (data[0] == 'M' && data[1] == 'M' && data[2] == 0 && (data[3] == 42 || data[3] == 43))))
        return PictureFormat::kTiff;
    if (size >= 2 && data[0] == 'B' && data[1] == 'M') return PictureFormat::kBmp;
    return PictureFormat::kUnknown;
}

DecodeResult DecodeAny(const uint8_t* data, size_t size, CDecodeTarget& target)
{
    switch (SniffFormat(data, size)) {
        case PictureFormat::kBmp:
            return DecodeBmp(data, size, target);
        case PictureFormat::kPng:
            return DecodePng(data, size, target);
        case PictureFormat::kJpeg:
            return DecodeJpeg(data, size, target);
        case PictureFormat::kGif:
            return DecodeGif(data, size, target);
        case PictureFormat::kTiff:
            return DecodeTiff(data, size, target);
        case PictureFormat::kUnknown:
            break;
    }
    return DecodeResult::kNoPicture;
}

uint32_t PowerOfTwoAbove(uint32_t n)
{
    uint32_t power = 1;
    while (power <= n && power < 0x80000000u) power <<= 1;
    return power;
}

uint32_t ReducedSide(uint32_t side, LoadMode mode)
{
    switch (mode) {
        case LoadMode::kQuarter:
            return PowerOfTwoAbove(side / 4);
        case LoadMode::kHalf:
            return PowerOfTwoAbove(side / 2);
        case LoadMode::kFull:
            break;
    }
    return side;
}

namespace {

// Decodes into one block from AllocatePixels().
class CBlockTarget : public CDecodeTarget {
  public:
    CBlockTarget(uint64_t maxPixels, LoadMode mode)
        : m_maxPixels(maxPixels)
        , m_mode(mode)
    {
    }
    uint64_t MaxPixels() const override { return m_maxPixels; }

    // A reduced JPEG load decodes at 1/d of the full size only where that gives exactly the
    // delivered size (libjpeg then reduces each 8 × 8 block in the frequency domain, which is
    // as close to an area average as the file's own precision allows); any other size is decoded
    // in full and area averaged, so that every delivered pixel covers exactly its share.
    int ChooseScaleDenominator(uint32_t height, uint32_t width) override
    {
        m_fullHeight = height;
        m_fullWidth = width;
        if (m_mode == LoadMode::kFull) return 1;
        uint32_t targetHeight = ReducedSide(height, m_mode);
        uint32_t targetWidth = ReducedSide(width, m_mode);
        for (uint32_t denominator : {8u, 4u, 2u}) {
            uint32_t scaledHeight = (height + denominator - 1) / denominator;
            uint32_t scaledWidth = (width + denominator - 1) / denominator;
            if (scaledHeight == targetHeight && scaledWidth == targetWidth)
                return static_cast<int>(denominator);
        }
        return 1;
    }

    // The size the file describes before any scaled decode.
    uint32_t FullHeight() const { return m_fullHeight != 0 ? m_fullHeight : Size().height; }
    uint32_t FullWidth() const { return m_fullWidth != 0 ? m_fullWidth : Size().width; }
    CMallocBlock& Block() { return m_block; }

  protected:
    uint8_t* AllocateBlock(const PictureSize& size) override
    {
        m_block.Reset(AllocatePixels(uint64_t{size.height} * size.width * size.bytesPerPixel));
        return m_block.Get();
    }

  private:
    uint64_t m_maxPixels;
    LoadMode m_mode;
    uint32_t m_fullHeight = 0;
    uint32_t m_fullWidth = 0;
    CMallocBlock m_block;
};

}  // namespace

DecodeResult LoadPictureFromMemory(const uint8_t* data, size_t size, LoadMode mode,
                                   uint64_t maxPixels, LoadedPicture* picture)
{
    *picture = LoadedPicture{};
    CBlockTarget target(maxPixels, mode);
    DecodeResult result = DecodeAny(data, size, target);
    if (result == DecodeResult::kNoPicture) return result;

    PictureSize decoded = target.Size();
    PictureSize delivered{ReducedSide(target.FullHeight(), mode),
                          ReducedSide(target.FullWidth(), mode), decoded.bytesPerPixel};
    picture->size = delivered;
    if (result != DecodeResult::kOk) return result;
    if (decoded.height == delivered.height && decoded.width == delivered.width) {
        picture->pixels = target.Block().Release();
        return DecodeResult::kOk;
    }
    CMallocBlock reduced(
        AllocatePixels(uint64_t{delivered.height} * delivered.width * delivered.bytesPerPixel));
    if (!reduced) return DecodeResult::kNoMemory;
    if (!ResampleArea(target.Block().Get(), decoded.height, decoded.width, decoded.bytesPerPixel,
                      reduced.Get(), delivered.height, delivered.width))
        return DecodeResult::kNoMemory;
    picture->pixels = reduced.Release();
    return DecodeResult::kOk;
}

}  // namespace imgport
