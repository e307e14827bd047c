#pragma once

#include <cstdint>
#include <list>

namespace veltonet {

// One block of queued bytes.
//
//   data         data + offset         data + offset + length     data + size
//   | already sent | unsent bytes       | free room for appends     |
//
// Invariant: offset + length <= size.
struct SendChunk {
    explicit SendChunk(uint32_t bytes);
    ~SendChunk() { delete[] data; }
    SendChunk(const SendChunk&) = delete;
    SendChunk& operator=(const SendChunk&) = delete;

    uint32_t length = 0;
    uint32_t offset = 0;
    uint32_t size;
    char* data;
};

// The bounded queue of bytes a socket did not take at once. Chunks grow geometrically from
// firstChunkSize to maxChunkSize so that a slow peer costs few allocations; more than
// maxChunks chunks drop the whole queue.
class SendList {
  public:
    SendList(uint32_t firstChunkSize, uint32_t maxChunkSize, uint32_t maxChunks);
    ~SendList() { Clear(); }
    SendList(const SendList&) = delete;
    SendList& operator=(const SendList&) = delete;

    // Queues n bytes behind the unsent ones. False when the queue would need more than
    // maxChunks chunks: the whole queue, including what this call copied, is then dropped.
    bool Append(const char* data, uint32_t n);
    // Marks n bytes of the first chunk sent. An emptied last chunk is kept for reuse.
    void Consume(uint32_t n);
    void Clear();

    bool isEmpty() const { return m_chunks.empty() || m_chunks.front()->length == 0; }
    SendChunk* First() const { return m_chunks.empty() ? nullptr : m_chunks.front(); }
    uint32_t GetCount() const { return uint32_t(m_chunks.size()); }
    uint32_t GetFirstLength() const { return m_chunks.empty() ? 0 : m_chunks.front()->size; }
    uint32_t GetLastLength() const { return m_chunks.empty() ? 0 : m_chunks.back()->size; }
    uint32_t GetNextChunkSize() const { return m_nextChunkSize; }

  private:
    void AddChunk(const char* data, uint32_t n);

    std::list<SendChunk*> m_chunks;
    uint32_t m_firstChunkSize;
    uint32_t m_nextChunkSize;
    uint32_t m_maxChunkSize;
    uint32_t m_maxChunks;
};

}  // namespace veltonet
