// The machinery behind the resampler's SIMD levels. A plan made once per call lists, for every
// destination column, the source columns it covers (its taps) with their horizontal overlaps, and
// for every destination row the source rows it covers (its sweeps) with their vertical overlaps,
// in the order the scalar reference meets them; the kernels then add value × weight for each
// pair of a sweep and a tap, in that order, so every sum is the reference's to the bit.
#include "frame/resample_plan.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <numeric>
#include <vector>

#include "block/frame_block.h"
#include "frame/frame.h"
#include "frame/kernels.h"

namespace {

// One source-row sweep of a destination row: the source row and its vertical overlap hy. Sweeps
// of a source row that lies wholly inside the destination row, or of one that covers it wholly,
// have overlaps that recur from row to row, so their weight rows are worth keeping.
struct Sweep {
    int row;
    double overlap;
    bool recurring;
};

struct ResamplePlan {
    const uint8_t* source = nullptr;
    int sourceHeight = 0;
    int sourceWidth = 0;
    size_t stride = 0;
    int height = 0;
    int width = 0;
    int lanes = 16;  // destination columns per kernel block
    int paddedWidth = 0;
    int taps = 0;      // tap rows in tapColumn, tapOverlap, ...
    int usedTaps = 0;  // the most taps a column has (two-tap kernels: 1 or 2)
    double e = 0.0;
    std::vector<int32_t> tapColumn;    // [taps][paddedWidth]
    std::vector<int32_t> tapRelative;  // [taps][paddedWidth]
    std::vector<double> tapOverlap;    // [taps][paddedWidth]
    std::vector<int64_t> tapIndex;     // [taps][paddedWidth], two-tap kernels only
    std::vector<int32_t> blockBase;    // [paddedWidth / lanes]
    std::vector<uint8_t> blockWindow;  // [paddedWidth / lanes]
    // [height + 1]: row dy has sweeps [firstSweep[dy], firstSweep[dy + 1])
    std::vector<int> firstSweep;
    std::vector<Sweep> sweeps;
    int mostSweeps = 0;  // the largest sweep count of one destination row
    uint8_t* destination = nullptr;
    SweepGroupFn kernel = nullptr;
    WeightRowFn weightRow = nullptr;
    PackRowFn packRow = nullptr;
    bool planes = false;   // source rows split into planes of doubles
    bool rawRows = false;  // the kernel reads the source rows as they are (the VBMI kernel)
    // A tie-free plan (kTieFreeLimit in kernels.h): the cell fractions of every tap and sweep,
    // and no weight rows at all.
    bool tieFree = false;
    std::vector<double> tapFraction;    // [2][paddedWidth]
    std::vector<double> sweepFraction;  // [sweeps]
    // Single-precision tie-free plans (kTieFreeFloatLimit): planes of floats, the fractions as
    // floats, and each tap's place in its block's window.
    bool floatPlanes = false;
    SplitRowFloatFn splitRowFloat = nullptr;
    std::vector<float> tapFraction32;
    std::vector<float> sweepFraction32;
    std::vector<int32_t> tapIndex32;
    bool twoTap = false;  // plan.kernel is a two-tap kernel: no weight rows
    bool near = false;    // two-tap kernels: every block's taps lie within `lanes` of its base
    // One tap per column, scaling up: a destination row with one sweep whose weights are all
    // near 1 is its source row's pixels repeated (see CopyPixelsAvx2), in groups of five.
    bool copyRows = false;
    std::vector<int32_t> copyBase;     // [groups]: first source column of each group
    std::vector<uint8_t> copyShuffle;  // [groups][16]: byte shuffle from 16 bytes at that column
    // Tap rows whose overlaps are mostly 0 (the second tap of a plan scaling up by more than
    // two): their weights are made for the nonzero overlaps only and put in place; the rest of
    // such a row holds 0, the division's weight for overlap 0, written once per row buffer.
    struct SparseTap {
        int tap = 0;
        std::vector<int32_t> columns;  // the columns with a nonzero overlap
        std::vector<double> overlaps;  // their overlaps, padded with 0 to a multiple of 16
    };
    std::vector<SparseTap> sparseTaps;
    std::vector<uint8_t> tapIsSparse;  // [row taps]
    size_t longestSparse = 0;          // the most padded overlaps of a sparse tap
    // The weight table, when the sweeps' overlaps take few distinct values (see CWeightTable):
    // one weight row per distinct overlap, made once per call and shared by the threads; null
    // when the rows come from each thread's CWeightCache instead.
    double* weightTable = nullptr;
    size_t weightRowLength = 0;       // doubles per weight row
    std::vector<int> sweepWeightRow;  // [sweeps]: the table row of each sweep
    std::vector<uint8_t> rowNearOne;  // [table rows]: all weights within kCopyTolerance of 1
    SplitRowFn splitRow = nullptr;
};

// Groups the columns into blocks of plan.lanes: each block's base column and how far its taps
// reach beyond it. Returns the farthest reach.
int BuildBlocks(ResamplePlan& plan)
{
    const int pw = plan.paddedWidth;
    const int taps = plan.taps;
    const size_t cells = static_cast<size_t>(taps) * pw;
    int farthest = 0;
    const int blocks = pw / plan.lanes;
    plan.blockBase.resize(blocks);
    plan.blockWindow.resize(blocks);
    plan.tapRelative.resize(cells);
    for (int block = 0; block < blocks; ++block) {
        const int base = plan.tapColumn[static_cast<size_t>(block) * plan.lanes];
        int reach = 0;
        for (int tap = 0; tap < taps; ++tap)
            for (int lane = 0; lane < plan.lanes; ++lane) {
                const size_t at = static_cast<size_t>(tap) * pw + block * plan.lanes + lane;
                plan.tapRelative[at] = plan.tapColumn[at] - base;
                reach = std::max(reach, plan.tapRelative[at]);
            }
        plan.blockBase[block] = base;
        farthest = std::max(farthest, reach);
        plan.blockWindow[block] = reach < plan.lanes       ? kWindowOne
                                  : reach < 2 * plan.lanes ? kWindowTwo
                                  : reach < 4 * plan.lanes ? kWindowFour
                                                           : kWindowGather;
    }
    return farthest;
}

// The most taps of one destination column.
int CountTaps(int sourceWidth, int width)
{
    int taps = 1;
    WalkAxis(sourceWidth, width,
             [&](int, int tap, int, double) { taps = std::max(taps, tap + 1); });
    return taps;
}

// The taps of every column (`taps` of them, padded) and the sweeps of every row.
void BuildPlan(ResamplePlan& plan, int taps)
{
    const int pw = (plan.width + 15) / 16 * 16;
    plan.paddedWidth = pw;
    plan.taps = taps;
    const size_t cells = static_cast<size_t>(taps) * pw;
    plan.tapColumn.assign(cells, -1);
    plan.tapOverlap.assign(cells, 0.0);
    WalkAxis(plan.sourceWidth, plan.width, [&](int dx, int tap, int sx, double wx) {
        plan.tapColumn[static_cast<size_t>(tap) * pw + dx] = sx;
        plan.tapOverlap[static_cast<size_t>(tap) * pw + dx] = wx;
    });
    // Missing taps repeat the column's last source pixel with overlap 0 (weight +0.0, which
    // changes no sum); columns past the width read the last column's first pixel.
    for (int dx = 0; dx < pw; ++dx)
        for (int tap = 0; tap < taps; ++tap) {
            int32_t& column = plan.tapColumn[static_cast<size_t>(tap) * pw + dx];
            if (column < 0)
                column = tap > 0 ? plan.tapColumn[static_cast<size_t>(tap - 1) * pw + dx]
                                 : plan.tapColumn[plan.width - 1];
        }

    const double sh = plan.sourceHeight, dh = plan.height;
    plan.firstSweep.assign(static_cast<size_t>(plan.height) + 1, 0);
    plan.sweeps.clear();  // (a plan may be built twice: once for a kernel it then cannot use)
    plan.mostSweeps = 0;
    plan.sweeps.reserve(static_cast<size_t>(plan.height) + plan.sourceHeight + 1);
    WalkAxis(plan.sourceHeight, plan.height, [&](int dy, int k, int sy, double hy) {
        if (k == 0) plan.firstSweep[dy] = static_cast<int>(plan.sweeps.size());
        const double syStart = sy / sh, syEnd = (sy + 1) / sh;
        const double dyStart = dy / dh, yEnd = (dy + 1) / dh;
        const bool inside = syStart >= dyStart && syEnd <= yEnd;
        const bool covering = syStart <= dyStart && syEnd >= yEnd;
        plan.sweeps.push_back({sy, hy, inside || covering});
        plan.mostSweeps = std::max(plan.mostSweeps, k + 1);
    });
    plan.firstSweep[plan.height] = static_cast<int>(plan.sweeps.size());
}

// The lane words of the two-tap kernels (see ResampleTwoTapAvx512 in kernels.h).
void BuildTapIndex(ResamplePlan& plan, int level)
{
    plan.tapIndex.resize(plan.tapRelative.size());
    for (size_t i = 0; i < plan.tapRelative.size(); ++i) {
        const int64_t r = plan.tapRelative[i];
        plan.tapIndex[i] =
            level >= 2
                ? r
                : (((2 * r) & 7) | (((2 * r + 1) & 7) << 32) | (r >= 4 ? int64_t{1} << 63 : 0));
    }
}

// Finds the tap rows with mostly zero overlaps (at most 60 % nonzero) and lists their nonzero
// columns.
void FindSparseTaps(ResamplePlan& plan)
{
    const int rowTaps = plan.twoTap ? plan.usedTaps : plan.taps;
    const size_t pw = static_cast<size_t>(plan.paddedWidth);
    plan.tapIsSparse.assign(static_cast<size_t>(rowTaps), 0);
    for (int tap = 0; tap < rowTaps; ++tap) {
        const double* overlap = plan.tapOverlap.data() + tap * pw;
        ResamplePlan::SparseTap sparse;
        sparse.tap = tap;
        for (int dx = 0; dx < plan.width; ++dx)
            if (overlap[dx] != 0.0) sparse.columns.push_back(dx);
        if (sparse.columns.size() * 5 > static_cast<size_t>(plan.width) * 3) continue;
        sparse.overlaps.assign((sparse.columns.size() + 15) / 16 * 16, 0.0);
        for (size_t i = 0; i < sparse.columns.size(); ++i)
            sparse.overlaps[i] = overlap[sparse.columns[i]];
        plan.longestSparse = std::max(plan.longestSparse, sparse.overlaps.size());
        plan.tapIsSparse[tap] = 1;
        plan.sparseTaps.push_back(std::move(sparse));
    }
}

// Writes the zeros of the sparse tap rows of one weight row.
void ClearSparseTaps(const ResamplePlan& plan, double* row)
{
    for (const ResamplePlan::SparseTap& sparse : plan.sparseTaps)
        std::fill_n(row + static_cast<size_t>(sparse.tap) * plan.paddedWidth, plan.paddedWidth,
                    0.0);
}

// One weight row, ((wx × hy) × 4000000) ÷ E for every tap of every column: dense tap rows in
// one pass, sparse ones through `compact` (longestSparse doubles) for their nonzero columns.
void MakeWeights(const ResamplePlan& plan, double hy, double* row, double* compact)
{
    const int rowTaps = plan.twoTap ? plan.usedTaps : plan.taps;
    const size_t pw = static_cast<size_t>(plan.paddedWidth);
    int tap = 0;
    size_t sparseIndex = 0;
    while (tap < rowTaps) {
        if (plan.tapIsSparse[tap] != 0) {
            const ResamplePlan::SparseTap& sparse = plan.sparseTaps[sparseIndex++];
            plan.weightRow(sparse.overlaps.data(), hy, plan.e, compact, sparse.overlaps.size());
            double* weights = row + tap * pw;
            for (size_t i = 0; i < sparse.columns.size(); ++i)
                weights[sparse.columns[i]] = compact[i];
            ++tap;
            continue;
        }
        int end = tap + 1;  // the dense tap rows from here, made in one pass
        while (end < rowTaps && plan.tapIsSparse[end] == 0) ++end;
        plan.weightRow(plan.tapOverlap.data() + tap * pw, hy, plan.e, row + tap * pw,
                       (end - tap) * pw);
        tap = end;
    }
}

// The weight rows of one thread: a few slots, each holding ((wx × hy) × 4000000) ÷ E for every
// tap of every column (for a two-tap kernel with one tap, the one tap only). Rows of recurring
// overlaps stay (keyed by the overlap's bit pattern, least recently used out first); the others are
// made for one group of sweeps and then dropped.
class CWeightCache {
  public:
    CWeightCache(const ResamplePlan& plan, int slots)
        : m_plan(plan)
        , m_rowLength(static_cast<size_t>(plan.twoTap ? plan.usedTaps : plan.taps) *
                      plan.paddedWidth)
        , m_storage(new double[m_rowLength * slots])
        , m_slots(slots)
        , m_compact(plan.longestSparse)
    {
    }

