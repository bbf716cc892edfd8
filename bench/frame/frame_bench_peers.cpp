// The same work through other libraries, single-threaded: libyuv's two-step paths between packed
// 24-bit pixels and YUY2 (Y0 U Y1 V, the switcher's byte order) through an ARGB frame (BT.601
// only), and OpenCV's INTER_AREA resize of 8-bit three-channel pictures.
#include <cstdint>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench/frame/bench_common.h"

#include <libyuv.h>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

namespace {

void BM_EncodeFrame_Peer(benchmark::State& state)
{
    const int height = static_cast<int>(state.range(0)), width = static_cast<int>(state.range(1));
    const auto picture = RandomBytes(static_cast<size_t>(height) * width * 3, 1);
    std::vector<uint8_t> argb(static_cast<size_t>(height) * width * 4);
    std::vector<uint8_t> frame(static_cast<size_t>(height) * width * 2);
    for (auto _ : state) {
        // libyuv's "RGB24" is blue, green, red in memory, like a BgrRaster.
        libyuv::RGB24ToARGB(picture.data(), width * 3, argb.data(), width * 4, width, height);
        libyuv::ARGBToYUY2(argb.data(), width * 4, frame.data(), width * 2, width, height);
        benchmark::DoNotOptimize(frame.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * height * width);
}

void BM_DecodeFrame_Peer(benchmark::State& state)
{
    const int height = static_cast<int>(state.range(0)), width = static_cast<int>(state.range(1));
    const auto frame = RandomBytes(static_cast<size_t>(height) * width * 2, 2);
    std::vector<uint8_t> argb(static_cast<size_t>(height) * width * 4);
    std::vector<uint8_t> picture(static_cast<size_t>(height) * width * 3);
    for (auto _ : state) {
        libyuv::YUY2ToARGB(frame.data(), width * 2, argb.data(), width * 4, width, height);
        libyuv::ARGBToRGB24(argb.data(), width * 4, picture.data(), width * 3, width, height);
        benchmark::DoNotOptimize(picture.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * height * width);
}

void BM_ResampleArea_Peer(benchmark::State& state)
{
    const int sourceHeight = static_cast<int>(state.range(0));
    const int sourceWidth = static_cast<int>(state.range(1));
    const int height = static_cast<int>(state.range(2)), width = static_cast<int>(state.range(3));
    const auto bytes = RandomBytes(static_cast<size_t>(sourceHeight) * sourceWidth * 3, 3);
    const cv::Mat source(sourceHeight, sourceWidth, CV_8UC3, const_cast<uint8_t*>(bytes.data()));
    cv::Mat destination(height, width, CV_8UC3);
    cv::setNumThreads(1);
    for (auto _ : state) {
        cv::resize(source, destination, cv::Size(width, height), 0, 0, cv::INTER_AREA);
        benchmark::DoNotOptimize(destination.data);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * height * width);
}

}  // namespace

BENCHMARK(BM_EncodeFrame_Peer)
    ->Args({1080, 1920})
    ->Args({720, 1280})
    ->Args({576, 720})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodeFrame_Peer)
    ->Args({1080, 1920})
    ->Args({720, 1280})
    ->Args({576, 720})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ResampleArea_Peer)
    ->Args({2160, 3840, 1080, 1920})
    ->Args({768, 1024, 1080, 1440})
    ->Args({800, 1920, 300, 720})
    ->Args({480, 640, 1080, 1920})
    ->Args({487, 720, 1080, 1920})
    ->Unit(benchmark::kMillisecond);
