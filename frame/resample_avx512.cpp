// AVX-512 kernels of the resampler; the only file built with -mavx512f/-mavx512bw for them.
// Sixteen destination columns at a time: each tap fetches the sixteen source pixels as packed
// 32-bit words, turns each channel into doubles and adds value × weight as a rounded product and
// a rounded add, in the scalar loop's order for every destination pixel.
#include "frame/resample_avx512_parts.h"

namespace {

inline __m512i ChannelMask(int channel)
{
    // Per 32-bit lane: byte `channel` of the lane, then three zero bytes.
    const char c = static_cast<char>(channel);
    const char z = static_cast<char>(0x80);
    return _mm512_broadcast_i32x4(_mm_setr_epi8(c, z, z, z, static_cast<char>(c + 4), z, z, z,
                                                static_cast<char>(c + 8), z, z, z,
                                                static_cast<char>(c + 12), z, z, z));
}

// Each channel byte of 8 pixels becomes the double 2^52 + value through byte moves alone:
// the pixel words are spread to the low halves of 64-bit lanes whose high halves hold 2^52's
// exponent (0x43300000), and one byte shuffle per channel keeps the channel's byte and zeroes
// the other three. The product value × weight is then one fused step, (2^52 + value) × weight −
// 2^52 × weight, rounded once: the exact real is value × weight, so the rounding is the
// reference's rounded multiply, with no conversion.
inline __m512i BiasedLaneMask(int channel)
{
    const char c = static_cast<char>(channel);
    const char z = static_cast<char>(0x80);
    return _mm512_broadcast_i32x4(
        _mm_setr_epi8(c, z, z, z, 4, 5, 6, 7, static_cast<char>(c + 8), z, z, z, 12, 13, 14, 15));
}

inline void Accumulate(Accumulators& a, __m512i pixels, const double* weights, __m512i blueMask,
                       __m512i greenMask, __m512i redMask)
{
    const __m512i exponent = _mm512_set1_epi32(0x43300000);
    const __m512i low = _mm512_permutex2var_epi32(
        pixels, _mm512_setr_epi32(0, 16, 1, 16, 2, 16, 3, 16, 4, 16, 5, 16, 6, 16, 7, 16),
        exponent);
    const __m512i high = _mm512_permutex2var_epi32(
        pixels, _mm512_setr_epi32(8, 16, 9, 16, 10, 16, 11, 16, 12, 16, 13, 16, 14, 16, 15, 16),
        exponent);
    const __m512d w0 = _mm512_loadu_pd(weights);
    const __m512d w1 = _mm512_loadu_pd(weights + 8);
    const __m512d bias = _mm512_set1_pd(-4503599627370496.0);
    const __m512d c0 = _mm512_mul_pd(w0, bias);
    const __m512d c1 = _mm512_mul_pd(w1, bias);
    // sum := value × weight + sum, a rounded multiply and then a rounded add.
    const auto term = [](__m512i lanes, __m512i mask, __m512d w, __m512d c) {
        return _mm512_fmadd_pd(_mm512_castsi512_pd(_mm512_shuffle_epi8(lanes, mask)), w, c);
    };
    a.b0 = _mm512_add_pd(term(low, blueMask, w0, c0), a.b0);
    a.b1 = _mm512_add_pd(term(high, blueMask, w1, c1), a.b1);
    a.g0 = _mm512_add_pd(term(low, greenMask, w0, c0), a.g0);
    a.g1 = _mm512_add_pd(term(high, greenMask, w1, c1), a.g1);
    a.r0 = _mm512_add_pd(term(low, redMask, w0, c0), a.r0);
    a.r1 = _mm512_add_pd(term(high, redMask, w1, c1), a.r1);
}

// The taps of one block for one sweep, with the window fetched as `Window` says.
template <int Window>
inline void SweepBlock(Accumulators& a, const SweepGroup& group, const int32_t* row,
                       const double* weights, int dx, int base, __m512i blueMask, __m512i greenMask,
                       __m512i redMask)
{
    const size_t pw = static_cast<size_t>(group.paddedWidth);
    const int32_t* window = row + base;
    __m512i p0, p1, p2, p3;
    if constexpr (Window != kWindowGather) {
        p0 = _mm512_loadu_si512(window);
        if constexpr (Window >= kWindowTwo) p1 = _mm512_loadu_si512(window + 16);
        if constexpr (Window >= kWindowFour) {
            p2 = _mm512_loadu_si512(window + 32);
            p3 = _mm512_loadu_si512(window + 48);
        }
    }
    for (int t = 0; t < group.taps; ++t) {
        const size_t at = static_cast<size_t>(t) * pw + dx;
        __m512i pixels;
        if constexpr (Window == kWindowOne) {
            pixels = _mm512_permutexvar_epi32(_mm512_loadu_si512(group.tapRelative + at), p0);
        } else if constexpr (Window == kWindowTwo) {
            pixels = _mm512_permutex2var_epi32(p0, _mm512_loadu_si512(group.tapRelative + at), p1);
        } else if constexpr (Window == kWindowFour) {
            const __m512i index = _mm512_loadu_si512(group.tapRelative + at);
            const __m512i low = _mm512_permutex2var_epi32(p0, index, p1);
            const __m512i high = _mm512_permutex2var_epi32(p2, index, p3);
            pixels = _mm512_mask_blend_epi32(_mm512_cmpgt_epi32_mask(index, _mm512_set1_epi32(31)),
                                             low, high);
        } else {
            pixels = _mm512_i32gather_epi32(_mm512_loadu_si512(group.tapColumn + at), row, 4);
        }
        Accumulate(a, pixels, weights + at, blueMask, greenMask, redMask);
    }
}

}  // namespace