    // The weight row of a sweep; `nearOne`, when given, is set to whether all its weights lie
    // within 2^-10 of 1.
    const double* Get(double overlap, bool recurring, long stamp, bool* nearOne = nullptr)
    {
        uint64_t key;
        memcpy(&key, &overlap, sizeof key);
        if (recurring)
            for (Slot& slot : m_slots)
                if (slot.valid && slot.key == key) {
                    slot.lastUse = stamp;
                    if (nearOne != nullptr) *nearOne = NearOne(slot);
                    return Row(slot);
                }
        Slot* victim = nullptr;
        for (Slot& slot : m_slots)
            if (slot.lastUse != stamp && (victim == nullptr || slot.lastUse < victim->lastUse))
                victim = &slot;
        victim->valid = recurring;
        victim->key = key;
        victim->lastUse = stamp;
        double* row = Row(*victim);
        if (!victim->cleared) {
            ClearSparseTaps(m_plan, row);
            victim->cleared = true;
        }
        MakeWeights(m_plan, overlap, row, m_compact.data());
        victim->nearOne = -1;
        if (nearOne != nullptr) *nearOne = NearOne(*victim);
        return row;
    }

  private:
    struct Slot {
        bool valid = false;
        uint64_t key = 0;
        long lastUse = -1;
        int nearOne = -1;      // -1 not yet known, else 0 or 1
        bool cleared = false;  // the zeros of the sparse taps are written
    };
    bool NearOne(Slot& slot)
    {
        if (slot.nearOne < 0) {
            const double* row = Row(slot);
            bool near = true;
            for (int dx = 0; dx < m_plan.width; ++dx)
                near &= std::abs(row[dx] - 1.0) <= kCopyTolerance;
            slot.nearOne = near ? 1 : 0;
        }
        return slot.nearOne == 1;
    }
    double* Row(const Slot& slot)
    {
        return m_storage.get() + m_rowLength * (&slot - m_slots.data());
    }

