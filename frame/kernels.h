// Internal to frame/: the coefficient sets, the scalar reference kernels and the hooks through
// which the faster variants are chosen. Tests include this header to call the references directly.
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

// Runs `block(x)` over the pairs of a row in blocks of Pixels pixels. A row whose even part is not
// a whole number of blocks gets one more block ending at its last pair, overlapping the one before
// (pairs are independent, so writing one twice gives the same bytes). Returns the first pixel left
// to a narrower kernel: the odd last pixel, or the whole row when it is shorter than one block.
template <int Pixels, typename Block>
inline int RunPairBlocks(int width, Block&& block)
{
    const int even = width & ~1;
    if (even < Pixels) return 0;
    int x = 0;
    for (; x + Pixels <= even; x += Pixels) block(x);
    if (x < even) block(even - Pixels);
    return even;
}

void EncodeRowScalar(const uint8_t* bgr, uint8_t* ycbcr, int width, const CoefficientSet& set);
void DecodeRowScalar(const uint8_t* ycbcr, uint8_t* bgr, int width, const CoefficientSet& set);
void EncodeRowAvx2(const uint8_t* bgr, uint8_t* ycbcr, int width, const CoefficientSet& set);
void DecodeRowAvx2(const uint8_t* ycbcr, uint8_t* bgr, int width, const CoefficientSet& set);
void EncodeRowAvx512(const uint8_t* bgr, uint8_t* ycbcr, int width, const CoefficientSet& set);
void DecodeRowAvx512(const uint8_t* ycbcr, uint8_t* bgr, int width, const CoefficientSet& set);

// Whole-frame scalar references: one thread, plain loops over the pixels.
void EncodeFrameScalar(const uint8_t* source, uint8_t* destination, int height, int width, bool hd);
void DecodeFrameScalar(const uint8_t* source, uint8_t* destination, int height, int width);

// The byte of a resampler sum s (0 <= s < 256): t = s truncated toward zero, t + 1 when s − t >=
// 0.5, that is rounding to nearest with halves up. s − t is exact, so the byte changes exactly
// at s = k + 0.5.
inline uint8_t RoundSumToByte(double s)
{
    double t = static_cast<double>(static_cast<long long>(s));
    if (s - t >= 0.5) t += 1.0;
    return static_cast<uint8_t>(static_cast<int>(t));
}

// The weight rows divide by E half through the divider and half through the reciprocal (the two
// run side by side: a row of vectors alternating between them is made in about 6 cycles a vector
// where the divider alone takes 8), the reciprocal's quotient rounded exactly as the division
// rounds it. For x > 0 (or x = 0), Q = x ÷ e and y = 1 ÷ e rounded to nearest:
//   q0 = x × y;  r = x − q0 × e (fused);  q = r × y + q0 (fused);  t = r × y + (q0 − q) (fused);
//   q is taken when (t × c) + q (fused, c = kQuotientCheckFactor) rounds back to q, and a lane
//   that does not is divided instead.
// Why q is then Q rounded to nearest, with u = the unit in the last place of Q:
//  - |e y − 1| <= 2^-53, so |x y − Q| < u and |Q − q0| < 2u; r is x − q0 e to within a relative
//    2^-53 (exactly, when q0 is faithful); so V = q0 + r y lies within u × 2^-50 of Q.
//  - q0 − q is exact (the two are within a factor of two), so t is V − q rounded once.
//  - t × c + q rounding to q means |t × c| is at most h, the half spacing of the doubles next to q
//    on t's side (h >= u / 4). Then |V − q| <= h (1 + 2^-52) ÷ c and |Q − q| < h − h × 2^-31 +
//    u × 2^-50 < h: Q lies strictly nearer q than the midpoint, ties included, so q is Q rounded.
//  - A lane that fails the test (Q within about 2^-30 of a spacing from a midpoint, in practice
//    never) gets the division itself. x = 0 gives q0 = r = q = t = 0 and passes.
// simd_identity_test checks the quotients against the division on every weight of many plans and on
// quotients placed next to midpoints.
inline constexpr double kQuotientCheckFactor = 1.0 + 1.0 / (1 << 30);

