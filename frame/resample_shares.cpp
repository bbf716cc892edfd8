// Share plans (see kShareDenominatorLimit in kernels.h): plans with at most two taps across and
// two sweeps down whose exact sums are whole numbers over a small denominator. The kernels work
// those out in integers and settle ties by the first-order terms of the reference's rounding; the
// few ties those terms leave open are summed here exactly as the reference sums them.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <numeric>
#include <vector>

#include "frame/frame.h"
#include "frame/kernels.h"
#include "frame/resample_plan.h"

namespace {

struct ShareTap {
    int share[2] = {0, 0};    // a_j, 0 for a missing tap
    double edge[2] = {0, 0};  // ψ_j (see SplitShare)
};

struct ShareSweep {
    int row = 0;
    double overlap = 0;  // hy
    int share = 0;       // b_k
    double edge = 0;     // φ_k + κ b_k ÷ Dy (see SplitShare)
    int tie = 0;         // F_k
};

struct CSharePlan {
    const uint8_t* source = nullptr;
    size_t stride = 0;
    int sourceHeight = 0, sourceWidth = 0, height = 0, width = 0;
    double e = 0;
    std::vector<ShareTap> taps;       // [width]
    std::vector<int32_t> tapColumns;  // [width][2]: source columns (a single tap repeats its own)
    std::vector<double> tapOverlaps;  // [width][2]: wx, 0 for a missing tap
    std::vector<int> firstSweep;      // [height + 1]
    std::vector<ShareSweep> sweeps;
    std::vector<int16_t> columnTie[2];  // [width]: Ψ_j
    uint8_t* destination = nullptr;
    // The kernel's tables.
    ShareRowFn kernel = nullptr;
    ShareTables tables{};
    std::vector<int32_t> windowStart;
    std::vector<uint8_t> index;
    std::vector<int8_t> shares;
    std::vector<int16_t> tieWeights;
};

// Walks both axes; false when a column has more than two taps or a row more than two sweeps.
bool WalkShares(CSharePlan& plan)
{
    bool fits = true;
    plan.taps.assign(static_cast<size_t>(plan.width), ShareTap{});
    plan.tapColumns.assign(static_cast<size_t>(plan.width) * 2, 0);
    plan.tapOverlaps.assign(static_cast<size_t>(plan.width) * 2, 0.0);
    WalkAxis(plan.sourceWidth, plan.width, [&](int dx, int k, int sx, double wx) {
        if (k >= 2) {
            fits = false;
            return;
        }
        const size_t at = 2 * static_cast<size_t>(dx);
        plan.tapColumns[at + k] = sx;
        plan.tapOverlaps[at + k] = wx;
        if (k == 0) plan.tapColumns[at + 1] = sx;
    });
    if (!fits) return false;
    plan.firstSweep.assign(static_cast<size_t>(plan.height) + 1, 0);
    plan.sweeps.clear();
    plan.sweeps.reserve(static_cast<size_t>(plan.height) * 2);
    WalkAxis(plan.sourceHeight, plan.height, [&](int dy, int k, int sy, double hy) {
        if (k >= 2) fits = false;
        if (k == 0) plan.firstSweep[static_cast<size_t>(dy)] = static_cast<int>(plan.sweeps.size());
        ShareSweep sweep;
        sweep.row = sy;
        sweep.overlap = hy;
        plan.sweeps.push_back(sweep);
    });
    plan.firstSweep[static_cast<size_t>(plan.height)] = static_cast<int>(plan.sweeps.size());
    return fits;
}

// x rounded to the nearest whole number (halves away from zero).
int RoundToInt(double x)
{
    return x >= 0 ? static_cast<int>(x + 0.5) : -static_cast<int>(-x + 0.5);
}

// 2^exponent for a normal double's exponent.
double PowerOfTwo(int exponent)
{
    const uint64_t bits = static_cast<uint64_t>(exponent + 1023) << 52;
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// The whole share n of overlap × count × denominator (a cell's share in units of 1 ÷ denominator)
// and the edge term count × overlap − n ÷ denominator; false when the overlap is no such share.
// With overlap = M × 2^e (M the 53-bit significand), P = M × count × denominator is exact in 128
// bits, n is P × 2^e rounded and R = P − n × 2^-e is exact, so the edge term R × 2^e ÷ denominator
// comes out within three roundings of a double (below 2^-88 for edges below 2^-37): far inside the
// 2^-61 that MakeShareTerms allows for.
bool SplitShare(double overlap, int count, int denominator, double inverse, int& n, double& edge)
{
    uint64_t bits;
    std::memcpy(&bits, &overlap, sizeof bits);
    const int biased = static_cast<int>(bits >> 52);  // sign 0: overlaps are positive
    if (biased == 0 || biased >= 1023) return false;  // not a normal number below 1
    const int shift = 1075 - biased;                  // overlap = M × 2^-shift
    if (shift > 100) return false;
    const __int128 p =
        static_cast<__int128>((bits & ((uint64_t{1} << 52) - 1)) | (uint64_t{1} << 52)) *
        (static_cast<int64_t>(count) * denominator);
    const __int128 rounded = (p + (static_cast<__int128>(1) << (shift - 1))) >> shift;
    if (rounded < 1 || rounded > denominator) return false;
    n = static_cast<int>(rounded);
    const __int128 rest = p - (rounded << shift);
    // |rest| × 2^-shift = |units − n| must be a small fraction (1/1024) of a unit.
    if ((rest < 0 ? -rest : rest) > (static_cast<__int128>(1) << shift) / 1024) return false;
    edge = static_cast<double>(rest) * PowerOfTwo(-shift) * inverse;
    return true;
}

// Settles the terms of kernels.h's share-plan proof for this plan (into plan.tables); false when
// it does not qualify.
bool MakeShareTerms(CSharePlan& plan)
{
    ShareTables& tables = plan.tables;
    const int dxDen = plan.sourceWidth / std::gcd(plan.sourceWidth, plan.width);
    const int dyDen = plan.sourceHeight / std::gcd(plan.sourceHeight, plan.height);
    if (dxDen > kShareDenominatorLimit || dyDen > kShareDenominatorLimit) return false;
    // Where a whole ratio leaves one tap a column (Dx = 1) or one sweep a row (Dy = 1), or no sum
    // can be a tie (D odd), the general plan's copy paths and tie-free kernels are faster; so they
    // are where D is no power of two (the bytes would need a division, measured 0-17 % slower).
    const int product = dxDen * dyDen;
    if (dxDen < 2 || dyDen < 2 || (product & (product - 1)) != 0) return false;
    if (plan.width >= 65536 || plan.height >= 65536 || plan.sourceWidth >= 65536 ||
        plan.sourceHeight >= 65536)
        return false;
    const long double kappa =
        4000000.0L / (static_cast<long double>(plan.width) * static_cast<long double>(plan.height) *
                      static_cast<long double>(plan.e)) -
        1.0L;
    // (κ, below 2^-48, is within 2^-63 of its value; as a double within 2^-100 more.)
    const double kappaDouble = static_cast<double>(kappa);
    const long double dxInverse = 1.0L / dxDen, dyInverse = 1.0L / dyDen;
    const double dxReciprocal = 1.0 / dxDen, dyReciprocal = 1.0 / dyDen;
    int smallestTap = dxDen, smallestSweep = dyDen;
    double psiMax = 0, phiMax = 0, phiTieMax = 0;
    for (size_t dx = 0; dx < plan.taps.size(); ++dx) {
        ShareTap& tap = plan.taps[dx];
        int total = 0;
        for (int j = 0; j < 2; ++j) {
            const double overlap = plan.tapOverlaps[2 * dx + j];
            if (overlap == 0.0) continue;
            if (!SplitShare(overlap, plan.width, dxDen, dxReciprocal, tap.share[j], tap.edge[j]))
                return false;
            total += tap.share[j];
            smallestTap = std::min(smallestTap, tap.share[j]);
            psiMax = std::max(psiMax, std::fabs(tap.edge[j]));
        }
        if (total != dxDen) return false;
    }
    for (int dy = 0; dy < plan.height; ++dy) {
        int total = 0;
        for (int i = plan.firstSweep[dy]; i < plan.firstSweep[dy + 1]; ++i) {
            ShareSweep& sweep = plan.sweeps[static_cast<size_t>(i)];
            double phi;
            if (!SplitShare(sweep.overlap, plan.height, dyDen, dyReciprocal, sweep.share, phi))
                return false;
            phiMax = std::max(phiMax, std::fabs(phi));
            sweep.edge = phi + kappaDouble * (sweep.share * dyReciprocal);
            phiTieMax = std::max(phiTieMax, std::fabs(sweep.edge));
            total += sweep.share;
            smallestSweep = std::min(smallestSweep, sweep.share);
        }
        if (total != dyDen) return false;
    }
    const int denominator = dxDen * dyDen;
    const long double u = std::ldexp(1.0L, -53);
    const long double theta = std::pow(1.0L + u, 7) - 1.0L;
    const long double absKappa = std::fabs(kappa);
    const long double edges = phiMax + psiMax;
    // |r| <= slope × S + rest (kernels.h).
    const long double slope = theta * (1 + absKappa);
    const long double rest = slope * (510 * edges + 1020 * phiMax * psiMax) +
                             absKappa * 510 * edges + (1 + absKappa) * 1020 * phiMax * psiMax;
    // Away from ties the sum must stay on the side of S: well inside 1 ÷ D.
    if (510 * (phiTieMax + psiMax) + slope * 255 + rest >= 0.25L / denominator) return false;
    // The unit σ: the finest power of two with the coefficients in 16 bits, the long-double error
    // of making them (the edge terms within 2^-61, κ's part included) at most 1/4 of a unit, and
    // every sum of Q̂ and the bound in 31 bits. Where D is at most 128, first the finest σ at
    // which B' fits 16-bit lanes as well (ShareTables::words): a coarser σ shrinks t1,
    // and the coefficients keep some 14 bits, far finer than the edge terms need.
    const long double largestSums = 510.0L * (dxDen + dyDen);
    const bool wordsPossible = denominator <= 128;
    for (int pass = wordsPossible ? 0 : 1; pass < 2; ++pass)
        for (int exponent = -100; exponent <= -20; ++exponent) {
            const long double sigma = std::ldexp(1.0L, exponent);
            const long double largestTie = phiTieMax / (dxDen * sigma) + 1;
            const long double largestColumn = psiMax / (dyDen * sigma) + 1;
            const long double delta =
                std::ldexp(1.0L, -61) / (std::min(dxDen, dyDen) * sigma) * 1.001L + 1e-12L;
            if (largestTie > 32000 || largestColumn > 32000 || delta > 0.25L) continue;
            const long double t1 = std::ceil(slope / sigma);
            const long double t0 = std::ceil(rest / sigma) + 1;
            // Σ H <= 2N ÷ b_min and Σ V <= 2N ÷ a_min (a sweep repeated with b = 0 included), and
            // N < D (k + 1): the sums' part of T is at most 3/2 D (1/a_min + 1/b_min) (k + 1).
            const long double s1 =
                t1 + std::ceil(1.5L * denominator * (1.0L / smallestTap + 1.0L / smallestSweep)) +
                1;
            const long double largestBound =
                std::max(t1 * 256 + std::ceil(largestSums * 3 / 4), s1 * 256) + t0;
            if (s1 >= 32768 ||
                largestTie * 510 * dxDen + largestColumn * 510 * dyDen + largestBound >=
                    2147483000.0L)
                continue;
            const bool words = wordsPossible && s1 * 256 + t0 < 32768;
            if (pass == 0 && !words) continue;
            tables.denominator = denominator;
            tables.tieSlope = static_cast<int32_t>(t1);
            tables.tieBase = static_cast<int32_t>(t0);
            tables.meanSlope = static_cast<int32_t>(s1);
            tables.words = words;
            const double tieScale = static_cast<double>(dxInverse / sigma);
            const double columnScale = static_cast<double>(dyInverse / sigma);
            const bool resolveEvery = EveryShareTieResolved();
            for (ShareSweep& sweep : plan.sweeps)
                sweep.tie = resolveEvery ? 0 : RoundToInt(sweep.edge * tieScale);
            for (int j = 0; j < 2; ++j) {
                plan.columnTie[j].resize(plan.taps.size());
                for (size_t dx = 0; dx < plan.taps.size(); ++dx)
                    plan.columnTie[j][dx] = static_cast<int16_t>(
                        resolveEvery ? 0 : RoundToInt(plan.taps[dx].edge[j] * columnScale));
            }
            return true;
        }
    return false;
}

// Output o of a destination row: its pixel's taps and channel.
struct OutputTaps {
    int column[2];
    int share[2];
    int16_t tie[2];
    int channel;
};

OutputTaps TapsOf(const CSharePlan& plan, int output)
{
    const ShareTap& tap = plan.taps[static_cast<size_t>(output / 3)];
    const int32_t* column = plan.tapColumns.data() + 2 * static_cast<size_t>(output / 3);
    return {{column[0], column[1]},
            {tap.share[0], tap.share[1]},
            {plan.columnTie[0][static_cast<size_t>(output / 3)],
             plan.columnTie[1][static_cast<size_t>(output / 3)]},
            output % 3};
}

// The tables of the kernels' blocks: `lanes` lanes of 8 outputs a block, each lane's tap bytes
// taken from a window of `reach` bytes starting at its first tap byte (one window for the whole
// block when `shared`). Returns false when some output's taps lie beyond the window.
bool MakeTables(CSharePlan& plan, int lanes, bool shared, int reach)
{
    const int outputs = plan.width * 3;
    const int blockOutputs = 8 * lanes;
    const int blocks = (outputs + blockOutputs - 1) / blockOutputs;
    const int starts = shared ? 1 : lanes;
    plan.windowStart.assign(static_cast<size_t>(blocks) * starts, 0);
    plan.index.assign(static_cast<size_t>(blocks) * 2 * blockOutputs * (shared ? 1 : 2),
                      shared ? 0 : 0x80);
    plan.shares.assign(static_cast<size_t>(blocks) * 2 * blockOutputs, 0);
    plan.tieWeights.assign(static_cast<size_t>(blocks) * 2 * blockOutputs, 0);
    bool wide = false;
    for (int block = 0; block < blocks; ++block) {
        for (int window = 0; window < starts; ++window) {
            const int first = block * blockOutputs + window * (blockOutputs / starts);
            const int end = std::min(outputs, first + blockOutputs / starts);
            int start = 3 * plan.sourceWidth;
            for (int o = first; o < end; ++o)
                start = std::min(start, 3 * TapsOf(plan, o).column[0] + o % 3);
            // (A lane past the row's end keeps the window of the one before it.)
            const size_t at = static_cast<size_t>(block) * starts + window;
            plan.windowStart[at] = first < end ? start : at > 0 ? plan.windowStart[at - 1] : 0;
        }
        for (int slot = 0; slot < blockOutputs; ++slot) {
            const int o = block * blockOutputs + slot;
            if (o >= outputs) break;
            const OutputTaps taps = TapsOf(plan, o);
            const int lane = slot / 8, inLane = slot % 8;
            const int start =
                plan.windowStart[static_cast<size_t>(block) * starts + (shared ? 0 : lane)];
            for (int j = 0; j < 2; ++j) {
                const int at = 3 * taps.column[j] + taps.channel - start;
                if (at < 0 || at >= reach) return false;
                const size_t pair = static_cast<size_t>(block) * 2 * blockOutputs + 2 * slot + j;
                plan.shares[pair] = static_cast<int8_t>(taps.share[j]);
                if (shared) {
                    plan.index[pair] = static_cast<uint8_t>(at);
                } else {
                    // Two windows of 16 bytes: the first 32 bytes of the block's entry pick from
                    // the first, the next 32 from the second.
                    const size_t base = static_cast<size_t>(block) * 4 * blockOutputs;
                    const size_t place = 16 * lane + 2 * inLane + j;
                    plan.index[base + (at < 16 ? 0 : 2 * blockOutputs) + place] =
                        static_cast<uint8_t>(at % 16);
                    wide |= at >= 16;
                }
                // Ψ words in the dword lanes' order: outputs 0-3 of each lane, then 4-7.
                const size_t word = static_cast<size_t>(block) * 2 * blockOutputs +
                                    (inLane < 4 ? 0 : blockOutputs) + 8 * lane + 2 * (inLane % 4) +
                                    j;
                plan.tieWeights[word] = taps.share[j] == 0 ? 0 : taps.tie[j];
            }
        }
    }
    plan.tables.windowStart = plan.windowStart.data();
    plan.tables.index = plan.index.data();
    plan.tables.shares = plan.shares.data();
    plan.tables.tieWeights = plan.tieWeights.data();
    plan.tables.blocks = blocks;
    plan.tables.outputs = outputs;
    plan.tables.sourceBytes = static_cast<size_t>(plan.sourceWidth) * 3;
    plan.tables.wideWindows = wide;
    // A window reads 128 bytes (VBMI) or 16 or 32 (AVX2) from its start; starts never decrease.
    const int windowBytes = shared ? 128 : wide ? 32 : 16;
    plan.tables.insideBlocks = blocks;
    for (int block = 0; block < blocks; ++block) {
        int farthest = 0;
        for (int window = 0; window < starts; ++window)
            farthest =
                std::max(farthest, plan.windowStart[static_cast<size_t>(block) * starts + window]);
        if (static_cast<size_t>(farthest) + windowBytes > plan.tables.sourceBytes) {
            plan.tables.insideBlocks = block;
            break;
        }
    }
    // Every later window must start within the tail copy.
    for (int block = plan.tables.insideBlocks; block < blocks; ++block)
        for (int window = 0; window < starts; ++window)
            if (plan.tables.sourceBytes > kShareTailBytes &&
                static_cast<size_t>(
                    plan.windowStart[static_cast<size_t>(block) * starts + window]) <
                    plan.tables.sourceBytes - kShareTailBytes)
                return false;
    return true;
}

bool SameSweeps(const CSharePlan& plan, int a, int b)
{
    const int count = plan.firstSweep[a + 1] - plan.firstSweep[a];
    if (plan.firstSweep[b + 1] - plan.firstSweep[b] != count) return false;
    for (int i = 0; i < count; ++i) {
        const ShareSweep& x = plan.sweeps[static_cast<size_t>(plan.firstSweep[a] + i)];
        const ShareSweep& y = plan.sweeps[static_cast<size_t>(plan.firstSweep[b] + i)];
        if (x.row != y.row || std::memcmp(&x.overlap, &y.overlap, sizeof x.overlap) != 0)
            return false;
    }
    return true;
}

struct ShareJob {
    const CSharePlan* plan;
    std::vector<int> bandStart;                 // [bands + 1]
    std::vector<std::vector<int32_t>> scratch;  // per thread: the ambiguous outputs of a row
};

void ShareBand(void* context, int band, int participant)
{
    ShareJob& job = *static_cast<ShareJob*>(context);
    const CSharePlan& plan = *job.plan;
    const size_t rowBytes = static_cast<size_t>(plan.width) * 3;
    int32_t* ambiguous = job.scratch[static_cast<size_t>(participant)].data();
    for (int dy = job.bandStart[band]; dy < job.bandStart[band + 1]; ++dy) {
        uint8_t* destination = plan.destination + static_cast<size_t>(dy) * rowBytes;
        if (dy > job.bandStart[band] && SameSweeps(plan, dy - 1, dy)) {
            std::memcpy(destination, destination - rowBytes, rowBytes);
            continue;
        }
        ShareRow row{};
        ShareTies ties{plan.tapColumns.data(), plan.tapOverlaps.data(), {}, {}, plan.e};
        const int first = plan.firstSweep[dy], count = plan.firstSweep[dy + 1] - first;
        for (int k = 0; k < 2; ++k) {
            const ShareSweep& sweep =
                plan.sweeps[static_cast<size_t>(first + std::min(k, count - 1))];
            row.rows[k] = ties.rows[k] = plan.source + static_cast<size_t>(sweep.row) * plan.stride;
            row.b[k] = k < count ? sweep.share : 0;
            row.f[k] = k < count ? sweep.tie : 0;
            ties.hy[k] = k < count ? sweep.overlap : 0.0;
        }
        if (dy + 1 < job.bandStart[band + 1]) {
            const int next = plan.firstSweep[dy + 1], nextCount = plan.firstSweep[dy + 2] - next;
            for (int k = 0; k < 2; ++k)
                row.next[k] =
                    plan.source +
                    static_cast<size_t>(
                        plan.sweeps[static_cast<size_t>(next + std::min(k, nextCount - 1))].row) *
                        plan.stride;
        }
        row.destination = destination;
        row.ambiguous = ambiguous;
        const int unsure = plan.kernel(plan.tables, row);
        if (unsure > 0) ResolveShareTiesAvx2(ties, ambiguous, unsure, destination);
    }
}

// Whether an axis can take a share plan, before anything is walked: its cell denominator D =
// sourceCount ÷ gcd is a power of two from 2 to kShareDenominatorLimit, and no destination cell
// touches three source cells. With m = destinationCount ÷ gcd, a destination cell is D ÷ m source
// cells wide and starts at a multiple of 1 ÷ m; it can hold two source edges only when it is wider
// than one cell and some start's fraction k ÷ m (k < m) exceeds 2 − D ÷ m, that is when D > m + 1.
// So: enlarging (m > D), or reducing by D ÷ (D − 1) (by two, 4/3, 8/7, ...).
bool ShareAxisQualifies(int sourceCount, int destinationCount)
{
    const int g = std::gcd(sourceCount, destinationCount);
    const int d = sourceCount / g, m = destinationCount / g;
    return d >= 2 && d <= kShareDenominatorLimit && (d & (d - 1)) == 0 && d <= m + 1;
}

}  // namespace

int ResampleByShares(const uint8_t* source, int sourceHeight, int sourceWidth, uint8_t* destination,
                     int height, int width, int level)
{
    if (level < 1 || !ShareResamplerAllowed() || !ShareAxisQualifies(sourceWidth, width) ||
        !ShareAxisQualifies(sourceHeight, height))
        return 2;
    try {
        CSharePlan plan;
        plan.source = source;
        plan.stride = static_cast<size_t>(PaddedStride(sourceWidth));
        plan.sourceHeight = sourceHeight;
        plan.sourceWidth = sourceWidth;
        plan.height = height;
        plan.width = width;
        plan.e =
            (1.0 / static_cast<double>(width)) * (1.0 / static_cast<double>(height)) * 4000000.0;
        plan.destination = destination;
        if (!WalkShares(plan)) return 2;
        if (!MakeShareTerms(plan)) return 2;
        if (level >= 2 && VbmiResamplerInForce()) {
            if (!MakeTables(plan, 4, true, 128)) return 2;
            plan.kernel = ShareRowVbmi;
        } else {
            if (!MakeTables(plan, 2, false, 32)) return 2;
            plan.kernel = ShareRowAvx2;
        }

        const size_t work = plan.sweeps.size() * static_cast<size_t>(width) * 6;
        const int threads = ThreadsFor(work);
        const int bands = std::min(threads == 1 ? 1 : threads * 4, height);
        ShareJob job{&plan, {}, {}};
        for (int band = 0; band <= bands; ++band)
            job.bandStart.push_back(
                static_cast<int>(static_cast<long long>(height) * band / bands));
        job.scratch.assign(static_cast<size_t>(threads),
                           std::vector<int32_t>(static_cast<size_t>(width) * 3));
        RunBands(bands, threads, ShareBand, &job);
    } catch (const std::bad_alloc&) {
        return 1;
    }
    return 0;
}
