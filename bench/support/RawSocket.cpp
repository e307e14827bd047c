#include "support/RawSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace bench::raw {

namespace {

sockaddr_in Loopback(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

uint16_t LocalPort(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof(address);
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        Die("getsockname failed");
    }
    return ntohs(address.sin_port);
}

}  // namespace

int Listen(uint16_t* port, int backlog, bool nonBlocking) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Loopback(0);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(fd, backlog) != 0) {
        Die("listen failed: " + std::to_string(errno));
    }
    SetNonBlocking(fd, nonBlocking);
    *port = LocalPort(fd);
    return fd;
}

int Connect(uint16_t port, bool nonBlocking) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Loopback(port);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        Die("connect failed: " + std::to_string(errno));
    }
    SetNonBlocking(fd, nonBlocking);
    return fd;
}

int ConnectStart(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return -1;
    }
    sockaddr_in address = Loopback(port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 &&
        errno != EINPROGRESS) {
        close(fd);
        return -1;
    }
    return fd;
}

int AcceptOne(int listenFd, int timeoutMs, bool nonBlocking) {
    pollfd entry{listenFd, POLLIN, 0};
    if (poll(&entry, 1, timeoutMs) != 1) {
        Die("no connection within " + std::to_string(timeoutMs) + " ms");
    }
    const int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
        Die("accept failed: " + std::to_string(errno));
    }
    SetNonBlocking(fd, nonBlocking);
    return fd;
}

int ConnectUdp(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Loopback(port);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        Die("udp connect failed: " + std::to_string(errno));
    }
    return fd;
}

int BindUdp(uint16_t* port, int receiveBuffer) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Loopback(0);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        Die("udp bind failed: " + std::to_string(errno));
    }
    if (receiveBuffer > 0) {
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof(receiveBuffer));
    }
    *port = LocalPort(fd);
    return fd;
}

void SetNonBlocking(int fd, bool on) {
    const int flags = fcntl(fd, F_GETFL, 0);
    fcntl(fd, F_SETFL, on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK));
}

void SetNoDelay(int fd) {
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
}

void CloseAbortive(int fd) {
    linger value{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &value, sizeof(value));
    close(fd);
}

bool SendAll(int fd, const void* data, size_t length) {
    const auto* bytes = static_cast<const char*>(data);
    size_t done = 0;
    while (done < length) {
        const ssize_t n = send(fd, bytes + done, length - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += size_t(n);
    }
    return true;
}

bool ReceiveExactly(int fd, void* data, size_t length, int timeoutMs) {
    auto* bytes = static_cast<char*>(data);
    size_t done = 0;
    const uint64_t deadline = NowNs() + uint64_t(timeoutMs) * 1000000u;
    while (done < length) {
        const uint64_t now = NowNs();
        if (now >= deadline) {
            return false;
        }
        pollfd entry{fd, POLLIN, 0};
        if (poll(&entry, 1, int((deadline - now) / 1000000u) + 1) <= 0) {
            continue;
        }
        const ssize_t n = recv(fd, bytes + done, length - done, MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += size_t(n);
    }
    return true;
}

Epoll::Epoll() : m_fd(epoll_create1(EPOLL_CLOEXEC)) {
    if (m_fd < 0) {
        Die("epoll_create1 failed");
    }
}

Epoll::~Epoll() {
    close(m_fd);
}

void Epoll::Add(int fd, uint32_t events, uint64_t tag) {
    epoll_event entry{};
    entry.events = events;
    entry.data.u64 = tag;
    if (epoll_ctl(m_fd, EPOLL_CTL_ADD, fd, &entry) != 0) {
        Die("epoll_ctl add failed: " + std::to_string(errno));
    }
}

void Epoll::Modify(int fd, uint32_t events, uint64_t tag) {
    epoll_event entry{};
    entry.events = events;
    entry.data.u64 = tag;
    epoll_ctl(m_fd, EPOLL_CTL_MOD, fd, &entry);
}

void Epoll::Remove(int fd) {
    epoll_ctl(m_fd, EPOLL_CTL_DEL, fd, nullptr);
}

int Epoll::Wait(epoll_event* events, int capacity, int timeoutMs) {
    const int ready = epoll_wait(m_fd, events, capacity, timeoutMs);
    return ready < 0 ? 0 : ready;
}

ssize_t InBuffer::ReadFrom(int fd) {
    const ssize_t n = recv(fd, data + used, size - used, 0);
    if (n > 0) {
        used += size_t(n);
        return n;
    }
    return n == 0 || (errno != EAGAIN && errno != EINTR) ? -1 : 0;
}

ssize_t InBuffer::ReadWhenReady(Epoll& poller, int fd, int timeoutMs) {
    epoll_event events[4];
    return poller.Wait(events, 4, timeoutMs) == 0 ? 0 : ReadFrom(fd);
}

void InBuffer::Consume(size_t n) {
    if (n >= used) {
        used = 0;
        return;
    }
    if (n != 0) {
        std::memmove(data, data + n, used - n);
        used -= n;
    }
}

}  // namespace bench::raw
