// Area-averaging reduction for the reduced loaders: every delivered pixel is the mean of the
// source area it covers, with fractional weights at the area's edges. Separable: each source row
// is first reduced horizontally, then rows are summed into the delivered row they overlap.
#include <algorithm>
#include <cmath>
#include <new>
#include <vector>

#include "imgport/picture_codec.h"

namespace imgport {
namespace {

// Source pixels [first, first + weights.size()) with their share of one delivered pixel.
struct Span {
    uint32_t first = 0;
    std::vector<float> weights;
};

std::vector<Span> MakeSpans(uint32_t sourceSide, uint32_t resultSide)
{
    std::vector<Span> spans(resultSide);
    double scale = static_cast<double>(sourceSide) / resultSide;
    for (uint32_t i = 0; i < resultSide; ++i) {
        double begin = i * scale;
        double end = (i + 1) * scale;
        uint32_t first = static_cast<uint32_t>(std::floor(begin));
        uint32_t last = static_cast<uint32_t>(std::ceil(end));
        if (last > sourceSide) last = sourceSide;
        if (last <= first) last = first + 1;
        spans[i].first = first;
        for (uint32_t s = first; s < last; ++s) {
            double overlap = std::fmin(end, s + 1.0) - std::fmax(begin, static_cast<double>(s));
            spans[i].weights.push_back(static_cast<float>(overlap > 0 ? overlap / scale : 0));
        }
    }
    return spans;
}

inline uint8_t RoundToByte(float value)
{
    if (!(value > 0)) return 0;
    if (value >= 255) return 255;
    return static_cast<uint8_t>(value + 0.5f);
}

}  // namespace

bool ResampleArea(const uint8_t* source, uint32_t sourceHeight, uint32_t sourceWidth,
                  uint32_t bytesPerPixel, uint8_t* result, uint32_t resultHeight,
                  uint32_t resultWidth)
{
    // Channels summed per delivered pixel: 3 colours; or, with alpha, the alpha-weighted colours,
    // alpha, and the plain colours (used where the whole area is transparent).
    const uint32_t channels = bytesPerPixel == 4 ? 7 : 3;
    try {
        std::vector<Span> columns = MakeSpans(sourceWidth, resultWidth);
        std::vector<Span> rows = MakeSpans(sourceHeight, resultHeight);
        std::vector<float> sum(size_t{resultWidth} * channels);
        size_t sourceRowBytes = size_t{sourceWidth} * bytesPerPixel;
        size_t resultRowBytes = size_t{resultWidth} * bytesPerPixel;

        for (uint32_t y = 0; y < resultHeight; ++y) {
            std::fill(sum.begin(), sum.end(), 0.0f);
            const Span& rowSpan = rows[y];
            for (size_t r = 0; r < rowSpan.weights.size(); ++r) {
                const uint8_t* in = source + sourceRowBytes * (rowSpan.first + r);
                float rowWeight = rowSpan.weights[r];
                for (uint32_t x = 0; x < resultWidth; ++x) {
                    const Span& column = columns[x];
                    float acc[7] = {0, 0, 0, 0, 0, 0, 0};
                    const uint8_t* pixel = in + size_t{column.first} * bytesPerPixel;
                    for (float weight : column.weights) {
                        if (bytesPerPixel == 4) {
                            float alpha = pixel[3] * weight;
                            acc[0] += pixel[0] * alpha;
                            acc[1] += pixel[1] * alpha;
                            acc[2] += pixel[2] * alpha;
                            acc[3] += alpha;
                            acc[4] += pixel[0] * weight;
                            acc[5] += pixel[1] * weight;
                            acc[6] += pixel[2] * weight;
                        } else {
                            acc[0] += pixel[0] * weight;
                            acc[1] += pixel[1] * weight;
                            acc[2] += pixel[2] * weight;
                        }
                        pixel += bytesPerPixel;
                    }
                    float* out = &sum[size_t{x} * channels];
                    for (uint32_t c = 0; c < channels; ++c) out[c] += acc[c] * rowWeight;
                }
            }
            uint8_t* out = result + resultRowBytes * y;
            for (uint32_t x = 0; x < resultWidth; ++x) {
                const float* s = &sum[size_t{x} * channels];
                uint8_t* pixel = out + size_t{x} * bytesPerPixel;
                if (bytesPerPixel == 4) {
                    if (s[3] > 0.0f) {
                        pixel[0] = RoundToByte(s[0] / s[3]);
                        pixel[1] = RoundToByte(s[1] / s[3]);
                        pixel[2] = RoundToByte(s[2] / s[3]);
                    } else {
                        pixel[0] = RoundToByte(s[4]);
                        pixel[1] = RoundToByte(s[5]);
                        pixel[2] = RoundToByte(s[6]);
                    }
                    pixel[3] = RoundToByte(s[3]);
                } else {
                    pixel[0] = RoundToByte(s[0]);
                    pixel[1] = RoundToByte(s[1]);
                    pixel[2] = RoundToByte(s[2]);
                }
            }
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

}  // namespace imgport
