#pragma once

#include <cstddef>

namespace veltonet {

// Fixed-size blocks for the objects that come and go with connections (sockets, clients).
// PoolAlloc returns null when it has nothing to give (the caller then uses the heap);
// PoolFree returns false for a block the pool did not hand out, true after taking one back.
// A block is freed with the size it was requested with. Not thread-safe: like the rest of the
// library, it is called from the socket thread only.
void* PoolAlloc(size_t size);
bool PoolFree(void* block, size_t size);

}  // namespace veltonet
