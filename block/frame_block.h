// Frame-sized blocks: the one allocator for the picture planes, fitted rasters, encoded and
// received frames, and the library's decoded pixels.
//
// A fresh 6 MB block from the ordinary heap is touched in about 1500 page faults, which in a
// fresh process costs more than decoding or encoding it. A block of kLargeFrameBlock bytes or
// more is therefore its own anonymous mapping, 2 MiB aligned and marked MADV_HUGEPAGE, so that
// the kernel backs it with transparent huge pages where it can (a handful of faults); smaller
// blocks come from malloc. A released large block is kept in a small process-wide cache and
// handed out again for the next block that fits, so the stages of one job and the jobs after it
// reuse mapped pages instead of faulting fresh ones.
//
// Who frees what: every block from AllocateFrameBlock goes back through ReleaseFrameBlock exactly
// once (a null pointer is allowed), whichever thread allocated it. Blocks are not zeroed.
// May include: the standard library and POSIX memory mapping; used by every folder above it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

// Blocks of this size or more are mapped; a 720 × 487 YCbCr frame (about 700 KB) is not.
inline constexpr size_t kLargeFrameBlock = size_t{1} << 20;

// Returns a block of at least `bytes` bytes (1 for 0), or null when memory runs out.
void* AllocateFrameBlock(size_t bytes);
// Returns a block to the cache or to the system. Null is ignored.
void ReleaseFrameBlock(void* block);
// Hands every cached block back to the system (blocks in use stay valid).
void TrimFrameBlocks();

// How many large blocks were mapped fresh and how many came from the cache since the process
// started; for tests and the benchmark.
struct FrameBlockCounts {
    uint64_t mapped = 0;
    uint64_t reused = 0;
    uint64_t cachedBytes = 0;
};
FrameBlockCounts GetFrameBlockCounts();

// A standard allocator over the frame blocks, so that a plane can be a std::vector.
template <typename T>
struct FrameBlockAllocator {
    using value_type = T;
    FrameBlockAllocator() = default;
    template <typename U>
    FrameBlockAllocator(const FrameBlockAllocator<U>&) noexcept
    {
    }
    T* allocate(size_t count)
    {
        if (count > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
        void* block = AllocateFrameBlock(count * sizeof(T));
        if (block == nullptr) throw std::bad_alloc();
        return static_cast<T*>(block);
    }
    void deallocate(T* block, size_t) noexcept { ReleaseFrameBlock(block); }
    template <typename U>
    bool operator==(const FrameBlockAllocator<U>&) const noexcept
    {
        return true;
    }
};

// The bytes of a picture plane.
using PlaneBytes = std::vector<uint8_t, FrameBlockAllocator<uint8_t>>;