void WeightRowAvx512(const double* overlap, double hy, double e, double* weights, size_t count)
{
    // Even vectors through the divider, odd ones through the reciprocal with its proof (see
    // kQuotientCheckFactor in kernels.h); the two units work at the same time.
    const __m512d vhy = _mm512_set1_pd(hy);
    const __m512d scale = _mm512_set1_pd(4000000.0);
    const __m512d ve = _mm512_set1_pd(e);
    const __m512d vy = _mm512_set1_pd(1.0 / e);
    const __m512d widen = _mm512_set1_pd(kQuotientCheckFactor);
    for (size_t i = 0; i < count; i += 8) {
        const __m512d x = _mm512_mul_pd(_mm512_mul_pd(_mm512_loadu_pd(overlap + i), vhy), scale);
        if ((i & 8) == 0) {
            _mm512_storeu_pd(weights + i, _mm512_div_pd(x, ve));
            continue;
        }
        const __m512d q0 = _mm512_mul_pd(x, vy);
        const __m512d r = _mm512_fnmadd_pd(q0, ve, x);
        __m512d q = _mm512_fmadd_pd(r, vy, q0);
        const __m512d t = _mm512_fmadd_pd(r, vy, _mm512_sub_pd(q0, q));
        const __mmask8 unsure = _mm512_cmp_pd_mask(_mm512_fmadd_pd(t, widen, q), q, _CMP_NEQ_UQ);
        if (unsure != 0) q = _mm512_mask_div_pd(q, unsure, x, ve);
        _mm512_storeu_pd(weights + i, q);
    }
}

namespace {

// Pixels x .. x + 15 of a row of `width` as 32-bit words blue | green << 8 | red << 16: lane i of
// the four 128-bit lanes takes bytes 12i .. 12i + 11 and spreads each 3 bytes to a word with a
// zero top byte. A whole 64-byte load where it stays within the row's pixel bytes, a masked one
// at the end.
inline __m512i LoadPixelWords(const uint8_t* bgr, int x, int width)
{
    const __m512i dwords = _mm512_setr_epi32(0, 1, 2, 3, 3, 4, 5, 6, 6, 7, 8, 9, 9, 10, 11, 12);
    const char z = static_cast<char>(0x80);
    const __m512i spread =
        _mm512_broadcast_i32x4(_mm_setr_epi8(0, 1, 2, z, 3, 4, 5, z, 6, 7, 8, z, 9, 10, 11, z));
    const int pixels = width - x < 16 ? width - x : 16;
    const __m512i bytes =
        width - x >= 22
            ? _mm512_loadu_si512(bgr + static_cast<size_t>(x) * 3)
            : _mm512_maskz_loadu_epi8(pixels == 16 ? 0xFFFFFFFFFFFFull : (1ull << (pixels * 3)) - 1,
                                      bgr + static_cast<size_t>(x) * 3);
    return _mm512_shuffle_epi8(_mm512_permutexvar_epi32(dwords, bytes), spread);
}

}  // namespace

