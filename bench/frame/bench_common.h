// Shared by the frame benchmarks: random inputs.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

inline std::vector<uint8_t> RandomBytes(size_t count, uint32_t seed)
{
    std::vector<uint8_t> bytes(count);
    std::mt19937 random(seed);
    for (auto& byte : bytes) byte = static_cast<uint8_t>(random());
    return bytes;
}
