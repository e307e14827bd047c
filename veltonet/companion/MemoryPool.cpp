#include "veltonet/companion/MemoryPool.h"

#include <cstdint>
#include <cstdlib>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define VELTONET_POISON(address, size) ASAN_POISON_MEMORY_REGION(address, size)
#define VELTONET_UNPOISON(address, size) ASAN_UNPOISON_MEMORY_REGION(address, size)
#else
#define VELTONET_POISON(address, size) ((void)(address), (void)(size))
#define VELTONET_UNPOISON(address, size) ((void)(address), (void)(size))
#endif

namespace veltonet {

namespace {

// Size classes step by kGranule up to kLargestBlock; each class keeps a free list threaded
// through its free blocks and a list of the chunks it carved them from. Blocks never move
// between classes and chunks are only given back at exit.
//
// Single-threaded by design, like the rest of the library: every call comes from the socket
// thread, so nothing is locked.
//
// Chunk layout:  | Chunk header (kHeaderSize) | block 0 | block 1 | ... | block count-1 |
// A pointer belongs to the pool when it lies in a chunk of its size class at a block boundary;
// that is decided from the chunk addresses alone, never by reading the block.
constexpr size_t kGranule = 16;  // also the alignment of every block
constexpr size_t kLargestBlock = 4096;
constexpr size_t kClassCount = kLargestBlock / kGranule;
constexpr size_t kChunkTarget = 16 * 1024;  // bytes of blocks per chunk for small classes
constexpr size_t kMinBlocksPerChunk = 16;

struct Chunk {
    Chunk* next;
    unsigned char* begin;  // first block
    unsigned char* end;    // one past the last block
};
constexpr size_t kHeaderSize = (sizeof(Chunk) + kGranule - 1) / kGranule * kGranule;

struct FreeBlock {
    FreeBlock* next;
};

struct SizeClass {
    FreeBlock* free;
    Chunk* chunks;
};

// Plain data, constant-initialised: valid before any constructor and after the exit owner
// has run, so a late PoolFree from another static object's destructor still answers right.
struct Pool {
    SizeClass classes[kClassCount];
    size_t outstanding;  // blocks handed out and not yet taken back
};

constinit Pool g_pool{};

size_t ClassOf(size_t size) {
    return (size + kGranule - 1) / kGranule - 1;
}
size_t BlockSizeOf(size_t index) {
    return (index + 1) * kGranule;
}

bool Grow(size_t index) {
    const size_t blockSize = BlockSizeOf(index);
    size_t count = kChunkTarget / blockSize;
    if (count < kMinBlocksPerChunk) {
        count = kMinBlocksPerChunk;
    }
    // malloc aligns to 16 on this platform; the header is padded to a multiple of 16.
    auto* memory = static_cast<unsigned char*>(std::malloc(kHeaderSize + count * blockSize));
    if (memory == nullptr) {
        return false;
    }
    auto* chunk = reinterpret_cast<Chunk*>(memory);
    chunk->begin = memory + kHeaderSize;
    chunk->end = chunk->begin + count * blockSize;
    SizeClass& sizeClass = g_pool.classes[index];
    chunk->next = sizeClass.chunks;
    sizeClass.chunks = chunk;
    // Pushed from the back so that blocks are handed out in address order.
    for (size_t i = count; i-- > 0;) {
        auto* block = reinterpret_cast<FreeBlock*>(chunk->begin + i * blockSize);
        block->next = sizeClass.free;
        sizeClass.free = block;
        VELTONET_POISON(block, blockSize);
    }
    return true;
}

bool Owns(const SizeClass& sizeClass, size_t blockSize, const void* block) {
    // Compared as integers: relational operators on pointers into different objects are
    // unspecified.
    const auto address = reinterpret_cast<uintptr_t>(block);
    for (const Chunk* chunk = sizeClass.chunks; chunk != nullptr; chunk = chunk->next) {
        const auto begin = reinterpret_cast<uintptr_t>(chunk->begin);
        const auto end = reinterpret_cast<uintptr_t>(chunk->end);
        if (address >= begin && address < end) {
            return (address - begin) % blockSize == 0;
        }
    }
    return false;
}

void ReleaseAll() {
    for (SizeClass& sizeClass : g_pool.classes) {
        for (Chunk* chunk = sizeClass.chunks; chunk != nullptr;) {
            Chunk* next = chunk->next;
            VELTONET_UNPOISON(chunk->begin, chunk->end - chunk->begin);
            std::free(chunk);
            chunk = next;
        }
        sizeClass = SizeClass{};
    }
}

// Gives the chunks back at exit, but only when every block has come home: a block still in
// use belongs to an object that outlives this (a static destroyed later), and its chunk must
// stay where it is.
struct ExitOwner {
    ~ExitOwner() {
        if (g_pool.outstanding == 0) {
            ReleaseAll();
        }
    }
} g_exitOwner;

}  // namespace

void* PoolAlloc(size_t size) {
    if (size == 0 || size > kLargestBlock) {
        return nullptr;
    }
    const size_t index = ClassOf(size);
    SizeClass& sizeClass = g_pool.classes[index];
    if (sizeClass.free == nullptr && !Grow(index)) {
        return nullptr;
    }
    FreeBlock* block = sizeClass.free;
    VELTONET_UNPOISON(block, BlockSizeOf(index));
    sizeClass.free = block->next;
    ++g_pool.outstanding;
    return block;
}

bool PoolFree(void* block, size_t size) {
    if (block == nullptr || size == 0 || size > kLargestBlock) {
        return false;
    }
    const size_t index = ClassOf(size);
    const size_t blockSize = BlockSizeOf(index);
    SizeClass& sizeClass = g_pool.classes[index];
    if (!Owns(sizeClass, blockSize, block)) {
        return false;
    }
    auto* freed = static_cast<FreeBlock*>(block);
    freed->next = sizeClass.free;
    sizeClass.free = freed;
    VELTONET_POISON(freed, blockSize);
    --g_pool.outstanding;
    return true;
}

}  // namespace veltonet
