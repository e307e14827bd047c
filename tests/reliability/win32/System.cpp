// The reliability suite's system side on Windows: handles, the heap, raw sockets.
#include <malloc.h>
#include <windows.h>
#include <winsock2.h>

#include "ReliabilitySupport.h"

namespace veltonet::test {

size_t OpenDescriptors() {
    DWORD count = 0;
    GetProcessHandleCount(GetCurrentProcess(), &count);
    return count;
}

// Windows has no per-process limit on open handles to lower.
DescriptorLimit::DescriptorLimit(int /*room*/) {}

DescriptorLimit::~DescriptorLimit() {}

size_t HeapInUse() {
    size_t used = 0;
    _HEAPINFO entry{};
    entry._pentry = nullptr;
    while (_heapwalk(&entry) == _HEAPOK) {
        if (entry._useflag == _USEDENTRY) {
            used += entry._size;
        }
    }
    return used;
}

bool UnderValgrind() {
    return false;
}

namespace raw {

bool ConnectTo(int fd, uint16_t port) {
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(port);
    where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return connect(static_cast<SOCKET>(fd), reinterpret_cast<sockaddr*>(&where), sizeof(where)) ==
               0 ||
           WSAGetLastError() == WSAEWOULDBLOCK;
}

int NonBlockingStream() {
    const SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    u_long on = 1;
    if (s == INVALID_SOCKET || ioctlsocket(s, FIONBIO, &on) != 0) {
        if (s != INVALID_SOCKET) {
            closesocket(s);
        }
        return -1;
    }
    return static_cast<int>(s);
}

}  // namespace raw

}  // namespace veltonet::test
