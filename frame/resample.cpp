// The area-averaging resampler: every destination pixel is the mean of the source pixels its area
// covers, weighted by the share of the destination pixel each one covers, in double precision.
//
// This file holds the entry point (trace lines, allocation, choice of level) and the scalar
// reference, the plain loop every faster level must match byte for byte. The plan, the weight
// cache and the bands of rows behind the SIMD levels are in resample_plan.cpp.
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "block/frame_block.h"
#include "frame/frame.h"
#include "frame/kernels.h"
#include "frame/resample_plan.h"

namespace {

// The trace stream in one word, so that a call on another thread sees one setting or the other:
// null for standard output (the default), the address of g_dropTrace for "drop the lines", any
// other value the stream given.
char g_dropTrace;
std::atomic<std::FILE*> g_traceStream{nullptr};

}  // namespace

void SetTraceStream(std::FILE* stream)
{
    g_traceStream.store(stream != nullptr ? stream : reinterpret_cast<std::FILE*>(&g_dropTrace),
                        std::memory_order_release);
}

int ResampleAreaScalar(const uint8_t* source, int sourceHeight, int sourceWidth,
                       uint8_t* destination, int destinationHeight, int destinationWidth)
{
    const size_t accumulatorCount = static_cast<size_t>(destinationWidth) * 3;
    double* sum =
        static_cast<double*>(malloc(std::max<size_t>(accumulatorCount, 1) * sizeof(double)));
    if (sum == nullptr) return 1;
    const size_t stride = static_cast<size_t>(PaddedStride(sourceWidth));
    const double sw = sourceWidth, sh = sourceHeight, dw = destinationWidth, dh = destinationHeight;
    // E: the weights' scale. The factor 4000000 cancels against the one in each weight; it only
    // changes how the intermediate doubles round.
    const double e = (1.0 / dw) * (1.0 / dh) * 4000000.0;
    // sy carries over from one destination row to the next: a source row that straddles the
    // boundary between two destination rows is swept for both.
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
            // One sweep of source row sy across the destination row; sx restarts at 0 and, like
            // sy, stays put when its column straddles a destination column boundary.
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
        for (size_t i = 0; i < accumulatorCount; ++i) out[i] = RoundSumToByte(sum[i]);
    }
    free(sum);
    return 0;
}

int ResampleArea(const uint8_t* source, int sourceHeight, int sourceWidth, uint8_t** result,
                 int destinationHeight, int destinationWidth)
{
    std::FILE* trace = g_traceStream.load(std::memory_order_acquire);
    if (trace == nullptr) trace = stdout;
    if (trace != reinterpret_cast<std::FILE*>(&g_dropTrace)) {
        std::fprintf(trace, "old size\t%d  %d \n", sourceWidth, sourceHeight);
        std::fprintf(trace, "new size\t%d  %d \n", destinationWidth, destinationHeight);
        std::fflush(trace);
    }
    // Sizes the arithmetic cannot serve (a source without pixels, a negative destination) are
    // refused like an allocation failure.
    if (destinationHeight < 0 || destinationWidth < 0) return 1;
    const bool empty = destinationHeight == 0 || destinationWidth == 0;
    if (!empty && (sourceHeight < 1 || sourceWidth < 1)) return 1;
    const size_t bytes = static_cast<size_t>(destinationHeight) * destinationWidth * 3;
    // An empty raster is still a success: AllocateFrameBlock(0) gives a block of one byte.
    uint8_t* raster = static_cast<uint8_t*>(AllocateFrameBlock(bytes));
    if (raster == nullptr) return 1;
    const int level = KernelLevelInForce();
    const int code = empty        ? 0
                     : level == 0 ? ResampleAreaScalar(source, sourceHeight, sourceWidth, raster,
                                                       destinationHeight, destinationWidth)
                                  : ResampleAreaFast(source, sourceHeight, sourceWidth, raster,
                                                     destinationHeight, destinationWidth, level);
    if (code != 0) {
        ReleaseFrameBlock(raster);
        return 1;
    }
    *result = raster;
    return 0;
}
