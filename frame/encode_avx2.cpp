// AVX2 variants of the colour conversions; the only file built with -mavx2 for them.
//
// Encode: 32 pixels (16 pairs) at a time. Each 128-bit lane deinterleaves 48 bytes into 16 blue,
// 16 green and 16 red bytes; as 16-bit words the low byte is then the pair's left pixel and the
// high byte its right pixel, so every pair value of the arithmetic sits in one 16-bit lane. All
// intermediate values fit 16 bits (sums of the luma products reach at most 65280, taken
// unsigned; the chroma products lie within ±28886, signed), and the shifts are logical for the
// non-negative values and arithmetic (flooring) for the chroma differences.
//
// Decode: 16 pairs at a time in 32-bit lanes, one pair per lane: the luma and chroma terms are
// 16 × 16-bit products summed by multiply-add into 32 bits, shifted arithmetically, and clamped
// to bytes by the saturating packs (the shifted sums lie within −249..507, so the intermediate
// 16-bit pack never saturates).
#include "frame/kernels.h"

#include <immintrin.h>

namespace {

constexpr char Z = static_cast<char>(0x80);

// Deinterleaves 16 pixels per lane; a, b, c hold bytes 0..15, 16..31, 32..47 of each lane's 48.
inline void SplitChannels(__m256i a, __m256i b, __m256i c, __m256i& blue, __m256i& green,
                          __m256i& red)
{
    auto lane = [](const __m128i& x) { return _mm256_broadcastsi128_si256(x); };
    blue = _mm256_or_si256(
        _mm256_or_si256(
            _mm256_shuffle_epi8(
                a, lane(_mm_setr_epi8(0, 3, 6, 9, 12, 15, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z))),
            _mm256_shuffle_epi8(
                b, lane(_mm_setr_epi8(Z, Z, Z, Z, Z, Z, 2, 5, 8, 11, 14, Z, Z, Z, Z, Z)))),
        _mm256_shuffle_epi8(c,
                            lane(_mm_setr_epi8(Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, 1, 4, 7, 10, 13))));
    green = _mm256_or_si256(
        _mm256_or_si256(
            _mm256_shuffle_epi8(
                a, lane(_mm_setr_epi8(1, 4, 7, 10, 13, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z))),
            _mm256_shuffle_epi8(
                b, lane(_mm_setr_epi8(Z, Z, Z, Z, Z, 0, 3, 6, 9, 12, 15, Z, Z, Z, Z, Z)))),
        _mm256_shuffle_epi8(c,
                            lane(_mm_setr_epi8(Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, 2, 5, 8, 11, 14))));
    red = _mm256_or_si256(
        _mm256_or_si256(
            _mm256_shuffle_epi8(
                a, lane(_mm_setr_epi8(2, 5, 8, 11, 14, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z))),
            _mm256_shuffle_epi8(
                b, lane(_mm_setr_epi8(Z, Z, Z, Z, Z, 1, 4, 7, 10, 13, Z, Z, Z, Z, Z, Z)))),
        _mm256_shuffle_epi8(c,
                            lane(_mm_setr_epi8(Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, 0, 3, 6, 9, 12, 15))));
}

// The pshufb index that takes, for output bytes 16 × chunk .. 16 × chunk + 15 of 16 interleaved
// pixels, the bytes of `channel` from its planar lane (the others zero).
inline __m256i InterleaveMask(int chunk, int channel)
{
    alignas(16) char index[16];
    for (int j = 0; j < 16; ++j) {
        const int at = 16 * chunk + j;
        index[j] = at % 3 == channel ? static_cast<char>(at / 3) : Z;
    }
    return _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(index)));
}

}  // namespace