// The plain area-averaging loop: fills the caller's packed destination (destinationWidth ×
// destinationHeight × 3 bytes) from the padded source. Writes no trace line. Returns 1 when the
// row accumulator cannot be allocated, 0 otherwise.
int ResampleAreaScalar(const uint8_t* source, int sourceHeight, int sourceWidth,
                       uint8_t* destination, int destinationHeight, int destinationWidth);

// The level in force (CPU features capped by SetKernelLevel), as an integer 0..2.
int KernelLevelInForce();
// Threads a call may use for `work` units (about one per pixel touched): 1 for small jobs.
int ThreadsFor(size_t work);
// Runs body(context, band, participant) once for every band 0..bands-1 on up to `threads` threads,
// the calling thread among them, and returns when all have finished. Bands are handed out in
// order to whichever thread asks first; participant (0 .. threads-1) names the thread that runs
// a band, for per-thread scratch.
using BandFn = void (*)(void* context, int band, int participant);
void RunBands(int bands, int threads, BandFn body, void* context);

// The fast resampler works on a plan made once per call: for every destination column the source
// columns it covers ("taps", the same in every source-row sweep) and their horizontal overlaps wx,
// padded to one tap count for all columns with overlap 0 (a zero weight adds +0.0 and changes no
// sum); and for every destination row its sweeps (source row and vertical overlap hy), exactly as
// the sequential loop meets them. Source rows are first repacked as one 32-bit word per pixel
// (blue | green << 8 | red << 16), or, for the two-tap kernels (scaling up), split into planes
// of doubles. The generic kernels work on blocks of `lanes` destination columns (16 for AVX-512,
// 8 for AVX2); a block's taps read a window of the packed row that starts at the block's first
// source column, through register permutes when the window is short, through gathers otherwise.
enum BlockWindow : uint8_t {
    kWindowOne = 0,     // every tap of the block lies within `lanes` pixels of its base
    kWindowTwo = 1,     // within 2 × lanes pixels
    kWindowFour = 2,    // within 4 × lanes pixels
    kWindowGather = 3,  // further apart: gathered from the packed row
    kWindowEvenOdd = 4  // AVX2 only: two taps, at pixels 2i and 2i + 1 of the base for column i
};
// Packed rows carry this many zero words after their last pixel, so windows may overrun.
inline constexpr int kPackedRowSlack = 64;

struct SweepGroup {
    const int32_t* tapColumn;      // [taps][paddedWidth]: source column sx of each tap
    const int32_t* tapRelative;    // [taps][paddedWidth]: sx − the block's base column
    const int32_t* blockBase;      // [paddedWidth / lanes]: first source column of each block
    const uint8_t* blockWindow;    // [paddedWidth / lanes]: a BlockWindow
    const double* const* weights;  // per sweep: [taps][paddedWidth], ((wx × hy) × 4000000) ÷ E
    const void* const* rows;       // per sweep: its packed source row (or its three planes)
    size_t planeLength;            // planes kernels: doubles from one plane to the next
    int sweeps;
    int taps;
    int paddedWidth;       // destination width rounded up to a multiple of 16
    int width;             // destination width
    double* accumulator;   // [3][paddedWidth] blue, green, red sums carried between groups
    bool first;            // the sums start at 0 (else they are loaded from the accumulator)
    bool last;             // round and write the destination row (else store the accumulator)
    uint8_t* destination;  // the packed destination row, width × 3 bytes
    // Source bytes the next group will read, fetched into the caches while this one computes
    // (spread over its blocks), so that reading memory overlaps the arithmetic.
    const uint8_t* prefetch;
    size_t prefetchBytes;

    // Two-tap kernels only (see ResampleTwoTapAvx512).
    const int64_t* tapIndex;  // [2][paddedWidth]: where each tap lies in its block's window
    bool near;                // every block's taps lie within `lanes` values of its base
    size_t sourceBytes;       // bytes of a source row's pixels (the VBMI kernel's windows)
    // Tie-free plans (kTieFreeLimit) only: the cell fractions of the taps, [2][paddedWidth], and
    // of this group's sweeps; the weights are then not used.
    const double* tapFractions;
    const double* sweepFractions;
    // Single-precision tie-free plans: the same as floats, and the taps' places in their block's
    // window of `lanes` values (tapIndex32, [2][paddedWidth]).
    const float* tapFractions32;
    const float* sweepFractions32;
    const int32_t* tapIndex32;
};

