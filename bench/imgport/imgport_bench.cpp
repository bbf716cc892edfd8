// ZorGdipLoadImage beside the plain codec call decoding the same file: TurboJPEG's tjDecompress2
// into blue-green-red, and libpng reading into blue-green-red rows. Both sides read the file from
// disk (the page cache, after the first run) and allocate the pixel buffer, so the ratio is the
// cost of the library's own work. The pictures are made at start-up in a temporary folder:
// JPEG quality 90, PNG with 3 and 4 bytes per pixel, 1920 × 1080 and 3840 × 2160.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <png.h>
#include <turbojpeg.h>

#include <benchmark/benchmark.h>

#include "block/frame_block.h"
#include "imgport/ImgPort.h"

namespace {

std::string g_folder;

std::string PicturePath(const char* kind, int height, int width)
{
    return g_folder + "/" + kind + "-" + std::to_string(width) + "x" + std::to_string(height);
}

// A photograph-like picture: gradients with fine detail and a little noise, alpha varying.
std::vector<uint8_t> MakePicture(int height, int width, int bytesPerPixel)
{
    std::vector<uint8_t> pixels(size_t(height) * width * bytesPerPixel);
    uint32_t noise = 1;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            uint8_t* p = &pixels[(size_t(y) * width + x) * bytesPerPixel];
            noise = noise * 1664525u + 1013904223u;
            int n = int(noise >> 29);
            p[0] = uint8_t((x * 255 / width + n) & 0xFF);
            p[1] = uint8_t((y * 255 / height + ((x / 7 + y / 5) % 16)) & 0xFF);
            p[2] = uint8_t(((x + y) * 255 / (width + height) + n) & 0xFF);
            if (bytesPerPixel == 4) p[3] = uint8_t(255 - (x * 255 / width));
        }
    return pixels;
}

void MakePictures()
{
    g_folder = (std::filesystem::temp_directory_path() / "imgport-bench-XXXXXX").string();
    if (mkdtemp(g_folder.data()) == nullptr) std::abort();
    for (auto [height, width] : {std::pair{1080, 1920}, {2160, 3840}}) {
        auto rgb = MakePicture(height, width, 3);
        auto rgba = MakePicture(height, width, 4);
        if (ZorGdipSaveImageJPG(PicturePath("jpeg", height, width).c_str(), width, height, 90,
                                rgb.data()) != 0 ||
            ZorGdipSaveImagePNG(PicturePath("png24", height, width).c_str(), width, height, 3,
                                rgb.data()) != 0 ||
            ZorGdipSaveImagePNG(PicturePath("png32", height, width).c_str(), width, height, 4,
                                rgba.data()) != 0)
            std::abort();
    }
}

void LoadWithImgPort(benchmark::State& state, const char* kind)
{
    std::string path = PicturePath(kind, int(state.range(0)), int(state.range(1)));
    for (auto _ : state) {
        unsigned width = 0, height = 0, bytesPerPixel = 0;
        unsigned char* pixels = nullptr;
        if (ZorGdipLoadImage(path.c_str(), &width, &height, &bytesPerPixel, &pixels) != 0)
            state.SkipWithError("load failed");
        benchmark::DoNotOptimize(pixels);
        ZorGdipDeletImage(&pixels);
    }
}

std::vector<uint8_t> ReadFile(const std::string& path)
{
    std::vector<uint8_t> bytes;
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return bytes;
    std::fseek(file, 0, SEEK_END);
    bytes.resize(size_t(std::ftell(file)));
    std::fseek(file, 0, SEEK_SET);
    if (std::fread(bytes.data(), 1, bytes.size(), file) != bytes.size()) bytes.clear();
    std::fclose(file);
    return bytes;
}

void LoadWithTurboJpeg(benchmark::State& state)
{
    std::string path = PicturePath("jpeg", int(state.range(0)), int(state.range(1)));
    tjhandle handle = tjInitDecompress();
    for (auto _ : state) {
        std::vector<uint8_t> file = ReadFile(path);
        int width = 0, height = 0, subsampling = 0, colourspace = 0;
        tjDecompressHeader3(handle, file.data(), file.size(), &width, &height, &subsampling,
                            &colourspace);
        auto* pixels = static_cast<unsigned char*>(std::malloc(size_t(width) * height * 3));
        if (tjDecompress2(handle, file.data(), file.size(), pixels, width, 0, height, TJPF_BGR,
                          0) != 0)
            state.SkipWithError("tjDecompress2 failed");
        benchmark::DoNotOptimize(pixels);
        ReleaseFrameBlock(pixels);
    }
    tjDestroy(handle);
}

