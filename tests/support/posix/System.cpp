// The system side of the test support on Linux: raw peers, temporary folders, environment.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "support/TestSupport.h"
#include "veltonet/platform/SocketOptions.h"

namespace veltonet::test {

namespace raw {

int Listen(uint16_t* port) {
    *port = 0;
    return ListenOn("127.0.0.1", port);
}

int ListenOn(const char* address, uint16_t* port, bool listening) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(*port);
    if (fd < 0 || inet_pton(AF_INET, address, &where.sin_addr) != 1 ||
        bind(fd, reinterpret_cast<sockaddr*>(&where), sizeof(where)) != 0 ||
        (listening && listen(fd, 64) != 0)) {
        if (fd >= 0) {
            close(fd);
        }
        return -1;
    }
    socklen_t length = sizeof(where);
    getsockname(fd, reinterpret_cast<sockaddr*>(&where), &length);
    *port = ntohs(where.sin_port);
    return fd;
}

int Connect(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

uint16_t LocalPort(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof(address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

uint16_t PeerPort(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof(address);
    getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

bool Readable(int fd, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, timeoutMs) == 1 && (p.revents & POLLIN) != 0;
}

bool HungUp(int fd, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, timeoutMs) == 1 && (p.revents & (POLLERR | POLLHUP)) != 0;
}

long Receive(int fd, char* buffer, size_t size, int timeoutMs, bool* failed) {
    if (failed != nullptr) {
        *failed = false;
    }
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) != 1) {
        return -1;
    }
    const ssize_t n = recv(fd, buffer, size, MSG_DONTWAIT);
    if (n < 0 && failed != nullptr) {
        *failed = errno != EAGAIN && errno != EWOULDBLOCK;
    }
    return n;
}

int IntOption(int fd, int level, int option) {
    int value = -1;
    socklen_t length = sizeof(value);
    return TranslateSocketOption(level, option, &level, &option) &&
                   getsockopt(fd, level, option, &value, &length) == 0
               ? value
               : -1;
}

bool SetIntOption(int fd, int level, int option, int value) {
    return TranslateSocketOption(level, option, &level, &option) &&
           setsockopt(fd, level, option, &value, sizeof(value)) == 0;
}

std::string Linger(int fd) {
    linger current{};
    socklen_t length = sizeof(current);
    getsockopt(fd, SOL_SOCKET, SO_LINGER, &current, &length);
    return std::to_string(current.l_onoff) + "/" + std::to_string(current.l_linger);
}

int AcceptWithin(int listenFd, int timeoutMs) {
    pollfd p{listenFd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) != 1)
        return -1;
    return accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
}

bool SendAll(int fd, const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += size_t(n);
    }
    return true;
}

bool SendUrgent(int fd, char byte) {
    return send(fd, &byte, 1, MSG_OOB | MSG_NOSIGNAL) == 1;
}

std::string ReadAvailable(int fd, int timeoutMs) {
    std::string out;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) != 1)
        return out;
    char buffer[65536];
    for (;;) {
        ssize_t n = recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT);
        if (n <= 0)
            break;
        out.append(buffer, size_t(n));
    }
    return out;
}

void Reset(int fd) {
    linger l{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
    close(fd);
}

void Close(int fd) {
    if (fd >= 0)
        close(fd);
}

uint16_t FreePort() {
    uint16_t port = 0;
    int fd = Listen(&port);
    close(fd);
    return port;
}

}  // namespace raw

bool UnderWine() {
    return false;
}

std::string MakeTempFolder() {
    char pattern[] = "/tmp/veltonet-test-XXXXXX";
    return mkdtemp(pattern) != nullptr ? std::string(pattern) : std::string();
}

void SetEnvironment(const char* name, const char* value) {
    value != nullptr ? setenv(name, value, 1) : unsetenv(name);
}

}  // namespace veltonet::test