    const ResamplePlan& m_plan;
    size_t m_rowLength;
    std::unique_ptr<double[]> m_storage;  // not cleared: a slot is written before it is read
    std::vector<Slot> m_slots;
    std::vector<double> m_compact;  // the weights of one sparse tap
};

// What one thread needs of its own, kept from band to band.
struct BandScratch {
    std::unique_ptr<double[]> accumulator;  // written by a group's first sweep before any read
    std::vector<const double*> weights;
    std::vector<const void*> rows;
    std::unique_ptr<CWeightCache> cache;
    long stamp = 0;  // counts this thread's groups: the weight rows in use carry the current one
    // Prepared source rows (packed words, or planes of doubles), slot sy % slots, each tagged
    // with its row: the rows of one group are consecutive, and a row straddling two destination
    // rows is prepared once.
    std::unique_ptr<uint64_t[]> prepared;
    std::vector<int> preparedTag;
    size_t slotWords = 0;  // 64-bit words per slot

    const void* PreparedRow(const ResamplePlan& plan, int sy)
    {
        const size_t slot = static_cast<size_t>(sy) % preparedTag.size();
        uint64_t* row = prepared.get() + slot * slotWords;
        if (preparedTag[slot] != sy) {
            const uint8_t* source = plan.source + static_cast<size_t>(sy) * plan.stride;
            if (plan.floatPlanes)
                plan.splitRowFloat(source, plan.sourceWidth, reinterpret_cast<float*>(row),
                                   PlaneLength(plan));
            else if (plan.planes)
                plan.splitRow(source, plan.sourceWidth, reinterpret_cast<double*>(row),
                              PlaneLength(plan));
            else
                plan.packRow(source, plan.sourceWidth, reinterpret_cast<int32_t*>(row));
            preparedTag[slot] = sy;
        }
        return row;
    }

