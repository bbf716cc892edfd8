// The pieces the AVX-512 resampler files share: the sums of 16 columns, and their rounding and
// packing into the destination row. Included only by files built with AVX-512 flags; everything
// is in an unnamed namespace, so each file has its own copy built with its own flags.
#pragma once

#include "frame/kernels.h"

#include <immintrin.h>

// GCC 12's AVX-512 intrinsics start from deliberately undefined registers (_mm512_undefined_*),
// which -Wuninitialized reports at every call site.
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

namespace {

// The blue, green and red sums of 16 columns, 8 in each half.
struct Accumulators {
    __m512d b0, b1, g0, g1, r0, r1;
};

// The byte of a sum s (0 ≤ s < 256): t = s truncated toward zero, t + 1 when s − t ≥ 0.5; that
// is floor(s − 0.5) + 1. For s ≥ 0.5, s − 0.5 is exact (0.5 is a whole number of s's units in
// the last place), and for s < 0.5 it lies in [−0.5, 0) however it rounds. Adding 2^52 + 1 with
// rounding toward minus infinity then gives 2^52 + floor(s − 0.5) + 1 exactly (in [2^52, 2^53) the
// doubles are the whole numbers, and x + 2^52 + 1 >= 2^52 + 0.5), so the double's low bits are the
// byte and its bits 8 to 51 are zero; no conversion instruction is needed.
inline __m512i ByteInLowBits(__m512d sum)
{
    return _mm512_castpd_si512(_mm512_add_round_pd(_mm512_sub_pd(sum, _mm512_set1_pd(0.5)),
                                                   _mm512_set1_pd(4503599627370497.0),
                                                   _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC));
}

// Eight pixels as b | g << 8 | r << 16 in the low 24 bits of each 64-bit lane (the bits above
// hold the doubles' exponents and are dropped when the pixels are packed).
inline __m512i PixelLanes(__m512d blue, __m512d green, __m512d red)
{
    return _mm512_ternarylogic_epi64(ByteInLowBits(blue),
                                     _mm512_slli_epi64(ByteInLowBits(green), 8),
                                     _mm512_slli_epi64(ByteInLowBits(red), 16), 0xFE);
}

inline void LoadAccumulators(const SweepGroup& group, Accumulators& a, int dx)
{
    if (group.first) {
        a.b0 = a.b1 = a.g0 = a.g1 = a.r0 = a.r1 = _mm512_setzero_pd();
        return;
    }
    const size_t pw = static_cast<size_t>(group.paddedWidth);
    const double* acc = group.accumulator;
    a.b0 = _mm512_loadu_pd(acc + dx);
    a.b1 = _mm512_loadu_pd(acc + dx + 8);
    a.g0 = _mm512_loadu_pd(acc + pw + dx);
    a.g1 = _mm512_loadu_pd(acc + pw + dx + 8);
    a.r0 = _mm512_loadu_pd(acc + 2 * pw + dx);
    a.r1 = _mm512_loadu_pd(acc + 2 * pw + dx + 8);
}

// The byte of a tie-free plan's sum (see kTieFreeLimit in kernels.h), rounded to nearest: adding
// 2^52 leaves it in the double's low bits (a sum a hair below 0 gives 2^52 itself, byte 0).
inline __m512i NearestInLowBits(__m512d sum)
{
    return _mm512_castpd_si512(_mm512_add_pd(sum, _mm512_set1_pd(4503599627370496.0)));
}

// Eight pixels of a tie-free plan as b | g << 8 | r << 16 in the low 24 bits of 64-bit lanes.
inline __m512i NearestPixelLanes(__m512d blue, __m512d green, __m512d red)
{
    return _mm512_ternarylogic_epi64(NearestInLowBits(blue),
                                     _mm512_slli_epi64(NearestInLowBits(green), 8),
                                     _mm512_slli_epi64(NearestInLowBits(red), 16), 0xFE);
}

// Keeps the sums of columns dx .. dx + 15 for the group after this one.
inline void StoreAccumulators(const SweepGroup& group, const Accumulators& a, int dx)
{
    const size_t pw = static_cast<size_t>(group.paddedWidth);
    double* acc = group.accumulator;
    _mm512_storeu_pd(acc + dx, a.b0);
    _mm512_storeu_pd(acc + dx + 8, a.b1);
    _mm512_storeu_pd(acc + pw + dx, a.g0);
    _mm512_storeu_pd(acc + pw + dx + 8, a.g1);
    _mm512_storeu_pd(acc + 2 * pw + dx, a.r0);
    _mm512_storeu_pd(acc + 2 * pw + dx + 8, a.r1);
}

// Writes 16 pixels given as their 48 bytes (then 16 more, ignored) to the destination row at
// column dx. Returns false after the row's last pixel.
inline bool StoreCompactPixels(const SweepGroup& group, __m512i compact, int dx)
{
    const int remaining = group.width - dx;
    uint8_t* out = group.destination + static_cast<size_t>(dx) * 3;
    if (remaining >= 22) {
        // A whole 64-byte store stays inside the row; its last 16 bytes are written again by
        // the next block. (Masked byte stores are slow on some cores.)
        _mm512_storeu_si512(out, compact);
        return true;
    }
    const int pixels = remaining < 16 ? remaining : 16;
    const __mmask64 store = pixels == 16 ? 0xFFFFFFFFFFFFull : ((1ull << (pixels * 3)) - 1);
    _mm512_mask_storeu_epi8(out, store, compact);
    return remaining > 16;
}

// Writes 16 pixels given as b | g << 8 | r << 16 in 32-bit lanes to the destination row at
// column dx: three of every four bytes, 48 bytes. Returns false after the row's last pixel.
inline bool StorePixels(const SweepGroup& group, __m512i packed, int dx)
{
    const __m512i squeezed =
        _mm512_shuffle_epi8(packed, _mm512_broadcast_i32x4(_mm_setr_epi8(
                                        0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1)));
    return StoreCompactPixels(
        group,
        _mm512_permutexvar_epi32(
            _mm512_setr_epi32(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, 15, 15, 15, 15), squeezed),
        dx);
}

// Stores the sums of columns dx .. dx + 15 for the next group, or rounds them (to nearest when
// Nearest, for tie-free plans; else as the reference does) and writes the pixels of the
// destination row. Returns false after the row's last pixel.
template <bool Nearest = false>
inline bool Finish(const SweepGroup& group, const Accumulators& a, int dx)
{
    if (!group.last) {
        StoreAccumulators(group, a, dx);
        return true;
    }
    // b | g << 8 | r << 16 in each 32-bit lane (the low halves of the two sets of 64-bit
    // lanes), then three of every four bytes kept: 48 bytes for 16 pixels.
    const __m512i packed = _mm512_permutex2var_epi32(
        Nearest ? NearestPixelLanes(a.b0, a.g0, a.r0) : PixelLanes(a.b0, a.g0, a.r0),
        _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30),
        Nearest ? NearestPixelLanes(a.b1, a.g1, a.r1) : PixelLanes(a.b1, a.g1, a.r1));
    return StorePixels(group, packed, dx);
}

}  // namespace
