// Picks the kernel level from the CPU's features (once) and the process-wide cap, and runs bands of
// rows on a small pool of worker threads that lives for the rest of the process.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <thread>

#include "frame/frame.h"
#include "frame/kernels.h"

namespace {

// The cap set by SetKernelLevel; Best by default.
std::atomic<int> g_kernelLevel{static_cast<int>(KernelLevel::Best)};
// The thread limit set by SetFrameThreadLimit; 0 means one thread per core.
std::atomic<int> g_frameThreadLimit{0};

// Variants written so far; raised as the SIMD files fill in.
constexpr int kHighestImplementedLevel = 2;

int DetectCpuLevel()
{
    // __builtin_cpu_supports also checks that the operating system saves the wide registers.
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512vl"))
        return 2;
    // The AVX2 resampler uses FMA too; every processor with AVX2 has it.
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return 1;
    return 0;
}

std::atomic<bool> g_allowVbmi{true};
std::atomic<bool> g_allowShares{true};
std::atomic<bool> g_resolveEveryShareTie{false};

int CpuLevel()
{
    static const int level = std::min(DetectCpuLevel(), kHighestImplementedLevel);
    return level;
}

int CoreCount()
{
    static const int cores =
        static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 1u, 16u));
    return cores;
}

// Workers wait for a generation number to change, then take bands in order until none is left;
// the caller takes bands too, so a worker that wakes late only finds less to do. One caller at a
// time owns the pool; a second caller meanwhile runs its bands on its own thread.
class CBandPool {
  public:
    explicit CBandPool(int workers)
    {
        for (int i = 0; i < workers; ++i) std::thread([this, i] { Work(i + 1); }).detach();
    }

    void Run(int bands, int threads, BandFn body, void* context)
    {
        std::unique_lock<std::mutex> owner(m_ownerMutex, std::try_to_lock);
        if (!owner.owns_lock()) {
            for (int band = 0; band < bands; ++band) body(context, band, 0);
            return;
        }
        std::unique_lock<std::mutex> lock(m_mutex);
        m_body = body;
        m_context = context;
        m_bands = bands;
        m_threads = threads;
        m_nextBand = 0;
        m_doneBands = 0;
        ++m_generation;
        m_published.store(m_generation, std::memory_order_release);
        lock.unlock();
        m_wake.notify_all();
        lock.lock();
        TakeBands(lock, 0);
        m_finished.wait(lock, [this] { return m_doneBands == m_bands; });
    }

  private:
    void TakeBands(std::unique_lock<std::mutex>& lock, int participant)
    {
        if (participant >= m_threads) return;
        while (m_nextBand < m_bands) {
            const int band = m_nextBand++;
            BandFn body = m_body;
            void* context = m_context;
            lock.unlock();
            body(context, band, participant);
            lock.lock();
            if (++m_doneBands == m_bands) m_finished.notify_all();
        }
    }

    void Work(int participant)
    {
        unsigned long long seen = 0;
        for (;;) {
            // A short spin first: back-to-back calls then find the worker awake.
            for (int spin = 0; spin < 20000 && m_published.load(std::memory_order_acquire) == seen;
                 ++spin)
                __builtin_ia32_pause();
            std::unique_lock<std::mutex> lock(m_mutex);
            m_wake.wait(lock, [&] { return m_generation != seen; });
            seen = m_generation;
            TakeBands(lock, participant);
        }
    }

    std::mutex m_ownerMutex;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_finished;
    unsigned long long m_generation = 0;
    std::atomic<unsigned long long> m_published{0};
    BandFn m_body = nullptr;
    void* m_context = nullptr;
    int m_bands = 0;
    int m_threads = 1;
    int m_nextBand = 0;
    int m_doneBands = 0;
};

CBandPool& Pool()
{
    // Never destroyed: the workers may still be waiting when the process ends.
    static CBandPool* pool = new CBandPool(CoreCount() - 1);
    return *pool;
}

}  // namespace

void SetKernelLevel(KernelLevel level)
{
    g_kernelLevel.store(static_cast<int>(level), std::memory_order_relaxed);
}

KernelLevel ActiveKernelLevel()
{
    return static_cast<KernelLevel>(KernelLevelInForce());
}

void SetFrameThreadLimit(int threads)
{
    g_frameThreadLimit.store(threads < 0 ? 0 : threads, std::memory_order_relaxed);
}

int KernelLevelInForce()
{
    return std::min(CpuLevel(), g_kernelLevel.load(std::memory_order_relaxed));
}

int ThreadsFor(size_t work)
{
    // Below about a million units (a 1280 × 720 conversion takes some 0.1 ms on one core) waking
    // a second thread saves too little, and nothing at all when the other core is busy.
    constexpr size_t kMinimumWorkForThreads = 1 << 20;
    if (work < kMinimumWorkForThreads || KernelLevelInForce() == 0) return 1;
    const int limit = g_frameThreadLimit.load(std::memory_order_relaxed);
    const int cores = CoreCount();
    return limit == 0 ? cores : std::min(limit, cores);
}

void RunBands(int bands, int threads, BandFn body, void* context)
{
    if (threads <= 1 || bands <= 1) {
        for (int band = 0; band < bands; ++band) body(context, band, 0);
        return;
    }
    Pool().Run(bands, std::min(threads, CoreCount()), body, context);
}

void AllowVbmiResampler(bool allow)
{
    g_allowVbmi.store(allow, std::memory_order_relaxed);
}

bool VbmiResamplerInForce()
{
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx512vbmi") != 0;
    }();
    return has && g_allowVbmi.load(std::memory_order_relaxed) && KernelLevelInForce() >= 2;
}

void AllowShareResampler(bool allow)
{
    g_allowShares.store(allow, std::memory_order_relaxed);
}

bool ShareResamplerAllowed()
{
    return g_allowShares.load(std::memory_order_relaxed);
}

void ResolveEveryShareTie(bool every)
{
    g_resolveEveryShareTie.store(every, std::memory_order_relaxed);
}

bool EveryShareTieResolved()
{
    return g_resolveEveryShareTie.load(std::memory_order_relaxed);
}
