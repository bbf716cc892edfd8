// The plan-driven resampler behind ResampleArea's SIMD levels: the plan of taps and sweeps made
// once per call, the weight cache, the prepared source rows and the bands of destination rows.
// Internal to frame/.
#pragma once

#include <algorithm>
#include <cstdint>

// The plan-driven resampler with the SIMD kernels of `level` (1 AVX2, 2 AVX-512), over bands of
// destination rows; same arguments and bytes as ResampleAreaScalar. Returns 1 when memory runs
// out, 0 otherwise.
int ResampleAreaFast(const uint8_t* source, int sourceHeight, int sourceWidth, uint8_t* destination,
                     int height, int width, int level);

// The same through a share plan (kShareDenominatorLimit in kernels.h, resample_shares.cpp) when the
// sizes allow one: 0 done, 1 out of memory, 2 the sizes need the general plan.
int ResampleByShares(const uint8_t* source, int sourceHeight, int sourceWidth, uint8_t* destination,
                     int height, int width, int level);

// The merge walk of one axis, as the scalar reference makes it: source cells [s ÷ sourceCount,
// (s + 1) ÷ sourceCount) against destination cells [d ÷ destinationCount, (d + 1) ÷
// destinationCount). Calls visit(d, k, s, overlap) for the k-th source cell that reaches
// destination cell d; a source cell that straddles a boundary is visited for both cells.
template <typename Visit>
void WalkAxis(int sourceCount, int destinationCount, Visit visit)
{
    // Each start is the end before it, the same quotient of the same integers: it is carried over
    // rather than divided again.
    const double sn = sourceCount, dn = destinationCount;
    int s = 0;
    double sStart = 0.0, sEnd = 1 / sn;
    double dEnd = 0.0;
    for (int d = 0; d < destinationCount; ++d) {
        const double dStart = dEnd;
        dEnd = (d + 1) / dn;
        for (int k = 0;; ++k) {
            visit(d, k, s, std::min(sEnd, dEnd) - std::max(sStart, dStart));
            // (The bound on s never binds: the last boundaries are both exactly 1.)
            if (sEnd < dEnd && s + 1 < sourceCount) {
                ++s;
                sStart = sEnd;
                sEnd = (s + 1) / sn;
                continue;
            }
            if (sEnd == dEnd) {
                ++s;
                sStart = sEnd;
                sEnd = (s + 1) / sn;
            }
            break;
        }
    }
}
