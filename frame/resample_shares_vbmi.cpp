// The AVX-512 VBMI kernel of share plans (see kShareDenominatorLimit in kernels.h); the only file
// built with -mavx512vbmi for them. A block is 32 destination bytes ("outputs"): one two-table byte
// permute per sweep picks each output's two tap bytes from a 128-byte window of the source row,
// and the sums are whole numbers in 16- and 32-bit lanes.
#include <cstring>

#include "frame/kernels.h"

#include <immintrin.h>

// GCC 12's AVX-512 intrinsics start from deliberately undefined registers (_mm512_undefined_*),
// which -Wuninitialized reports at every call site.
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

namespace {

// The byte (N + D/2) >> shift of 16 sums N (D = 2^shift, at least 2), with the lanes where N + D/2
// is a multiple of D (the ties, N = D (k + 1/2)) in `ties`.
inline __m512i Rounded(__m512i n, __m512i half, __m512i lowBits, __m128i shift, __mmask16& ties)
{
    const __m512i y = _mm512_add_epi32(n, half);
    ties = _mm512_testn_epi32_mask(y, lowBits);
    return _mm512_srl_epi32(y, shift);
}

// The second comparison of ties left between −B and B: each with its own bound T = t1 (k + 1) +
// ⌈(Σ H + Σ V) 3/4⌉ + t0 (kernels.h), k + 1 the byte as rounded up. Lowers the bytes of the
// ties below −T and returns those still between −T and T.
inline __mmask16 Refine(__m512i& bytes, __m512i q, __m512i hPairs, __m512i vPairs, __mmask16 unsure,
                        const ShareTables& t)
{
    const __m512i ones = _mm512_set1_epi16(1);
    const __m512i sums =
        _mm512_add_epi32(_mm512_madd_epi16(hPairs, ones), _mm512_madd_epi16(vPairs, ones));
    // bytes × t1 as one word product (the bytes' high words are 0, t1 < 2^15), and the sums times
    // 3/4 rounded up, at least (1/2 + δ) of them (δ <= 1/4).
    const __m512i bound =
        _mm512_add_epi32(_mm512_add_epi32(_mm512_madd_epi16(bytes, _mm512_set1_epi32(t.tieSlope)),
                                          _mm512_sub_epi32(sums, _mm512_srli_epi32(sums, 2))),
                         _mm512_set1_epi32(t.tieBase));
    const __mmask16 down =
        _mm512_mask_cmple_epi32_mask(unsure, q, _mm512_sub_epi32(_mm512_setzero_si512(), bound));
    const __mmask16 up = _mm512_mask_cmpge_epi32_mask(unsure, q, bound);
    bytes = _mm512_mask_sub_epi32(bytes, down, bytes, _mm512_set1_epi32(1));
    return unsure & ~(down | up);
}

// Words: the 16-bit route (ShareTables::words), where N, the tie test, B' and the comparisons take
// one word lane per output instead of a dword lane.
template <bool Words>
int ShareRows(const ShareTables& t, const ShareRow& r)
{
    const __m512i zero = _mm512_setzero_si512();
    const __m512i one = _mm512_set1_epi32(1);
    const __m512i bPair =
        _mm512_set1_epi16(static_cast<int16_t>((r.b[0] & 0xFF) | ((r.b[1] & 0xFF) << 8)));
    const __m512i fPair = _mm512_set1_epi32(static_cast<int32_t>(
        (static_cast<uint32_t>(r.f[0]) & 0xFFFF) | (static_cast<uint32_t>(r.f[1]) << 16)));
    const __m512i bWords = _mm512_set1_epi32(static_cast<int32_t>(
        (static_cast<uint32_t>(r.b[0]) & 0xFFFF) | (static_cast<uint32_t>(r.b[1]) << 16)));
    const __m512i meanSlope = _mm512_set1_epi32(t.meanSlope);
    const __m512i tieBase = _mm512_set1_epi32(t.tieBase);
    const int d = t.denominator;
    int shift = 0;
    while ((2 << shift) <= d) ++shift;
    const __m512i half = _mm512_set1_epi32(d / 2), lowBits = _mm512_set1_epi32(d - 1);
    const __m128i shiftCount = _mm_cvtsi32_si128(shift);
    const __m512i b0Word = _mm512_set1_epi16(static_cast<int16_t>(r.b[0]));
    const __m512i b1Word = _mm512_set1_epi16(static_cast<int16_t>(r.b[1]));
    const __m512i halfWord = _mm512_set1_epi16(static_cast<int16_t>(d / 2));
    const __m512i lowBitsWord = _mm512_set1_epi16(static_cast<int16_t>(d - 1));
    const __m512i meanSlopeWord = _mm512_set1_epi16(static_cast<int16_t>(t.meanSlope));
    const __m512i tieBaseWord = _mm512_set1_epi16(static_cast<int16_t>(t.tieBase));
    const __m512i oneWord = _mm512_set1_epi16(1);
    int ambiguous = 0;

    // One block, its windows at row0 + at and row1 + at.
    const auto block = [&](int b, const uint8_t* row0, const uint8_t* row1, size_t at) {
        const __m512i index = _mm512_loadu_si512(t.index + 64 * static_cast<size_t>(b));
        const __m512i a = _mm512_loadu_si512(t.shares + 64 * static_cast<size_t>(b));
        // The tap bytes of both sweeps: (v_k0, v_k1) for each output, 8 outputs a lane.
        const __m512i p0 = _mm512_permutex2var_epi8(_mm512_loadu_si512(row0 + at), index,
                                                    _mm512_loadu_si512(row0 + at + 64));
        const __m512i p1 = _mm512_permutex2var_epi8(_mm512_loadu_si512(row1 + at), index,
                                                    _mm512_loadu_si512(row1 + at + 64));
        // H_k = a0 v_k0 + a1 v_k1 (at most 255 Dx: no saturation).
        const __m512i h0 = _mm512_maddubs_epi16(p0, a);
        const __m512i h1 = _mm512_maddubs_epi16(p1, a);
        // V_j = b0 v_0j + b1 v_1j as (V0, V1) word pairs: outputs 0-3 of each lane, then 4-7.
        const __m512i vLow = _mm512_maddubs_epi16(_mm512_unpacklo_epi8(p0, p1), bPair);
        const __m512i vHigh = _mm512_maddubs_epi16(_mm512_unpackhi_epi8(p0, p1), bPair);
        // Q̂ = F0 H0 + F1 H1 + Ψ0 V0 + Ψ1 V1, and N = b0 H0 + b1 H1.
        const int16_t* psi = t.tieWeights + 64 * static_cast<size_t>(b);
        const __m512i hLow = _mm512_unpacklo_epi16(h0, h1), hHigh = _mm512_unpackhi_epi16(h0, h1);
        const __m512i qLow = _mm512_add_epi32(_mm512_madd_epi16(hLow, fPair),
                                              _mm512_madd_epi16(vLow, _mm512_loadu_si512(psi)));
        const __m512i qHigh =
            _mm512_add_epi32(_mm512_madd_epi16(hHigh, fPair),
                             _mm512_madd_epi16(vHigh, _mm512_loadu_si512(psi + 32)));
        const int first = 32 * b;
        const int left = t.outputs - first;
        uint8_t* out = r.destination + first;
        __m512i words;   // the bytes, a word each in output order
        __mmask32 open;  // the ties still open, in output order
        if constexpr (Words) {
            const __m512i n =
                _mm512_add_epi16(_mm512_mullo_epi16(h0, b0Word), _mm512_mullo_epi16(h1, b1Word));
            const __m512i y = _mm512_add_epi16(n, halfWord);
            const __mmask32 ties = _mm512_testn_epi16_mask(y, lowBitsWord);
            words = _mm512_srl_epi16(y, shiftCount);
            // Q̂ packed with signed saturation: lane L's outputs 0-3 (low) before 4-7 (high).
            const __m512i q = _mm512_packs_epi32(qLow, qHigh);
            const __m512i bound =
                _mm512_add_epi16(_mm512_mullo_epi16(words, meanSlopeWord), tieBaseWord);
            const __mmask32 down =
                _mm512_mask_cmple_epi16_mask(ties, q, _mm512_sub_epi16(zero, bound));
            open = _mm512_mask_cmplt_epi16_mask(ties & ~down, q, bound);
            words = _mm512_mask_sub_epi16(words, down, words, oneWord);
            if (open != 0) [[unlikely]] {
                // In dword lanes for the second comparison, and back.
                __m512i low = _mm512_unpacklo_epi16(words, zero);
                __m512i high = _mm512_unpackhi_epi16(words, zero);
                const __m512i openWords = _mm512_movm_epi16(open);
                const __mmask16 openLow =
                    Refine(low, qLow, hLow, vLow,
                           _mm512_test_epi32_mask(_mm512_unpacklo_epi16(openWords, openWords),
                                                  _mm512_set1_epi32(-1)),
                           t);
                const __mmask16 openHigh =
                    Refine(high, qHigh, hHigh, vHigh,
                           _mm512_test_epi32_mask(_mm512_unpackhi_epi16(openWords, openWords),
                                                  _mm512_set1_epi32(-1)),
                           t);
                words = _mm512_packus_epi32(low, high);
                open = _mm512_movepi16_mask(_mm512_packs_epi32(
                    _mm512_maskz_set1_epi32(openLow, -1), _mm512_maskz_set1_epi32(openHigh, -1)));
            }
        } else {
            const __m512i nLow = _mm512_madd_epi16(hLow, bWords);
            const __m512i nHigh = _mm512_madd_epi16(hHigh, bWords);
            __mmask16 tiesLow, tiesHigh;
            __m512i low = Rounded(nLow, half, lowBits, shiftCount, tiesLow);
            __m512i high = Rounded(nHigh, half, lowBits, shiftCount, tiesHigh);
            // A tie rounds up unless Q̂ <= −B' (then down); between −B' and B' it is left open,
            // with B' = s1 (k + 1) + t0.
            const __m512i boundLow = _mm512_add_epi32(_mm512_madd_epi16(low, meanSlope), tieBase);
            const __m512i boundHigh = _mm512_add_epi32(_mm512_madd_epi16(high, meanSlope), tieBase);
            const __mmask16 downLow =
                _mm512_mask_cmple_epi32_mask(tiesLow, qLow, _mm512_sub_epi32(zero, boundLow));
            const __mmask16 downHigh =
                _mm512_mask_cmple_epi32_mask(tiesHigh, qHigh, _mm512_sub_epi32(zero, boundHigh));
            __mmask16 openLow = _mm512_mask_cmplt_epi32_mask(tiesLow & ~downLow, qLow, boundLow);
            __mmask16 openHigh =
                _mm512_mask_cmplt_epi32_mask(tiesHigh & ~downHigh, qHigh, boundHigh);
            low = _mm512_mask_sub_epi32(low, downLow, low, one);
            high = _mm512_mask_sub_epi32(high, downHigh, high, one);
            if ((openLow | openHigh) != 0) [[unlikely]] {
                openLow = Refine(low, qLow, hLow, vLow, openLow, t);
                openHigh = Refine(high, qHigh, hHigh, vHigh, openHigh, t);
            }
            // Lane L's outputs 0-3 (low) before 4-7 (high).
            words = _mm512_packus_epi32(low, high);
            open = _mm512_movepi16_mask(_mm512_packs_epi32(_mm512_maskz_set1_epi32(openLow, -1),
                                                           _mm512_maskz_set1_epi32(openHigh, -1)));
        }
        const __m256i bytes = _mm512_cvtepi16_epi8(words);
        if (left >= 32)
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), bytes);
        else
            _mm256_mask_storeu_epi8(out, (1u << left) - 1, bytes);
        // (Outputs past the row's end have shares 0, so N = 0: never a tie.)
        for (uint32_t bits = open; bits != 0; bits &= bits - 1)
            [[unlikely]] r.ambiguous[ambiguous++] = first + __builtin_ctz(bits);
    };

    for (int b = 0; b < t.insideBlocks; ++b) {
        const size_t at = static_cast<size_t>(t.windowStart[b]);
        // The next row's window, a line of each source row a block: blocks advance by at most
        // 64 bytes, so every line of the next rows arrives while this row is worked on.
        if (r.next[0] != nullptr) {
            _mm_prefetch(reinterpret_cast<const char*>(r.next[0] + at + 64), _MM_HINT_T0);
            _mm_prefetch(reinterpret_cast<const char*>(r.next[1] + at + 64), _MM_HINT_T0);
        }
        block(b, r.rows[0], r.rows[1], at);
    }
    if (t.insideBlocks < t.blocks) {
        const size_t bytes = t.sourceBytes;
        const size_t tailStart = bytes > kShareTailBytes ? bytes - kShareTailBytes : 0;
        alignas(64) uint8_t tails[2][2 * kShareTailBytes] = {};
        std::memcpy(tails[0], r.rows[0] + tailStart, bytes - tailStart);
        std::memcpy(tails[1], r.rows[1] + tailStart, bytes - tailStart);
        for (int b = t.insideBlocks; b < t.blocks; ++b)
            block(b, tails[0], tails[1], static_cast<size_t>(t.windowStart[b]) - tailStart);
    }
    return ambiguous;
}

}  // namespace

int ShareRowVbmi(const ShareTables& tables, const ShareRow& row)
{
    return tables.words ? ShareRows<true>(tables, row) : ShareRows<false>(tables, row);
}
