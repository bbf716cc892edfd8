// Helpers of the ImgPort tests: a temporary folder, pictures made in memory, files as bytes, and
// the loaders called with every out-parameter captured.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/corpus.h"
#include "tests/support/temp_folder.h"

namespace imgport_test {

// A packed picture whose bytes differ from pixel to pixel and row to row (alpha included).
std::vector<uint8_t> MakePattern(int height, int width, int bytesPerPixel);
// A smooth picture (gradients), which lossy codecs keep close to the original.
std::vector<uint8_t> MakeSmooth(int height, int width, int bytesPerPixel);

bool WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes);
std::vector<uint8_t> ReadBytes(const std::string& path);
bool FileExists(const std::string& path);

using LoaderFn = int (*)(const char*, unsigned int*, unsigned int*, unsigned int*, unsigned char**);

// Everything a loader wrote. The pixels are copied and the library's buffer released.
struct LoadOutcome {
    int result = -1;
    unsigned int width = 0xDEAD;
    unsigned int height = 0xDEAD;
    unsigned int bytesPerPixel = 0xDEAD;
    bool pixelsNull = false;
    std::vector<uint8_t> pixels;
};
LoadOutcome Load(LoaderFn loader, const std::string& path);

// Mean absolute difference of two equally long buffers.
double MeanAbsoluteDifference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b);

// Every regular file under the corpus folder, sorted; none when it is absent.
std::vector<std::string> CorpusFiles();

}  // namespace imgport_test
