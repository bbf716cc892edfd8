// Bringing a picture plane to the size of the chosen raster: a plain copy, a stretch, or a scale
// that keeps the aspect ratio followed by blank bars.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "block/frame_block.h"
#include "frame/frame.h"

RasterSize RasterDimensions(OutputRaster raster)
{
    switch (raster) {
        case OutputRaster::HD720:
            return {720, 1280};
        case OutputRaster::SD480:
            return {487, 720};  // 487 lines, not 480
        case OutputRaster::SD576:
            return {576, 720};
        case OutputRaster::HD1080:
        default:
            return {1080, 1920};
    }
}

namespace {

void FillBlank(uint8_t* pixels, size_t count, uint8_t red, uint8_t green, uint8_t blue)
{
    for (size_t i = 0; i < count; ++i) {
        pixels[3 * i] = blue;
        pixels[3 * i + 1] = green;
        pixels[3 * i + 2] = red;
    }
}

}  // namespace

int PadToRaster(const uint8_t* scaled, int scaledHeight, int scaledWidth, uint8_t** result,
                int rasterHeight, int rasterWidth, int letterbox, uint8_t red, uint8_t green,
                uint8_t blue)
{
    const int height = std::max(rasterHeight, 0);
    const int width = std::max(rasterWidth, 0);
    const size_t rowBytes = static_cast<size_t>(width) * 3;
    uint8_t* raster = static_cast<uint8_t*>(AllocateFrameBlock(rowBytes * height));
    if (raster == nullptr) return 1;
    const int64_t scaledPixels =
        static_cast<int64_t>(std::max(scaledHeight, 0)) * std::max(scaledWidth, 0);
    // The pixel a raster position takes from the scaled picture, or -1 for a blank pixel. A
    // position whose index would fall outside the scaled picture (only when the scaled size does
    // not match the raster along the side without bars) is left blank rather than read.
    auto sourcePixel = [&](int i, int j) -> int64_t {
        int64_t index;
        if (letterbox) {
            const int top = (rasterHeight - scaledHeight) / 2;
            if (i < top || i >= top + scaledHeight) return -1;
            index = static_cast<int64_t>(i - top) * scaledWidth + j;
        } else {
            const int left = (rasterWidth - scaledWidth) / 2;
            if (j < left || j >= left + scaledWidth) return -1;
            index = static_cast<int64_t>(i) * scaledWidth + j - left;
        }
        return index >= 0 && index < scaledPixels ? index : -1;
    };
    const bool regular = scaledHeight >= 0 && scaledWidth >= 0 &&
                         (letterbox ? scaledWidth == rasterWidth && scaledHeight <= rasterHeight
                                    : scaledHeight == rasterHeight && scaledWidth <= rasterWidth);
    for (int i = 0; i < height; ++i) {
        uint8_t* row = raster + rowBytes * i;
        if (regular) {
            // Whole runs: the bars, then the picture's row, as the per-pixel rule gives them.
            const int64_t first = sourcePixel(i, letterbox ? 0 : (rasterWidth - scaledWidth) / 2);
            if (letterbox) {
                if (first < 0)
                    FillBlank(row, width, red, green, blue);
                else
                    memcpy(row, scaled + first * 3, rowBytes);
            } else {
                const int left = (rasterWidth - scaledWidth) / 2;
                FillBlank(row, left, red, green, blue);
                if (scaledWidth > 0)
                    memcpy(row + static_cast<size_t>(left) * 3, scaled + first * 3,
                           static_cast<size_t>(scaledWidth) * 3);
                FillBlank(row + static_cast<size_t>(left + scaledWidth) * 3,
                          width - left - scaledWidth, red, green, blue);
            }
            continue;
        }
        for (int j = 0; j < width; ++j) {
            const int64_t index = sourcePixel(i, j);
            if (index < 0)
                FillBlank(row + static_cast<size_t>(j) * 3, 1, red, green, blue);
            else
                memcpy(row + static_cast<size_t>(j) * 3, scaled + index * 3, 3);
        }
    }
    *result = raster;
    return 0;
}

int FitToRaster(const uint8_t* plane, int pictureHeight, int pictureWidth, uint8_t** result,
                OutputRaster raster, AspectMode aspectMode, BlankColor blankColor)
{
    const RasterSize size = RasterDimensions(raster);
    const int64_t h = pictureHeight, w = pictureWidth, rasterHeight = size.height,
                  rasterWidth = size.width;
    const size_t bytes = static_cast<size_t>(size.height) * size.width * 3;
    if (h == rasterHeight && w == rasterWidth) {
        uint8_t* copy = static_cast<uint8_t*>(AllocateFrameBlock(bytes));
        if (copy == nullptr) return 1;
        memcpy(copy, plane, bytes);
        *result = copy;
        return 0;
    }
    if (h <= 0 || w <= 0) {
        // A picture without pixels has nothing to scale: the raster is all blank.
        return PadToRaster(nullptr, 0, size.width, result, size.height, size.width, 1,
                           blankColor.red, blankColor.green, blankColor.blue);
    }
    if (aspectMode != AspectMode::Keep || h * rasterWidth == w * rasterHeight)
        return ResampleArea(plane, pictureHeight, pictureWidth, result, size.height, size.width);
    // H ÷ W < h ÷ w, compared exactly as H × w < h × W (all positive, 64-bit products).
    int scaledHeight, scaledWidth, letterbox;
    if (rasterHeight * w < h * rasterWidth) {
        scaledHeight = size.height;
        scaledWidth = static_cast<int>(w * rasterHeight / h);
        letterbox = 0;
    } else {
        scaledWidth = size.width;
        scaledHeight = static_cast<int>(h * rasterWidth / w);
        letterbox = 1;
    }
    uint8_t* scaled = nullptr;
    if (ResampleArea(plane, pictureHeight, pictureWidth, &scaled, scaledHeight, scaledWidth) != 0)
        return 1;
    const int code = PadToRaster(scaled, scaledHeight, scaledWidth, result, size.height, size.width,
                                 letterbox, blankColor.red, blankColor.green, blankColor.blue);
    ReleaseFrameBlock(scaled);
    return code;
}
