// Shared by the frame benchmarks: random inputs and the standard output redirect that keeps the
// resampler's trace lines out of the report.
#pragma once

#include <cstdint>
#include <cstdio>
#include <random>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

inline std::vector<uint8_t> RandomBytes(size_t count, uint32_t seed)
{
    std::vector<uint8_t> bytes(count);
    std::mt19937 random(seed);
    for (auto& byte : bytes) byte = static_cast<uint8_t>(random());
    return bytes;
}

// While alive, file descriptor 1 points at /dev/null (the trace lines are still written, and
// their cost is part of the measurement).
class CQuietStdout {
  public:
    CQuietStdout()
    {
        fflush(stdout);
        m_saved = dup(1);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        close(null);
    }
    ~CQuietStdout()
    {
        fflush(stdout);
        dup2(m_saved, 1);
        close(m_saved);
    }
    CQuietStdout(const CQuietStdout&) = delete;
    CQuietStdout& operator=(const CQuietStdout&) = delete;

  private:
    int m_saved;
};
