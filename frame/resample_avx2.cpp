// AVX2 kernels of the resampler; the only file built with -mavx2 for them. Eight destination
// columns at a time, otherwise as the AVX-512 kernels: packed 32-bit pixels fetched by permutes
// or gathers, each channel converted to doubles, value × weight then + sum as a separate
// multiply and add.
#include <cstring>

#include "frame/kernels.h"

#include <immintrin.h>

namespace {

inline __m256i ChannelMask(int channel)
{
    const char c = static_cast<char>(channel);
    const char z = static_cast<char>(0x80);
    const __m128i lane =
        _mm_setr_epi8(c, z, z, z, static_cast<char>(c + 4), z, z, z, static_cast<char>(c + 8), z, z,
                      z, static_cast<char>(c + 12), z, z, z);
    return _mm256_broadcastsi128_si256(lane);
}

struct Accumulators {
    __m256d b0, b1, g0, g1, r0, r1;
};

// As at AVX-512 (see Accumulate in resample_avx512.cpp): each channel byte becomes the double
// 2^52 + value through byte moves, and value × weight is one fused (2^52 + value) × weight −
// 2^52 × weight, rounded once like the reference's multiply. Unpacking the eight pixel words with
// 2^52's exponent words puts columns 0, 1, 4, 5 in one vector and 2, 3, 6, 7 in the other; the
// plan fetches each block's words in the order 0, 1, 4, 5, 2, 3, 6, 7 (see ChooseKernel), so the
// sums come out in column order.
inline __m256i BiasedLaneMask(int channel)
{
    const char c = static_cast<char>(channel);
    const char z = static_cast<char>(0x80);
    return _mm256_broadcastsi128_si256(
        _mm_setr_epi8(c, z, z, z, 4, 5, 6, 7, static_cast<char>(c + 8), z, z, z, 12, 13, 14, 15));
}

inline void Accumulate(Accumulators& a, __m256i pixels, const double* weights, __m256i blueMask,
                       __m256i greenMask, __m256i redMask)
{
    const __m256i exponent = _mm256_set1_epi32(0x43300000);
    const __m256i low = _mm256_unpacklo_epi32(pixels, exponent);   // columns 0-3
    const __m256i high = _mm256_unpackhi_epi32(pixels, exponent);  // columns 4-7
    const __m256d w0 = _mm256_loadu_pd(weights);
    const __m256d w1 = _mm256_loadu_pd(weights + 4);
    const __m256d bias = _mm256_set1_pd(-0x1p52);
    const __m256d c0 = _mm256_mul_pd(w0, bias);
    const __m256d c1 = _mm256_mul_pd(w1, bias);
    // sum := value × weight + sum, a rounded multiply and then a rounded add.
    const auto term = [](__m256i lanes, __m256i mask, __m256d w, __m256d c) {
        return _mm256_fmadd_pd(_mm256_castsi256_pd(_mm256_shuffle_epi8(lanes, mask)), w, c);
    };
    a.b0 = _mm256_add_pd(term(low, blueMask, w0, c0), a.b0);
    a.b1 = _mm256_add_pd(term(high, blueMask, w1, c1), a.b1);
    a.g0 = _mm256_add_pd(term(low, greenMask, w0, c0), a.g0);
    a.g1 = _mm256_add_pd(term(high, greenMask, w1, c1), a.g1);
    a.r0 = _mm256_add_pd(term(low, redMask, w0, c0), a.r0);
    a.r1 = _mm256_add_pd(term(high, redMask, w1, c1), a.r1);
}

template <int Window>
inline void SweepBlock(Accumulators& a, const SweepGroup& group, const int32_t* row,
                       const double* weights, int dx, int base, __m256i blueMask, __m256i greenMask,
                       __m256i redMask)
{
    const size_t pw = static_cast<size_t>(group.paddedWidth);
    const int32_t* window = row + base;
    __m256i p0, p1;
    if constexpr (Window != kWindowGather) {
        p0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(window));
        if constexpr (Window == kWindowTwo || Window == kWindowEvenOdd)
            p1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(window + 8));
    }
    for (int t = 0; t < group.taps; ++t) {
        const size_t at = static_cast<size_t>(t) * pw + dx;
        __m256i pixels;
        if constexpr (Window == kWindowEvenOdd) {
            // Words 2i + t of the 16 at the base, in the fetch order 0, 1, 4, 5, 2, 3, 6, 7.
            const __m256 low = _mm256_castsi256_ps(p0), high = _mm256_castsi256_ps(p1);
            pixels = _mm256_castps_si256(t == 0 ? _mm256_shuffle_ps(low, high, 0x88)
                                                : _mm256_shuffle_ps(low, high, 0xDD));
        } else if constexpr (Window == kWindowOne) {
            const __m256i index =
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(group.tapRelative + at));
            pixels = _mm256_permutevar8x32_epi32(p0, index);
        } else if constexpr (Window == kWindowTwo) {
            const __m256i index =
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(group.tapRelative + at));
            const __m256i low = _mm256_permutevar8x32_epi32(p0, index);
            const __m256i high = _mm256_permutevar8x32_epi32(p1, index);
            pixels = _mm256_blendv_epi8(low, high, _mm256_cmpgt_epi32(index, _mm256_set1_epi32(7)));
        } else {
            const __m256i index =
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(group.tapColumn + at));
            pixels = _mm256_i32gather_epi32(reinterpret_cast<const int*>(row), index, 4);
        }
        Accumulate(a, pixels, weights + at, blueMask, greenMask, redMask);
    }
}

