// The corpus of third-party files (PngSuite, BMP Suite, libtiff, giflib, libjpeg-turbo samples),
// which is not part of the repository: the folder named by the environment variable
// IMGCAST_CORPUS_DIR when it is set, otherwise <source dir>/../shared/corpus. A test that needs
// it opens with SKIP_WITHOUT_CORPUS(): skipped, visibly, when the corpus is absent, and failed
// instead when IMGCAST_REQUIRE_CORPUS=1 (as CI sets it, which has the corpus).
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#ifndef IMGCAST_SOURCE_DIR
#error "tests that read the corpus need the IMGCAST_SOURCE_DIR definition"
#endif

// The folder the corpus is looked for in, for messages.
inline std::string CorpusSearchedDir()
{
    const char* fromEnvironment = std::getenv("IMGCAST_CORPUS_DIR");
    if (fromEnvironment != nullptr && fromEnvironment[0] != '\0') return fromEnvironment;
    return std::string(IMGCAST_SOURCE_DIR) + "/../shared/corpus";
}

// The corpus folder, or "" when it does not exist.
inline std::string CorpusDir()
{
    std::string dir = CorpusSearchedDir();
    std::error_code ignored;
    return std::filesystem::is_directory(dir, ignored) ? dir : std::string();
}

inline bool CorpusRequired()
{
    const char* required = std::getenv("IMGCAST_REQUIRE_CORPUS");
    return required != nullptr && std::string(required) == "1";
}

#define SKIP_WITHOUT_CORPUS()                                                               \
    do {                                                                                    \
        if (CorpusDir().empty()) {                                                          \
            if (CorpusRequired())                                                           \
                FAIL() << "third-party corpus not found and IMGCAST_REQUIRE_CORPUS=1 (set " \
                          "IMGCAST_CORPUS_DIR)";                                            \
            GTEST_SKIP() << "third-party corpus not found (set IMGCAST_CORPUS_DIR) at "     \
                         << CorpusSearchedDir();                                            \
        }                                                                                   \
    } while (false)