// Fetches the part of the group's prefetch range that belongs to block `dx` of `paddedWidth`.
static inline void PrefetchShare(const SweepGroup& group, int dx, int blockWidth)
{
    if (group.prefetchBytes == 0) return;
    const size_t blocks = static_cast<size_t>(group.paddedWidth / blockWidth);
    const size_t share = (group.prefetchBytes + blocks - 1) / blocks;
    const size_t begin = share * static_cast<size_t>(dx / blockWidth);
    const size_t end = begin + share < group.prefetchBytes ? begin + share : group.prefetchBytes;
    for (size_t at = begin; at < end; at += 64) __builtin_prefetch(group.prefetch + at, 0, 3);
}
using SweepGroupFn = void (*)(const SweepGroup& group);
// weights[i] = ((overlap[i] × hy) × 4000000) ÷ e for i < count (count a multiple of 16).
using WeightRowFn = void (*)(const double* overlap, double hy, double e, double* weights,
                             size_t count);
// Repacks `width` pixels of a BgrRaster row into 32-bit words; reads only the pixel bytes and
// writes `width` rounded up to a multiple of 16 words.
using PackRowFn = void (*)(const uint8_t* bgr, int width, int32_t* packed);

// Rows split into three planes of doubles (blue, green, red, planeLength apart, each with
// kPackedRowSlack zeros after the width rounded up to 16) save the conversions when a source
// pixel serves several destination pixels (scaling up); the two-tap kernels read them.
using SplitRowFn = void (*)(const uint8_t* bgr, int width, double* planes, size_t planeLength);
void SplitRowAvx512(const uint8_t* bgr, int width, double* planes, size_t planeLength);

// Two-tap kernels, for at most two source columns per destination column (scaling up), over
// planes of doubles, with the weight rows of the generic kernels; `taps` is 1 or 2. Blocks of
// 8 columns (AVX-512) or 4 (AVX2) have all their taps within 2 × that many pixels of the base;
// tapIndex holds, per lane, the tap's offset from the base (AVX-512: for vpermt2pd), or (AVX2) two
// 32-bit lane numbers 2r mod 8 and 2r + 1 mod 8 with the top bit set when r >= 4, so that the
// same word steers vpermd within either half of the window and the blend between them.
void ResampleTwoTapAvx512(const SweepGroup& group);
void ResampleTwoTapAvx2(const SweepGroup& group);
void SplitRowAvx2(const uint8_t* bgr, int width, double* planes, size_t planeLength);

// The copy path of the two-tap plans with one tap per column. A destination pixel with a single
// contribution has the sum p × W rounded, with p its source byte; when |W − 1| <= 2^-10 that sum
// lies within [p − 0.25, p + 0.25] (255 × 2^-10 < 0.25, and rounding keeps it there, both ends
// being doubles), so its byte is p. A row with one sweep and all its weights that near 1 is
// therefore its source pixels repeated: out[dx] = source[tapColumn[dx]]. Groups of five pixels
// each take a byte shuffle of the 16 bytes from their first source column (copyBase); groups
// whose load or store would pass the row's end are copied byte by byte.
inline constexpr double kCopyTolerance = 1.0 / 1024;
void CopyPixelsAvx2(const uint8_t* sourceRow, int sourceWidth, const int32_t* copyBase,
                    const uint8_t* copyShuffle, const int32_t* tapColumn, int width, uint8_t* out);

