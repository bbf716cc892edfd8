#include "block/frame_block.h"

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <type_traits>

#include <sys/mman.h>

namespace {

constexpr size_t kHugePage = size_t{2} << 20;
// The cache keeps at most this much: the planes of a 4K picture with alpha, or a dozen 1080
// frames. The program (and the library, which has its own cache) holds it while idle.
constexpr size_t kCacheLimitBytes = size_t{64} << 20;
constexpr size_t kCacheLimitBlocks = 16;

struct Mapping {
    uint8_t* start;
    size_t length;
};

// Blocks handed out and blocks kept for reuse. A job holds a few blocks at a time, so fixed tables
// searched under one mutex are enough; when the table of blocks in use is full, a block comes from
// malloc instead (ReleaseFrameBlock frees what it does not find). The registry holds no heap
// memory and needs no destructor, so it is valid from the first call to the process's (or the
// library's) very end, whatever order static objects are destroyed in.
constexpr size_t kMaxBlocksInUse = 256;

struct BlockRegistry {
    std::mutex mutex;
    Mapping inUse[kMaxBlocksInUse];
    size_t inUseCount = 0;
    Mapping cached[kCacheLimitBlocks];
    size_t cachedCount = 0;
    size_t cachedBytes = 0;
    uint64_t mapped = 0;
    uint64_t reused = 0;
};
static_assert(std::is_trivially_destructible_v<BlockRegistry>);

BlockRegistry g_registry;

BlockRegistry& Registry()
{
    return g_registry;
}

// An anonymous mapping of `length` bytes (a multiple of kHugePage) starting on a 2 MiB boundary:
// a larger mapping is made and the slack before and after the aligned part is unmapped.
uint8_t* MapAligned(size_t length)
{
    const size_t padded = length + kHugePage;
    void* raw = ::mmap(nullptr, padded, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    auto* base = static_cast<uint8_t*>(raw);
    auto* start = reinterpret_cast<uint8_t*>((reinterpret_cast<uintptr_t>(base) + kHugePage - 1) &
                                             ~(uintptr_t{kHugePage} - 1));
    const size_t head = static_cast<size_t>(start - base);
    if (head > 0) ::munmap(base, head);
    const size_t tail = padded - head - length;
    if (tail > 0) ::munmap(start + length, tail);
    // Advice only: without transparent huge pages the block still works with small pages.
    ::madvise(start, length, MADV_HUGEPAGE);
    return start;
}

}  // namespace

void* AllocateFrameBlock(size_t bytes)
{
    if (bytes < kLargeFrameBlock) return std::malloc(bytes == 0 ? 1 : bytes);
    if (bytes > SIZE_MAX - 2 * kHugePage) return nullptr;
    const size_t length = (bytes + kHugePage - 1) / kHugePage * kHugePage;

    BlockRegistry& registry = Registry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    if (registry.inUseCount == kMaxBlocksInUse) return std::malloc(bytes);
    // The smallest cached block that holds the request, as long as it wastes less than half.
    size_t best = registry.cachedCount;
    for (size_t i = 0; i < registry.cachedCount; ++i) {
        const Mapping& candidate = registry.cached[i];
        if (candidate.length >= length && candidate.length / 2 < length &&
            (best == registry.cachedCount || candidate.length < registry.cached[best].length))
            best = i;
    }
    Mapping mapping{};
    if (best != registry.cachedCount) {
        mapping = registry.cached[best];
        registry.cached[best] = registry.cached[--registry.cachedCount];
        registry.cachedBytes -= mapping.length;
        ++registry.reused;
    } else {
        mapping.start = MapAligned(length);
        if (mapping.start == nullptr) return nullptr;
        mapping.length = length;
        ++registry.mapped;
    }
    registry.inUse[registry.inUseCount++] = mapping;
    return mapping.start;
}

void ReleaseFrameBlock(void* block)
{
    if (block == nullptr) return;
    BlockRegistry& registry = Registry();
    std::unique_lock<std::mutex> lock(registry.mutex);
    size_t index = 0;
    while (index < registry.inUseCount && registry.inUse[index].start != block) ++index;
    if (index == registry.inUseCount) {
        lock.unlock();
        std::free(block);  // a small block, or one from malloc while the table was full
        return;
    }
    const Mapping mapping = registry.inUse[index];
    registry.inUse[index] = registry.inUse[--registry.inUseCount];
    if (registry.cachedCount < kCacheLimitBlocks &&
        registry.cachedBytes + mapping.length <= kCacheLimitBytes) {
        registry.cached[registry.cachedCount++] = mapping;
        registry.cachedBytes += mapping.length;
        return;
    }
    ::munmap(mapping.start, mapping.length);
}

void TrimFrameBlocks()
{
    BlockRegistry& registry = Registry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    for (size_t i = 0; i < registry.cachedCount; ++i)
        ::munmap(registry.cached[i].start, registry.cached[i].length);
    registry.cachedCount = 0;
    registry.cachedBytes = 0;
}

FrameBlockCounts GetFrameBlockCounts()
{
    BlockRegistry& registry = Registry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    return {registry.mapped, registry.reused, registry.cachedBytes};
}
