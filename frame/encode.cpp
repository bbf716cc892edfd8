// The two colour conversions between packed BgrRasters and YcbcrFrames, and ClampToByte.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "frame/frame.h"
#include "frame/kernels.h"

// >> floors negative values (guaranteed since C++20); the colour arithmetic relies on it.

int ClampToByte(int value)
{
    if (value > 255) return 255;
    if (value < 0) return 0;
    return value;
}

namespace {

inline void EncodePair(const uint8_t* p, uint8_t* out, const CoefficientSet& set, bool wholePair)
{
    const int b0 = p[0], g0 = p[1], r0 = p[2];
    const int b1 = wholePair ? p[3] : b0;
    const int g1 = wholePair ? p[4] : g0;
    const int r1 = wholePair ? p[5] : r0;
    const int luma0 = (set.lumaRed * r0 + set.lumaGreen * g0 + set.lumaBlue * b0) >> 8;
    const int luma1 = (set.lumaRed * r1 + set.lumaGreen * g1 + set.lumaBlue * b1) >> 8;
    const int y0 = ((luma0 * set.lumaScale) >> 8) + 16;
    const int y1 = ((luma1 * set.lumaScale) >> 8) + 16;
    const int lumaMean = (luma0 + luma1) >> 1;
    const int blueMean = (b0 + b1) >> 1;
    const int redMean = (r0 + r1) >> 1;
    const int cb = (((blueMean - lumaMean) * set.cbFactor) >> 8) + 128;
    const int cr = (((redMean - lumaMean) * set.crFactor) >> 8) + 128;
    out[0] = static_cast<uint8_t>(y0);
    out[1] = static_cast<uint8_t>(cb);
    if (wholePair) {
        out[2] = static_cast<uint8_t>(y1);
        out[3] = static_cast<uint8_t>(cr);
    }
}

inline void DecodePixel(int y, int u, int v, uint8_t* out, const CoefficientSet& set)
{
    const int luma = set.decodeLuma * (y - 16);
    out[0] = static_cast<uint8_t>(ClampToByte((luma + set.blueFromCb * u) >> 8));
    out[1] =
        static_cast<uint8_t>(ClampToByte((luma - set.greenFromCb * u - set.greenFromCr * v) >> 8));
    out[2] = static_cast<uint8_t>(ClampToByte((luma + set.redFromCr * v) >> 8));
}

EncodeRowFn SelectEncodeRow()
{
    switch (KernelLevelInForce()) {
        case 2:
            return EncodeRowAvx512;
        case 1:
            return EncodeRowAvx2;
        default:
            return EncodeRowScalar;
    }
}

DecodeRowFn SelectDecodeRow()
{
    switch (KernelLevelInForce()) {
        case 2:
            return DecodeRowAvx512;
        case 1:
            return DecodeRowAvx2;
        default:
            return DecodeRowScalar;
    }
}

struct ConversionJob {
    const uint8_t* source;
    uint8_t* destination;
    int height;
    int width;
    size_t sourceStride;
    size_t destinationStride;
    const CoefficientSet* set;
    void (*row)(const uint8_t*, uint8_t*, int, const CoefficientSet&);
    int bands = 1;
};

// Bands of rows: a few per thread, so that a thread that starts late takes fewer.
constexpr int kBandsPerThread = 4;

void ConvertBand(void* context, int band, int)
{
    const ConversionJob& job = *static_cast<const ConversionJob*>(context);
    const int bands = job.bands;
    const int first = static_cast<int>(static_cast<int64_t>(job.height) * band / bands);
    const int last = static_cast<int>(static_cast<int64_t>(job.height) * (band + 1) / bands);
    for (int y = first; y < last; ++y)
        job.row(job.source + static_cast<size_t>(y) * job.sourceStride,
                job.destination + static_cast<size_t>(y) * job.destinationStride, job.width,
                *job.set);
}

void RunConversion(ConversionJob& job)
{
    const int threads =
        ThreadsFor(static_cast<size_t>(job.height) * static_cast<size_t>(job.width));
    job.bands = std::min(threads * kBandsPerThread, job.height);
    RunBands(job.bands, threads, ConvertBand, &job);
}

}  // namespace

void EncodeRowScalar(const uint8_t* bgr, uint8_t* ycbcr, int width, const CoefficientSet& set)
{
    const int pairs = width / 2;
    for (int k = 0; k < pairs; ++k)
        EncodePair(bgr + 6 * static_cast<size_t>(k), ycbcr + 4 * static_cast<size_t>(k), set, true);
    if (width & 1)
        EncodePair(bgr + 6 * static_cast<size_t>(pairs), ycbcr + 4 * static_cast<size_t>(pairs),
                   set, false);
}

void DecodeRowScalar(const uint8_t* ycbcr, uint8_t* bgr, int width, const CoefficientSet& set)
{
    const int pairs = width / 2;
    for (int k = 0; k < pairs; ++k) {
        const uint8_t* p = ycbcr + 4 * static_cast<size_t>(k);
        uint8_t* out = bgr + 6 * static_cast<size_t>(k);
        const int u = p[1] - 128;
        const int v = p[3] - 128;
        DecodePixel(p[0], u, v, out, set);
        DecodePixel(p[2], u, v, out + 3, set);
    }
    if (width & 1) {
        const uint8_t* p = ycbcr + 4 * static_cast<size_t>(pairs);
        DecodePixel(p[0], p[1] - 128, 0, bgr + 6 * static_cast<size_t>(pairs), set);
    }
}

void EncodeFrameScalar(const uint8_t* source, uint8_t* destination, int height, int width, bool hd)
{
    if (height <= 0 || width <= 0) return;
    const CoefficientSet& set = hd ? kHdSet : kSdSet;
    for (int y = 0; y < height; ++y)
        EncodeRowScalar(source + static_cast<size_t>(y) * width * 3,
                        destination + static_cast<size_t>(y) * width * 2, width, set);
}

void DecodeFrameScalar(const uint8_t* source, uint8_t* destination, int height, int width)
{
    if (height <= 0 || width <= 0) return;
    const CoefficientSet& set = width > 720 ? kHdSet : kSdSet;
    for (int y = 0; y < height; ++y)
        DecodeRowScalar(source + static_cast<size_t>(y) * width * 2,
                        destination + static_cast<size_t>(y) * width * 3, width, set);
}

int EncodeFrame(const uint8_t* source, uint8_t* destination, int height, int width, bool hd)
{
    if (height <= 0 || width <= 0) return 0;
    ConversionJob job{source,
                      destination,
                      height,
                      width,
                      static_cast<size_t>(width) * 3,
                      static_cast<size_t>(width) * 2,
                      hd ? &kHdSet : &kSdSet,
                      SelectEncodeRow()};
    if (job.row == EncodeRowScalar) {
        EncodeFrameScalar(source, destination, height, width, hd);
        return 0;
    }
    RunConversion(job);
    return 0;
}

int DecodeFrame(const uint8_t* source, uint8_t* destination, int height, int width)
{
    if (height <= 0 || width <= 0) return 0;
    ConversionJob job{source,
                      destination,
                      height,
                      width,
                      static_cast<size_t>(width) * 2,
                      static_cast<size_t>(width) * 3,
                      width > 720 ? &kHdSet : &kSdSet,
                      SelectDecodeRow()};
    if (job.row == DecodeRowScalar) {
        DecodeFrameScalar(source, destination, height, width);
        return 0;
    }
    RunConversion(job);
    return 0;
}