void PackRowAvx512(const uint8_t* bgr, int width, int32_t* packed)
{
    for (int x = 0; x < width; x += 16)
        _mm512_storeu_si512(packed + x, LoadPixelWords(bgr, x, width));
}

void ResampleSweepsAvx512(const SweepGroup& group)
{
    const __m512i blueMask = BiasedLaneMask(0), greenMask = BiasedLaneMask(1),
                  redMask = BiasedLaneMask(2);
    for (int dx = 0; dx < group.paddedWidth; dx += 16) {
        PrefetchShare(group, dx, 16);
        Accumulators a;
        LoadAccumulators(group, a, dx);
        const int block = dx / 16;
        const int base = group.blockBase[block];
        const int window = group.blockWindow[block];
        for (int s = 0; s < group.sweeps; ++s) {
            const int32_t* row = static_cast<const int32_t*>(group.rows[s]);
            const double* weights = group.weights[s];
            switch (window) {
                case kWindowOne:
                    SweepBlock<kWindowOne>(a, group, row, weights, dx, base, blueMask, greenMask,
                                           redMask);
                    break;
                case kWindowTwo:
                    SweepBlock<kWindowTwo>(a, group, row, weights, dx, base, blueMask, greenMask,
                                           redMask);
                    break;
                case kWindowFour:
                    SweepBlock<kWindowFour>(a, group, row, weights, dx, base, blueMask, greenMask,
                                            redMask);
                    break;
                default:
                    SweepBlock<kWindowGather>(a, group, row, weights, dx, base, blueMask, greenMask,
                                              redMask);
                    break;
            }
        }
        if (!Finish(group, a, dx)) break;
    }
}

void SplitRowAvx512(const uint8_t* bgr, int width, double* planes, size_t planeLength)
{
    const __m512i blueMask = ChannelMask(0), greenMask = ChannelMask(1), redMask = ChannelMask(2);
    double* blue = planes;
    double* green = planes + planeLength;
    double* red = planes + 2 * planeLength;
    for (int x = 0; x < width; x += 16) {
        const __m512i words = LoadPixelWords(bgr, x, width);
        const __m512i b = _mm512_shuffle_epi8(words, blueMask);
        const __m512i g = _mm512_shuffle_epi8(words, greenMask);
        const __m512i r = _mm512_shuffle_epi8(words, redMask);
        _mm512_storeu_pd(blue + x, _mm512_cvtepi32_pd(_mm512_castsi512_si256(b)));
        _mm512_storeu_pd(blue + x + 8, _mm512_cvtepi32_pd(_mm512_extracti64x4_epi64(b, 1)));
        _mm512_storeu_pd(green + x, _mm512_cvtepi32_pd(_mm512_castsi512_si256(g)));
        _mm512_storeu_pd(green + x + 8, _mm512_cvtepi32_pd(_mm512_extracti64x4_epi64(g, 1)));
        _mm512_storeu_pd(red + x, _mm512_cvtepi32_pd(_mm512_castsi512_si256(r)));
        _mm512_storeu_pd(red + x + 8, _mm512_cvtepi32_pd(_mm512_extracti64x4_epi64(r, 1)));
    }
}

