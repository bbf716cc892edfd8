// The AVX2 kernel of share plans (see kShareDenominatorLimit in kernels.h); the only file built
// with -mavx2 for them. A block is 16 destination bytes ("outputs"), 8 in each 128-bit lane; each
// lane's tap bytes come by byte shuffles from one or two 16-byte windows of the source row, and the
// sums are whole numbers in 16- and 32-bit lanes, as in resample_shares_vbmi.cpp.
#include <cstring>

#include "frame/kernels.h"

#include <immintrin.h>

namespace {

// The byte (N + D/2) >> shift of 8 sums N (D = 2^shift, at least 2), with the ties (N + D/2 a
// multiple of D, so N = D (k + 1/2)) as all-ones lanes.
inline __m256i Rounded(__m256i n, __m256i half, __m256i lowBits, __m128i shift, __m256i& ties)
{
    const __m256i y = _mm256_add_epi32(n, half);
    ties = _mm256_cmpeq_epi32(_mm256_and_si256(y, lowBits), _mm256_setzero_si256());
    return _mm256_srl_epi32(y, shift);
}

// RoundSumToByte's rounding without a branch (an open tie's sum lies a hair from k + 1/2, so a
// branch there is a coin toss): floor(s − 0.5) + 1, which is t + 1 exactly when s − t >= 0.5 (t
// the truncation); s − 0.5 is exact for s >= 0.5 (0.5 is a whole number of s's units in the last
// place below 2^52) and lies in [−0.5, 0) below it.
inline uint8_t ByteOfSum(__m128d s)
{
    const __m128d below = _mm_sub_sd(s, _mm_set_sd(0.5));
    return static_cast<uint8_t>(_mm_cvttsd_si32(
        _mm_add_sd(_mm_round_sd(below, below, _MM_FROUND_TO_NEG_INF), _mm_set_sd(1.0))));
}

// Two 16-byte windows, lane 0's at `low` and lane 1's at `high`.
inline __m256i LoadLanes(const uint8_t* low, const uint8_t* high)
{
    return _mm256_inserti128_si256(
        _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(low))),
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(high)), 1);
}

// The second comparison of ties left between −B and B (`unsure`, all-ones lanes): each with its
// own bound T = t1 (k + 1) + ⌈(Σ H + Σ V) 3/4⌉ + t0 (kernels.h), k + 1 the byte as rounded up.
// Lowers the bytes of the ties below −T and returns those still between −T and T.
inline __m256i Refine(__m256i& bytes, __m256i q, __m256i hPairs, __m256i vPairs, __m256i unsure,
                      const ShareTables& t)
{
    const __m256i ones = _mm256_set1_epi16(1);
    const __m256i sums =
        _mm256_add_epi32(_mm256_madd_epi16(hPairs, ones), _mm256_madd_epi16(vPairs, ones));
    // bytes × t1 as one word product (the bytes' high words are 0, t1 < 2^15), and the sums times
    // 3/4 rounded up, at least (1/2 + δ) of them (δ <= 1/4).
    const __m256i bound =
        _mm256_add_epi32(_mm256_add_epi32(_mm256_madd_epi16(bytes, _mm256_set1_epi32(t.tieSlope)),
                                          _mm256_sub_epi32(sums, _mm256_srli_epi32(sums, 2))),
                         _mm256_set1_epi32(t.tieBase));
    const __m256i down = _mm256_and_si256(
        unsure, _mm256_cmpgt_epi32(_mm256_sub_epi32(_mm256_set1_epi32(1), bound), q));  // q <= −T
    const __m256i up = _mm256_and_si256(
        unsure, _mm256_cmpgt_epi32(q, _mm256_sub_epi32(bound, _mm256_set1_epi32(1))));  // q >= T
    bytes = _mm256_add_epi32(bytes, down);
    return _mm256_andnot_si256(_mm256_or_si256(down, up), unsure);
}

