// AVX-512 variants of the colour conversions; the only file built with -mavx512bw for them. The
// arithmetic is that of encode_avx2.cpp on four 128-bit lanes instead of two: 64 pixels at a
// time, the same 16-bit encode and the same 32-bit multiply-add decode.
#include "frame/kernels.h"

#include <immintrin.h>

// GCC 12's AVX-512 intrinsics start from deliberately undefined registers (_mm512_undefined_*),
// which -Wuninitialized reports at every call site.
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

namespace {

constexpr char Z = static_cast<char>(0x80);

inline __m512i Lane(__m128i x)
{
    return _mm512_broadcast_i32x4(x);
}

// Four 128-bit lanes from p + offset, p + 48 + offset, p + 96 + offset, p + 144 + offset.
inline __m512i LoadLanes(const uint8_t* p, int offset)
{
    __m512i v =
        _mm512_castsi128_si512(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + offset)));
    v = _mm512_inserti32x4(v, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48 + offset)),
                           1);
    v = _mm512_inserti32x4(v, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 96 + offset)),
                           2);
    return _mm512_inserti32x4(
        v, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 144 + offset)), 3);
}

inline __m512i Gather3(__m512i a, __m512i b, __m512i c, __m128i ia, __m128i ib, __m128i ic)
{
    return _mm512_ternarylogic_epi32(_mm512_shuffle_epi8(a, Lane(ia)),
                                     _mm512_shuffle_epi8(b, Lane(ib)),
                                     _mm512_shuffle_epi8(c, Lane(ic)), 0xFE);
}

inline __m512i InterleaveMask(int chunk, int channel)
{
    alignas(16) char index[16];
    for (int j = 0; j < 16; ++j) {
        const int at = 16 * chunk + j;
        index[j] = at % 3 == channel ? static_cast<char>(at / 3) : Z;
    }
    return Lane(_mm_load_si128(reinterpret_cast<const __m128i*>(index)));
}

inline __m512i Factors(int lowWord, int highWord)
{
    return _mm512_set1_epi32(static_cast<int>((static_cast<uint32_t>(highWord) << 16) |
                                              (static_cast<uint32_t>(lowWord) & 0xFFFF)));
}

inline void DecodePairs(__m512i pairs, const CoefficientSet& set, __m512i& blue, __m512i& green,
                        __m512i& red)
{
    const __m512i luma = _mm512_sub_epi16(
        _mm512_shuffle_epi8(pairs,
                            Lane(_mm_setr_epi8(0, Z, 2, Z, 4, Z, 6, Z, 8, Z, 10, Z, 12, Z, 14, Z))),
        _mm512_set1_epi16(16));
    const __m512i chroma = _mm512_sub_epi16(
        _mm512_shuffle_epi8(pairs,
                            Lane(_mm_setr_epi8(1, Z, 3, Z, 5, Z, 7, Z, 9, Z, 11, Z, 13, Z, 15, Z))),
        _mm512_set1_epi16(128));
    const __m512i left = _mm512_madd_epi16(luma, Factors(set.decodeLuma, 0));
    const __m512i right = _mm512_madd_epi16(luma, Factors(0, set.decodeLuma));
    const __m512i redTerm = _mm512_madd_epi16(chroma, Factors(0, set.redFromCr));
    const __m512i blueTerm = _mm512_madd_epi16(chroma, Factors(set.blueFromCb, 0));
    const __m512i greenTerm =
        _mm512_madd_epi16(chroma, Factors(-set.greenFromCb, -set.greenFromCr));
    auto both = [&](__m512i term) {
        const __m512i l = _mm512_srai_epi32(_mm512_add_epi32(left, term), 8);
        const __m512i r = _mm512_srai_epi32(_mm512_add_epi32(right, term), 8);
        return _mm512_mask_blend_epi16(0xAAAAAAAA, l, _mm512_slli_epi32(r, 16));
    };
    blue = both(blueTerm);
    green = both(greenTerm);
    red = both(redTerm);
}

}  // namespace

