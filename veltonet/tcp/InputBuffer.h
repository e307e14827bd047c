#pragma once

#include <cstdint>

namespace veltonet {

// Receive-side byte buffer.
//
//   data                       data + used                 data + size
//   | bytes held (a partial    | free room for the next    |
//   | message stays at front)  | receive call              |
//
// Invariant: 0 <= used <= size. Framing consumes from the front; the unconsumed tail is
// moved to the start once per read. The bytes are allocated at the first read (Reserve):
// a connection that never receives, as most of a listener's idle clients, never touches
// them.
struct InputBuffer {
    explicit InputBuffer(uint32_t bytes) : size(bytes) {}
    ~InputBuffer() { delete[] data; }
    InputBuffer(const InputBuffer&) = delete;
    InputBuffer& operator=(const InputBuffer&) = delete;

    // Allocates the bytes if they are not there yet; false when memory runs out.
    bool Reserve();
    uint32_t Free() const { return used < size ? size - used : 0; }
    // Removes n bytes from the front; the rest moves to the start.
    void Consume(uint32_t n);

    char* data = nullptr;
    uint32_t size;
    uint32_t used = 0;
};

}  // namespace veltonet