// Tie-free plans. Source cells cut destination cells into pieces whose share of the destination
// cell is n ÷ Dx across (Dx = sourceWidth ÷ gcd(sourceWidth, width)) and m ÷ Dy down, so every
// exact sum S = Σ value × share × share is N ÷ (Dx × Dy) for a whole N. When Dx × Dy is odd, S is
// never k + 1/2 and lies at least μ = 1 ÷ (2 Dx Dy) from every such boundary. The reference's
// double sum s differs from S by at most T × 1.5e-8 (T contributions; each weight is within
// 2^-52 × (width + height) + 2^-49 < 3e-11 of its exact share for sizes below 65536, from the
// rounded cell edges (each overlap within 3 × 2^-54), the two products and the quotient, so a
// value times it within 7.7e-9; each rounded product and add moves the sum by at most 2^-45),
// so for Dx × Dy at most kTieFreeLimit (μ >= 4.7e-7) and T at most kTieFreeContributions
// (T × 1.5e-8 <= 2.4e-7 < μ), s lies on the same side of every boundary as S, and its byte is S
// rounded to nearest. Any other sum nearer to S than μ gives that byte by plain rounding to
// nearest: the two-tap AVX-512 kernel computes such plans as Σ_sweeps (share down) × Σ_taps
// value × (share across), with fused steps and no weight rows, which is within 1e-12 of S.
inline constexpr long long kTieFreeLimit = 1 << 20;
inline constexpr int kTieFreeContributions = 16;
void ResampleTieFreeAvx512(const SweepGroup& group);

// Tie-free plans with Dx × Dy at most kTieFreeFloatLimit (μ >= 2.44e-4), at most two taps (their
// shares adding up to 1) and at most eight sweeps may sum in single precision (u = 2^-24), over
// planes of floats, 16 columns (AVX-512) or 8 (AVX2) at a time: each rounded share is within
// u of its share (a relative u), each rounded product, fused step and add within u of its
// result, so the horizontal sum of a sweep (at most 255) is within 3 × 255u of its exact value,
// and the whole sum within (3 × 255 + 255 + 8 × 255)u = 3060u = 1.83e-4 of S, less than μ, so
// rounding the float sum to nearest gives the reference's byte. Taps must lie within `lanes` values
// of their block's base (one window).
inline constexpr long long kTieFreeFloatLimit = 2048;
inline constexpr int kTieFreeFloatSweeps = 8;
void ResampleTieFreeFloatAvx512(const SweepGroup& group);
void ResampleTieFreeFloatAvx2(const SweepGroup& group);
using SplitRowFloatFn = void (*)(const uint8_t* bgr, int width, float* planes, size_t planeLength);
void SplitRowFloatAvx512(const uint8_t* bgr, int width, float* planes, size_t planeLength);
void SplitRowFloatAvx2(const uint8_t* bgr, int width, float* planes, size_t planeLength);

// The VBMI kernel (resample_avx512vbmi.cpp): blocks of 8 columns (blockBase per block), rows
// the source rows themselves, and tapIndex[tap][column] = VbmiTapIndex(tap's pixel − the block's
// base), which must be at most 20. Chosen at the AVX-512 level when the CPU has AVX-512 VBMI
// and AllowVbmiResampler has not been told otherwise (tests compare both kernels).
void ResampleSweepsVbmi(const SweepGroup& group);
uint64_t VbmiTapIndex(int relative);
inline constexpr int kVbmiReach = 20;
void AllowVbmiResampler(bool allow);
bool VbmiResamplerInForce();

void ResampleSweepsAvx2(const SweepGroup& group);
void ResampleSweepsAvx512(const SweepGroup& group);
void WeightRowAvx2(const double* overlap, double hy, double e, double* weights, size_t count);
void WeightRowAvx512(const double* overlap, double hy, double e, double* weights, size_t count);
void PackRowAvx2(const uint8_t* bgr, int width, int32_t* packed);
void PackRowAvx512(const uint8_t* bgr, int width, int32_t* packed);