void EncodeRowAvx512(const uint8_t* bgr, uint8_t* ycbcr, int width, const CoefficientSet& set)
{
    const __m512i wRed = _mm512_set1_epi16(static_cast<short>(set.lumaRed));
    const __m512i wGreen = _mm512_set1_epi16(static_cast<short>(set.lumaGreen));
    const __m512i wBlue = _mm512_set1_epi16(static_cast<short>(set.lumaBlue));
    const __m512i scale = _mm512_set1_epi16(static_cast<short>(set.lumaScale));
    const __m512i kb = _mm512_set1_epi16(static_cast<short>(set.cbFactor));
    const __m512i kr = _mm512_set1_epi16(static_cast<short>(set.crFactor));
    const __m512i low = _mm512_set1_epi16(0x00FF);
    const __m512i sixteen = _mm512_set1_epi16(16);
    const __m512i half = _mm512_set1_epi16(128);
    const __m512i firstOrder = _mm512_setr_epi64(0, 1, 8, 9, 2, 3, 10, 11);
    const __m512i secondOrder = _mm512_setr_epi64(4, 5, 12, 13, 6, 7, 14, 15);
    // Blocks of 64 pixels; a row whose even part is not a multiple of that ends with one block
    // that overlaps the previous one (writing the same bytes again), and an odd last pixel
    // goes to the narrower path.
    auto block = [&](int x) {
        const uint8_t* p = bgr + static_cast<size_t>(x) * 3;
        const __m512i a = LoadLanes(p, 0), b = LoadLanes(p, 16), c = LoadLanes(p, 32);
        const __m512i blue =
            Gather3(a, b, c, _mm_setr_epi8(0, 3, 6, 9, 12, 15, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z),
                    _mm_setr_epi8(Z, Z, Z, Z, Z, Z, 2, 5, 8, 11, 14, Z, Z, Z, Z, Z),
                    _mm_setr_epi8(Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, 1, 4, 7, 10, 13));
        const __m512i green =
            Gather3(a, b, c, _mm_setr_epi8(1, 4, 7, 10, 13, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z),
                    _mm_setr_epi8(Z, Z, Z, Z, Z, 0, 3, 6, 9, 12, 15, Z, Z, Z, Z, Z),
                    _mm_setr_epi8(Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, 2, 5, 8, 11, 14));
        const __m512i red =
            Gather3(a, b, c, _mm_setr_epi8(2, 5, 8, 11, 14, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z),
                    _mm_setr_epi8(Z, Z, Z, Z, Z, 1, 4, 7, 10, 13, Z, Z, Z, Z, Z, Z),
                    _mm_setr_epi8(Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, 0, 3, 6, 9, 12, 15));
        const __m512i b0 = _mm512_and_si512(blue, low), b1 = _mm512_srli_epi16(blue, 8);
        const __m512i g0 = _mm512_and_si512(green, low), g1 = _mm512_srli_epi16(green, 8);
        const __m512i r0 = _mm512_and_si512(red, low), r1 = _mm512_srli_epi16(red, 8);
        const __m512i luma0 = _mm512_srli_epi16(
            _mm512_add_epi16(
                _mm512_add_epi16(_mm512_mullo_epi16(r0, wRed), _mm512_mullo_epi16(g0, wGreen)),
                _mm512_mullo_epi16(b0, wBlue)),
            8);
        const __m512i luma1 = _mm512_srli_epi16(
            _mm512_add_epi16(
                _mm512_add_epi16(_mm512_mullo_epi16(r1, wRed), _mm512_mullo_epi16(g1, wGreen)),
                _mm512_mullo_epi16(b1, wBlue)),
            8);
        const __m512i y0 =
            _mm512_add_epi16(_mm512_srli_epi16(_mm512_mullo_epi16(luma0, scale), 8), sixteen);
        const __m512i y1 =
            _mm512_add_epi16(_mm512_srli_epi16(_mm512_mullo_epi16(luma1, scale), 8), sixteen);
        const __m512i lumaMean = _mm512_srli_epi16(_mm512_add_epi16(luma0, luma1), 1);
        const __m512i blueMean = _mm512_srli_epi16(_mm512_add_epi16(b0, b1), 1);
        const __m512i redMean = _mm512_srli_epi16(_mm512_add_epi16(r0, r1), 1);
        const __m512i cb = _mm512_add_epi16(
            _mm512_srai_epi16(_mm512_mullo_epi16(_mm512_sub_epi16(blueMean, lumaMean), kb), 8),
            half);
        const __m512i cr = _mm512_add_epi16(
            _mm512_srai_epi16(_mm512_mullo_epi16(_mm512_sub_epi16(redMean, lumaMean), kr), 8),
            half);
        const __m512i left = _mm512_or_si512(y0, _mm512_slli_epi16(cb, 8));
        const __m512i right = _mm512_or_si512(y1, _mm512_slli_epi16(cr, 8));
        // Per lane j: pairs 8j .. 8j + 3 in `first`, 8j + 4 .. 8j + 7 in `second`.
        const __m512i first = _mm512_unpacklo_epi16(left, right);
        const __m512i second = _mm512_unpackhi_epi16(left, right);
        uint8_t* out = ycbcr + static_cast<size_t>(x) * 2;
        _mm512_storeu_si512(out, _mm512_permutex2var_epi64(first, firstOrder, second));
        _mm512_storeu_si512(out + 64, _mm512_permutex2var_epi64(first, secondOrder, second));
    };
    const int x = RunPairBlocks<64>(width, block);
    if (x < width)
        EncodeRowAvx2(bgr + static_cast<size_t>(x) * 3, ycbcr + static_cast<size_t>(x) * 2,
                      width - x, set);
}

