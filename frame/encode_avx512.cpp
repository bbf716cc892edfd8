// AVX-512 variants of the colour conversions; the only file built with -mavx512bw for them.
#include "frame/kernels.h"

void EncodeRowAvx512(const uint8_t* bgr, uint8_t* ycbcr, int width, const CoefficientSet& set)
{
    EncodeRowAvx2(bgr, ycbcr, width, set);
}

void DecodeRowAvx512(const uint8_t* ycbcr, uint8_t* bgr, int width, const CoefficientSet& set)
{
    DecodeRowAvx2(ycbcr, bgr, width, set);
}
