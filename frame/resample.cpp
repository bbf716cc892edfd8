// The area-averaging resampler: every destination pixel is the mean of the source pixels its area
// covers, weighted by the share of the destination pixel each one covers, in double precision.
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "frame/frame.h"
#include "frame/kernels.h"

int ResampleAreaScalar(const uint8_t* source, int sourceHeight, int sourceWidth,
                       uint8_t* destination, int destinationHeight, int destinationWidth)
{
    const size_t accumulatorCount = static_cast<size_t>(destinationWidth) * 3;
    double* sum =
        static_cast<double*>(malloc(std::max<size_t>(accumulatorCount, 1) * sizeof(double)));
    if (sum == nullptr) return 1;
    const size_t stride = static_cast<size_t>(PaddedStride(sourceWidth));
    const double sw = sourceWidth, sh = sourceHeight, dw = destinationWidth, dh = destinationHeight;
    const double e = (1.0 / dw) * (1.0 / dh) * 4000000.0;
    int sy = 0;
    for (int dy = 0; dy < destinationHeight; ++dy) {
        for (size_t i = 0; i < accumulatorCount; ++i) sum[i] = 0.0;
        const double yEnd = (dy + 1) / dh;
        for (;;) {
            const double syStart = sy / sh;
            const double syEnd = (sy + 1) / sh;
            const double dyStart = dy / dh;
            const double hy = std::min(syEnd, yEnd) - std::max(syStart, dyStart);
            const uint8_t* row = source + static_cast<size_t>(sy) * stride;
            int sx = 0;
            for (int dx = 0; dx < destinationWidth; ++dx) {
                const double dxStart = dx / dw;
                const double dxEnd = (dx + 1) / dw;
                for (;;) {
                    const double sxStart = sx / sw;
                    const double sxEnd = (sx + 1) / sw;
                    const double wx = std::min(sxEnd, dxEnd) - std::max(sxStart, dxStart);
                    const double weight = ((wx * hy) * 4000000.0) / e;
                    const uint8_t* pixel = row + static_cast<size_t>(sx) * 3;
                    double* cell = sum + static_cast<size_t>(dx) * 3;
                    for (int c = 0; c < 3; ++c) cell[c] = pixel[c] * weight + cell[c];
                    if (sxEnd < dxEnd) {
                        ++sx;
                        continue;
                    }
                    if (sxEnd == dxEnd) ++sx;
                    break;
                }
            }
            if (syEnd < yEnd) {
                ++sy;
                continue;
            }
            if (syEnd == yEnd) ++sy;
            break;
        }
        uint8_t* out = destination + static_cast<size_t>(dy) * accumulatorCount;
        for (size_t i = 0; i < accumulatorCount; ++i) {
            const double s = sum[i];
            double t = static_cast<double>(static_cast<long long>(s));
            if (s - t >= 0.5) t += 1.0;
            out[i] = static_cast<uint8_t>(static_cast<int>(t));
        }
    }
    free(sum);
    return 0;
}

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
    int taps = 0;
    double e = 0.0;
    std::vector<int32_t> tapColumn;    // [taps][paddedWidth]
    std::vector<int32_t> tapRelative;  // [taps][paddedWidth]
    std::vector<double> tapOverlap;    // [taps][paddedWidth]
    std::vector<int32_t> blockBase;    // [paddedWidth / lanes]
    std::vector<uint8_t> blockWindow;  // [paddedWidth / lanes]
    std::vector<int>
        firstSweep;  // [height + 1]: row dy has sweeps [firstSweep[dy], firstSweep[dy + 1])
    std::vector<Sweep> sweeps;
    int mostSweeps = 0;  // the largest sweep count of one destination row
    uint8_t* destination = nullptr;
    SweepGroupFn kernel = nullptr;
    WeightRowFn weightRow = nullptr;
    PackRowFn packRow = nullptr;
    bool planes = false;  // rows split into planes of doubles for ResampleSweepsPlanesAvx512
    SplitRowFn splitRow = nullptr;
};

// Walks the destination columns exactly as the sequential sweep does (it is the same for every
// source row), calling visit(dx, tap, sx, wx) for each source column that reaches a destination
// column.
template <typename Visit>
void WalkColumns(int sourceWidth, int width, Visit visit)
{
    const double sw = sourceWidth, dw = width;
    int sx = 0;
    for (int dx = 0; dx < width; ++dx) {
        const double dxStart = dx / dw;
        const double dxEnd = (dx + 1) / dw;
        for (int tap = 0;; ++tap) {
            const double sxStart = sx / sw;
            const double sxEnd = (sx + 1) / sw;
            const double wx = std::min(sxEnd, dxEnd) - std::max(sxStart, dxStart);
            visit(dx, tap, sx, wx);
            // (The bound on sx never binds: the last boundaries are both exactly 1.)
            if (sxEnd < dxEnd && sx + 1 < sourceWidth) {
                ++sx;
                continue;
            }
            if (sxEnd == dxEnd) ++sx;
            break;
        }
    }
}

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