void LoadWithLibpng(benchmark::State& state, const char* kind)
{
    std::string path = PicturePath(kind, int(state.range(0)), int(state.range(1)));
    for (auto _ : state) {
        FILE* file = std::fopen(path.c_str(), "rb");
        png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
        png_infop info = png_create_info_struct(png);
        unsigned char* pixels = nullptr;
        std::vector<png_bytep> rows;
        if (setjmp(png_jmpbuf(png))) {
            state.SkipWithError("libpng failed");
        } else {
            png_init_io(png, file);
            png_read_info(png, info);
            png_set_bgr(png);
            png_read_update_info(png, info);
            png_uint_32 height = png_get_image_height(png, info);
            size_t rowBytes = png_get_rowbytes(png, info);
            pixels = static_cast<unsigned char*>(std::malloc(rowBytes * height));
            rows.resize(height);
            for (png_uint_32 y = 0; y < height; ++y) rows[y] = pixels + rowBytes * y;
            png_read_image(png, rows.data());
            png_read_end(png, nullptr);
        }
        png_destroy_read_struct(&png, &info, nullptr);
        std::fclose(file);
        benchmark::DoNotOptimize(pixels);
        ReleaseFrameBlock(pixels);
    }
}

void BM_ImgPortJpeg(benchmark::State& state)
{
    LoadWithImgPort(state, "jpeg");
}
void BM_PlainTurboJpeg(benchmark::State& state)
{
    LoadWithTurboJpeg(state);
}
void BM_ImgPortPng24(benchmark::State& state)
{
    LoadWithImgPort(state, "png24");
}
void BM_PlainLibpng24(benchmark::State& state)
{
    LoadWithLibpng(state, "png24");
}
void BM_ImgPortPng32(benchmark::State& state)
{
    LoadWithImgPort(state, "png32");
}
void BM_PlainLibpng32(benchmark::State& state)
{
    LoadWithLibpng(state, "png32");
}

#define IMGPORT_SIZES ->Args({1080, 1920})->Args({2160, 3840})->Unit(benchmark::kMillisecond)
BENCHMARK(BM_ImgPortJpeg) IMGPORT_SIZES;
BENCHMARK(BM_PlainTurboJpeg) IMGPORT_SIZES;
BENCHMARK(BM_ImgPortPng24) IMGPORT_SIZES;
BENCHMARK(BM_PlainLibpng24) IMGPORT_SIZES;
BENCHMARK(BM_ImgPortPng32) IMGPORT_SIZES;
BENCHMARK(BM_PlainLibpng32) IMGPORT_SIZES;

// Prints, after the usual table, ours ÷ plain for each pair (median when repetitions are asked).
class CRatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            bool aggregate = run.run_type == Run::RT_Aggregate;
            if (aggregate && run.aggregate_name != "median") continue;
            std::string name = run.run_name.str();
            if (!aggregate && m_times.count(name) && m_hasMedian.count(name)) continue;
            m_times[name] = run.GetAdjustedRealTime();
            if (aggregate) m_hasMedian[name] = true;
        }
    }
    void Finalize() override
    {
        ConsoleReporter::Finalize();
        const char* kPairs[][3] = {{"BM_ImgPortJpeg", "BM_PlainTurboJpeg", "JPEG q90"},
                                   {"BM_ImgPortPng24", "BM_PlainLibpng24", "PNG 24-bit"},
                                   {"BM_ImgPortPng32", "BM_PlainLibpng32", "PNG 32-bit"}};
        std::printf("\nZorGdipLoadImage / plain codec call (real time):\n");
        for (const auto& pair : kPairs)
            for (const char* size : {"/1080/1920", "/2160/3840"}) {
                auto ours = m_times.find(std::string(pair[0]) + size);
                auto plain = m_times.find(std::string(pair[1]) + size);
                if (ours != m_times.end() && plain != m_times.end() && plain->second > 0)
                    std::printf("  %-11s %-10s %.3f\n", pair[2], size + 1,
                                ours->second / plain->second);
            }
    }

  private:
    std::map<std::string, double> m_times;
    std::map<std::string, bool> m_hasMedian;
};

}  // namespace

int main(int argc, char** argv)
{
    MakePictures();
    benchmark::Initialize(&argc, argv);
    CRatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    std::filesystem::remove_all(g_folder);
    return 0;
}
