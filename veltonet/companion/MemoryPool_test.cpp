#include "veltonet/companion/MemoryPool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <utility>
#include <vector>

namespace veltonet {
namespace {

TEST(MemoryPoolTest, TakesBackOnlyItsOwnBlocksOfItsSizesAndReusesThem) {
    void* heap = std::malloc(128);
    auto object = std::make_unique<char[]>(64);
    auto* block = static_cast<unsigned char*>(PoolAlloc(100));
    void* largest = PoolAlloc(4096);
    ASSERT_NE(block, nullptr);
    ASSERT_NE(largest, nullptr);
    // Foreign memory, a pointer inside a block, a size whose class does not hold the block.
    const std::pair<void*, size_t> refused[] = {{heap, 128},      {object.get(), 64},
                                                {nullptr, 64},    {block + 16, 100},
                                                {block + 1, 100}, {largest, 4097}};
    for (auto [pointer, size] : refused)
        EXPECT_FALSE(PoolFree(pointer, size)) << pointer << " " << size;
    std::free(heap);
    EXPECT_TRUE(PoolFree(block, 100));
    EXPECT_EQ(PoolAlloc(97), block);  // a size in the same class finds the same block
    EXPECT_TRUE(PoolFree(block, 97));
    EXPECT_TRUE(PoolFree(largest, 4096));
    // Sizes beyond the largest class are left to the heap.
    for (size_t size : {size_t(4097), size_t(1) << 20, size_t(0)})
        EXPECT_EQ(PoolAlloc(size), nullptr) << size;
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
    for (size_t i = 0; i < kCount; ++i)
        ASSERT_EQ(std::count(blocks[i], blocks[i] + kWords, i), ptrdiff_t(kWords)) << "block " << i;
    for (auto* block : blocks)
        EXPECT_TRUE(PoolFree(block, kSize));
}

}  // namespace
}  // namespace veltonet