void EncodeRowAvx2(const uint8_t* bgr, uint8_t* ycbcr, int width, const CoefficientSet& set)
{
    const __m256i wRed = _mm256_set1_epi16(static_cast<short>(set.lumaRed));
    const __m256i wGreen = _mm256_set1_epi16(static_cast<short>(set.lumaGreen));
    const __m256i wBlue = _mm256_set1_epi16(static_cast<short>(set.lumaBlue));
    const __m256i scale = _mm256_set1_epi16(static_cast<short>(set.lumaScale));
    const __m256i kb = _mm256_set1_epi16(static_cast<short>(set.cbFactor));
    const __m256i kr = _mm256_set1_epi16(static_cast<short>(set.crFactor));
    const __m256i low = _mm256_set1_epi16(0x00FF);
    const __m256i sixteen = _mm256_set1_epi16(16);
    const __m256i half = _mm256_set1_epi16(128);
    // Blocks of 32 pixels; a row whose even part is not a multiple of that ends with one block
    // that overlaps the previous one (writing the same bytes again), and an odd last pixel
    // goes to the narrower path.
    auto block = [&](int x) {
        const uint8_t* p = bgr + static_cast<size_t>(x) * 3;
        auto load2 = [&](int offset) {
            return _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(p + 48 + offset),
                                       reinterpret_cast<const __m128i*>(p + offset));
        };
        __m256i blue, green, red;
        SplitChannels(load2(0), load2(16), load2(32), blue, green, red);
        const __m256i b0 = _mm256_and_si256(blue, low), b1 = _mm256_srli_epi16(blue, 8);
        const __m256i g0 = _mm256_and_si256(green, low), g1 = _mm256_srli_epi16(green, 8);
        const __m256i r0 = _mm256_and_si256(red, low), r1 = _mm256_srli_epi16(red, 8);
        const __m256i luma0 = _mm256_srli_epi16(
            _mm256_add_epi16(
                _mm256_add_epi16(_mm256_mullo_epi16(r0, wRed), _mm256_mullo_epi16(g0, wGreen)),
                _mm256_mullo_epi16(b0, wBlue)),
            8);
        const __m256i luma1 = _mm256_srli_epi16(
            _mm256_add_epi16(
                _mm256_add_epi16(_mm256_mullo_epi16(r1, wRed), _mm256_mullo_epi16(g1, wGreen)),
                _mm256_mullo_epi16(b1, wBlue)),
            8);
        const __m256i y0 =
            _mm256_add_epi16(_mm256_srli_epi16(_mm256_mullo_epi16(luma0, scale), 8), sixteen);
        const __m256i y1 =
            _mm256_add_epi16(_mm256_srli_epi16(_mm256_mullo_epi16(luma1, scale), 8), sixteen);
        const __m256i lumaMean = _mm256_srli_epi16(_mm256_add_epi16(luma0, luma1), 1);
        const __m256i blueMean = _mm256_srli_epi16(_mm256_add_epi16(b0, b1), 1);
        const __m256i redMean = _mm256_srli_epi16(_mm256_add_epi16(r0, r1), 1);
        const __m256i cb = _mm256_add_epi16(
            _mm256_srai_epi16(_mm256_mullo_epi16(_mm256_sub_epi16(blueMean, lumaMean), kb), 8),
            half);
        const __m256i cr = _mm256_add_epi16(
            _mm256_srai_epi16(_mm256_mullo_epi16(_mm256_sub_epi16(redMean, lumaMean), kr), 8),
            half);
        // Y0 | Cb << 8 and Y1 | Cr << 8, interleaved to Y0 Cb Y1 Cr per pair.
        const __m256i left = _mm256_or_si256(y0, _mm256_slli_epi16(cb, 8));
        const __m256i right = _mm256_or_si256(y1, _mm256_slli_epi16(cr, 8));
        const __m256i first = _mm256_unpacklo_epi16(left, right);
        const __m256i second = _mm256_unpackhi_epi16(left, right);
        uint8_t* out = ycbcr + static_cast<size_t>(x) * 2;
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out),
                            _mm256_permute2x128_si256(first, second, 0x20));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32),
                            _mm256_permute2x128_si256(first, second, 0x31));
    };
    const int x = RunPairBlocks<32>(width, block);
    if (x < width)
        EncodeRowScalar(bgr + static_cast<size_t>(x) * 3, ycbcr + static_cast<size_t>(x) * 2,
                        width - x, set);
}