void BuildPlan(ResamplePlan& plan)
{
    const int pw = (plan.width + 15) / 16 * 16;
    plan.paddedWidth = pw;
    int taps = 1;
    WalkColumns(plan.sourceWidth, plan.width,
                [&](int, int tap, int, double) { taps = std::max(taps, tap + 1); });
    plan.taps = taps;
    const size_t cells = static_cast<size_t>(taps) * pw;
    plan.tapColumn.assign(cells, -1);
    plan.tapOverlap.assign(cells, 0.0);
    WalkColumns(plan.sourceWidth, plan.width, [&](int dx, int tap, int sx, double wx) {
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
    plan.firstSweep.resize(static_cast<size_t>(plan.height) + 1);
    plan.sweeps.reserve(static_cast<size_t>(plan.height) + plan.sourceHeight + 1);
    int sy = 0;
    for (int dy = 0; dy < plan.height; ++dy) {
        plan.firstSweep[dy] = static_cast<int>(plan.sweeps.size());
        const double yEnd = (dy + 1) / dh;
        for (;;) {
            const double syStart = sy / sh;
            const double syEnd = (sy + 1) / sh;
            const double dyStart = dy / dh;
            const double hy = std::min(syEnd, yEnd) - std::max(syStart, dyStart);
            const bool inside = syStart >= dyStart && syEnd <= yEnd;
            const bool covering = syStart <= dyStart && syEnd >= yEnd;
            plan.sweeps.push_back({sy, hy, inside || covering});
            // (The bound on sy never binds: the last boundaries are both exactly 1.)
            if (syEnd < yEnd && sy + 1 < plan.sourceHeight) {
                ++sy;
                continue;
            }
            if (syEnd == yEnd) ++sy;
            break;
        }
        plan.mostSweeps =
            std::max(plan.mostSweeps, static_cast<int>(plan.sweeps.size()) - plan.firstSweep[dy]);
    }
    plan.firstSweep[plan.height] = static_cast<int>(plan.sweeps.size());
}

// The weight rows of one thread: a few slots, each holding ((wx × hy) × 4000000) ÷ E for every
// tap of every column. Rows of recurring overlaps stay (keyed by the overlap's bit pattern, least
// recently used out first); the others are made for one group of sweeps and then dropped.
class CWeightCache {
  public:
    CWeightCache(const ResamplePlan& plan, int slots)
        : m_plan(plan)
        , m_rowLength(static_cast<size_t>(plan.taps) * plan.paddedWidth)
        , m_storage(new double[m_rowLength * slots])
        , m_slots(slots)
    {
    }

    const double* Get(double overlap, bool recurring, long stamp)
    {
        uint64_t key;
        memcpy(&key, &overlap, sizeof key);
        if (recurring)
            for (Slot& slot : m_slots)
                if (slot.valid && slot.key == key) {
                    slot.lastUse = stamp;
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
        m_plan.weightRow(m_plan.tapOverlap.data(), overlap, m_plan.e, row, m_rowLength);
        return row;
    }

  private:
    struct Slot {
        bool valid = false;
        uint64_t key = 0;
        long lastUse = -1;
    };
    double* Row(const Slot& slot)
    {
        return m_storage.get() + m_rowLength * (&slot - m_slots.data());
    }

    const ResamplePlan& m_plan;
    size_t m_rowLength;
    std::unique_ptr<double[]> m_storage;  // not cleared: a slot is written before it is read
    std::vector<Slot> m_slots;
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
            if (plan.planes)
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
        slotWords = plan.planes ? 3 * PlaneLength(plan) : (rounded + kPackedRowSlack + 1) / 2;
        preparedTag.assign(static_cast<size_t>(slots), -1);
        prepared.reset(new uint64_t[slotWords * slots]);
        for (int slot = 0; slot < slots; ++slot) {
            uint64_t* row = prepared.get() + slot * slotWords;
            if (plan.planes) {
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

void ResampleBand(void* context, int band, int participant)
{
    ResampleJob& job = *static_cast<ResampleJob*>(context);
    const ResamplePlan& plan = *job.plan;
    BandScratch& scratch = job.scratch[participant];
    long& stamp = scratch.stamp;
    for (int dy = job.bandStart[band]; dy < job.bandStart[band + 1]; ++dy) {
        const int first = plan.firstSweep[dy], end = plan.firstSweep[dy + 1];
        for (int groupStart = first; groupStart < end; groupStart += job.groupSize) {
            const int groupEnd = std::min(end, groupStart + job.groupSize);
            ++stamp;
            for (int i = groupStart; i < groupEnd; ++i) {
                const Sweep& sweep = plan.sweeps[i];
                scratch.rows[i - groupStart] = scratch.PreparedRow(plan, sweep.row);
                scratch.weights[i - groupStart] =
                    scratch.cache->Get(sweep.overlap, sweep.recurring, stamp);
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
            group.taps = plan.taps;
            group.paddedWidth = plan.paddedWidth;
            group.width = plan.width;
            group.accumulator = scratch.accumulator.get();
            group.first = groupStart == first;
            group.last = groupEnd == end;
            group.destination = plan.destination + static_cast<size_t>(dy) * plan.width * 3;
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
            (plan.planes ? ResampleSweepsPlanesAvx512 : plan.kernel)(group);
        }
    }
}

// Planes pay when the destination is wider than the source: each converted source pixel then
// serves several destination columns (and, scaling up vertically too, several rows), while
// scaling down converts every pixel for one use and loads three windows instead of one.
bool UsePlanes(const ResamplePlan& plan)
{
    return plan.sourceWidth < plan.width;
}

// The plan-driven resampler with the SIMD kernels of `level` (1 or 2), over bands of destination
// rows. Returns 1 when memory runs out.
int ResampleAreaFast(const uint8_t* source, int sourceHeight, int sourceWidth, uint8_t* destination,
                     int height, int width, int level)
{
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
        plan.kernel = level >= 2 ? ResampleSweepsAvx512 : ResampleSweepsAvx2;
        plan.weightRow = level >= 2 ? WeightRowAvx512 : WeightRowAvx2;
        plan.packRow = level >= 2 ? PackRowAvx512 : PackRowAvx2;
        plan.splitRow = SplitRowAvx512;
        BuildPlan(plan);
        // Planes of doubles when every 8-column block's taps lie within 16 pixels and the
        // conversions they save outweigh the wider windows.
        plan.lanes = 8;
        const int reach = BuildBlocks(plan);
        if (level >= 2) {
            plan.planes = reach < 16 && UsePlanes(plan);
            if (!plan.planes) {
                plan.lanes = 16;
                BuildBlocks(plan);
            }
        }

        // Weight rows of a group are read for every block of columns, so a group stays within
        // the second-level cache; the cache of rows keeps a few more.
        constexpr size_t kGroupBytes = 512 * 1024;
        constexpr size_t kCacheBytes = 1536 * 1024;
        const size_t rowBytes = static_cast<size_t>(plan.taps) * plan.paddedWidth * sizeof(double);
        const int groupSize =
            static_cast<int>(std::clamp<size_t>(kGroupBytes / rowBytes, 1, plan.mostSweeps));
        const int slots =
            static_cast<int>(std::clamp<size_t>(kCacheBytes / rowBytes, groupSize + 1, 64));

        const size_t work = plan.sweeps.size() * rowBytes / sizeof(double);
        const int threads = ThreadsFor(work);
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
            scratch.cache = std::make_unique<CWeightCache>(plan, slots);
            scratch.Allocate(plan, groupSize + 2);
        }
        RunBands(bands, threads, ResampleBand, &job);
    } catch (const std::bad_alloc&) {
        return 1;
    }
    return 0;
}

std::atomic<std::FILE*>& TraceStream()
{
    static std::atomic<std::FILE*> stream{stdout};
    return stream;
}

}  // namespace

void SetTraceStream(std::FILE* stream)
{
    TraceStream().store(stream);
}

int ResampleArea(const uint8_t* source, int sourceHeight, int sourceWidth, uint8_t** result,
                 int destinationHeight, int destinationWidth)
{
    if (std::FILE* trace = TraceStream().load()) {
        fprintf(trace, "old size\t%d  %d \n", sourceWidth, sourceHeight);
        fprintf(trace, "new size\t%d  %d \n", destinationWidth, destinationHeight);
        fflush(trace);
    }
    // Sizes the arithmetic cannot serve (a source without pixels, a negative destination) are
    // refused like an allocation failure.
    if (destinationHeight < 0 || destinationWidth < 0) return 1;
    const bool empty = destinationHeight == 0 || destinationWidth == 0;
    if (!empty && (sourceHeight < 1 || sourceWidth < 1)) return 1;
    const size_t bytes = static_cast<size_t>(destinationHeight) * destinationWidth * 3;
    // malloc(0) may return null; an empty raster is still a success, so ask for at least a byte.
    uint8_t* raster = static_cast<uint8_t*>(malloc(std::max<size_t>(bytes, 1)));
    if (raster == nullptr) return 1;
    const int level = KernelLevelInForce();
    const int code = empty        ? 0
                     : level == 0 ? ResampleAreaScalar(source, sourceHeight, sourceWidth, raster,
                                                       destinationHeight, destinationWidth)
                                  : ResampleAreaFast(source, sourceHeight, sourceWidth, raster,
                                                     destinationHeight, destinationWidth, level);
    if (code != 0) {
        free(raster);
        return 1;
    }
    *result = raster;
    return 0;
}