// Share plans: the exact sum in whole numbers, and ties settled by the rounding's first-order
// terms. They serve plans whose cell denominators Dx = sourceWidth ÷ gcd(sourceWidth, width) and Dy
// (likewise down) are powers of two from 2 to kShareDenominatorLimit, with at most two taps across
// and two sweeps down (enlarging, or reducing by D ÷ (D − 1): by two, 4/3, 8/7, ...). Tap j of a
// column then covers a_j ÷ Dx of it and sweep k of a row b_k ÷ Dy of it (a, b whole, adding up to
// Dx and Dy), so with v_kj the tap's byte in the sweep's row, the exact mean is S = N ÷ D,
// N = Σ_k b_k H_k, H_k = Σ_j a_j v_kj, D = Dx Dy (at most 4096: N below 2^20, H_k below 2^15).
//
// What the reference's double sum s is. Write u = 2^-53, X_j = width × wx_j = a_j ÷ Dx + ψ_j and
// Y_k = height × hy_k = b_k ÷ Dy + φ_k (ψ and φ: the rounding of the cell edges, exact reals of
// the plan's doubles), and C = 4000000 ÷ (width × height × E) = 1 + κ (E's own rounding). A weight
// is W = X_j Y_k C (1 + γ), |γ| <= (1 + u)^3 − 1 (two products and a quotient, each rounded once);
// each v × W rounds once, and a term passes at most T − 1 rounded adds (T <= 4 terms; the first
// add, to 0, is exact), so s = Σ v X Y C (1 + θ_i) with |θ_i| <= θ = (1 + u)^7 − 1. Expanding,
//   s − S = Q + r,   Q = Σ_k (φ_k + κ b_k ÷ Dy) H_k ÷ Dx + Σ_j ψ_j V_j ÷ Dy,   V_j = Σ_k b_k v_kj,
//   |r| <= θ (1 + |κ|) S + ρ,   ρ = θ (1 + |κ|) (510 (Φ + Ψ) + 1020 Φ Ψ) + |κ| 510 (Φ + Ψ)
//                                    + (1 + |κ|) 1020 Φ Ψ,
// Φ and Ψ the largest |φ| and |ψ| (r gathers θ's terms, κ times the edge terms and the products of
// two edge terms; Σ_k H_k ÷ Dx <= 510, Σ_j V_j ÷ Dy <= 510). For 1920 × 1080 sizes Φ and Ψ are
// near 2^-43, and θ S is near 2^-45 S.
//  - Away from ties (N ≢ D/2 mod D) S lies at least 1 ÷ D from every k + 1/2, and the plan is only
//    made when 510 (Φ' + Ψ) + 255 θ (1 + |κ|) + ρ is below a quarter of that (Φ' the largest
//    |φ_k + κ b_k ÷ Dy|): the byte is S rounded to nearest, (N + D/2) >> log2 D.
//  - At a tie, S = k + 1/2 and the reference gives k + 1 exactly when s >= S, that is Q + r >= 0.
//    The kernels compute Q̂ = Σ_k F_k H_k + Σ_j Ψ_j V_j in 32-bit integers, with per-sweep
//    F_k = round((φ_k + κ b_k ÷ Dy) ÷ (Dx σ)) and per-column Ψ_j = round(ψ_j ÷ (Dy σ)), σ a power
//    of two (both fit 16 bits); each is within 1/2 + δ of its exact value (δ <= 1/4 the error of
//    making it, see MakeShareTerms), and a missing tap's or sweep's is exactly 0, so
//    |σ Q̂ − Q| <= σ (1/2 + δ) (Σ_k H_k + Σ_j V_j).
//    A sample's bound, in units of σ: T = t1 (k + 1) + ⌈(Σ_k H_k + Σ_j V_j) 3/4⌉ + t0, with
//    t1 >= θ (1 + |κ|) ÷ σ (below 2^15) and t0 >= ρ ÷ σ + 1, so σ T > |r| + |σ Q̂ − Q| (S < k + 1,
//    3/4 >= 1/2 + δ). Then Q̂ >= T gives s > S, byte k + 1, and Q̂ <= −T gives s < S, byte k.
//    The kernels first compare with B' = s1 (k + 1) + t0 >= T, where s1 >= t1 + 3/2 D (1/a_min +
//    1/b_min) + 1 (Σ_k H_k <= 2N ÷ b_min and Σ_j V_j <= 2N ÷ a_min, a sweep or tap repeated with
//    share 0 included, and N < D (k + 1)); that settles nearly every tie, dark or bright, at the
//    cost of one word product. A block with ties left between −B' and B' compares those with their
//    own T; what is still between −T and T (a few in a thousand ties, where the edge terms nearly
//    cancel) is summed exactly as the reference sums it (ResolveShareTiesAvx2).
// simd_identity_test compares these plans with the reference on random pictures and on pictures
// made of ties.
inline constexpr int kShareDenominatorLimit = 64;
// Share plans are taken where they qualify unless told otherwise (tests and benchmarks compare
// both ways).
void AllowShareResampler(bool allow);
bool ShareResamplerAllowed();
// For tests: share plans with every tie coefficient 0, so that Q̂ = 0 leaves every tie open and
// each one is listed and summed exactly (a misplaced entry then shows on any picture).
void ResolveEveryShareTie(bool every);
bool EveryShareTieResolved();