    // Each slot's words after the prepared width stay zero, so windows may overrun it.
    void Allocate(const ResamplePlan& plan, int slots)
    {
        const size_t rounded = static_cast<size_t>((plan.sourceWidth + 15) / 16 * 16);
        slotWords = plan.floatPlanes ? (3 * PlaneLength(plan) + 1) / 2
                    : plan.planes    ? 3 * PlaneLength(plan)
                                     : (rounded + kPackedRowSlack + 1) / 2;
        preparedTag.assign(static_cast<size_t>(slots), -1);
        prepared.reset(new uint64_t[slotWords * slots]);
        for (int slot = 0; slot < slots; ++slot) {
            uint64_t* row = prepared.get() + slot * slotWords;
            if (plan.floatPlanes) {
                float* planes = reinterpret_cast<float*>(row);
                for (int plane = 0; plane < 3; ++plane)
                    std::fill_n(planes + plane * PlaneLength(plan) + rounded, kPackedRowSlack,
                                0.0f);
            } else if (plan.planes) {
                for (int plane = 0; plane < 3; ++plane)
                    std::fill_n(row + plane * PlaneLength(plan) + rounded, kPackedRowSlack, 0);
            } else {
                std::fill_n(reinterpret_cast<int32_t*>(row) + rounded, kPackedRowSlack, 0);
            }
        }
    }