// The byte of a sum s (0 <= s < 256), floor(s − 0.5) + 1 (see kernels.h for why that is the
// reference's rounding; s − 0.5 is exact for s >= 0.5 and lies in [−0.5, 0) below), plus 2^52:
// adding 2^52 to a whole number of 0 .. 255 is exact and leaves the number in the double's low
// bits, with its bits 8 to 51 zero.
inline __m256i ByteInLowBits(__m256d sum)
{
    const __m256d floor = _mm256_round_pd(_mm256_sub_pd(sum, _mm256_set1_pd(0.5)),
                                          _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
    return _mm256_castpd_si256(_mm256_add_pd(floor, _mm256_set1_pd(4503599627370497.0)));
}

// Four pixels as b | g << 8 | r << 16 in the low 24 bits of each 64-bit lane, the bits above zero.
inline __m256i PixelLanes(__m256d blue, __m256d green, __m256d red)
{
    const __m256i bgr = _mm256_or_si256(ByteInLowBits(blue),
                                        _mm256_or_si256(_mm256_slli_epi64(ByteInLowBits(green), 8),
                                                        _mm256_slli_epi64(ByteInLowBits(red), 16)));
    return _mm256_and_si256(bgr, _mm256_set1_epi64x(0xFFFFFF));
}

// Stores the sums of columns dx .. dx + 7 for the next group, or rounds them and writes the
// pixels of the destination row. Returns false after the row's last pixel.
// Pixels x .. x + 7 (all within the row) as 32-bit words blue | green << 8 | red << 16: 24 bytes,
// six 32-bit words, loaded without touching the bytes after.
inline __m256i LoadPixelWords(const uint8_t* bgr, int x)
{
    const __m256i loadMask = _mm256_setr_epi32(-1, -1, -1, -1, -1, -1, 0, 0);
    const __m256i dwords = _mm256_setr_epi32(0, 1, 2, 2, 3, 4, 5, 5);
    const char z = static_cast<char>(0x80);
    const __m256i spread = _mm256_broadcastsi128_si256(
        _mm_setr_epi8(0, 1, 2, z, 3, 4, 5, z, 6, 7, 8, z, 9, 10, 11, z));
    const __m256i bytes = _mm256_maskload_epi32(
        reinterpret_cast<const int*>(bgr + static_cast<size_t>(x) * 3), loadMask);
    return _mm256_shuffle_epi8(_mm256_permutevar8x32_epi32(bytes, dwords), spread);
}

// Writes 8 pixels given as b | g << 8 | r << 16 in 32-bit lanes to the destination row at column
// dx: three of every four bytes, 24 bytes. Returns false after the row's last pixel.
inline bool StorePixels(const SweepGroup& group, __m256i packed, int dx)
{
    const __m256i squeezed =
        _mm256_shuffle_epi8(packed, _mm256_broadcastsi128_si256(_mm_setr_epi8(
                                        0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1)));
    const __m256i compact =
        _mm256_permutevar8x32_epi32(squeezed, _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 7, 7));
    uint8_t* out = group.destination + static_cast<size_t>(dx) * 3;
    const int remaining = group.width - dx;
    if (remaining >= 8) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_castsi256_si128(compact));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 16),
                         _mm256_extracti128_si256(compact, 1));
    } else {
        alignas(32) uint8_t bytes[32];
        _mm256_store_si256(reinterpret_cast<__m256i*>(bytes), compact);
        memcpy(out, bytes, static_cast<size_t>(remaining) * 3);
    }
    return remaining > 8;
}