namespace {

// One pair per 32-bit lane: (Y0, Y1) and (Cb, Cr) as 16-bit words, then each output as a 16-bit
// (left, right) word pair per lane.
inline void DecodePairs(__m256i pairs, const CoefficientSet& set, __m256i& blue, __m256i& green,
                        __m256i& red)
{
    const __m256i lumaIndex = _mm256_broadcastsi128_si256(
        _mm_setr_epi8(0, Z, 2, Z, 4, Z, 6, Z, 8, Z, 10, Z, 12, Z, 14, Z));
    const __m256i chromaIndex = _mm256_broadcastsi128_si256(
        _mm_setr_epi8(1, Z, 3, Z, 5, Z, 7, Z, 9, Z, 11, Z, 13, Z, 15, Z));
    const __m256i luma =
        _mm256_sub_epi16(_mm256_shuffle_epi8(pairs, lumaIndex), _mm256_set1_epi16(16));
    const __m256i chroma =
        _mm256_sub_epi16(_mm256_shuffle_epi8(pairs, chromaIndex), _mm256_set1_epi16(128));
    auto factors = [](int lowWord, int highWord) {
        return _mm256_set1_epi32(static_cast<int>((static_cast<uint32_t>(highWord) << 16) |
                                                  (static_cast<uint32_t>(lowWord) & 0xFFFF)));
    };
    const __m256i left = _mm256_madd_epi16(luma, factors(set.decodeLuma, 0));
    const __m256i right = _mm256_madd_epi16(luma, factors(0, set.decodeLuma));
    const __m256i redTerm = _mm256_madd_epi16(chroma, factors(0, set.redFromCr));
    const __m256i blueTerm = _mm256_madd_epi16(chroma, factors(set.blueFromCb, 0));
    const __m256i greenTerm =
        _mm256_madd_epi16(chroma, factors(-set.greenFromCb, -set.greenFromCr));
    auto both = [&](__m256i term) {
        const __m256i l = _mm256_srai_epi32(_mm256_add_epi32(left, term), 8);
        const __m256i r = _mm256_srai_epi32(_mm256_add_epi32(right, term), 8);
        return _mm256_blend_epi16(l, _mm256_slli_epi32(r, 16), 0xAA);
    };
    blue = both(blueTerm);
    green = both(greenTerm);
    red = both(redTerm);
}

}  // namespace

void DecodeRowAvx2(const uint8_t* ycbcr, uint8_t* bgr, int width, const CoefficientSet& set)
{
    const __m256i b0 = InterleaveMask(0, 0), g0 = InterleaveMask(0, 1), r0 = InterleaveMask(0, 2);
    const __m256i b1 = InterleaveMask(1, 0), g1 = InterleaveMask(1, 1), r1 = InterleaveMask(1, 2);
    const __m256i b2 = InterleaveMask(2, 0), g2 = InterleaveMask(2, 1), r2 = InterleaveMask(2, 2);
    // Blocks of 32 pixels; a row whose even part is not a multiple of that ends with one block
    // that overlaps the previous one (writing the same bytes again), and an odd last pixel
    // goes to the narrower path.
    auto block = [&](int x) {
        const uint8_t* p = ycbcr + static_cast<size_t>(x) * 2;
        __m256i blueA, greenA, redA, blueB, greenB, redB;
        DecodePairs(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)), set, blueA, greenA,
                    redA);
        DecodePairs(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32)), set, blueB,
                    greenB, redB);
        // Saturating packs clamp to 0..255; the qword permute restores pixel order 0..31.
        const __m256i blue = _mm256_permute4x64_epi64(_mm256_packus_epi16(blueA, blueB), 0xD8);
        const __m256i green = _mm256_permute4x64_epi64(_mm256_packus_epi16(greenA, greenB), 0xD8);
        const __m256i red = _mm256_permute4x64_epi64(_mm256_packus_epi16(redA, redB), 0xD8);
        const __m256i o0 = _mm256_or_si256(
            _mm256_or_si256(_mm256_shuffle_epi8(blue, b0), _mm256_shuffle_epi8(green, g0)),
            _mm256_shuffle_epi8(red, r0));
        const __m256i o1 = _mm256_or_si256(
            _mm256_or_si256(_mm256_shuffle_epi8(blue, b1), _mm256_shuffle_epi8(green, g1)),
            _mm256_shuffle_epi8(red, r1));
        const __m256i o2 = _mm256_or_si256(
            _mm256_or_si256(_mm256_shuffle_epi8(blue, b2), _mm256_shuffle_epi8(green, g2)),
            _mm256_shuffle_epi8(red, r2));
        uint8_t* out = bgr + static_cast<size_t>(x) * 3;
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out),
                            _mm256_permute2x128_si256(o0, o1, 0x20));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32),
                            _mm256_permute2x128_si256(o2, o0, 0x30));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 64),
                            _mm256_permute2x128_si256(o1, o2, 0x31));
    };
    const int x = RunPairBlocks<32>(width, block);
    if (x < width)
        DecodeRowScalar(ycbcr + static_cast<size_t>(x) * 2, bgr + static_cast<size_t>(x) * 3,
                        width - x, set);
}
