// The AVX-512 VBMI kernel of the resampler; the only file built with -mavx512vbmi. For plans
// whose every block of 8 destination columns takes all its taps from 21 consecutive source pixels
// (scaling down by up to about 2.5 across), it reads the source rows' bytes as they are: one
// two-table byte permute per tap, channel and block picks each column's byte into the low byte
// of a 64-bit lane and fills the rest of the lane from a constant table, giving the double
// 2^52 + value directly, for the fused product of Accumulate in resample_avx512.cpp. No rows are
// repacked into words first.
#include "frame/resample_avx512_parts.h"

namespace {

// The second table of the byte permutes: byte 0 is 0, byte 1 0x30, byte 2 0x43 (index bytes 64,
// 65 and 66), the high bytes of 2^52.
inline __m512i ExponentTable()
{
    return _mm512_zextsi128_si512(_mm_cvtsi32_si128(0x00433000));
}

// Bytes 0-2 of each 64-bit lane of the first table (pixels 0-7), then of the second (8-15).
inline __m512i PackOrder()
{
    alignas(64) uint8_t order[64] = {};
    for (int i = 0; i < 16; ++i)
        for (int c = 0; c < 3; ++c)
            order[3 * i + c] = static_cast<uint8_t>((i < 8 ? 0 : 64) + 8 * (i % 8) + c);
    return _mm512_load_si512(order);
}

}  // namespace

uint64_t VbmiTapIndex(int relative)
{
    // Byte 0: the blue byte of the tap's pixel in the window; bytes 1-5: 0; bytes 6-7: 0x30, 0x43.
    return static_cast<uint64_t>(3 * relative) | 0x4241404040404000ull;
}

namespace {

// The byte-permute indices of one tap and half for the three channels.
struct ChannelIndex {
    __m512i of[3];
};

// The kernel for `Taps` taps (0: the group's count, read at run time). With two taps the twelve
// byte-permute indices of a block (tap, half, channel) stay in registers for all its sweeps.
template <int Taps>
void SweepsVbmi(const SweepGroup& group)
{
    const size_t pw = static_cast<size_t>(group.paddedWidth);
    const int taps = Taps > 0 ? Taps : group.taps;
    const __m512i table = ExponentTable();
    const __m512i one = _mm512_set1_epi64(1), two = _mm512_set1_epi64(2);
    const __m512d bias = _mm512_set1_pd(-0x1p52);
    const __m512i packOrder = PackOrder();
    const auto indexOf = [&](int t, int h, int dx) {
        const __m512i blue =
            _mm512_loadu_si512(group.tapIndex + static_cast<size_t>(t) * pw + dx + 8 * h);
        return ChannelIndex{{blue, _mm512_add_epi64(blue, one), _mm512_add_epi64(blue, two)}};
    };
    for (int dx = 0; dx < group.paddedWidth; dx += 16) {
        PrefetchShare(group, dx, 16);
        Accumulators a;
        LoadAccumulators(group, a, dx);
        size_t from[2];
        __mmask64 keep[2];
        for (int h = 0; h < 2; ++h) {
            from[h] = static_cast<size_t>(group.blockBase[dx / 8 + h]) * 3;
            // The window's bytes past the row's pixels are left out (and read as 0).
            keep[h] = from[h] + 64 <= group.sourceBytes
                          ? ~__mmask64{0}
                          : (__mmask64{1} << (group.sourceBytes - from[h])) - 1;
        }
        ChannelIndex held[2][2];  // Taps == 2: [tap][half]
        if constexpr (Taps == 2)
            for (int t = 0; t < 2; ++t)
                for (int h = 0; h < 2; ++h) held[t][h] = indexOf(t, h, dx);
        for (int s = 0; s < group.sweeps; ++s) {
            const uint8_t* row = static_cast<const uint8_t*>(group.rows[s]);
            const __m512i window[2] = {_mm512_maskz_loadu_epi8(keep[0], row + from[0]),
                                       _mm512_maskz_loadu_epi8(keep[1], row + from[1])};
            const double* weights = group.weights[s];
            for (int t = 0; t < taps; ++t) {
                const size_t at = static_cast<size_t>(t) * pw + dx;
                __m512d* sums[2][3] = {{&a.b0, &a.g0, &a.r0}, {&a.b1, &a.g1, &a.r1}};
                for (int h = 0; h < 2; ++h) {
                    const ChannelIndex index = Taps == 2 ? held[t][h] : indexOf(t, h, dx);
                    const __m512d w = _mm512_loadu_pd(weights + at + 8 * h);
                    const __m512d c = _mm512_mul_pd(w, bias);
                    // sum := value × weight + sum: the rounded product as one fused step, then a
                    // rounded add.
                    for (int channel = 0; channel < 3; ++channel) {
                        const __m512d biased = _mm512_castsi512_pd(
                            _mm512_permutex2var_epi8(window[h], index.of[channel], table));
                        *sums[h][channel] =
                            _mm512_add_pd(_mm512_fmadd_pd(biased, w, c), *sums[h][channel]);
                    }
                }
            }
        }
        if (!group.last) {
            StoreAccumulators(group, a, dx);
            continue;
        }
        // The three bytes of each pixel lane, 8 pixels from each half: one byte permute.
        const __m512i compact = _mm512_permutex2var_epi8(PixelLanes(a.b0, a.g0, a.r0), packOrder,
                                                         PixelLanes(a.b1, a.g1, a.r1));
        if (!StoreCompactPixels(group, compact, dx)) break;
    }
}

}  // namespace

void ResampleSweepsVbmi(const SweepGroup& group)
{
    group.taps == 2 ? SweepsVbmi<2>(group) : SweepsVbmi<0>(group);
}
