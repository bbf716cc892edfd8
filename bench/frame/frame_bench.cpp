// Benchmarks of the frame core. Names follow BM_<Operation>_<Variant>/<sizes, height first>, which
// scripts/bench turns into one table: Ours (the kernel in force, threads allowed), OneThread
// (the kernel in force on one thread), OneThreadAvx512 and OneThreadAvx2 (one thread with the
// level capped there; skipped where the CPU lacks it), Scalar (the plain reference), Peer
// (another library on the same work, in frame_bench_peers.cpp).
#include <cstdint>
#include <cstdlib>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench/frame/bench_common.h"
#include "block/frame_block.h"
#include "frame/frame.h"
#include "frame/kernels.h"

namespace {

enum class Variant { Ours, OneThread, OneThreadAvx512, OneThreadAvx2, Scalar };

KernelLevel LevelOf(Variant variant)
{
    switch (variant) {
        case Variant::Scalar:
            return KernelLevel::Scalar;
        case Variant::OneThreadAvx512:
            return KernelLevel::Avx512;
        case Variant::OneThreadAvx2:
            return KernelLevel::Avx2;
        default:
            return KernelLevel::Best;
    }
}

// Sets the kernel level and thread limit for one benchmark and restores the defaults after it.
class CVariantScope {
  public:
    explicit CVariantScope(Variant variant)
    {
        SetKernelLevel(LevelOf(variant));
        SetFrameThreadLimit(variant == Variant::Ours ? 0 : 1);
    }
    ~CVariantScope()
    {
        SetKernelLevel(KernelLevel::Best);
        SetFrameThreadLimit(0);
    }
};

template <Variant V>
void BM_EncodeFrame(benchmark::State& state)
{
    const int height = static_cast<int>(state.range(0)), width = static_cast<int>(state.range(1));
    const auto picture = RandomBytes(static_cast<size_t>(height) * width * 3, 1);
    std::vector<uint8_t> frame(static_cast<size_t>(height) * width * 2);
    CVariantScope scope(V);
    for (auto _ : state) {
        EncodeFrame(picture.data(), frame.data(), height, width, width > 1000);
        benchmark::DoNotOptimize(frame.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * height * width);
}

template <Variant V>
void BM_DecodeFrame(benchmark::State& state)
{
    const int height = static_cast<int>(state.range(0)), width = static_cast<int>(state.range(1));
    const auto frame = RandomBytes(static_cast<size_t>(height) * width * 2, 2);
    std::vector<uint8_t> picture(static_cast<size_t>(height) * width * 3);
    CVariantScope scope(V);
    for (auto _ : state) {
        DecodeFrame(frame.data(), picture.data(), height, width);
        benchmark::DoNotOptimize(picture.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * height * width);
}

// Args: source height, source width, destination height, destination width. The result comes
// from malloc on every call and is freed at once; after the first
// call the allocator hands back the same, already mapped memory.
template <Variant V>
void BM_ResampleArea(benchmark::State& state)
{
    const int sourceHeight = static_cast<int>(state.range(0));
    const int sourceWidth = static_cast<int>(state.range(1));
    const int height = static_cast<int>(state.range(2)), width = static_cast<int>(state.range(3));
    const auto plane =
        RandomBytes(static_cast<size_t>(PaddedStride(sourceWidth)) * sourceHeight, 3);
    CVariantScope scope(V);
    if (LevelOf(V) != KernelLevel::Best && ActiveKernelLevel() != LevelOf(V)) {
        state.SkipWithError("this CPU lacks the kernel level");
        return;
    }
    SetTraceStream(nullptr);
    for (auto _ : state) {
        uint8_t* result = nullptr;
        if (ResampleArea(plane.data(), sourceHeight, sourceWidth, &result, height, width) != 0) {
            state.SkipWithError("out of memory");
            break;
        }
        benchmark::DoNotOptimize(result);
        ReleaseFrameBlock(result);
    }
    SetTraceStream(stdout);
    state.SetItemsProcessed(state.iterations() * height * width);
}

void ConversionSizes(benchmark::internal::Benchmark* b)
{
    b->Args({1080, 1920})->Args({720, 1280})->Args({576, 720})->Unit(benchmark::kMillisecond);
}

void ResampleShapes(benchmark::internal::Benchmark* b)
{
    b->Args({2160, 3840, 1080, 1920})
        ->Args({768, 1024, 1080, 1440})
        ->Args({800, 1920, 300, 720})
        ->Args({480, 640, 1080, 1920})
        ->Args({487, 720, 1080, 1920})
        ->Unit(benchmark::kMillisecond);
}

}  // namespace

BENCHMARK(BM_EncodeFrame<Variant::Ours>)->Name("BM_EncodeFrame_Ours")->Apply(ConversionSizes);
BENCHMARK(BM_EncodeFrame<Variant::OneThread>)
    ->Name("BM_EncodeFrame_OneThread")
    ->Apply(ConversionSizes);
BENCHMARK(BM_EncodeFrame<Variant::Scalar>)->Name("BM_EncodeFrame_Scalar")->Apply(ConversionSizes);
BENCHMARK(BM_DecodeFrame<Variant::Ours>)->Name("BM_DecodeFrame_Ours")->Apply(ConversionSizes);
BENCHMARK(BM_DecodeFrame<Variant::OneThread>)
    ->Name("BM_DecodeFrame_OneThread")
    ->Apply(ConversionSizes);
BENCHMARK(BM_DecodeFrame<Variant::Scalar>)->Name("BM_DecodeFrame_Scalar")->Apply(ConversionSizes);
BENCHMARK(BM_ResampleArea<Variant::Ours>)->Name("BM_ResampleArea_Ours")->Apply(ResampleShapes);
BENCHMARK(BM_ResampleArea<Variant::OneThreadAvx512>)
    ->Name("BM_ResampleArea_OneThreadAvx512")
    ->Apply(ResampleShapes);
BENCHMARK(BM_ResampleArea<Variant::OneThreadAvx2>)
    ->Name("BM_ResampleArea_OneThreadAvx2")
    ->Apply(ResampleShapes);
BENCHMARK(BM_ResampleArea<Variant::Scalar>)->Name("BM_ResampleArea_Scalar")->Apply(ResampleShapes);

BENCHMARK_MAIN();
