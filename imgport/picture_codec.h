// Internal interface of ImgPort: the decoders and encoders behind the eight exports, callable from
// memory so that tests and fuzz targets reach them without files. Nothing here is exported from
// libImgPort.so; the exports in exports.cpp are the only way in from a host.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace imgport {

// Largest picture any loader delivers or saver writes: 2^28 pixels (16384 × 16384), and a byte
// count that fits in 32 bits. Checked before any large allocation, also inside the codecs.
constexpr uint64_t kMaxPixels = uint64_t{1} << 28;

// Result of every decoding step, listed once. The exports map each to the caller's integer result
// in ExportedLoadResult().
enum class DecodeResult {
    kOk = 0,
    kNoPicture,   // not a picture we can read, a size of 0, or too large; nothing allocated
    kNoMemory,    // the header was sound but the pixel buffer could not be allocated
    kReadFailed,  // the header was sound but the pixels could not be decoded (truncated, corrupt)
};

// A picture's delivered layout: rows of width × bytesPerPixel bytes, packed, top row first;
// 3 = blue, green, red; 4 = blue, green, red, straight alpha.
struct PictureSize {
    uint32_t height = 0;
    uint32_t width = 0;
    uint32_t bytesPerPixel = 0;
};

// True when height × width pixels of bytesPerPixel bytes stay within maxPixels and 32 bits.
bool PictureFits(uint64_t height, uint64_t width, uint64_t bytesPerPixel, uint64_t maxPixels);

// What a decoder asks of its caller once it has read a picture's header. The decoder writes packed
// rows into the buffer Allocate() returns; the target owns that buffer whatever the result.
class CDecodeTarget {
  public:
    virtual ~CDecodeTarget() = default;
    // Pictures above this many pixels are refused as kNoPicture before any large allocation.
    virtual uint64_t MaxPixels() const { return kMaxPixels; }
    // JPEG only: given the full size, the scale denominator (1, 2, 4 or 8) of a reduced decode the
    // caller accepts; the decoder then delivers ceil(width / d) × ceil(height / d).
    virtual int ChooseScaleDenominator(uint32_t /*height*/, uint32_t /*width*/) { return 1; }

    // Records the size of a picture whose pixels turn out unreadable before any allocation.
    void Announce(const PictureSize& size) { m_size = size; }
    // The buffer for size.height × size.width × size.bytesPerPixel bytes, or null when the heap is
    // exhausted (the decoder then returns kNoMemory).
    uint8_t* Allocate(const PictureSize& size)
    {
        m_size = size;
        return AllocateBlock(size);
    }
    // The size given to the last Announce() or Allocate(); all 0 before.
    const PictureSize& Size() const { return m_size; }

  protected:
    virtual uint8_t* AllocateBlock(const PictureSize& size) = 0;

  private:
    PictureSize m_size;
};

// Formats recognised from a file's first bytes (never from its name).
enum class PictureFormat { kUnknown, kBmp, kPng, kJpeg, kGif, kTiff };
PictureFormat SniffFormat(const uint8_t* data, size_t size);

DecodeResult DecodeBmp(const uint8_t* data, size_t size, CDecodeTarget& target);
DecodeResult DecodePng(const uint8_t* data, size_t size, CDecodeTarget& target);
DecodeResult DecodeJpeg(const uint8_t* data, size_t size, CDecodeTarget& target);
DecodeResult DecodeGif(const uint8_t* data, size_t size, CDecodeTarget& target);
DecodeResult DecodeTiff(const uint8_t* data, size_t size, CDecodeTarget& target);
// Sniffs the format and runs the matching decoder; kNoPicture for unknown formats.
DecodeResult DecodeAny(const uint8_t* data, size_t size, CDecodeTarget& target);

// Which picture a loader delivers.
enum class LoadMode {
    kFull,     // ZorGdipLoadImage: full size
    kQuarter,  // ZorGdipLoadImagePC: each side PowerOfTwoAbove(side / 4)
    kHalf,     // ZorGdipLoadImagePC2: each side PowerOfTwoAbove(side / 2)
};

// The smallest power of two strictly greater than n (1 for n = 0).
uint32_t PowerOfTwoAbove(uint32_t n);
// The delivered side for a full side under the mode.
uint32_t ReducedSide(uint32_t side, LoadMode mode);

// A decoded picture. On kOk pixels holds a block from AllocatePixels(), which the caller releases
// with free(); on kNoMemory and kReadFailed size holds the delivered (reduced) size and pixels is
// null; on kNoPicture everything is 0.
struct LoadedPicture {
    PictureSize size;
    uint8_t* pixels = nullptr;
};
DecodeResult LoadPictureFromMemory(const uint8_t* data, size_t size, LoadMode mode,
                                   uint64_t maxPixels, LoadedPicture* picture);

// Every pixel buffer the library hands out comes from here and goes back with free(). Tests
// replace g_allocatePixels to exhaust the heap on purpose.
using AllocatePixelsFn = void* (*)(size_t bytes);
extern AllocatePixelsFn g_allocatePixels;
uint8_t* AllocatePixels(uint64_t bytes);

// Area average of a packed picture into a smaller (or equal) one of the same bytesPerPixel. With
// 4 bytes per pixel the colours are weighted by alpha, so transparent pixels do not darken edges.
// Returns false when the working memory cannot be allocated.
bool ResampleArea(const uint8_t* source, uint32_t sourceHeight, uint32_t sourceWidth,
                  uint32_t bytesPerPixel, uint8_t* result, uint32_t resultHeight,
                  uint32_t resultWidth);

// Encoders: packed rows of the caller's buffer, never changed, into a whole file image in memory.
// Each returns false when nothing could be encoded (the file is then not written).
// The sizes are checked by the caller (SaveSizeFits).
bool EncodeBmp(const uint8_t* pixels, int height, int width, std::vector<uint8_t>* file);
bool EncodeJpeg(const uint8_t* pixels, int height, int width, int quality,
                std::vector<uint8_t>* file);
bool EncodePng(const uint8_t* pixels, int height, int width, int bytesPerPixel,
               std::vector<uint8_t>* file);
bool EncodeTiff(const uint8_t* pixels, int height, int width, int bytesPerPixel,
                std::vector<uint8_t>* file);

// Quality given to the JPEG encoder for the caller's value: the encoder understands 1 to 100, so
// values below 1 give 1 and values above 100 give 100.
int ClampJpegQuality(int quality);

// True when a saver can write a picture of this size: both sides at least 1 and the picture within
// kMaxPixels and 32-bit byte counts.
bool SaveSizeFits(int height, int width, int bytesPerPixel);

}  // namespace imgport