// Words: the 16-bit route (ShareTables::words), where N, the tie test, B' and the comparisons take
// one word lane per output instead of a dword lane.
template <bool Wide, bool Words>
int ShareRows(const ShareTables& t, const ShareRow& r)
{
    const __m256i bPair =
        _mm256_set1_epi16(static_cast<int16_t>((r.b[0] & 0xFF) | ((r.b[1] & 0xFF) << 8)));
    const __m256i fPair = _mm256_set1_epi32(static_cast<int32_t>(
        (static_cast<uint32_t>(r.f[0]) & 0xFFFF) | (static_cast<uint32_t>(r.f[1]) << 16)));
    const __m256i bWords = _mm256_set1_epi32(static_cast<int32_t>(
        (static_cast<uint32_t>(r.b[0]) & 0xFFFF) | (static_cast<uint32_t>(r.b[1]) << 16)));
    const __m256i meanSlope = _mm256_set1_epi32(t.meanSlope);
    const __m256i tieBase = _mm256_set1_epi32(t.tieBase);
    const __m256i one = _mm256_set1_epi32(1);
    const int d = t.denominator;
    int shift = 0;
    while ((2 << shift) <= d) ++shift;
    const __m256i half = _mm256_set1_epi32(d / 2), lowBits = _mm256_set1_epi32(d - 1);
    const __m256i b0Word = _mm256_set1_epi16(static_cast<int16_t>(r.b[0]));
    const __m256i b1Word = _mm256_set1_epi16(static_cast<int16_t>(r.b[1]));
    const __m256i halfWord = _mm256_set1_epi16(static_cast<int16_t>(d / 2));
    const __m256i lowBitsWord = _mm256_set1_epi16(static_cast<int16_t>(d - 1));
    const __m128i shiftCount = _mm_cvtsi32_si128(shift);
    const __m256i meanSlopeWord = _mm256_set1_epi16(static_cast<int16_t>(t.meanSlope));
    const __m256i tieBaseWord = _mm256_set1_epi16(static_cast<int16_t>(t.tieBase));
    const __m256i oneWord = _mm256_set1_epi16(1);
    int ambiguous = 0;

    // One block, lane 0's windows at row0 + at0 and row1 + at0, lane 1's at + at1.
    const auto block = [&](int b, const uint8_t* row0, const uint8_t* row1, size_t at0,
                           size_t at1) {
        const uint8_t* index = t.index + 64 * static_cast<size_t>(b);
        const __m256i pick = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(index));
        __m256i p0 = _mm256_shuffle_epi8(LoadLanes(row0 + at0, row0 + at1), pick);
        __m256i p1 = _mm256_shuffle_epi8(LoadLanes(row1 + at0, row1 + at1), pick);
        if constexpr (Wide) {
            const __m256i pickNext =
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(index + 32));
            p0 = _mm256_or_si256(
                p0, _mm256_shuffle_epi8(LoadLanes(row0 + at0 + 16, row0 + at1 + 16), pickNext));
            p1 = _mm256_or_si256(
                p1, _mm256_shuffle_epi8(LoadLanes(row1 + at0 + 16, row1 + at1 + 16), pickNext));
        }
        const __m256i a = _mm256_loadu_si256(
            reinterpret_cast<const __m256i*>(t.shares + 32 * static_cast<size_t>(b)));
        const __m256i h0 = _mm256_maddubs_epi16(p0, a);
        const __m256i h1 = _mm256_maddubs_epi16(p1, a);
        const __m256i vLow = _mm256_maddubs_epi16(_mm256_unpacklo_epi8(p0, p1), bPair);
        const __m256i vHigh = _mm256_maddubs_epi16(_mm256_unpackhi_epi8(p0, p1), bPair);
        // Q̂ = F0 H0 + F1 H1 + Ψ0 V0 + Ψ1 V1, and N = b0 H0 + b1 H1.
        const int16_t* psi = t.tieWeights + 32 * static_cast<size_t>(b);
        const __m256i hLow = _mm256_unpacklo_epi16(h0, h1), hHigh = _mm256_unpackhi_epi16(h0, h1);
        const __m256i qLow = _mm256_add_epi32(
            _mm256_madd_epi16(hLow, fPair),
            _mm256_madd_epi16(vLow, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(psi))));
        const __m256i qHigh = _mm256_add_epi32(
            _mm256_madd_epi16(hHigh, fPair),
            _mm256_madd_epi16(vHigh,
                              _mm256_loadu_si256(reinterpret_cast<const __m256i*>(psi + 16))));
        const int first = 16 * b;
        const int left = t.outputs - first;
        uint8_t* out = r.destination + first;
        __m256i words, open;  // the bytes and the ties still open, a word each in output order
        if constexpr (Words) {
            const __m256i n =
                _mm256_add_epi16(_mm256_mullo_epi16(h0, b0Word), _mm256_mullo_epi16(h1, b1Word));
            const __m256i y = _mm256_add_epi16(n, halfWord);
            const __m256i ties =
                _mm256_cmpeq_epi16(_mm256_and_si256(y, lowBitsWord), _mm256_setzero_si256());
            words = _mm256_srl_epi16(y, shiftCount);
            // Q̂ packed with signed saturation: lane L's outputs 0-3 (low) before 4-7 (high).
            const __m256i q = _mm256_packs_epi32(qLow, qHigh);
            const __m256i bound =
                _mm256_add_epi16(_mm256_mullo_epi16(words, meanSlopeWord), tieBaseWord);
            const __m256i down = _mm256_and_si256(
                ties, _mm256_cmpgt_epi16(_mm256_sub_epi16(oneWord, bound), q));  // q <= −B'
            // (A q saturated at −2^15 is down: the absolute value's wrap does not matter.)
            open = _mm256_andnot_si256(
                down, _mm256_and_si256(ties, _mm256_cmpgt_epi16(bound, _mm256_abs_epi16(q))));
            words = _mm256_add_epi16(words, down);
            if (!_mm256_testz_si256(open, open)) [[unlikely]] {
                const __m256i zero = _mm256_setzero_si256();
                __m256i low = _mm256_unpacklo_epi16(words, zero);
                __m256i high = _mm256_unpackhi_epi16(words, zero);
                const __m256i openLow =
                    Refine(low, qLow, hLow, vLow, _mm256_unpacklo_epi16(open, open), t);
                const __m256i openHigh =
                    Refine(high, qHigh, hHigh, vHigh, _mm256_unpackhi_epi16(open, open), t);
                words = _mm256_packus_epi32(low, high);
                open = _mm256_packs_epi32(openLow, openHigh);
            }
        } else {
            const __m256i nLow = _mm256_madd_epi16(hLow, bWords);
            const __m256i nHigh = _mm256_madd_epi16(hHigh, bWords);
            __m256i tiesLow, tiesHigh;
            __m256i low = Rounded(nLow, half, lowBits, shiftCount, tiesLow);
            __m256i high = Rounded(nHigh, half, lowBits, shiftCount, tiesHigh);
            // A tie rounds up unless Q̂ <= −B' (then down, adding the all-ones lane); between −B'
            // and B' it is left open, with B' = s1 (k + 1) + t0.
            const __m256i boundLow = _mm256_add_epi32(_mm256_madd_epi16(low, meanSlope), tieBase);
            const __m256i boundHigh = _mm256_add_epi32(_mm256_madd_epi16(high, meanSlope), tieBase);
            const __m256i downLow = _mm256_and_si256(
                tiesLow, _mm256_cmpgt_epi32(_mm256_sub_epi32(one, boundLow), qLow));  // q <= −B'
            const __m256i downHigh = _mm256_and_si256(
                tiesHigh, _mm256_cmpgt_epi32(_mm256_sub_epi32(one, boundHigh), qHigh));
            __m256i openLow = _mm256_andnot_si256(
                downLow, _mm256_and_si256(tiesLow, _mm256_cmpgt_epi32(boundLow, qLow)));
            __m256i openHigh = _mm256_andnot_si256(
                downHigh, _mm256_and_si256(tiesHigh, _mm256_cmpgt_epi32(boundHigh, qHigh)));
            low = _mm256_add_epi32(low, downLow);
            high = _mm256_add_epi32(high, downHigh);
            if (!_mm256_testz_si256(_mm256_or_si256(openLow, openHigh),
                                    _mm256_or_si256(openLow, openHigh))) [[unlikely]] {
                openLow = Refine(low, qLow, hLow, vLow, openLow, t);
                openHigh = Refine(high, qHigh, hHigh, vHigh, openHigh, t);
            }
            // Lane L's outputs 0-3 (low) before 4-7 (high).
            words = _mm256_packus_epi32(low, high);
            open = _mm256_packs_epi32(openLow, openHigh);
        }
        // The two lanes' eight bytes side by side.
        const __m128i bytes = _mm256_castsi256_si128(
            _mm256_permute4x64_epi64(_mm256_packus_epi16(words, words), 0x08));
        if (left >= 16) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out), bytes);
        } else {
            alignas(16) uint8_t last[16];
            _mm_store_si128(reinterpret_cast<__m128i*>(last), bytes);
            std::memcpy(out, last, static_cast<size_t>(left));
        }
        // (Outputs past the row's end have shares 0, so N = 0: never a tie.)
        const int unsure = _mm256_movemask_epi8(open);
        if (unsure != 0) [[unlikely]] {
            // Word i of the 16 (two mask bits each) holds output i.
            for (int bits = unsure & 0x55555555; bits != 0; bits &= bits - 1)
                r.ambiguous[ambiguous++] = first + __builtin_ctz(bits) / 2;
        }
    };

    for (int b = 0; b < t.insideBlocks; ++b) {
        const size_t at0 = static_cast<size_t>(t.windowStart[2 * b]);
        // The next row's bytes, a line of each source row every other block (blocks advance by
        // at most 32 bytes), fetched into the caches while this row is worked on.
        if (r.next[0] != nullptr && (b & 1) == 0) {
            _mm_prefetch(reinterpret_cast<const char*>(r.next[0] + at0 + 64), _MM_HINT_T0);
            _mm_prefetch(reinterpret_cast<const char*>(r.next[1] + at0 + 64), _MM_HINT_T0);
        }
        block(b, r.rows[0], r.rows[1], at0, static_cast<size_t>(t.windowStart[2 * b + 1]));
    }
    if (t.insideBlocks < t.blocks) {
        const size_t bytes = t.sourceBytes;
        const size_t tailStart = bytes > kShareTailBytes ? bytes - kShareTailBytes : 0;
        alignas(32) uint8_t tails[2][2 * kShareTailBytes] = {};
        std::memcpy(tails[0], r.rows[0] + tailStart, bytes - tailStart);
        std::memcpy(tails[1], r.rows[1] + tailStart, bytes - tailStart);
        for (int b = t.insideBlocks; b < t.blocks; ++b)
            block(b, tails[0], tails[1], static_cast<size_t>(t.windowStart[2 * b]) - tailStart,
                  static_cast<size_t>(t.windowStart[2 * b + 1]) - tailStart);
    }
    return ambiguous;
}

}  // namespace