namespace {

// Tap 0 and tap 1 of one 8-column block of one plane, picked from the 16 values at `window`.
inline void PickTaps(const double* window, __m512i index0, __m512i index1, __m512d& tap0,
                     __m512d& tap1)
{
    const __m512d low = _mm512_loadu_pd(window);
    const __m512d high = _mm512_loadu_pd(window + 8);
    tap0 = _mm512_permutex2var_pd(low, index0, high);
    tap1 = _mm512_permutex2var_pd(low, index1, high);
}

// Tap 0 and tap 1 of one 8-column block whose taps all lie within 8 values of `window`.
inline void PickTapsNear(const double* window, __m512i index0, __m512i index1, __m512d& tap0,
                         __m512d& tap1)
{
    const __m512d values = _mm512_loadu_pd(window);
    tap0 = _mm512_permutexvar_pd(index0, values);
    tap1 = _mm512_permutexvar_pd(index1, values);
}

// The windows and lane words of the two 8-column halves of a 16-column block.
struct BlockTaps {
    int base0, base1;
    __m512i index00, index01, index10, index11;  // [tap][half]
};

inline BlockTaps LoadBlockTaps(const SweepGroup& group, int dx)
{
    const size_t pw = static_cast<size_t>(group.paddedWidth);
    return {group.blockBase[dx / 8],
            group.blockBase[dx / 8 + 1],
            _mm512_loadu_si512(group.tapIndex + dx),
            _mm512_loadu_si512(group.tapIndex + dx + 8),
            _mm512_loadu_si512(group.tapIndex + pw + dx),
            _mm512_loadu_si512(group.tapIndex + pw + dx + 8)};
}

// Both taps of both halves of one plane: t[tap][half].
template <bool Near>
inline void PickBlockTaps(const double* plane, const BlockTaps& b, __m512d (&t)[2][2])
{
    if constexpr (Near) {
        PickTapsNear(plane + b.base0, b.index00, b.index10, t[0][0], t[1][0]);
        PickTapsNear(plane + b.base1, b.index01, b.index11, t[0][1], t[1][1]);
    } else {
        PickTaps(plane + b.base0, b.index00, b.index10, t[0][0], t[1][0]);
        PickTaps(plane + b.base1, b.index01, b.index11, t[0][1], t[1][1]);
    }
}

template <int Taps, bool Near>
void TwoTapRow(const SweepGroup& group)
{
    const size_t pw = static_cast<size_t>(group.paddedWidth);
    const size_t length = group.planeLength;
    for (int dx = 0; dx < group.paddedWidth; dx += 16) {
        PrefetchShare(group, dx, 16);
        Accumulators a;
        LoadAccumulators(group, a, dx);
        const BlockTaps block = LoadBlockTaps(group, dx);
        for (int s = 0; s < group.sweeps; ++s) {
            const double* weights = group.weights[s] + dx;
            const __m512d w00 = _mm512_loadu_pd(weights);
            const __m512d w01 = _mm512_loadu_pd(weights + 8);
            const double* planes = static_cast<const double*>(group.rows[s]);
            __m512d* sums[3][2] = {{&a.b0, &a.b1}, {&a.g0, &a.g1}, {&a.r0, &a.r1}};
            for (int c = 0; c < 3; ++c) {
                __m512d t[2][2];
                PickBlockTaps<Near>(planes + c * length, block, t);
                // sum := value × weight + sum, tap 0 then tap 1, a rounded multiply and then a
                // rounded add.
                __m512d& low = *sums[c][0];
                __m512d& high = *sums[c][1];
                low = _mm512_add_pd(_mm512_mul_pd(t[0][0], w00), low);
                high = _mm512_add_pd(_mm512_mul_pd(t[0][1], w01), high);
                if constexpr (Taps == 2) {
                    const __m512d w10 = _mm512_loadu_pd(weights + pw);
                    const __m512d w11 = _mm512_loadu_pd(weights + pw + 8);
                    low = _mm512_add_pd(_mm512_mul_pd(t[1][0], w10), low);
                    high = _mm512_add_pd(_mm512_mul_pd(t[1][1], w11), high);
                }
            }
        }
        if (!Finish(group, a, dx)) break;
    }
}

// Tie-free plans (kTieFreeLimit in kernels.h): the sums as Σ_sweeps (share down) × Σ_taps value
// × (share across), with fused steps in any order, rounded to nearest at the end.
template <bool Near>
void TieFreeRow(const SweepGroup& group)
{
    const size_t pw = static_cast<size_t>(group.paddedWidth);
    const size_t length = group.planeLength;
    for (int dx = 0; dx < group.paddedWidth; dx += 16) {
        PrefetchShare(group, dx, 16);
        Accumulators a;
        LoadAccumulators(group, a, dx);
        const BlockTaps block = LoadBlockTaps(group, dx);
        const double* across = group.tapFractions + dx;
        const __m512d f00 = _mm512_loadu_pd(across), f01 = _mm512_loadu_pd(across + 8);
        const __m512d f10 = _mm512_loadu_pd(across + pw), f11 = _mm512_loadu_pd(across + pw + 8);
        for (int s = 0; s < group.sweeps; ++s) {
            const __m512d down = _mm512_set1_pd(group.sweepFractions[s]);
            const double* planes = static_cast<const double*>(group.rows[s]);
            __m512d* sums[3][2] = {{&a.b0, &a.b1}, {&a.g0, &a.g1}, {&a.r0, &a.r1}};
            for (int c = 0; c < 3; ++c) {
                __m512d t[2][2];
                PickBlockTaps<Near>(planes + c * length, block, t);
                const __m512d low = _mm512_fmadd_pd(t[1][0], f10, _mm512_mul_pd(t[0][0], f00));
                const __m512d high = _mm512_fmadd_pd(t[1][1], f11, _mm512_mul_pd(t[0][1], f01));
                *sums[c][0] = _mm512_fmadd_pd(low, down, *sums[c][0]);
                *sums[c][1] = _mm512_fmadd_pd(high, down, *sums[c][1]);
            }
        }
        if (!Finish<true>(group, a, dx)) break;
    }
}

}  // namespace