// The tables of a share plan, for one kernel's blocks of destination bytes ("outputs", three per
// pixel). AVX-512 VBMI blocks are 32 outputs: four 128-bit lanes of 8, each output's two tap bytes
// picked from a 128-byte window of the source row at windowStart[block]. AVX2 blocks are 16
// outputs: two lanes of 8, each lane's tap bytes picked by a byte shuffle from one 16-byte window
// at windowStart[2 block + lane] (or two, the second 16 bytes on, when `wideWindows`).
struct ShareTables {
    const int32_t* windowStart;  // VBMI: [blocks]; AVX2: [blocks][2]
    const uint8_t* index;        // VBMI: [blocks][64]; AVX2: [blocks][2 windows][32] (0x80: none)
    const int8_t* shares;        // [blocks][2 × outputs of a block]: a0, a1 of each output
    // [blocks][2 × outputs of a block]: Ψ0, Ψ1 of the outputs 0-3 of every lane, then of 4-7.
    const int16_t* tieWeights;
    int blocks;
    int outputs;         // bytes of a destination row: width × 3
    size_t sourceBytes;  // bytes of a source row's pixels: the windows read no further
    int denominator;     // D
    int32_t tieSlope;    // t1
    int32_t tieBase;     // t0
    int32_t meanSlope;   // s1
    // D at most 128 and s1 × 256 + t0 below 2^15: N, the bytes and B' fit 16-bit lanes, and so
    // does Q̂ packed with signed saturation (which keeps every comparison with a bound below 2^15
    // as it was).
    bool words;
    bool wideWindows;  // AVX2: two windows a lane
    // The blocks before this one read their windows from the rows themselves; the windows of the
    // rest would pass the row's last pixel byte, and they read a zero-padded copy of its last
    // kShareTailBytes bytes (every such window starts within them).
    int insideBlocks;
};
inline constexpr int kShareTailBytes = 128;
// One destination row: the source rows of its sweeps (a row with one sweep repeats it, with b and
// f 0), each sweep's share b_k and tie coefficient F_k, and the source rows of the next row, which
// the kernel fetches into the caches while it works on this one.
struct ShareRow {
    const uint8_t* rows[2];
    const uint8_t* next[2];
    int b[2];
    int f[2];
    uint8_t* destination;
    // The outputs left to ResolveShareTiesAvx2: room for `outputs` entries.
    int32_t* ambiguous;
};
// Writes the row's bytes, listing the ambiguous ties instead; returns how many it listed.
using ShareRowFn = int (*)(const ShareTables& tables, const ShareRow& row);
int ShareRowVbmi(const ShareTables& tables, const ShareRow& row);
int ShareRowAvx2(const ShareTables& tables, const ShareRow& row);

// What ResolveShareTiesAvx2 needs of one destination row: per column its two source columns and
// overlaps wx (0 for a missing tap), the row's two source rows and overlaps hy (0 for a missing
// sweep), and E.
struct ShareTies {
    const int32_t* columns;  // [width][2]
    const double* overlaps;  // [width][2]
    const uint8_t* rows[2];
    double hy[2];
    double e;
};
// Sums each listed output as the reference does (sweeps in order, taps in order, value × ((wx ×
// hy) × 4000000 ÷ E) added to the sum; a missing tap or sweep adds +0.0, which changes no sum) and
// writes its byte. In resample_shares_avx2.cpp (share plans run at the AVX2 level or above).
void ResolveShareTiesAvx2(const ShareTies& ties, const int32_t* outputs, int count, uint8_t* row);
