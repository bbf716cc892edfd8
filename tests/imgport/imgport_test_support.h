// Helpers of the ImgPort tests: a temporary folder, pictures made in memory, files as bytes, and
// the loaders called with every out-parameter captured.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

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

// The corpus of third-party files (PngSuite, BMP Suite, libtiff, giflib, libjpeg-turbo samples),
// which is not part of the repository: the folder named by the environment variable
// IMGCAST_CORPUS_DIR when it is set, otherwise <source dir>/../shared/corpus. Empty when that
// folder does not exist.
std::string CorpusDir();
// True when the environment variable IMGCAST_REQUIRE_CORPUS is 1: a missing corpus then fails
// the tests that need it instead of skipping them.
bool CorpusRequired();
// The folder CorpusDir() looks at, for messages.
std::string CorpusSearchedDir();
// Every regular file under the corpus folder, sorted; none when it is absent.
std::vector<std::string> CorpusFiles();

}  // namespace imgport_test

// Opens a test that reads the corpus: skips it, visibly, when the corpus is absent (or fails it
// when the corpus is required).
#define SKIP_WITHOUT_CORPUS()                                                               \
    do {                                                                                    \
        if (imgport_test::CorpusDir().empty()) {                                            \
            if (imgport_test::CorpusRequired())                                             \
                FAIL() << "third-party corpus not found and IMGCAST_REQUIRE_CORPUS=1 (set " \
                          "IMGCAST_CORPUS_DIR)";                                            \
            GTEST_SKIP() << "third-party corpus not found (set IMGCAST_CORPUS_DIR) at "     \
                         << imgport_test::CorpusSearchedDir();                              \
        }                                                                                   \
    } while (false)
