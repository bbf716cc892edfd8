// Frame preparation: the picture arithmetic between the tool's 24-bit blue-green-red pictures and
// the switcher's 8-bit YCbCr 4:2:2 frames.
//
// This folder owns the two colour conversions (EncodeFrame, DecodeFrame), the area-averaging
// resampler (ResampleArea) and the raster fit (FitToRaster, PadToRaster). It includes the standard
// library only and keeps no state between calls. Operations take the height before the width.
// Blocks returned through `result` come from AllocateFrameBlock (block/frame_block.h) and are
// released by the caller with ReleaseFrameBlock. Beside the standard library, this folder uses
// only that allocator.
#pragma once

#include <cstdint>
#include <cstdio>

int EncodeFrame(const uint8_t* source, uint8_t* destination, int height, int width, bool hd);
int DecodeFrame(const uint8_t* source, uint8_t* destination, int height, int width);
int ClampToByte(int value);
int ResampleArea(const uint8_t* source, int sourceHeight, int sourceWidth, uint8_t** result,
                 int destinationHeight, int destinationWidth);
// Where ResampleArea's two trace lines go: standard output by default; nullptr drops them.
void SetTraceStream(std::FILE* stream);
enum class OutputRaster { HD1080, HD720, SD480, SD576 };
enum class AspectMode { Full, Keep };
struct BlankColor {
    uint8_t red, green, blue;
};
int FitToRaster(const uint8_t* plane, int pictureHeight, int pictureWidth, uint8_t** result,
                OutputRaster raster, AspectMode aspectMode, BlankColor blankColor);
int PadToRaster(const uint8_t* scaled, int scaledHeight, int scaledWidth, uint8_t** result,
                int rasterHeight, int rasterWidth, int letterbox, uint8_t red, uint8_t green,
                uint8_t blue);

// The size of each raster, height first.
struct RasterSize {
    int height;
    int width;
};
RasterSize RasterDimensions(OutputRaster raster);

// Row stride of a padded BgrRaster: width × 3 rounded up to a multiple of 4.
inline int PaddedStride(int width)
{
    return (width * 3 + 3) / 4 * 4;
}

// Sizes the operations leave open: ResampleArea refuses (result 1, after its trace lines) a
// negative destination size and, for a non-empty destination, a source without pixels; FitToRaster
// turns a picture without pixels into a raster of the blank colour.
//
// Odd widths: EncodeFrame and DecodeFrame pair the last pixel of a row of odd width with itself
// and touch only that pixel's own bytes: encoding writes its Y and the Cb of the pair (two bytes,
// the row being width × 2 bytes); decoding reads its Y and Cb and takes Cr as 128 (neutral).

// Kernel variants. Every operation has a plain scalar version, which is the reference, and faster
// variants (AVX2 with FMA, AVX-512; AVX-512 VBMI where present) that give identical bytes. The
// variant is picked once per call from the CPU's features, capped by a process-wide level so that
// tests and benchmarks can force the scalar reference or a given instruction set and compare. The
// default cap is Best.
enum class KernelLevel { Scalar = 0, Avx2 = 1, Avx512 = 2, Best = 3 };
void SetKernelLevel(KernelLevel level);
// The level in force: the lower of the cap and what this CPU supports.
KernelLevel ActiveKernelLevel();

// Upper bound on the threads one call may use (bands of rows); 0, the default, means one per core.
// The scalar level always runs on the calling thread alone.
void SetFrameThreadLimit(int threads);
