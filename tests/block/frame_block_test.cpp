// Frame-sized blocks: mapped on 2 MiB boundaries, reused after release, small ones from malloc,
// every block usable whole and released through the one call from any thread.
#include "block/frame_block.h"

#include <cstring>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

constexpr size_t kFrame1080 = size_t{1920} * 1080 * 2;
constexpr size_t kPlane1080 = size_t{1920} * 1080 * 3;

bool OnHugePageBoundary(const void* block)
{
    return reinterpret_cast<uintptr_t>(block) % (size_t{2} << 20) == 0;
}

TEST(FrameBlocks, LargeBlocksAreAlignedWholeAndReused)
{
    TrimFrameBlocks();
    const FrameBlockCounts before = GetFrameBlockCounts();
    void* frame = AllocateFrameBlock(kFrame1080);
    ASSERT_NE(frame, nullptr);
    EXPECT_TRUE(OnHugePageBoundary(frame));
    std::memset(frame, 0x5A, kFrame1080);  // every byte is ours to write
    ReleaseFrameBlock(frame);
    EXPECT_GT(GetFrameBlockCounts().cachedBytes, 0u);

    // The next block of the same size class is the one just released, pages already mapped.
    void* again = AllocateFrameBlock(kFrame1080 - 100);
    EXPECT_EQ(again, frame);
    const FrameBlockCounts after = GetFrameBlockCounts();
    EXPECT_EQ(after.mapped - before.mapped, 1u);
    EXPECT_EQ(after.reused - before.reused, 1u);
    ReleaseFrameBlock(again);
    TrimFrameBlocks();
    EXPECT_EQ(GetFrameBlockCounts().cachedBytes, 0u);
}

TEST(FrameBlocks, CachedBlockMuchLargerThanTheRequestIsNotHandedOut)
{
    TrimFrameBlocks();
    void* large = AllocateFrameBlock(size_t{32} << 20);
    ASSERT_NE(large, nullptr);
    ReleaseFrameBlock(large);
    void* small = AllocateFrameBlock(kLargeFrameBlock);  // one huge page; the cached one is 16
    ASSERT_NE(small, nullptr);
    EXPECT_NE(small, large);
    std::memset(small, 1, kLargeFrameBlock);
    ReleaseFrameBlock(small);
    TrimFrameBlocks();
}

TEST(FrameBlocks, SmallAndEmptyBlocksComeFromTheHeap)
{
    for (size_t bytes : {size_t{0}, size_t{1}, size_t{4096}, kLargeFrameBlock - 1}) {
        void* block = AllocateFrameBlock(bytes);
        ASSERT_NE(block, nullptr) << bytes;
        std::memset(block, 7, bytes == 0 ? 1 : bytes);
        ReleaseFrameBlock(block);
    }
    ReleaseFrameBlock(nullptr);
    EXPECT_EQ(AllocateFrameBlock(SIZE_MAX), nullptr);
}

TEST(FrameBlocks, ManyThreadsAllocateAndReleaseAcrossEachOther)
{
    TrimFrameBlocks();
    // Each thread releases blocks that another thread allocated: the registry is shared.
    std::vector<void*> blocks(32, nullptr);
    for (size_t i = 0; i < blocks.size(); ++i)
        blocks[i] = AllocateFrameBlock(i % 2 == 0 ? kPlane1080 : 1000);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &blocks] {
            for (size_t i = static_cast<size_t>(t); i < blocks.size(); i += 4) {
                ASSERT_NE(blocks[i], nullptr);
                static_cast<uint8_t*>(blocks[i])[0] = 1;
                ReleaseFrameBlock(blocks[i]);
                void* fresh = AllocateFrameBlock(kFrame1080);
                ASSERT_NE(fresh, nullptr);
                std::memset(fresh, t, kFrame1080);
                ReleaseFrameBlock(fresh);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    // The cache stays bounded however many blocks went back.
    EXPECT_LE(GetFrameBlockCounts().cachedBytes, size_t{64} << 20);
    TrimFrameBlocks();
}

TEST(FrameBlocks, PlaneBytesIsAVectorOverTheBlocks)
{
    PlaneBytes plane(kPlane1080, 3);
    EXPECT_TRUE(OnHugePageBoundary(plane.data()));
    EXPECT_EQ(plane.front(), 3);
    EXPECT_EQ(plane.back(), 3);
    PlaneBytes copy = plane;
    EXPECT_TRUE(copy == plane);
    plane.clear();
    plane.shrink_to_fit();
    EXPECT_TRUE(plane.empty());
}

}  // namespace

namespace {

// More large blocks at once than the registry tracks: the extra ones come from the heap and go
// back through the same call.
TEST(FrameBlocks, MoreBlocksThanTheTableHoldsStillWork)
{
    std::vector<void*> blocks;
    for (int i = 0; i < 300; ++i) {
        void* block = AllocateFrameBlock(kLargeFrameBlock);
        ASSERT_NE(block, nullptr) << i;
        static_cast<uint8_t*>(block)[kLargeFrameBlock - 1] = static_cast<uint8_t>(i);
        blocks.push_back(block);
    }
    for (void* block : blocks) ReleaseFrameBlock(block);
    TrimFrameBlocks();
    EXPECT_EQ(GetFrameBlockCounts().cachedBytes, 0u);
}

}  // namespace