inline bool Finish(const SweepGroup& group, const Accumulators& a, int dx)
{
    const size_t pw = static_cast<size_t>(group.paddedWidth);
    if (!group.last) {
        double* acc = group.accumulator;
        _mm256_storeu_pd(acc + dx, a.b0);
        _mm256_storeu_pd(acc + dx + 4, a.b1);
        _mm256_storeu_pd(acc + pw + dx, a.g0);
        _mm256_storeu_pd(acc + pw + dx + 4, a.g1);
        _mm256_storeu_pd(acc + 2 * pw + dx, a.r0);
        _mm256_storeu_pd(acc + 2 * pw + dx + 4, a.r1);
        return true;
    }
    // Pixels k and k + 4 share 64-bit lane k; one permute puts the eight in order.
    const __m256i paired = _mm256_or_si256(PixelLanes(a.b0, a.g0, a.r0),
                                           _mm256_slli_epi64(PixelLanes(a.b1, a.g1, a.r1), 32));
    const __m256i packed =
        _mm256_permutevar8x32_epi32(paired, _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7));
    return StorePixels(group, packed, dx);
}

inline void LoadAccumulators(const SweepGroup& group, Accumulators& a, int dx)
{
    if (group.first) {
        a.b0 = a.b1 = a.g0 = a.g1 = a.r0 = a.r1 = _mm256_setzero_pd();
        return;
    }
    const size_t pw = static_cast<size_t>(group.paddedWidth);
    const double* acc = group.accumulator;
    a.b0 = _mm256_loadu_pd(acc + dx);
    a.b1 = _mm256_loadu_pd(acc + dx + 4);
    a.g0 = _mm256_loadu_pd(acc + pw + dx);
    a.g1 = _mm256_loadu_pd(acc + pw + dx + 4);
    a.r0 = _mm256_loadu_pd(acc + 2 * pw + dx);
    a.r1 = _mm256_loadu_pd(acc + 2 * pw + dx + 4);
}

}  // namespace

