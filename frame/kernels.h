// Internal to frame/: the coefficient sets, the scalar reference kernels and the hooks through which
// the faster variants are chosen. Tests include this header to call the references directly.
//
// The SIMD variants live in their own files (encode_avx2.cpp, resample_avx512.cpp, ...), each the
// only file built with its -m flags. Nothing in this header may be instantiated differently in
// those files: they include it for the plain declarations and types only.
#pragma once

#include <cstddef>
#include <cstdint>

#include "frame/frame.h"

// The fixed-point factors of one colour matrix, in units of 1/256.
struct CoefficientSet {
    int lumaRed, lumaGreen, lumaBlue;  // encode: full-range luma weights, adding up to 256
    int lumaScale;                     // encode: studio-range scale s
    int cbFactor, crFactor;            // encode: kb, kr
    int decodeLuma;                    // decode: m
    int redFromCr, greenFromCb, greenFromCr, blueFromCb;
};
inline constexpr CoefficientSet kSdSet{77, 150, 29, 219, 127, 160, 300, 410, 101, 209, 518};
inline constexpr CoefficientSet kHdSet{54, 183, 19, 220, 121, 143, 299, 459, 55, 134, 541};

// One row of a conversion. Rows of odd width end with the last pixel paired with itself: the
// encoder writes its Y and the Cb of the pair (Y0, Cb: the two bytes that belong to the pixel);
// the decoder reads its Y and Cb and takes Cr as 128, neutral, because the Cr byte would lie in
// the next pixel's place.
using EncodeRowFn = void (*)(const uint8_t* bgr, uint8_t* ycbcr, int width,
                             const CoefficientSet& set);
using DecodeRowFn = void (*)(const uint8_t* ycbcr, uint8_t* bgr, int width,
                             const CoefficientSet& set);

void EncodeRowScalar(const uint8_t* bgr, uint8_t* ycbcr, int width, const CoefficientSet& set);
void DecodeRowScalar(const uint8_t* ycbcr, uint8_t* bgr, int width, const CoefficientSet& set);
void EncodeRowAvx2(const uint8_t* bgr, uint8_t* ycbcr, int width, const CoefficientSet& set);
void DecodeRowAvx2(const uint8_t* ycbcr, uint8_t* bgr, int width, const CoefficientSet& set);
void EncodeRowAvx512(const uint8_t* bgr, uint8_t* ycbcr, int width, const CoefficientSet& set);
void DecodeRowAvx512(const uint8_t* ycbcr, uint8_t* bgr, int width, const CoefficientSet& set);

// Whole-frame scalar references: one thread, the arithmetic exactly as specified.
void EncodeFrameScalar(const uint8_t* source, uint8_t* destination, int height, int width, bool hd);
void DecodeFrameScalar(const uint8_t* source, uint8_t* destination, int height, int width);

// The literal area-averaging loop: fills the caller's packed destination (destinationWidth ×
// destinationHeight × 3 bytes) from the padded source. Writes no trace line. Returns 1 when the
// row accumulator cannot be allocated, 0 otherwise.
int ResampleAreaScalar(const uint8_t* source, int sourceHeight, int sourceWidth,
                       uint8_t* destination, int destinationHeight, int destinationWidth);

// The level in force (CPU features capped by SetKernelLevel), as an integer 0..2.
int KernelLevelInForce();
// Threads a call may use for `work` units (pixels touched): 1 for small jobs.
int ThreadsFor(size_t work);
// Runs body(band, bands) for band = 0..bands-1, band 0 on the calling thread, the others on the
// frame core's worker threads; returns when all have finished.
void RunBands(int bands, void (*body)(void* context, int band, int bands), void* context);
