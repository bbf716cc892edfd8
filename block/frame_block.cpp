#include "block/frame_block.h"

#include <algorithm>
#include <cstdlib>
#include <mutex>

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

// Blocks handed out and blocks kept for reuse. A job holds a few blocks at a time, so plain
// vectors searched under one mutex are enough.
struct BlockRegistry {
    std::mutex mutex;
    std::vector<Mapping> inUse;
    std::vector<Mapping> cached;
    size_t cachedBytes = 0;
    uint64_t mapped = 0;
    uint64_t reused = 0;
};

BlockRegistry& Registry()
{
    static BlockRegistry* registry = new BlockRegistry;  // lives until exit, never destroyed
    return *registry;
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
    // The smallest cached block that holds the request, as long as it wastes less than half.
    auto best = registry.cached.end();
    for (auto it = registry.cached.begin(); it != registry.cached.end(); ++it) {
        if (it->length >= length && it->length / 2 < length &&
            (best == registry.cached.end() || it->length < best->length))
            best = it;
    }
    Mapping mapping{};
    if (best != registry.cached.end()) {
        mapping = *best;
        registry.cached.erase(best);
        registry.cachedBytes -= mapping.length;
        ++registry.reused;
    } else {
        mapping.start = MapAligned(length);
        if (mapping.start == nullptr) return nullptr;
        mapping.length = length;
        ++registry.mapped;
    }
    try {
        registry.inUse.push_back(mapping);
    } catch (const std::bad_alloc&) {
        ::munmap(mapping.start, mapping.length);
        return nullptr;
    }
    return mapping.start;
}

void ReleaseFrameBlock(void* block)
{
    if (block == nullptr) return;
    BlockRegistry& registry = Registry();
    std::unique_lock<std::mutex> lock(registry.mutex);
    auto it = std::find_if(registry.inUse.begin(), registry.inUse.end(),
                           [block](const Mapping& mapping) { return mapping.start == block; });
    if (it == registry.inUse.end()) {
        lock.unlock();
        std::free(block);  // a small block from malloc
        return;
    }
    const Mapping mapping = *it;
    registry.inUse.erase(it);
    if (registry.cached.size() < kCacheLimitBlocks &&
        registry.cachedBytes + mapping.length <= kCacheLimitBytes) {
        try {
            registry.cached.push_back(mapping);
            registry.cachedBytes += mapping.length;
            return;
        } catch (const std::bad_alloc&) {
        }
    }
    ::munmap(mapping.start, mapping.length);
}

void TrimFrameBlocks()
{
    BlockRegistry& registry = Registry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    for (const Mapping& mapping : registry.cached) ::munmap(mapping.start, mapping.length);
    registry.cached.clear();
    registry.cachedBytes = 0;
}

FrameBlockCounts GetFrameBlockCounts()
{
    BlockRegistry& registry = Registry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    return {registry.mapped, registry.reused, registry.cachedBytes};
}
