// The area-averaging resampler: every destination pixel is the mean of the source pixels its area
// covers, weighted by the share of the destination pixel each one covers, in double precision.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "frame/frame.h"
#include "frame/kernels.h"

int ResampleAreaScalar(const uint8_t* source, int sourceHeight, int sourceWidth,
                       uint8_t* destination, int destinationHeight, int destinationWidth)
{
    const size_t accumulatorCount = static_cast<size_t>(destinationWidth) * 3;
    double* sum = static_cast<double*>(malloc(std::max<size_t>(accumulatorCount, 1) * sizeof(double)));
    if (sum == nullptr)
        return 1;
    const size_t stride = static_cast<size_t>(PaddedStride(sourceWidth));
    const double sw = sourceWidth, sh = sourceHeight, dw = destinationWidth, dh = destinationHeight;
    const double e = (1.0 / dw) * (1.0 / dh) * 4000000.0;
    int sy = 0;
    for (int dy = 0; dy < destinationHeight; ++dy) {
        for (size_t i = 0; i < accumulatorCount; ++i)
            sum[i] = 0.0;
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
                    for (int c = 0; c < 3; ++c)
                        cell[c] = pixel[c] * weight + cell[c];
                    if (sxEnd < dxEnd) {
                        ++sx;
                        continue;
                    }
                    if (sxEnd == dxEnd)
                        ++sx;
                    break;
                }
            }
            if (syEnd < yEnd) {
                ++sy;
                continue;
            }
            if (syEnd == yEnd)
                ++sy;
            break;
        }
        uint8_t* out = destination + static_cast<size_t>(dy) * accumulatorCount;
        for (size_t i = 0; i < accumulatorCount; ++i) {
            const double s = sum[i];
            double t = static_cast<double>(static_cast<long long>(s));
            if (s - t >= 0.5)
                t += 1.0;
            out[i] = static_cast<uint8_t>(static_cast<int>(t));
        }
    }
    free(sum);
    return 0;
}

int ResampleArea(const uint8_t* source, int sourceHeight, int sourceWidth, uint8_t** result,
                 int destinationHeight, int destinationWidth)
{
    printf("old size\t%d  %d \n", sourceWidth, sourceHeight);
    printf("new size\t%d  %d \n", destinationWidth, destinationHeight);
    fflush(stdout);
    // Sizes the arithmetic cannot serve (a source without pixels, a negative destination) are
    // refused like an allocation failure.
    if (destinationHeight < 0 || destinationWidth < 0)
        return 1;
    const bool empty = destinationHeight == 0 || destinationWidth == 0;
    if (!empty && (sourceHeight < 1 || sourceWidth < 1))
        return 1;
    const size_t bytes = static_cast<size_t>(destinationHeight) * destinationWidth * 3;
    // malloc(0) may return null; an empty raster is still a success, so ask for at least a byte.
    uint8_t* raster = static_cast<uint8_t*>(malloc(std::max<size_t>(bytes, 1)));
    if (raster == nullptr)
        return 1;
    if (!empty && ResampleAreaScalar(source, sourceHeight, sourceWidth, raster, destinationHeight,
                                     destinationWidth) != 0) {
        free(raster);
        return 1;
    }
    *result = raster;
    return 0;
}