void WeightRowAvx2(const double* overlap, double hy, double e, double* weights, size_t count)
{
    // Even vectors through the divider, odd ones through the reciprocal with its proof (see
    // kQuotientCheckFactor in kernels.h); the two units work at the same time.
    const __m256d vhy = _mm256_set1_pd(hy);
    const __m256d scale = _mm256_set1_pd(4000000.0);
    const __m256d ve = _mm256_set1_pd(e);
    const __m256d vy = _mm256_set1_pd(1.0 / e);
    const __m256d widen = _mm256_set1_pd(kQuotientCheckFactor);
    for (size_t i = 0; i < count; i += 4) {
        const __m256d x = _mm256_mul_pd(_mm256_mul_pd(_mm256_loadu_pd(overlap + i), vhy), scale);
        if ((i & 4) == 0) {
            _mm256_storeu_pd(weights + i, _mm256_div_pd(x, ve));
            continue;
        }
        const __m256d q0 = _mm256_mul_pd(x, vy);
        const __m256d r = _mm256_fnmadd_pd(q0, ve, x);
        __m256d q = _mm256_fmadd_pd(r, vy, q0);
        const __m256d t = _mm256_fmadd_pd(r, vy, _mm256_sub_pd(q0, q));
        const __m256d unsure = _mm256_cmp_pd(_mm256_fmadd_pd(t, widen, q), q, _CMP_NEQ_UQ);
        if (_mm256_movemask_pd(unsure) != 0) q = _mm256_blendv_pd(q, _mm256_div_pd(x, ve), unsure);
        _mm256_storeu_pd(weights + i, q);
    }
}

void PackRowAvx2(const uint8_t* bgr, int width, int32_t* packed)
{
    int x = 0;
    for (; x + 8 <= width; x += 8)
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(packed + x), LoadPixelWords(bgr, x));
    for (; x < width; ++x) {
        const uint8_t* p = bgr + static_cast<size_t>(x) * 3;
        packed[x] = p[0] | (p[1] << 8) | (p[2] << 16);
    }
    for (; x % 16 != 0; ++x) packed[x] = 0;
}

