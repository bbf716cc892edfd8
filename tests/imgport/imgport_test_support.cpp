#include "imgport_test_support.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "imgport/ImgPort.h"

namespace imgport_test {

std::vector<uint8_t> MakePattern(int height, int width, int bytesPerPixel)
{
    std::vector<uint8_t> pixels(size_t(height) * width * bytesPerPixel);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < bytesPerPixel; ++c)
                pixels[(size_t(y) * width + x) * bytesPerPixel + c] =
                    static_cast<uint8_t>(x * 7 + y * 13 + c * 71 + (x * y) % 11);
    return pixels;
}

std::vector<uint8_t> MakeSmooth(int height, int width, int bytesPerPixel)
{
    std::vector<uint8_t> pixels(size_t(height) * width * bytesPerPixel);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            uint8_t* p = &pixels[(size_t(y) * width + x) * bytesPerPixel];
            p[0] = static_cast<uint8_t>(255 * x / std::max(1, width - 1));
            p[1] = static_cast<uint8_t>(255 * y / std::max(1, height - 1));
            p[2] = static_cast<uint8_t>(255 * (x + y) / std::max(1, width + height - 2));
            if (bytesPerPixel == 4)
                p[3] = static_cast<uint8_t>(255 - 255 * x / std::max(1, width - 1));
        }
    return pixels;
}

bool WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    return bool(out);
}

std::vector<uint8_t> ReadBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

bool FileExists(const std::string& path)
{
    std::error_code ignored;
    return std::filesystem::exists(path, ignored);
}

LoadOutcome Load(LoaderFn loader, const std::string& path)
{
    LoadOutcome outcome;
    unsigned char* pixels = reinterpret_cast<unsigned char*>(&outcome);  // must be overwritten
    outcome.result =
        loader(path.c_str(), &outcome.width, &outcome.height, &outcome.bytesPerPixel, &pixels);
    outcome.pixelsNull = pixels == nullptr;
    if (outcome.result == 0 && pixels != nullptr) {
        size_t bytes = size_t(outcome.width) * outcome.height * outcome.bytesPerPixel;
        outcome.pixels.assign(pixels, pixels + bytes);
        ZorGdipDeletImage(&pixels);
    }
    return outcome;
}

double MeanAbsoluteDifference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b)
{
    if (a.size() != b.size() || a.empty()) return 1e9;
    double sum = 0;
    for (size_t i = 0; i < a.size(); ++i) sum += std::abs(int(a[i]) - int(b[i]));
    return sum / double(a.size());
}

std::vector<std::string> CorpusFiles()
{
    std::vector<std::string> files;
    std::string dir = CorpusDir();
    if (dir.empty()) return files;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir, ignored))
        if (entry.is_regular_file()) files.push_back(entry.path().string());
    std::sort(files.begin(), files.end());
    return files;
}

}  // namespace imgport_test
