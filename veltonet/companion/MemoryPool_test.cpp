#include "veltonet/companion/MemoryPool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

namespace veltonet {
namespace {

TEST(MemoryPoolTest, TakesBackOnlyItsOwnBlocksAndReusesThem) {
    void* heap = std::malloc(128);
    auto object = std::make_unique<char[]>(64);
    EXPECT_FALSE(PoolFree(heap, 128));
    EXPECT_FALSE(PoolFree(object.get(), 64));
    EXPECT_FALSE(PoolFree(nullptr, 64));
    std::free(heap);

    auto* block = static_cast<unsigned char*>(PoolAlloc(100));
    ASSERT_NE(block, nullptr);
    EXPECT_FALSE(PoolFree(block + 16, 100));  // a pointer inside a block is not a block
    EXPECT_FALSE(PoolFree(block + 1, 100));
    EXPECT_TRUE(PoolFree(block, 100));
    EXPECT_EQ(PoolAlloc(97), block);  // a size in the same class finds the same block
    EXPECT_TRUE(PoolFree(block, 97));
}

TEST(MemoryPoolTest, BlocksAreDistinctAlignedAndUsableToTheirSize) {
    constexpr size_t kSize = 200;
    constexpr size_t kCount = 300;  // more than one chunk holds
    constexpr size_t kWords = kSize / sizeof(size_t);
    std::vector<size_t*> blocks;
    for (size_t i = 0; i < kCount; ++i) {
        auto* block = static_cast<size_t*>(PoolAlloc(kSize));
        ASSERT_NE(block, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % 16, 0u);
        std::fill_n(block, kWords, i);
        blocks.push_back(block);
    }
    // An overlap with any other block, even partial, shows as another block's number.
    for (size_t i = 0; i < kCount; ++i) {
        ASSERT_EQ(std::count(blocks[i], blocks[i] + kWords, i), ptrdiff_t(kWords)) << "block " << i;
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