void ResampleTwoTapAvx512(const SweepGroup& group)
{
    const bool near = group.near;
    if (group.taps == 1)
        near ? TwoTapRow<1, true>(group) : TwoTapRow<1, false>(group);
    else
        near ? TwoTapRow<2, true>(group) : TwoTapRow<2, false>(group);
}

void ResampleTieFreeAvx512(const SweepGroup& group)
{
    group.near ? TieFreeRow<true>(group) : TieFreeRow<false>(group);
}

void SplitRowFloatAvx512(const uint8_t* bgr, int width, float* planes, size_t planeLength)
{
    const __m512i blueMask = ChannelMask(0), greenMask = ChannelMask(1), redMask = ChannelMask(2);
    for (int x = 0; x < width; x += 16) {
        const __m512i words = LoadPixelWords(bgr, x, width);
        _mm512_storeu_ps(planes + x, _mm512_cvtepi32_ps(_mm512_shuffle_epi8(words, blueMask)));
        _mm512_storeu_ps(planes + planeLength + x,
                         _mm512_cvtepi32_ps(_mm512_shuffle_epi8(words, greenMask)));
        _mm512_storeu_ps(planes + 2 * planeLength + x,
                         _mm512_cvtepi32_ps(_mm512_shuffle_epi8(words, redMask)));
    }
}

void ResampleTieFreeFloatAvx512(const SweepGroup& group)
{
    // Single precision (kTieFreeFloatLimit in kernels.h): 16 columns a vector, both taps from
    // one window of 16 floats, sums rounded to nearest.
    const size_t pw = static_cast<size_t>(group.paddedWidth);
    const size_t length = group.planeLength;
    float* carried = reinterpret_cast<float*>(group.accumulator);
    for (int dx = 0; dx < group.paddedWidth; dx += 16) {
        PrefetchShare(group, dx, 16);
        __m512 sum[3];
        for (int c = 0; c < 3; ++c)
            sum[c] = group.first ? _mm512_setzero_ps() : _mm512_loadu_ps(carried + c * pw + dx);
        const int base = group.blockBase[dx / 16];
        const __m512i index0 = _mm512_loadu_si512(group.tapIndex32 + dx);
        const __m512i index1 = _mm512_loadu_si512(group.tapIndex32 + pw + dx);
        const __m512 across0 = _mm512_loadu_ps(group.tapFractions32 + dx);
        const __m512 across1 = _mm512_loadu_ps(group.tapFractions32 + pw + dx);
        for (int s = 0; s < group.sweeps; ++s) {
            const __m512 down = _mm512_set1_ps(group.sweepFractions32[s]);
            const float* planes = static_cast<const float*>(group.rows[s]) + base;
            for (int c = 0; c < 3; ++c) {
                const __m512 window = _mm512_loadu_ps(planes + c * length);
                const __m512 row =
                    _mm512_fmadd_ps(_mm512_permutexvar_ps(index1, window), across1,
                                    _mm512_mul_ps(_mm512_permutexvar_ps(index0, window), across0));
                sum[c] = _mm512_fmadd_ps(row, down, sum[c]);
            }
        }
        if (!group.last) {
            for (int c = 0; c < 3; ++c) _mm512_storeu_ps(carried + c * pw + dx, sum[c]);
            continue;
        }
        const __m512i packed = _mm512_ternarylogic_epi32(
            _mm512_cvtps_epi32(sum[0]), _mm512_slli_epi32(_mm512_cvtps_epi32(sum[1]), 8),
            _mm512_slli_epi32(_mm512_cvtps_epi32(sum[2]), 16), 0xFE);
        if (!StorePixels(group, packed, dx)) break;
    }
}
