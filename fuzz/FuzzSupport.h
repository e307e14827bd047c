#pragma once

// Shared by the fuzz targets: reading a fuzzer input, failing loudly on a broken invariant,
// a quiet process environment (manager, log folder, codec), receivers whose reads come from
// the input instead of a socket, and the heap figure that the memory bounds are checked on.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "veltonet/companion/Message.h"
#include "veltonet/companion/Observer.h"
#include "veltonet/platform/Clock.h"
#include "veltonet/tcp/TCPReceiver.h"

// A broken invariant is a crash, so that libFuzzer keeps the input and the replay test fails.
#define FUZZ_CHECK(condition, ...)                                                      \
    do {                                                                                \
        if (!(condition)) {                                                             \
            std::fprintf(stderr, "%s:%d: invariant broken: %s\n  ", __FILE__, __LINE__, \
                         #condition);                                                   \
            std::fprintf(stderr, __VA_ARGS__);                                          \
            std::fprintf(stderr, "\n");                                                 \
            std::abort();                                                               \
        }                                                                               \
    } while (0)

namespace veltonet::fuzz {

// Framed message bytes, and a 32-bit little-endian value, for building inputs and seeds.
inline std::string Frame(uint16_t type, const std::string& body) {
    std::string bytes(4, '\0');
    Message::WriteHeader(bytes.data(), uint16_t(body.size() + 4), type);
    return bytes + body;
}

inline std::string U32(uint32_t value) {
    std::string bytes(4, '\0');
    Message::WriteU32(bytes.data(), value);
    return bytes;
}

// Consumes a fuzzer input from the front; past the end every read gives zeros.
class Input {
  public:
    Input(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
    bool Empty() const { return m_offset >= m_size; }
    size_t Remaining() const { return m_size - m_offset; }
    uint8_t Byte() { return m_offset < m_size ? m_data[m_offset++] : 0; }
    uint16_t U16() { return uint16_t(Byte() | Byte() << 8); }
    uint32_t U32() { return uint32_t(U16()) | uint32_t(U16()) << 16; }
    // Up to n bytes, fewer at the end.
    std::string Bytes(size_t n) {
        n = n < Remaining() ? n : Remaining();
        std::string out(reinterpret_cast<const char*>(m_data + m_offset), n);
        m_offset += n;
        return out;
    }
    std::string Rest() { return Bytes(Remaining()); }

  private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_offset = 0;
};

// One delivered message, as an observer saw it.
struct Seen {
    uint16_t type;
    std::string bytes;
    const Observable* source;
    bool operator==(const Seen& other) const { return type == other.type && bytes == other.bytes; }
};

class Collector : public Observer {
  public:
    void OnMessage(const Message* message, Observable* source) override {
        FUZZ_CHECK(message->GetSize() >= 4, "delivered message of size %u", message->GetSize());
        seen.push_back(
            {message->GetType(),
             std::string(reinterpret_cast<const char*>(message->Bytes()), message->GetSize()),
             source});
    }
    std::vector<Seen> seen;
};

// The split of a byte stream into successive reads: chunk lengths taken in turn, over and over.
struct Splits {
    std::vector<size_t> lengths;  // never empty, never 0
    // Reads [count][count lengths]: a length byte b gives b bytes, and b = 0 a long read.
    static Splits Read(Input& input) {
        Splits splits;
        const unsigned count = input.Byte() % 16;
        for (unsigned i = 0; i < count; ++i) {
            const uint8_t b = input.Byte();
            splits.lengths.push_back(b == 0 ? 4096 : size_t(b));
        }
        if (splits.lengths.empty()) {
            splits.lengths.push_back(65536);
        }
        return splits;
    }
};

// Hands queued bytes to the receive path in place of the socket, one chunk per Receive call,
// or as much of the chunk as the caller has room for (the rest comes with the next call).
class ChunkSource {
  public:
    void Push(const std::string& chunk) {
        if (!chunk.empty()) {
            m_bytes += chunk;
            m_ends.push_back(m_bytes.size());
        }
    }
    // The stream cut as splits says.
    void Push(const std::string& stream, const Splits& splits) {
        for (size_t offset = 0, i = 0; offset < stream.size(); ++i) {
            const size_t n =
                std::min(splits.lengths[i % splits.lengths.size()], stream.size() - offset);
            m_ends.push_back(m_bytes.size() + offset + n);
            offset += n;
        }
        m_bytes += stream;
    }
    bool Empty() const { return m_offset >= m_bytes.size(); }
    // Empty again, keeping the storage.
    void Clear() {
        m_bytes.clear();
        m_ends.clear();
        m_offset = 0;
        m_chunk = 0;
    }
    int Take(void* data, int length) {
        if (Empty() || length <= 0) {
            return -1;
        }
        while (m_ends[m_chunk] <= m_offset) {
            ++m_chunk;
        }
        const size_t n = std::min(m_ends[m_chunk] - m_offset, size_t(length));
        std::memcpy(data, m_bytes.data() + m_offset, n);
        m_offset += n;
        return int(n);
    }

  private:
    std::string m_bytes;
    std::vector<size_t> m_ends;  // where each chunk ends in m_bytes
    size_t m_offset = 0;
    size_t m_chunk = 0;
};

// A receiver of class Base that reads its script instead of a socket and writes no log records
// (they would only cost file writes).
template <class Base>
class Scripted : public Base {
  public:
    template <class... Args>
    explicit Scripted(Args&&... args) : Base(std::forward<Args>(args)...) {
        this->SetLog(nullptr, nullptr);
    }
    int Receive(void* data, int length, int /*flags*/) override {
        return source.Take(data, length);
    }
    ChunkSource source;
};

// The process environment every target runs in: a private log folder, one receiver manager
// (on the given clock, real time for null) and, when asked, the compression plug-in Codec.so.
// The receivers' error log stays open in between, so that no input pays for opening it.
// Idempotent.
void InitializeEnvironment(bool loadCodec, Clock* clock = nullptr);
// The codec's decompressor (null when it did not load).
UncompressFunction CodecUncompress();
// The codec's compressor, for targets that build aggregates; null when it did not load.
using CompressFunction = unsigned int (*)(const char*, unsigned int, char*, unsigned int);
CompressFunction CodecCompress();

// Bytes the allocator has handed out and not yet taken back.
size_t HeapInUse();

}  // namespace veltonet::fuzz
