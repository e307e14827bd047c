#include "veltonet/tcp/SendList.h"

#include <algorithm>
#include <cstring>

namespace veltonet {

SendChunk::SendChunk(uint32_t bytes) : size(bytes), data(new char[bytes]) {}

SendList::SendList(uint32_t firstChunkSize, uint32_t maxChunkSize, uint32_t maxChunks)
    : m_firstChunkSize(firstChunkSize),
      m_nextChunkSize(firstChunkSize),
      m_maxChunkSize(maxChunkSize),
      m_maxChunks(maxChunks) {}

bool SendList::Append(const char* data, uint32_t n) {
    if (n == 0) {
        return true;
    }
    if (m_chunks.empty()) {
        AddChunk(data, n);
        return true;
    }
    SendChunk* last = m_chunks.back();
    const uint32_t end = last->offset + last->length;
    const uint32_t copied = std::min(n, last->size - end);
    std::memcpy(last->data + end, data, copied);
    last->length += copied;
    const uint32_t rest = n - copied;
    if (rest == 0) {
        return true;
    }
    if (m_chunks.size() >= m_maxChunks) {
        // Dropping only the tail would leave a stream with a hole in it; the receiver drops
        // the connection along with the whole queue.
        Clear();
        return false;
    }
    AddChunk(data + copied, rest);
    return true;
}

void SendList::AddChunk(const char* data, uint32_t n) {
    auto* chunk = new SendChunk(std::max(m_nextChunkSize, n));
    std::memcpy(chunk->data, data, n);
    chunk->length = n;
    m_chunks.push_back(chunk);
    if (m_nextChunkSize != m_maxChunkSize) {
        m_nextChunkSize =
            uint32_t(std::min<uint64_t>(uint64_t(m_nextChunkSize) * 2, m_maxChunkSize));
    }
}

void SendList::Consume(uint32_t n) {
    if (m_chunks.empty()) {
        return;
    }
    SendChunk* first = m_chunks.front();
    if (n != 0) {
        if (first->length > n) {
            first->offset += n;
            first->length -= n;
            return;
        }
        first->offset = 0;
        first->length = 0;
    } else if (first->length != 0) {
        return;
    }
    // The last chunk stays, so a steady trickle of small writes reuses one allocation.
    if (m_chunks.size() > 1) {
        m_chunks.pop_front();
        delete first;
    }
}

void SendList::Clear() {
    for (SendChunk* chunk : m_chunks) {
        delete chunk;
    }
    m_chunks.clear();
    m_nextChunkSize = m_firstChunkSize;
}

}  // namespace veltonet
