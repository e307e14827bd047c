// The system side of the test support on Windows: raw peers, temporary folders, environment.
#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdlib>

#include "support/TestSupport.h"

namespace veltonet::test {

namespace {

SOCKET AsSocket(int fd) {
    return static_cast<SOCKET>(fd);
}

int Wait(int fd, short events, int timeoutMs, short* revents) {
    WSAPOLLFD p{AsSocket(fd), events, 0};
    const int ready = WSAPoll(&p, 1, timeoutMs);
    *revents = p.revents;
    return ready;
}

// One receive that never blocks, whatever the socket's mode.
long ReceiveNow(int fd, char* buffer, size_t size) {
    u_long waiting = 0;
    if (ioctlsocket(AsSocket(fd), FIONREAD, &waiting) != 0) {
        return -1;
    }
    short revents = 0;
    if (waiting == 0 && Wait(fd, POLLIN, 0, &revents) != 1) {
        WSASetLastError(WSAEWOULDBLOCK);
        return -1;
    }
    return recv(AsSocket(fd), buffer, static_cast<int>(size), 0);
}

}  // namespace

namespace raw {

int Listen(uint16_t* port) {
    *port = 0;
    return ListenOn("127.0.0.1", port);
}

int ListenOn(const char* address, uint16_t* port, bool listening) {
    const SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(*port);
    if (s == INVALID_SOCKET || inet_pton(AF_INET, address, &where.sin_addr) != 1 ||
        bind(s, reinterpret_cast<sockaddr*>(&where), sizeof(where)) != 0 ||
        (listening && listen(s, 64) != 0)) {
        if (s != INVALID_SOCKET) {
            closesocket(s);
        }
        return -1;
    }
    int length = sizeof(where);
    getsockname(s, reinterpret_cast<sockaddr*>(&where), &length);
    *port = ntohs(where.sin_port);
    return static_cast<int>(s);
}

int Connect(uint16_t port) {
    const SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) {
        return -1;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        closesocket(s);
        return -1;
    }
    return static_cast<int>(s);
}

uint16_t LocalPort(int fd) {
    sockaddr_in address{};
    int length = sizeof(address);
    getsockname(AsSocket(fd), reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

uint16_t PeerPort(int fd) {
    sockaddr_in address{};
    int length = sizeof(address);
    getpeername(AsSocket(fd), reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

bool Readable(int fd, int timeoutMs) {
    short revents = 0;
    return Wait(fd, POLLIN, timeoutMs, &revents) == 1 && (revents & (POLLIN | POLLHUP)) != 0;
}

bool HungUp(int fd, int timeoutMs) {
    short revents = 0;
    return Wait(fd, POLLIN, timeoutMs, &revents) == 1 && (revents & (POLLERR | POLLHUP)) != 0;
}

long Receive(int fd, char* buffer, size_t size, int timeoutMs, bool* failed) {
    if (failed != nullptr) {
        *failed = false;
    }
    short revents = 0;
    if (Wait(fd, POLLIN, timeoutMs, &revents) != 1) {
        return -1;
    }
    const long n = recv(AsSocket(fd), buffer, static_cast<int>(size), 0);
    if (n < 0 && failed != nullptr) {
        *failed = WSAGetLastError() != WSAEWOULDBLOCK;
    }
    return n;
}

int IntOption(int fd, int level, int option) {
    int value = 0;  // some options answer in fewer bytes (a one-byte BOOL)
    int length = sizeof(value);
    return getsockopt(AsSocket(fd), level, option, reinterpret_cast<char*>(&value), &length) == 0
               ? value
               : -1;
}

bool SetIntOption(int fd, int level, int option, int value) {
    return setsockopt(AsSocket(fd), level, option, reinterpret_cast<const char*>(&value),
                      sizeof(value)) == 0;
}

std::string Linger(int fd) {
    linger current{};
    int length = sizeof(current);
    getsockopt(AsSocket(fd), SOL_SOCKET, SO_LINGER, reinterpret_cast<char*>(&current), &length);
    return std::to_string(current.l_onoff) + "/" + std::to_string(current.l_linger);
}

int AcceptWithin(int listenFd, int timeoutMs) {
    short revents = 0;
    if (Wait(listenFd, POLLIN, timeoutMs, &revents) != 1) {
        return -1;
    }
    const SOCKET s = accept(AsSocket(listenFd), nullptr, nullptr);
    return s == INVALID_SOCKET ? -1 : static_cast<int>(s);
}

bool SendAll(int fd, const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        const int n =
            send(AsSocket(fd), bytes.data() + sent, static_cast<int>(bytes.size() - sent), 0);
        if (n <= 0) {
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    return true;
}

bool SendUrgent(int fd, char byte) {
    return send(AsSocket(fd), &byte, 1, MSG_OOB) == 1;
}

std::string ReadAvailable(int fd, int timeoutMs) {
    std::string out;
    short revents = 0;
    if (Wait(fd, POLLIN, timeoutMs, &revents) != 1) {
        return out;
    }
    char buffer[65536];
    for (;;) {
        const long n = ReceiveNow(fd, buffer, sizeof(buffer));
        if (n <= 0) {
            break;
        }
        out.append(buffer, static_cast<size_t>(n));
    }
    return out;
}

void Reset(int fd) {
    linger l{1, 0};
    setsockopt(AsSocket(fd), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof(l));
    closesocket(AsSocket(fd));
}

void Close(int fd) {
    if (fd >= 0) {
        closesocket(AsSocket(fd));
    }
}

uint16_t FreePort() {
    uint16_t port = 0;
    Close(Listen(&port));
    return port;
}

}  // namespace raw

bool UnderWine() {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

std::string MakeTempFolder() {
    char base[MAX_PATH + 1] = {};
    if (GetTempPathA(sizeof(base), base) == 0) {
        return std::string();
    }
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        const std::string folder = std::string(base) + "veltonet-test-" +
                                   std::to_string(GetCurrentProcessId()) + "-" +
                                   std::to_string(GetTickCount64() + attempt);
        if (CreateDirectoryA(folder.c_str(), nullptr)) {
            return folder;
        }
    }
    return std::string();
}

void SetEnvironment(const char* name, const char* value) {
    _putenv_s(name, value != nullptr ? value : "");
}

}  // namespace veltonet::test
