#pragma once

// Plain POSIX sockets on 127.0.0.1 for the baseline contender and for the peer processes
// that feed every contender alike. Failures to set up end the process (Die): a benchmark that
// cannot start has nothing to measure.

#include <sys/epoll.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "support/BenchSupport.h"

namespace bench::raw {

// A listening TCP socket on 127.0.0.1 and a kernel-picked port (written to *port).
int Listen(uint16_t* port, int backlog, bool nonBlocking);
// A connected TCP socket to 127.0.0.1:port (blocking connect), left blocking or not.
int Connect(uint16_t port, bool nonBlocking);
// A non-blocking connect in progress (EINPROGRESS); -1 when it failed at once.
int ConnectStart(uint16_t port);
// Waits up to timeoutMs for a connection on a listening socket.
int AcceptOne(int listenFd, int timeoutMs, bool nonBlocking);
// A UDP socket whose datagrams go to 127.0.0.1:port.
int ConnectUdp(uint16_t port);
// A UDP socket bound to 127.0.0.1 and a kernel-picked port.
int BindUdp(uint16_t* port, int receiveBuffer);

void SetNonBlocking(int fd, bool on);
void SetNoDelay(int fd);
// Close with a reset instead of a FIN, so that no TIME_WAIT is left behind.
void CloseAbortive(int fd);

// Blocking send of every byte; false when the peer is gone.
bool SendAll(int fd, const void* data, size_t length);
// Blocking receive of exactly length bytes within timeoutMs; false otherwise.
bool ReceiveExactly(int fd, void* data, size_t length, int timeoutMs);

class Epoll {
  public:
    Epoll();
    ~Epoll();
    Epoll(const Epoll&) = delete;
    Epoll& operator=(const Epoll&) = delete;
    void Add(int fd, uint32_t events, uint64_t tag);
    void Modify(int fd, uint32_t events, uint64_t tag);
    void Remove(int fd);
    int Wait(epoll_event* events, int capacity, int timeoutMs);

  private:
    int m_fd;
};

// Cuts the framed messages at the front of data: calls onMessage(message, size) for each
// whole one and answers the bytes consumed (an incomplete tail stays for the next read). A
// size below the header ends the walk: the baseline's peers never send one.
template <typename OnMessage>
inline size_t Frame(const char* data, size_t length, OnMessage&& onMessage) {
    size_t offset = 0;
    while (length - offset >= 4) {
        const size_t size = ReadU16(data + offset);
        if (size < 4 || size > length - offset) {
            break;
        }
        onMessage(data + offset, size);
        offset += size;
    }
    return offset;
}

// A receive buffer with the library's layout: held bytes at the front, free room behind.
struct InBuffer {
    explicit InBuffer(size_t capacity) : data(new char[capacity]), size(capacity) {}
    ~InBuffer() { delete[] data; }
    InBuffer(const InBuffer&) = delete;
    InBuffer& operator=(const InBuffer&) = delete;
    void Consume(size_t n);
    // One recv into the free room: the bytes added, 0 when nothing was ready, -1 when the
    // stream ended or failed.
    ssize_t ReadFrom(int fd);
    // The same after waiting up to timeoutMs for poller to report fd; 0 also on no report.
    ssize_t ReadWhenReady(Epoll& poller, int fd, int timeoutMs);

    char* data;
    size_t size;
    size_t used = 0;
};

}  // namespace bench::raw