    static size_t PlaneLength(const ResamplePlan& plan)
    {
        return static_cast<size_t>((plan.sourceWidth + 15) / 16 * 16 + kPackedRowSlack);
    }
};

struct ResampleJob {
    const ResamplePlan* plan;
    int groupSize;
    std::vector<int> bandStart;        // [bands + 1] destination rows
    std::vector<BandScratch> scratch;  // one per thread
};

// Whether destination rows a and b have the same sweeps: the same source rows, with overlaps
// equal to the bit.
bool SameSweeps(const ResamplePlan& plan, int a, int b)
{
    const int count = plan.firstSweep[a + 1] - plan.firstSweep[a];
    if (plan.firstSweep[b + 1] - plan.firstSweep[b] != count) return false;
    for (int i = 0; i < count; ++i) {
        const Sweep& x = plan.sweeps[plan.firstSweep[a] + i];
        const Sweep& y = plan.sweeps[plan.firstSweep[b] + i];
        if (x.row != y.row || memcmp(&x.overlap, &y.overlap, sizeof x.overlap) != 0) return false;
    }
    return true;
}

// The groups of five destination pixels of the copy path: each reads 16 bytes from its first
// source column, and five consecutive columns of a plan that scales up lie within five source
// columns (each source column covers more than one destination column).
void BuildCopy(ResamplePlan& plan)
{
    const int groups = (plan.width + 4) / 5;
    plan.copyBase.resize(groups);
    plan.copyShuffle.assign(static_cast<size_t>(groups) * 16, 0x80);
    for (int g = 0; g < groups; ++g) {
        const int base = plan.tapColumn[5 * g];
        plan.copyBase[g] = base;
        for (int i = 0; i < 5 && 5 * g + i < plan.width; ++i)
            for (int c = 0; c < 3; ++c)
                plan.copyShuffle[16 * g + 3 * i + c] =
                    static_cast<uint8_t>(3 * (plan.tapColumn[5 * g + i] - base) + c);
    }
    plan.copyRows = true;
}

void ResampleBand(void* context, int band, int participant)
{
    ResampleJob& job = *static_cast<ResampleJob*>(context);
    const ResamplePlan& plan = *job.plan;
    BandScratch& scratch = job.scratch[participant];
    long& stamp = scratch.stamp;
    for (int dy = job.bandStart[band]; dy < job.bandStart[band + 1]; ++dy) {
        const int first = plan.firstSweep[dy], end = plan.firstSweep[dy + 1];
        uint8_t* destination = plan.destination + static_cast<size_t>(dy) * plan.width * 3;
        const size_t rowBytes = static_cast<size_t>(plan.width) * 3;
        // A row whose sweeps are those of the row before (the same source rows with overlaps
        // equal to the bit) has the same sums, so the same bytes; the row before is this
        // band's, already written.
        if (dy > job.bandStart[band] && SameSweeps(plan, dy - 1, dy)) {
            memcpy(destination, destination - rowBytes, rowBytes);
            continue;
        }
        if (plan.copyRows && end - first == 1) {
            ++stamp;
            bool nearOne = false;
            const Sweep& sweep = plan.sweeps[first];
            if (plan.weightTable != nullptr)
                nearOne = plan.rowNearOne[plan.sweepWeightRow[first]] != 0;
            else
                scratch.cache->Get(sweep.overlap, sweep.recurring, stamp, &nearOne);
            if (nearOne) {
                CopyPixelsAvx2(plan.source + static_cast<size_t>(sweep.row) * plan.stride,
                               plan.sourceWidth, plan.copyBase.data(), plan.copyShuffle.data(),
                               plan.tapColumn.data(), plan.width, destination);
                continue;
            }
        }
        for (int groupStart = first; groupStart < end; groupStart += job.groupSize) {
            const int groupEnd = std::min(end, groupStart + job.groupSize);
            ++stamp;
            for (int i = groupStart; i < groupEnd; ++i) {
                const Sweep& sweep = plan.sweeps[i];
                scratch.rows[i - groupStart] =
                    plan.rawRows ? plan.source + static_cast<size_t>(sweep.row) * plan.stride
                                 : scratch.PreparedRow(plan, sweep.row);
                scratch.weights[i - groupStart] =
                    plan.tieFree ? nullptr
                    : plan.weightTable != nullptr
                        ? plan.weightTable + plan.weightRowLength * plan.sweepWeightRow[i]
                        : scratch.cache->Get(sweep.overlap, sweep.recurring, stamp);
            }
            SweepGroup group;
            group.tapColumn = plan.tapColumn.data();
            group.tapRelative = plan.tapRelative.data();
            group.blockBase = plan.blockBase.data();
            group.blockWindow = plan.blockWindow.data();
            group.weights = scratch.weights.data();
            group.rows = scratch.rows.data();
            group.planeLength = BandScratch::PlaneLength(plan);
            group.sweeps = groupEnd - groupStart;
            group.taps = plan.twoTap ? plan.usedTaps : plan.taps;
            group.paddedWidth = plan.paddedWidth;
            group.width = plan.width;
            group.accumulator = scratch.accumulator.get();
            group.first = groupStart == first;
            group.last = groupEnd == end;
            group.destination = destination;
            // The rows of the next group past this group's last row, within this band.
            const int nextEnd =
                groupEnd < end ? std::min(end, groupEnd + job.groupSize)
                : dy + 1 < job.bandStart[band + 1]
                    ? std::min(plan.firstSweep[dy + 2], plan.firstSweep[dy + 1] + job.groupSize)
                    : groupEnd;
            const int lastRow = plan.sweeps[groupEnd - 1].row;
            const int nextLastRow = nextEnd > groupEnd ? plan.sweeps[nextEnd - 1].row : lastRow;
            group.prefetch = plan.source + static_cast<size_t>(lastRow + 1) * plan.stride;
            group.prefetchBytes = nextLastRow > lastRow
                                      ? static_cast<size_t>(nextLastRow - lastRow) * plan.stride
                                      : 0;
            group.tapIndex = plan.tapIndex.data();
            group.near = plan.near;
            group.sourceBytes = static_cast<size_t>(plan.sourceWidth) * 3;
            group.tapFractions = plan.tapFraction.data();
            group.sweepFractions = plan.tieFree ? plan.sweepFraction.data() + groupStart : nullptr;
            group.tapFractions32 = plan.tapFraction32.data();
            group.sweepFractions32 =
                plan.floatPlanes ? plan.sweepFraction32.data() + groupStart : nullptr;
            group.tapIndex32 = plan.tapIndex32.data();
            plan.kernel(group);
        }
    }
}

// Makes the plan tie-free when it can be (kTieFreeLimit in kernels.h): the cell fractions of
// every tap (n ÷ Dx, with n the overlap in units of 1 ÷ (Dx × width), recovered by rounding) and
// of every sweep, and the tie-free kernel.
// The product of the cell denominators across and down, Dx × Dy, or 0 when the plan cannot be
// tie-free (an even product, too many contributions, sizes of 65536 or more).
long long TieFreeDenominator(const ResamplePlan& plan)
{
    const long long dx = plan.sourceWidth / std::gcd(plan.sourceWidth, plan.width);
    const long long dy = plan.sourceHeight / std::gcd(plan.sourceHeight, plan.height);
    if ((dx * dy) % 2 == 0 || dx * dy > kTieFreeLimit) return 0;
    if (static_cast<long long>(plan.taps) * plan.mostSweeps > kTieFreeContributions) return 0;
    if (plan.width >= 65536 || plan.height >= 65536 || plan.sourceWidth >= 65536 ||
        plan.sourceHeight >= 65536)
        return 0;
    return dx * dy;
}

void MakeTieFree(ResamplePlan& plan)
{
    if (TieFreeDenominator(plan) == 0) return;
    const long long dx = plan.sourceWidth / std::gcd(plan.sourceWidth, plan.width);
    const long long dy = plan.sourceHeight / std::gcd(plan.sourceHeight, plan.height);
    plan.tapFraction.resize(plan.tapOverlap.size());
    for (size_t i = 0; i < plan.tapOverlap.size(); ++i) {
        const double units =
            std::nearbyint(plan.tapOverlap[i] * plan.width * static_cast<double>(dx));
        plan.tapFraction[i] = units / static_cast<double>(dx);
    }
    plan.sweepFraction.resize(plan.sweeps.size());
    for (size_t i = 0; i < plan.sweeps.size(); ++i) {
        const double units =
            std::nearbyint(plan.sweeps[i].overlap * plan.height * static_cast<double>(dy));
        plan.sweepFraction[i] = units / static_cast<double>(dy);
    }
    plan.tieFree = true;
    plan.kernel = ResampleTieFreeAvx512;
}

// Makes a two-tap plan scaling up across a single-precision tie-free one (kTieFreeFloatLimit
// in kernels.h) when it qualifies and its taps lie within one window of `lanes` floats; returns
// whether it did.
bool MakeTieFreeFloat(ResamplePlan& plan, int level)
{
    const long long denominator = TieFreeDenominator(plan);
    if (denominator == 0 || denominator > kTieFreeFloatLimit) return false;
    if (plan.mostSweeps > kTieFreeFloatSweeps) return false;
    plan.lanes = level >= 2 ? 16 : 8;
    if (BuildBlocks(plan) >= plan.lanes) return false;
    MakeTieFree(plan);
    plan.tapFraction32.assign(plan.tapFraction.begin(), plan.tapFraction.end());
    plan.sweepFraction32.assign(plan.sweepFraction.begin(), plan.sweepFraction.end());
    plan.tapIndex32 = plan.tapRelative;
    plan.floatPlanes = true;
    plan.splitRowFloat = level >= 2 ? SplitRowFloatAvx512 : SplitRowFloatAvx2;
    plan.kernel = level >= 2 ? ResampleTieFreeFloatAvx512 : ResampleTieFreeFloatAvx2;
    return true;
}

// Chooses the kernel and the prepared rows for `level` and builds the plan.
void ChooseKernel(ResamplePlan& plan, int level)
{
    plan.weightRow = level >= 2 ? WeightRowAvx512 : WeightRowAvx2;
    plan.packRow = level >= 2 ? PackRowAvx512 : PackRowAvx2;
    plan.splitRow = level >= 2 ? SplitRowAvx512 : SplitRowAvx2;
    // Scaling up in width needs at most two taps per column (a destination cell no wider than a
    // source cell holds at most one source boundary), and a block of 8 columns (AVX-512) or 4
    // (AVX2) then reaches at most one pixel past its width, so the two-tap kernel picks both
    // taps from a short window by permutes. Scaling down converts every source pixel for one use
    // only: there the packed-word kernels, which convert in registers, are faster.
    // With AVX2 the pick of a tap (two vpermd and a blend) costs more than the packed-word
    // kernel's in-register conversion unless there is one tap per column only.
    // In this order: scaling up across with two taps, a plan that is tie-free in single precision
    // takes that kernel (either level); then the two-tap kernels (tie-free in double precision
    // where it can be, AVX-512 only; with VBMI only for one tap or a tie-free plan); then, at
    // AVX-512 with VBMI, the kernel that reads the source bytes as they are when every block's
    // taps lie within its window; else the packed words.
    const int taps = CountTaps(plan.sourceWidth, plan.width);
    const bool twoTapsUp = taps == 2 && plan.sourceWidth < plan.width;
    if (twoTapsUp) {
        BuildPlan(plan, 2);
        plan.usedTaps = 2;
        if (MakeTieFreeFloat(plan, level)) return;
    }
    const bool twoTap = taps <= (level >= 2 ? 2 : 1) && plan.sourceWidth < plan.width;
    if (!twoTapsUp) BuildPlan(plan, twoTap ? 2 : taps);  // (else built above, with two taps)
    plan.usedTaps = taps;
    // With VBMI, two taps scaling up take the VBMI kernel below (one byte permute per value, and
    // no split rows) unless the plan is tie-free; one tap keeps the two-tap kernel's copy path.
    const bool viaVbmi = twoTap && taps == 2 && level >= 2 && VbmiResamplerInForce() &&
                         TieFreeDenominator(plan) == 0;
    if (twoTap && !viaVbmi) {
        plan.lanes = level >= 2 ? 8 : 4;
        if (BuildBlocks(plan) < 2 * plan.lanes) {
            BuildTapIndex(plan, level);
            plan.kernel = level >= 2 ? ResampleTwoTapAvx512 : ResampleTwoTapAvx2;
            plan.twoTap = true;
            plan.planes = true;
            plan.near = std::all_of(plan.blockWindow.begin(), plan.blockWindow.end(),
                                    [](uint8_t window) { return window == kWindowOne; });
            if (level >= 2 && taps == 2) MakeTieFree(plan);
            if (taps == 1) BuildCopy(plan);
            return;
        }
    }
    if (level >= 2 && VbmiResamplerInForce()) {
        plan.lanes = 8;
        if (BuildBlocks(plan) <= kVbmiReach) {
            plan.kernel = ResampleSweepsVbmi;
            plan.rawRows = true;
            plan.tapIndex.resize(plan.tapRelative.size());
            for (size_t i = 0; i < plan.tapRelative.size(); ++i)
                plan.tapIndex[i] = static_cast<int64_t>(VbmiTapIndex(plan.tapRelative[i]));
            return;
        }
    }
    plan.kernel = level >= 2 ? ResampleSweepsAvx512 : ResampleSweepsAvx2;
    plan.lanes = level >= 2 ? 16 : 8;
    BuildBlocks(plan);
    // The AVX2 packed-word kernel fetches the pixel words of each block of eight in the order
    // columns 0, 1, 4, 5, 2, 3, 6, 7 (unpacking them with 2^52's exponent words then gives
    // columns 0-3 and 4-7, see Accumulate in resample_avx2.cpp). Blocks of two taps at exactly
    // every other pixel (halving across) take their words with one shuffle per tap instead.
    if (level == 1) {
        constexpr int kFetchOrder[8] = {0, 1, 4, 5, 2, 3, 6, 7};
        const size_t pw = static_cast<size_t>(plan.paddedWidth);
        for (size_t block = 0; block < pw / 8; ++block) {
            bool evenOdd = plan.taps == 2;
            for (int i = 0; i < 8 && evenOdd; ++i)
                evenOdd = plan.tapRelative[8 * block + i] == 2 * i &&
                          plan.tapRelative[pw + 8 * block + i] == 2 * i + 1;
            if (evenOdd) plan.blockWindow[block] = kWindowEvenOdd;
            for (int tap = 0; tap < plan.taps; ++tap) {
                const size_t at = tap * pw + 8 * block;
                int32_t relative[8], column[8];
                std::copy_n(plan.tapRelative.begin() + at, 8, relative);
                std::copy_n(plan.tapColumn.begin() + at, 8, column);
                for (int i = 0; i < 8; ++i) {
                    plan.tapRelative[at + i] = relative[kFetchOrder[i]];
                    plan.tapColumn[at + i] = column[kFetchOrder[i]];
                }
            }
        }
    }
}

// Many plans meet the same few overlaps again and again: where the ratio of the heights is a
// simple fraction the source rows cut the destination rows at the same places, period after
// period, and the doubles come out equal to the bit. Such plans get one weight row per distinct
// overlap, made once per call (by bands, on the call's threads) in a frame block that the
// destructor releases. Plans whose overlaps are mostly distinct (less than two sweeps per
// distinct value), or whose table would pass kWeightTableBytes, keep the per-thread caches.
class CWeightTable {
  public:
    static constexpr size_t kWeightTableBytes = 24 << 20;