void ResampleSweepsAvx2(const SweepGroup& group)
{
    const __m256i blueMask = BiasedLaneMask(0), greenMask = BiasedLaneMask(1),
                  redMask = BiasedLaneMask(2);
    for (int dx = 0; dx < group.paddedWidth; dx += 8) {
        PrefetchShare(group, dx, 8);
        Accumulators a;
        LoadAccumulators(group, a, dx);
        const int block = dx / 8;
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
                case kWindowEvenOdd:
                    SweepBlock<kWindowEvenOdd>(a, group, row, weights, dx, base, blueMask,
                                               greenMask, redMask);
                    break;
                case kWindowTwo:
                    SweepBlock<kWindowTwo>(a, group, row, weights, dx, base, blueMask, greenMask,
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

void SplitRowAvx2(const uint8_t* bgr, int width, double* planes, size_t planeLength)
{
    const __m256i byteMask = _mm256_set1_epi32(0xFF);
    double* blue = planes;
    double* green = planes + planeLength;
    double* red = planes + 2 * planeLength;
    int x = 0;
    for (; x + 8 <= width; x += 8) {
        const __m256i words = LoadPixelWords(bgr, x);
        const __m256i b = _mm256_and_si256(words, byteMask);
        const __m256i g = _mm256_and_si256(_mm256_srli_epi32(words, 8), byteMask);
        const __m256i r = _mm256_srli_epi32(words, 16);
        _mm256_storeu_pd(blue + x, _mm256_cvtepi32_pd(_mm256_castsi256_si128(b)));
        _mm256_storeu_pd(blue + x + 4, _mm256_cvtepi32_pd(_mm256_extracti128_si256(b, 1)));
        _mm256_storeu_pd(green + x, _mm256_cvtepi32_pd(_mm256_castsi256_si128(g)));
        _mm256_storeu_pd(green + x + 4, _mm256_cvtepi32_pd(_mm256_extracti128_si256(g, 1)));
        _mm256_storeu_pd(red + x, _mm256_cvtepi32_pd(_mm256_castsi256_si128(r)));
        _mm256_storeu_pd(red + x + 4, _mm256_cvtepi32_pd(_mm256_extracti128_si256(r, 1)));
    }
    for (; x < width; ++x) {
        const uint8_t* p = bgr + static_cast<size_t>(x) * 3;
        blue[x] = p[0];
        green[x] = p[1];
        red[x] = p[2];
    }
}

namespace {

// The value of one tap for the four columns of a block, from the 8 values at `window`: vpermd
// picks both 32-bit halves of each double from either half of the window, and the top bit of
// the lane word chooses between them.
inline __m256d PickTap(__m256i low, __m256i high, __m256i index)
{
    return _mm256_blendv_pd(_mm256_castsi256_pd(_mm256_permutevar8x32_epi32(low, index)),
                            _mm256_castsi256_pd(_mm256_permutevar8x32_epi32(high, index)),
                            _mm256_castsi256_pd(index));
}

template <int Taps>
void TwoTapRow(const SweepGroup& group)
{
    const size_t pw = static_cast<size_t>(group.paddedWidth);
    const size_t length = group.planeLength;
    const __m256i* index = reinterpret_cast<const __m256i*>(group.tapIndex);
    for (int dx = 0; dx < group.paddedWidth; dx += 8) {
        PrefetchShare(group, dx, 8);
        Accumulators a;
        LoadAccumulators(group, a, dx);
        const int base0 = group.blockBase[dx / 4], base1 = group.blockBase[dx / 4 + 1];
        // [tap][half]: the lane words of the 8 columns.
        const __m256i index00 = _mm256_loadu_si256(index + dx / 4);
        const __m256i index01 = _mm256_loadu_si256(index + dx / 4 + 1);
        const __m256i index10 = _mm256_loadu_si256(index + (pw + dx) / 4);
        const __m256i index11 = _mm256_loadu_si256(index + (pw + dx) / 4 + 1);
        for (int s = 0; s < group.sweeps; ++s) {
            const double* weights = group.weights[s] + dx;
            const double* planes = static_cast<const double*>(group.rows[s]);
            __m256d* sums[3][2] = {{&a.b0, &a.b1}, {&a.g0, &a.g1}, {&a.r0, &a.r1}};
            for (int c = 0; c < 3; ++c) {
                const double* plane = planes + c * length;
                const __m256i low0 = _mm256_castpd_si256(_mm256_loadu_pd(plane + base0));
                const __m256i high0 = _mm256_castpd_si256(_mm256_loadu_pd(plane + base0 + 4));
                const __m256i low1 = _mm256_castpd_si256(_mm256_loadu_pd(plane + base1));
                const __m256i high1 = _mm256_castpd_si256(_mm256_loadu_pd(plane + base1 + 4));
                // sum := value × weight + sum, tap 0 then tap 1, a rounded multiply and then a
                // rounded add.
                __m256d& low = *sums[c][0];
                __m256d& high = *sums[c][1];
                low = _mm256_add_pd(
                    _mm256_mul_pd(PickTap(low0, high0, index00), _mm256_loadu_pd(weights)), low);
                high = _mm256_add_pd(
                    _mm256_mul_pd(PickTap(low1, high1, index01), _mm256_loadu_pd(weights + 4)),
                    high);
                if constexpr (Taps == 2) {
                    low = _mm256_add_pd(
                        _mm256_mul_pd(PickTap(low0, high0, index10), _mm256_loadu_pd(weights + pw)),
                        low);
                    high = _mm256_add_pd(_mm256_mul_pd(PickTap(low1, high1, index11),
                                                       _mm256_loadu_pd(weights + pw + 4)),
                                         high);
                }
            }
        }
        if (!Finish(group, a, dx)) break;
    }
}

}  // namespace

void ResampleTwoTapAvx2(const SweepGroup& group)
{
    if (group.taps == 1)
        TwoTapRow<1>(group);
    else
        TwoTapRow<2>(group);
}

void CopyPixelsAvx2(const uint8_t* sourceRow, int sourceWidth, const int32_t* copyBase,
                    const uint8_t* copyShuffle, const int32_t* tapColumn, int width, uint8_t* out)
{
    const int groups = (width + 4) / 5;
    const size_t sourceBytes = static_cast<size_t>(sourceWidth) * 3;
    const size_t outBytes = static_cast<size_t>(width) * 3;
    int g = 0;
    for (; g < groups; ++g) {
        const size_t from = static_cast<size_t>(copyBase[g]) * 3;
        const size_t to = static_cast<size_t>(g) * 15;
        if (from + 16 > sourceBytes || to + 16 > outBytes) break;
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(sourceRow + from));
        const __m128i shuffle =
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(copyShuffle + 16 * g));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + to), _mm_shuffle_epi8(bytes, shuffle));
    }
    for (int dx = 5 * g; dx < width; ++dx)
        memcpy(out + static_cast<size_t>(dx) * 3,
               sourceRow + static_cast<size_t>(tapColumn[dx]) * 3, 3);
}

