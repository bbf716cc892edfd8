// The plan-driven resampler behind ResampleArea's SIMD levels: the plan of taps and sweeps made
// once per call, the weight cache, the prepared source rows and the bands of destination rows.
// Internal to frame/.
#pragma once

#include <cstdint>

// The plan-driven resampler with the SIMD kernels of `level` (1 AVX2, 2 AVX-512), over bands of
// destination rows; same arguments and bytes as ResampleAreaScalar. Returns 1 when memory runs
// out, 0 otherwise.
int ResampleAreaFast(const uint8_t* source, int sourceHeight, int sourceWidth, uint8_t* destination,
                     int height, int width, int level);