    CWeightTable(ResamplePlan& plan, int threads)
        : m_plan(plan)
    {
        if (plan.tieFree) return;  // no weights at all
        std::vector<uint64_t> keys(plan.sweeps.size());
        for (size_t i = 0; i < keys.size(); ++i) memcpy(&keys[i], &plan.sweeps[i].overlap, 8);
        std::vector<uint64_t> distinct = keys;
        std::sort(distinct.begin(), distinct.end());
        distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
        const size_t rowLength =
            static_cast<size_t>(plan.twoTap ? plan.usedTaps : plan.taps) * plan.paddedWidth;
        if (distinct.size() * 2 > keys.size() ||
            distinct.size() * rowLength * sizeof(double) > kWeightTableBytes)
            return;
        double* table =
            static_cast<double*>(AllocateFrameBlock(distinct.size() * rowLength * sizeof(double)));
        if (table == nullptr) throw std::bad_alloc();
        plan.weightTable = table;
        plan.weightRowLength = rowLength;
        plan.sweepWeightRow.resize(keys.size());
        for (size_t i = 0; i < keys.size(); ++i)
            plan.sweepWeightRow[i] = static_cast<int>(
                std::lower_bound(distinct.begin(), distinct.end(), keys[i]) - distinct.begin());
        m_overlaps.resize(distinct.size());
        for (size_t i = 0; i < distinct.size(); ++i) memcpy(&m_overlaps[i], &distinct[i], 8);
        plan.rowNearOne.assign(distinct.size(), 0);
        const int bands = std::min<int>(static_cast<int>(distinct.size()), threads * 4);
        m_bands = bands;
        RunBands(bands, threads, &CWeightTable::MakeBand, this);
    }
    ~CWeightTable()
    {
        if (m_plan.weightTable != nullptr) ReleaseFrameBlock(m_plan.weightTable);
        m_plan.weightTable = nullptr;
    }
    CWeightTable(const CWeightTable&) = delete;
    CWeightTable& operator=(const CWeightTable&) = delete;