void SplitRowFloatAvx2(const uint8_t* bgr, int width, float* planes, size_t planeLength)
{
    const __m256i byteMask = _mm256_set1_epi32(0xFF);
    int x = 0;
    for (; x + 8 <= width; x += 8) {
        const __m256i words = LoadPixelWords(bgr, x);
        _mm256_storeu_ps(planes + x, _mm256_cvtepi32_ps(_mm256_and_si256(words, byteMask)));
        _mm256_storeu_ps(planes + planeLength + x, _mm256_cvtepi32_ps(_mm256_and_si256(
                                                       _mm256_srli_epi32(words, 8), byteMask)));
        _mm256_storeu_ps(planes + 2 * planeLength + x,
                         _mm256_cvtepi32_ps(_mm256_srli_epi32(words, 16)));
    }
    for (; x < width; ++x) {
        const uint8_t* p = bgr + static_cast<size_t>(x) * 3;
        planes[x] = p[0];
        planes[planeLength + x] = p[1];
        planes[2 * planeLength + x] = p[2];
    }
}

void ResampleTieFreeFloatAvx2(const SweepGroup& group)
{
    // Single precision (kTieFreeFloatLimit in kernels.h): 8 columns a vector, both taps from one
    // window of 8 floats, sums rounded to nearest.
    const size_t pw = static_cast<size_t>(group.paddedWidth);
    const size_t length = group.planeLength;
    float* carried = reinterpret_cast<float*>(group.accumulator);
    for (int dx = 0; dx < group.paddedWidth; dx += 8) {
        PrefetchShare(group, dx, 8);
        __m256 sum[3];
        for (int c = 0; c < 3; ++c)
            sum[c] = group.first ? _mm256_setzero_ps() : _mm256_loadu_ps(carried + c * pw + dx);
        const int base = group.blockBase[dx / 8];
        const __m256i index0 =
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(group.tapIndex32 + dx));
        const __m256i index1 =
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(group.tapIndex32 + pw + dx));
        const __m256 across0 = _mm256_loadu_ps(group.tapFractions32 + dx);
        const __m256 across1 = _mm256_loadu_ps(group.tapFractions32 + pw + dx);
        for (int s = 0; s < group.sweeps; ++s) {
            const __m256 down = _mm256_set1_ps(group.sweepFractions32[s]);
            const float* planes = static_cast<const float*>(group.rows[s]) + base;
            for (int c = 0; c < 3; ++c) {
                const __m256 window = _mm256_loadu_ps(planes + c * length);
                const __m256 row = _mm256_fmadd_ps(
                    _mm256_permutevar8x32_ps(window, index1), across1,
                    _mm256_mul_ps(_mm256_permutevar8x32_ps(window, index0), across0));
                sum[c] = _mm256_fmadd_ps(row, down, sum[c]);
            }
        }
        if (!group.last) {
            for (int c = 0; c < 3; ++c) _mm256_storeu_ps(carried + c * pw + dx, sum[c]);
            continue;
        }
        const __m256i packed =
            _mm256_or_si256(_mm256_cvtps_epi32(sum[0]),
                            _mm256_or_si256(_mm256_slli_epi32(_mm256_cvtps_epi32(sum[1]), 8),
                                            _mm256_slli_epi32(_mm256_cvtps_epi32(sum[2]), 16)));
        if (!StorePixels(group, packed, dx)) break;
    }
}
