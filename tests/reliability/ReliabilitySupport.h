#pragma once

// Helpers of the reliability suite: the process's descriptor and heap figures, raw loopback
// sockets beyond those of TestSupport, a counting observer that allocates nothing per message,
// and the real compression plug-in.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "support/TestSupport.h"
#include "veltonet/companion/Observer.h"
#include "veltonet/tcp/TCPReceiver.h"

namespace veltonet::test {

// Entries of /proc/self/fd (the directory's own descriptor excluded); on Windows, the
// process's open handles.
size_t OpenDescriptors();
// While it lives, the limit on open descriptors leaves room for exactly `room` more (the
// lowest free numbers; descriptors above it that are open already stay usable). isLowered()
// is false where the system has no such limit (Windows).
class DescriptorLimit {
  public:
    explicit DescriptorLimit(int room);
    ~DescriptorLimit();
    DescriptorLimit(const DescriptorLimit&) = delete;
    DescriptorLimit& operator=(const DescriptorLimit&) = delete;
    bool isLowered() const { return m_lowered; }

  private:
    bool m_lowered = false;
    unsigned long long m_original = 0;
};
// Bytes the allocator has handed out and not taken back: the sanitizer's count under
// AddressSanitizer, else mallinfo2's in-use and mmapped bytes; on Windows, the busy blocks of
// the C runtime's heap.
size_t HeapInUse();
// Under valgrind the heap figures mean nothing and loops run far slower.
bool UnderValgrind();

// The descriptors and heap in use when made; a loop that leaks per cycle shows against them.
struct Usage {
    size_t descriptors = OpenDescriptors();
    size_t heap = HeapInUse();
    // The descriptors are back exactly, the heap (outside valgrind) within the slack.
    void ExpectNoGrowth(size_t heapSlack) const;
};

// What R_ConnectReceiver does.
bool ConnectReceiver(TCPReceiver& receiver);

namespace raw {
// Connects fd to 127.0.0.1:port; a non-blocking stream socket does not wait for the handshake.
bool ConnectTo(int fd, uint16_t port);
// A non-blocking stream socket, not yet connected; -1 on failure.
int NonBlockingStream();
}  // namespace raw

// Counts what it is told by type.
class CountingObserver : public Observer {
  public:
    void OnMessage(const Message* message, Observable* /*source*/) override {
        ++counts[message->GetType()];
    }
    std::map<uint16_t, size_t> counts;
};

// The real compression plug-in, loaded as a host loads it; its compressor for building aggregates.
class Codec {
  public:
    Codec();
    ~Codec();
    bool isLoaded() const { return m_compress != nullptr; }
    // An LZ4 block of content, as a sender would make it.
    std::string Compress(const std::string& content) const;

  private:
    using CompressFunction = unsigned int (*)(const char*, unsigned int, char*, unsigned int);
    CompressFunction m_compress = nullptr;
    void* m_library = nullptr;
};

// A compressed aggregate (type 18) stating `stated` as its uncompressed length.
std::string Aggregate(uint32_t stated, const std::string& block);

}  // namespace veltonet::test