int ShareRowAvx2(const ShareTables& tables, const ShareRow& row)
{
    if (tables.words)
        return tables.wideWindows ? ShareRows<true, true>(tables, row)
                                  : ShareRows<false, true>(tables, row);
    return tables.wideWindows ? ShareRows<true, false>(tables, row)
                              : ShareRows<false, false>(tables, row);
}

void ResolveShareTiesAvx2(const ShareTies& ties, const int32_t* outputs, int count, uint8_t* row)
{
    // The four terms of an output in the lanes (sweep 0 tap 0, sweep 0 tap 1, sweep 1 tap 0,
    // sweep 1 tap 1): each lane's product, quotient and multiply round exactly as the reference's
    // scalar steps; the sum then adds them in that order.
    const __m256d hy = _mm256_setr_pd(ties.hy[0], ties.hy[0], ties.hy[1], ties.hy[1]);
    const __m256d scale = _mm256_set1_pd(4000000.0);
    const __m256d e = _mm256_set1_pd(ties.e);
    for (int i = 0; i < count; ++i) {
        const int o = outputs[i];
        const int dx = o / 3, channel = o - 3 * dx;
        const __m256d wx =
            _mm256_broadcast_pd(reinterpret_cast<const __m128d*>(ties.overlaps + 2 * dx));
        const __m256d weight = _mm256_div_pd(_mm256_mul_pd(_mm256_mul_pd(wx, hy), scale), e);
        const size_t at0 = 3 * static_cast<size_t>(ties.columns[2 * dx]) + channel;
        const size_t at1 = 3 * static_cast<size_t>(ties.columns[2 * dx + 1]) + channel;
        const __m256d value = _mm256_cvtepi32_pd(_mm_setr_epi32(
            ties.rows[0][at0], ties.rows[0][at1], ties.rows[1][at0], ties.rows[1][at1]));
        const __m256d term = _mm256_mul_pd(value, weight);
        const __m128d first = _mm256_castpd256_pd128(term), second = _mm256_extractf128_pd(term, 1);
        __m128d sum = _mm_add_sd(first, _mm_unpackhi_pd(first, first));
        sum = _mm_add_sd(sum, second);
        sum = _mm_add_sd(sum, _mm_unpackhi_pd(second, second));
        row[o] = ByteOfSum(sum);
    }
}