  private:
    static void MakeBand(void* context, int band, int)
    {
        CWeightTable& self = *static_cast<CWeightTable*>(context);
        ResamplePlan& plan = self.m_plan;
        const size_t rows = self.m_overlaps.size();
        std::vector<double> compact(plan.longestSparse);
        for (size_t row = rows * band / self.m_bands; row < rows * (band + 1) / self.m_bands;
             ++row) {
            double* weights = plan.weightTable + plan.weightRowLength * row;
            ClearSparseTaps(plan, weights);
            MakeWeights(plan, self.m_overlaps[row], weights, compact.data());
            if (plan.copyRows) {
                bool near = true;
                for (int dx = 0; dx < plan.width; ++dx)
                    near &= std::abs(weights[dx] - 1.0) <= kCopyTolerance;
                plan.rowNearOne[row] = near ? 1 : 0;
            }
        }
    }

    ResamplePlan& m_plan;
    std::vector<double> m_overlaps;  // [table rows]: the distinct overlaps, in table order
    int m_bands = 0;
};

}  // namespace

int ResampleAreaFast(const uint8_t* source, int sourceHeight, int sourceWidth, uint8_t* destination,
                     int height, int width, int level)
{
    const int byShares =
        ResampleByShares(source, sourceHeight, sourceWidth, destination, height, width, level);
    if (byShares != 2) return byShares;
    try {
        ResamplePlan plan;
        plan.source = source;
        plan.sourceHeight = sourceHeight;
        plan.sourceWidth = sourceWidth;
        plan.stride = static_cast<size_t>(PaddedStride(sourceWidth));
        plan.height = height;
        plan.width = width;
        plan.e =
            (1.0 / static_cast<double>(width)) * (1.0 / static_cast<double>(height)) * 4000000.0;
        plan.destination = destination;
        ChooseKernel(plan, level);
        FindSparseTaps(plan);

        // Weight rows of a group are read for every block of columns, so a group stays within
        // the second-level cache; the cache of rows keeps a few more.
        constexpr size_t kGroupBytes = 512 * 1024;
        constexpr size_t kCacheBytes = 1536 * 1024;
        const size_t rowBytes = static_cast<size_t>(plan.taps) * plan.paddedWidth * sizeof(double);
        const int groupSize =
            static_cast<int>(std::clamp<size_t>(kGroupBytes / rowBytes, 1, plan.mostSweeps));
        const int slots =
            static_cast<int>(std::clamp<size_t>(kCacheBytes / rowBytes, groupSize + 1, 64));

        const size_t work = plan.sweeps.size() * static_cast<size_t>(plan.taps) * plan.paddedWidth;
        const int threads = ThreadsFor(work);
        CWeightTable table(plan, threads);
        // A few bands per thread, of about equal sweep work, so that a thread that starts late
        // takes fewer; each band starts at its first row's precomputed sweeps.
        const int bands = std::min(threads == 1 ? 1 : threads * 4, height);
        ResampleJob job{&plan, groupSize, {}, {}};
        job.bandStart.push_back(0);
        for (int band = 1; band < bands; ++band) {
            const size_t target = plan.sweeps.size() * band / bands;
            const int dy = static_cast<int>(std::upper_bound(plan.firstSweep.begin(),
                                                             plan.firstSweep.end() - 1,
                                                             static_cast<int>(target)) -
                                            plan.firstSweep.begin()) -
                           1;
            job.bandStart.push_back(std::max(dy, job.bandStart.back()));
        }
        job.bandStart.push_back(height);
        job.scratch.resize(threads);
        for (BandScratch& scratch : job.scratch) {
            scratch.accumulator.reset(new double[static_cast<size_t>(plan.paddedWidth) * 3]);
            scratch.weights.assign(groupSize, nullptr);
            scratch.rows.assign(groupSize, nullptr);
            if (plan.weightTable == nullptr && !plan.tieFree)
                scratch.cache = std::make_unique<CWeightCache>(plan, slots);
            // (The VBMI kernel reads the source rows themselves: no prepared rows.)
            if (!plan.rawRows) scratch.Allocate(plan, groupSize + 2);
        }
        RunBands(bands, threads, ResampleBand, &job);
    } catch (const std::bad_alloc&) {
        return 1;
    }
    return 0;
}