void DecodeRowAvx512(const uint8_t* ycbcr, uint8_t* bgr, int width, const CoefficientSet& set)
{
    const __m512i b0 = InterleaveMask(0, 0), g0 = InterleaveMask(0, 1), r0 = InterleaveMask(0, 2);
    const __m512i b1 = InterleaveMask(1, 0), g1 = InterleaveMask(1, 1), r1 = InterleaveMask(1, 2);
    const __m512i b2 = InterleaveMask(2, 0), g2 = InterleaveMask(2, 1), r2 = InterleaveMask(2, 2);
    // After the packs, lane j holds pixels 8j .. 8j + 7 and 32 + 8j .. 32 + 8j + 7.
    const __m512i pixelOrder = _mm512_setr_epi64(0, 2, 4, 6, 1, 3, 5, 7);
    // Output chunks: o0, o1, o2 per lane j give bytes 48j .. 48j + 47.
    const __m512i order01 = _mm512_setr_epi64(0, 1, 8, 9, 0, 0, 2, 3);  // o0.l0 o1.l0 _ o0.l1
    const __m512i order2 = _mm512_setr_epi64(0, 0, 0, 0, 0, 1, 0, 0);   // o2.l0 into qwords 4, 5
    const __m512i order12 = _mm512_setr_epi64(10, 11, 0, 0, 4, 5, 12, 13);  // o1.l1 _ o0.l2 o1.l2
    const __m512i order2b = _mm512_setr_epi64(0, 0, 2, 3, 0, 0, 0, 0);    // o2.l1 into qwords 2, 3
    const __m512i order20 = _mm512_setr_epi64(4, 5, 14, 15, 0, 0, 6, 7);  // o2.l2 o0.l3 _ o2.l3
    const __m512i order1 = _mm512_setr_epi64(0, 0, 0, 0, 6, 7, 0, 0);     // o1.l3 into qwords 4, 5
    // Blocks of 64 pixels; a row whose even part is not a multiple of that ends with one block
    // that overlaps the previous one (writing the same bytes again), and an odd last pixel
    // goes to the narrower path.
    auto block = [&](int x) {
        const uint8_t* p = ycbcr + static_cast<size_t>(x) * 2;
        __m512i blueA, greenA, redA, blueB, greenB, redB;
        DecodePairs(_mm512_loadu_si512(p), set, blueA, greenA, redA);
        DecodePairs(_mm512_loadu_si512(p + 64), set, blueB, greenB, redB);
        const __m512i blue =
            _mm512_permutexvar_epi64(pixelOrder, _mm512_packus_epi16(blueA, blueB));
        const __m512i green =
            _mm512_permutexvar_epi64(pixelOrder, _mm512_packus_epi16(greenA, greenB));
        const __m512i red = _mm512_permutexvar_epi64(pixelOrder, _mm512_packus_epi16(redA, redB));
        const __m512i o0 =
            _mm512_ternarylogic_epi32(_mm512_shuffle_epi8(blue, b0), _mm512_shuffle_epi8(green, g0),
                                      _mm512_shuffle_epi8(red, r0), 0xFE);
        const __m512i o1 =
            _mm512_ternarylogic_epi32(_mm512_shuffle_epi8(blue, b1), _mm512_shuffle_epi8(green, g1),
                                      _mm512_shuffle_epi8(red, r1), 0xFE);
        const __m512i o2 =
            _mm512_ternarylogic_epi32(_mm512_shuffle_epi8(blue, b2), _mm512_shuffle_epi8(green, g2),
                                      _mm512_shuffle_epi8(red, r2), 0xFE);
        uint8_t* out = bgr + static_cast<size_t>(x) * 3;
        const __m512i s0 = _mm512_mask_permutexvar_epi64(_mm512_permutex2var_epi64(o0, order01, o1),
                                                         0x30, order2, o2);
        const __m512i s1 = _mm512_mask_permutexvar_epi64(_mm512_permutex2var_epi64(o0, order12, o1),
                                                         0x0C, order2b, o2);
        const __m512i s2 = _mm512_mask_permutexvar_epi64(_mm512_permutex2var_epi64(o2, order20, o0),
                                                         0x30, order1, o1);
        _mm512_storeu_si512(out, s0);
        _mm512_storeu_si512(out + 64, s1);
        _mm512_storeu_si512(out + 128, s2);
    };
    const int x = RunPairBlocks<64>(width, block);
    if (x < width)
        DecodeRowAvx2(ycbcr + static_cast<size_t>(x) * 2, bgr + static_cast<size_t>(x) * 3,
                      width - x, set);
}
