#include "veltonet/companion/MemoryPool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace veltonet {
namespace {

TEST(MemoryPoolTest, HeapBlocksAreNotTakenBack) {
    void* heap = std::malloc(128);
    auto object = std::make_unique<char[]>(64);
    EXPECT_FALSE(PoolFree(heap, 128));
    EXPECT_FALSE(PoolFree(object.get(), 64));
    EXPECT_FALSE(PoolFree(nullptr, 64));
    std::free(heap);
}

TEST(MemoryPoolTest, OwnBlockIsTakenBackAndReused) {
    void* block = PoolAlloc(100);
    ASSERT_NE(block, nullptr);
    EXPECT_TRUE(PoolFree(block, 100));
    EXPECT_EQ(PoolAlloc(100), block);
    // A size in the same class finds the same block.
    EXPECT_TRUE(PoolFree(block, 100));
    EXPECT_EQ(PoolAlloc(97), block);
    EXPECT_TRUE(PoolFree(block, 97));
}

TEST(MemoryPoolTest, PointerInsideABlockIsNotABlock) {
    auto* block = static_cast<unsigned char*>(PoolAlloc(64));
    ASSERT_NE(block, nullptr);
    EXPECT_FALSE(PoolFree(block + 16, 64));
    EXPECT_FALSE(PoolFree(block + 1, 64));
    EXPECT_TRUE(PoolFree(block, 64));
}

TEST(MemoryPoolTest, BlocksAreDistinctAlignedAndUsableToTheirSize) {
    constexpr size_t kSize = 200;
    constexpr size_t kCount = 300;  // more than one chunk holds
    std::vector<unsigned char*> blocks;
    for (size_t i = 0; i < kCount; ++i) {
        auto* block = static_cast<unsigned char*>(PoolAlloc(kSize));
        ASSERT_NE(block, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % 16, 0u);
        std::memset(block, int(i & 0xFF), kSize);
        blocks.push_back(block);
    }
    for (size_t i = 0; i < kCount; ++i) {
        for (size_t j = 0; j < kSize; ++j) {
            ASSERT_EQ(blocks[i][j], i & 0xFF) << "block " << i << " overwritten at " << j;
        }
    }
    std::vector<uintptr_t> sorted;
    for (auto* block : blocks) {
        sorted.push_back(reinterpret_cast<uintptr_t>(block));
    }
    std::sort(sorted.begin(), sorted.end());
    for (size_t i = 1; i < sorted.size(); ++i) {
        EXPECT_GE(sorted[i] - sorted[i - 1], kSize);
    }
    for (auto* block : blocks) {
        EXPECT_TRUE(PoolFree(block, kSize));
    }
}

TEST(MemoryPoolTest, SizesBeyondTheLargestClassAreLeftToTheHeap) {
    void* largest = PoolAlloc(4096);
    ASSERT_NE(largest, nullptr);
    EXPECT_FALSE(PoolFree(largest, 4097));  // no class of that size holds it
    EXPECT_TRUE(PoolFree(largest, 4096));

    EXPECT_EQ(PoolAlloc(4097), nullptr);
    EXPECT_EQ(PoolAlloc(1 << 20), nullptr);
    EXPECT_EQ(PoolAlloc(0), nullptr);
}

}  // namespace
}  // namespace veltonet
