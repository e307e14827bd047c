#include "veltonet/platform/AsyncSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "veltonet/platform/Address.h"
#include "veltonet/platform/SocketOptions.h"
#include "veltonet/platform/WinsockErrors.h"

namespace veltonet {

namespace {

bool Fail(int wsaError) {
    SetLastSocketError(wsaError);
    return false;
}

bool FailErrno(int err) {
    return Fail(WinsockErrorFromErrno(err));
}

int FailCount(int wsaError) {
    SetLastSocketError(wsaError);
    return kSocketError;
}

// One descriptor held in reserve by the process. With no descriptor left, a listening socket
// whose queue holds a connection stays readable, and the loop would run the failing accept
// round after round. Giving the reserve up for a moment lets the waiting connection be taken
// and closed (its peer sees the connection end), so the loop waits again; accepting resumes by
// itself once descriptors are free.
int reserveDescriptor = -1;

void KeepReserveDescriptor() {
    if (reserveDescriptor < 0) {
        reserveDescriptor = open("/dev/null", O_RDONLY | O_CLOEXEC);
    }
}

void DropWaitingConnection(int listeningFd) {
    if (reserveDescriptor < 0) {
        return;
    }
    close(reserveDescriptor);
    reserveDescriptor = -1;
    const int fd = accept4(listeningFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
        close(fd);
    }
    KeepReserveDescriptor();
}

int LinuxSocketType(int type) {
    switch (type) {
        case kSockStream:
            return SOCK_STREAM;
        case kSockDatagram:
            return SOCK_DGRAM;
        default:
            return -1;
    }
}

// Windows message flags: out-of-band 1, peek 2, don't-route 4, wait-all 8.
bool LinuxMessageFlags(int flags, int* linuxFlags) {
    constexpr int kKnown = 0x1 | 0x2 | 0x4 | 0x8;
    if ((flags & ~kKnown) != 0) {
        return false;
    }
    *linuxFlags = ((flags & 0x1) != 0 ? MSG_OOB : 0) | ((flags & 0x2) != 0 ? MSG_PEEK : 0) |
                  ((flags & 0x4) != 0 ? MSG_DONTROUTE : 0) | ((flags & 0x8) != 0 ? MSG_WAITALL : 0);
    return true;
}

// Null or empty text is any address when anyWhenEmpty, else a failure (10049). A text that is
// neither dotted decimal nor a name that resolves fails with 11001.
bool MakeAddress(const char* text, uint16_t port, bool anyWhenEmpty, sockaddr_in* address) {
    std::memset(address, 0, sizeof(*address));
    address->sin_family = AF_INET;
    address->sin_port = htons(port);
    if (text == nullptr || *text == '\0') {
        if (!anyWhenEmpty) {
            return Fail(kWsaEaddrnotavail);
        }
        address->sin_addr.s_addr = htonl(INADDR_ANY);
        return true;
    }
    uint32_t resolved = 0;
    if (!ResolveIPv4(text, &resolved)) {
        return Fail(kWsaHostNotFound);
    }
    address->sin_addr.s_addr = resolved;
    return true;
}

void SplitAddress(const sockaddr_in& address, std::string& text, uint16_t& port) {
    text = FormatIPv4(address.sin_addr.s_addr);
    port = ntohs(address.sin_port);
}

int PendingError(int fd) {
    int error = 0;
    socklen_t length = sizeof(error);
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
        return errno;
    }
    return error;
}

// Windows refuses broadcast on a stream socket, and the linger, keep-alive, out-of-band and
// TCP options on a datagram socket, with 10042; Linux would accept some and fail others with
// other numbers.
bool OptionFitsType(int level, int option, int type) {
    if (type == kSockStream) {
        return !(level == kSolSocket && option == kSoBroadcast);
    }
    if (level == kIpProtoTcp) {
        return false;
    }
    return !(level == kSolSocket && (option == kSoLinger || option == kSoDontLinger ||
                                     option == kSoKeepAlive || option == kSoOobInline));
}

bool AtUrgentMark(int fd) {
    int atMark = 0;
    return ioctl(fd, SIOCATMARK, &atMark) == 0 && atMark != 0;
}

// Urgent data the kernel still holds for this stream (it keeps it until read with MSG_OOB or
// until a plain read passes its mark).
bool UrgentDataPending(int fd) {
    pollfd entry{fd, POLLPRI, 0};
    return poll(&entry, 1, 0) == 1 && (entry.revents & POLLPRI) != 0;
}

bool SetIntOption(int fd, int level, int option, int value) {
    return setsockopt(fd, level, option, &value, sizeof(value)) == 0;
}

}  // namespace

AsyncSocket::~AsyncSocket() {
    Close();
}

bool AsyncSocket::Create(EventLoop& loop, int type, long events) {
    Close();
    int linuxType = LinuxSocketType(type);
    if (linuxType < 0) {
        return Fail(kWsaEsocktnosupport);
    }
    if (!loop.isValid()) {
        return Fail(kWsaNotinitialised);
    }
    int fd = socket(AF_INET, linuxType | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return FailErrno(errno);
    }
    return Attach(loop, fd, type, events);
}

bool AsyncSocket::Attach(EventLoop& loop, int fd, int type, long events) {
    m_loop = &loop;
    m_fd = fd;
    m_type = type;
    m_events = events;
    m_interest = WantedInterest();
    SocketId id = loop.Attach(fd, this, m_interest);
    if (id == 0) {
        int err = errno;
        close(fd);
        m_fd = -1;
        m_loop = nullptr;
        m_interest = 0;
        return Fail(err != 0 ? WinsockErrorFromErrno(err) : kWsaEnobufs);
    }
    m_handle = id;
    return true;
}

void AsyncSocket::ResetState() {
    m_listening = false;
    m_connected = false;
    m_connectPending = false;
    m_connectFailed = false;
    m_sendPending = false;
    m_closeNotified = false;
    m_shutSend = false;
    m_shutReceive = false;
    m_urgentNotified = false;
    m_interest = 0;
}

void AsyncSocket::Close() {
    CloseWaitingConnection();
    if (m_fd >= 0) {
        if (m_loop != nullptr && m_handle != kInvalidSocket) {
            m_loop->Detach(m_handle, m_fd);
        }
        close(m_fd);
    }
    m_fd = -1;
    m_handle = kInvalidSocket;
    m_loop = nullptr;
    m_bound = false;
    m_boundPort = 0;
    m_boundAddress.clear();
    m_options.clear();
    ResetState();
}

void AsyncSocket::LoopDestroyed() {
    m_loop = nullptr;
    m_handle = kInvalidSocket;
    m_interest = 0;
}

bool AsyncSocket::BindDescriptor(int fd) {
    sockaddr_in address{};
    if (!MakeAddress(m_boundAddress.c_str(), m_boundPort, true, &address)) {
        return false;
    }
    if (m_type == kSockStream && m_boundPort != 0 &&
        !SetIntOption(fd, SOL_SOCKET, SO_REUSEADDR, 1)) {
        return FailErrno(errno);
    }
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        return FailErrno(errno);
    }
    return true;
}

bool AsyncSocket::Bind(uint16_t port, const char* address) {
    if (m_fd < 0) {
        return Fail(kWsaEnotsock);
    }
    std::string previousAddress = m_boundAddress;
    uint16_t previousPort = m_boundPort;
    m_boundAddress = address != nullptr ? address : "";
    m_boundPort = port;
    if (!BindDescriptor(m_fd)) {
        m_boundAddress = previousAddress;
        m_boundPort = previousPort;
        return false;
    }
    m_bound = true;
    return true;
}

bool AsyncSocket::Connect(const char* address, uint16_t port) {
    if (m_fd < 0) {
        return Fail(kWsaEnotsock);
    }
    sockaddr_in remote{};
    if (!MakeAddress(address, port, false, &remote)) {
        return false;
    }
    // As on Windows: nobody can be reached at the any-address or at port 0.
    if (remote.sin_addr.s_addr == htonl(INADDR_ANY) || port == 0) {
        return Fail(kWsaEaddrnotavail);
    }
    if (m_connectFailed && !RenewDescriptor()) {
        return false;
    }
    int result = connect(m_fd, reinterpret_cast<const sockaddr*>(&remote), sizeof(remote));
    if (result == 0) {
        // Completed at once: OnConnect still follows through the loop, as for any connect.
        m_connectPending = true;
        UpdateInterest();
        return true;
    }
    int err = errno;
    switch (err) {
        case EINPROGRESS:
        case EINTR:  // the attempt goes on in the background, as for EINPROGRESS
            m_connectPending = true;
            UpdateInterest();
            return Fail(kWsaEwouldblock);
        case EALREADY:
        case EISCONN:
            return FailErrno(err);
        case EAGAIN:
            // Linux's "no local port left"; a would-block here would never complete.
            m_connectFailed = true;
            return Fail(kWsaEnobufs);
        default:
            m_connectFailed = true;
            return FailErrno(err);
    }
}

bool AsyncSocket::RenewDescriptor() {
    if (m_loop == nullptr) {
        return Fail(kWsaNotinitialised);
    }
    EventLoop& loop = *m_loop;
    m_loop->Detach(m_handle, m_fd);
    close(m_fd);
    m_fd = -1;
    m_handle = kInvalidSocket;
    ResetState();

    int fd = socket(AF_INET, LinuxSocketType(m_type) | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        m_loop = nullptr;
        return FailErrno(errno);
    }
    for (const RememberedOption& remembered : m_options) {
        ApplyOption(fd, remembered.option, remembered.value.data(),
                    static_cast<int>(remembered.value.size()), remembered.level);
    }
    if (m_bound && !BindDescriptor(fd)) {
        int error = GetLastSocketError();
        close(fd);
        m_loop = nullptr;
        return Fail(error);
    }
    return Attach(loop, fd, m_type, m_events);
}

bool AsyncSocket::Listen(int backlog) {
    if (m_fd < 0) {
        return Fail(kWsaEnotsock);
    }
    if (m_type != kSockStream) {
        return Fail(kWsaEopnotsupp);
    }
    // Accepted connections inherit this: their TIME_WAIT entries then never block a later
    // listener on the same port, also when this one was bound to a kernel-picked port.
    SetIntOption(m_fd, SOL_SOCKET, SO_REUSEADDR, 1);
    if (listen(m_fd, backlog) != 0) {
        return FailErrno(errno);
    }
    m_listening = true;
    KeepReserveDescriptor();
    UpdateInterest();
    return true;
}

bool AsyncSocket::Accept(AsyncSocket& connected, std::string* peerAddress, uint16_t* peerPort) {
    if (m_fd < 0) {
        return Fail(kWsaEnotsock);
    }
    if (m_loop == nullptr) {
        return Fail(kWsaNotinitialised);
    }
    if (!m_listening || &connected == this || connected.m_fd >= 0) {
        return Fail(kWsaEinval);
    }
    if (m_waitingFd < 0 && !TakeWaitingConnection()) {
        const int error = errno;
        if (error == EMFILE || error == ENFILE) {
            DropWaitingConnection(m_fd);
        }
        return FailErrno(error);
    }
    const int fd = m_waitingFd;
    m_waitingFd = -1;
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_addr.s_addr = m_waitingPeerAddress;
    peer.sin_port = m_waitingPeerPort;
    connected.Close();
    connected.m_connected = true;
    if (!connected.Attach(*m_loop, fd, kSockStream, m_events)) {
        connected.ResetState();
        return false;
    }
    std::string text;
    uint16_t port = 0;
    SplitAddress(peer, text, port);
    if (peerAddress != nullptr) {
        *peerAddress = text;
    }
    if (peerPort != nullptr) {
        *peerPort = port;
    }
    return true;
}

int AsyncSocket::Send(const void* data, int length, int flags) {
    if (m_fd < 0) {
        return FailCount(kWsaEnotsock);
    }
    if (length < 0) {
        return FailCount(kWsaEinval);
    }
    if (data == nullptr && length > 0) {
        return FailCount(kWsaEfault);
    }
    int linuxFlags = 0;
    if (!LinuxMessageFlags(flags, &linuxFlags)) {
        return FailCount(kWsaEopnotsupp);
    }
    ssize_t sent;
    do {
        sent = send(m_fd, data, static_cast<size_t>(length), linuxFlags | MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    return FinishSend(sent, length);
}

int AsyncSocket::SendTo(const void* data, int length, uint16_t port, const char* address,
                        int flags) {
    if (m_fd < 0) {
        return FailCount(kWsaEnotsock);
    }
    if (length < 0) {
        return FailCount(kWsaEinval);
    }
    if (data == nullptr && length > 0) {
        return FailCount(kWsaEfault);
    }
    int linuxFlags = 0;
    if (!LinuxMessageFlags(flags, &linuxFlags)) {
        return FailCount(kWsaEopnotsupp);
    }
    if (address == nullptr || *address == '\0') {
        return FailCount(kWsaEdestaddrreq);
    }
    sockaddr_in remote{};
    if (!MakeAddress(address, port, false, &remote)) {
        return kSocketError;
    }
    ssize_t sent;
    do {
        sent = sendto(m_fd, data, static_cast<size_t>(length), linuxFlags | MSG_NOSIGNAL,
                      reinterpret_cast<const sockaddr*>(&remote), sizeof(remote));
    } while (sent < 0 && errno == EINTR);
    return FinishSend(sent, length);
}

int AsyncSocket::FinishSend(long sent, int length) {
    if (sent < 0) {
        int err = errno;
        if (err == EAGAIN) {
            m_sendPending = true;
            UpdateInterest();
            return FailCount(kWsaEwouldblock);
        }
        if (err == EPIPE && m_shutSend) {
            return FailCount(kWsaEshutdown);
        }
        if (err == EPIPE && m_type == kSockStream && !m_connected) {
            return FailCount(kWsaEnotconn);  // never connected, rather than reset
        }
        return FailCount(WinsockErrorFromErrno(err));
    }
    if (sent < length) {
        m_sendPending = true;
        UpdateInterest();
    }
    return static_cast<int>(sent);
}

int AsyncSocket::Receive(void* data, int length, int flags) {
    std::string ignoredAddress;
    uint16_t ignoredPort = 0;
    return ReceiveMessage(data, length, flags, nullptr, ignoredAddress, ignoredPort);
}

int AsyncSocket::ReceiveFrom(void* data, int length, std::string& address, uint16_t& port,
                             int flags) {
    sockaddr_in sender{};
    return ReceiveMessage(data, length, flags, &sender, address, port);
}

int AsyncSocket::ReceiveMessage(void* data, int length, int flags, sockaddr_in* sender,
                                std::string& address, uint16_t& port) {
    if (m_fd < 0) {
        return FailCount(kWsaEnotsock);
    }
    if (length < 0) {
        return FailCount(kWsaEinval);
    }
    if (data == nullptr && length > 0) {
        return FailCount(kWsaEfault);
    }
    int linuxFlags = 0;
    if (!LinuxMessageFlags(flags, &linuxFlags)) {
        return FailCount(kWsaEopnotsupp);
    }
    iovec part{data, static_cast<size_t>(length)};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    if (sender != nullptr) {
        message.msg_name = sender;
        message.msg_namelen = sizeof(*sender);
    }
    ssize_t received;
    do {
        received = recvmsg(m_fd, &message, linuxFlags);
    } while (received < 0 && errno == EINTR);
    const int receiveError = received < 0 ? errno : 0;
    m_datagramTaken = received >= 0 && (linuxFlags & MSG_PEEK) == 0;
    if (m_urgentNotified) {
        RearmUrgentNotification(received > 0 && !UrgentDataPending(m_fd));
    }
    if (received < 0) {
        return FailCount(WinsockErrorFromErrno(receiveError));
    }
    // A datagram larger than the buffer is cut off and reported, as Windows does.
    if (m_type == kSockDatagram && (message.msg_flags & MSG_TRUNC) != 0) {
        return FailCount(kWsaEmsgsize);
    }
    if (sender != nullptr && message.msg_namelen >= sizeof(sockaddr_in) &&
        sender->sin_family == AF_INET) {
        SplitAddress(*sender, address, port);
    }
    return static_cast<int>(received);
}

bool AsyncSocket::SetSockOpt(int option, const void* value, int length, int level) {
    if (m_fd < 0) {
        return Fail(kWsaEnotsock);
    }
    if (value == nullptr || length < 0) {
        return Fail(kWsaEfault);
    }
    if (!ApplyOption(m_fd, option, value, length, level)) {
        return false;
    }
    // Latest setting last, so that a fresh descriptor gets them in the order they took effect.
    for (auto it = m_options.begin(); it != m_options.end(); ++it) {
        if (it->level == level && it->option == option) {
            m_options.erase(it);
            break;
        }
    }
    const char* bytes = static_cast<const char*>(value);
    m_options.push_back(RememberedOption{level, option, std::vector<char>(bytes, bytes + length)});
    return true;
}

bool AsyncSocket::ApplyOption(int fd, int option, const void* value, int length, int level) {
    int linuxLevel = 0;
    int linuxOption = 0;
    if (!TranslateSocketOption(level, option, &linuxLevel, &linuxOption) ||
        !OptionFitsType(level, option, m_type)) {
        return Fail(kWsaEnoprotoopt);
    }
    if (level == kSolSocket && option == kSoDontLinger) {
        int dontLinger = 0;
        if (length < static_cast<int>(sizeof(dontLinger))) {
            return Fail(kWsaEfault);
        }
        std::memcpy(&dontLinger, value, sizeof(dontLinger));
        // The linger time set before stays; only the switch changes.
        linger current{};
        socklen_t currentLength = sizeof(current);
        if (getsockopt(fd, SOL_SOCKET, SO_LINGER, &current, &currentLength) != 0) {
            return FailErrno(errno);
        }
        current.l_onoff = dontLinger == 0 ? 1 : 0;
        if (setsockopt(fd, SOL_SOCKET, SO_LINGER, &current, sizeof(current)) != 0) {
            return FailErrno(errno);
        }
        return true;
    }
    if (level == kSolSocket && option == kSoLinger) {
        WinLinger windows{};
        if (length < static_cast<int>(sizeof(windows))) {
            return Fail(kWsaEfault);
        }
        std::memcpy(&windows, value, sizeof(windows));
        linger setting{};
        setting.l_onoff = windows.onoff != 0 ? 1 : 0;
        setting.l_linger = windows.linger;
        if (setsockopt(fd, SOL_SOCKET, SO_LINGER, &setting, sizeof(setting)) != 0) {
            return FailErrno(errno);
        }
        return true;
    }
    if (setsockopt(fd, linuxLevel, linuxOption, value, static_cast<socklen_t>(length)) != 0) {
        return FailErrno(errno);
    }
    return true;
}

bool AsyncSocket::GetSockOpt(int option, void* value, int* length, int level) {
    if (m_fd < 0) {
        return Fail(kWsaEnotsock);
    }
    if (value == nullptr || length == nullptr || *length < 0) {
        return Fail(kWsaEfault);
    }
    int linuxLevel = 0;
    int linuxOption = 0;
    if (!TranslateSocketOption(level, option, &linuxLevel, &linuxOption) ||
        !OptionFitsType(level, option, m_type)) {
        return Fail(kWsaEnoprotoopt);
    }
    if (linuxLevel == SOL_SOCKET && linuxOption == SO_LINGER) {
        if (*length < 4) {
            return Fail(kWsaEfault);
        }
        linger current{};
        socklen_t currentLength = sizeof(current);
        if (getsockopt(m_fd, SOL_SOCKET, SO_LINGER, &current, &currentLength) != 0) {
            return FailErrno(errno);
        }
        if (option == kSoDontLinger) {
            int dontLinger = current.l_onoff == 0 ? 1 : 0;
            std::memcpy(value, &dontLinger, sizeof(dontLinger));
        } else {
            WinLinger windows{static_cast<unsigned short>(current.l_onoff != 0 ? 1 : 0),
                              static_cast<unsigned short>(current.l_linger)};
            std::memcpy(value, &windows, sizeof(windows));
        }
        *length = 4;
        return true;
    }
    socklen_t linuxLength = static_cast<socklen_t>(*length);
    if (getsockopt(m_fd, linuxLevel, linuxOption, value, &linuxLength) != 0) {
        return FailErrno(errno);
    }
    // Linux reports twice the buffer size asked for (its bookkeeping share); Windows reports
    // the size that was set.
    if (linuxLevel == SOL_SOCKET && (linuxOption == SO_RCVBUF || linuxOption == SO_SNDBUF) &&
        linuxLength == sizeof(int)) {
        int size = 0;
        std::memcpy(&size, value, sizeof(size));
        size /= 2;
        std::memcpy(value, &size, sizeof(size));
    }
    *length = static_cast<int>(linuxLength);
    return true;
}

bool AsyncSocket::GetSockName(std::string& address, uint16_t& port) const {
    if (m_fd < 0) {
        return Fail(kWsaEnotsock);
    }
    sockaddr_in local{};
    socklen_t length = sizeof(local);
    if (getsockname(m_fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        return FailErrno(errno);
    }
    SplitAddress(local, address, port);
    return true;
}

bool AsyncSocket::GetPeerName(std::string& address, uint16_t& port) const {
    if (m_fd < 0) {
        return Fail(kWsaEnotsock);
    }
    sockaddr_in remote{};
    socklen_t length = sizeof(remote);
    if (getpeername(m_fd, reinterpret_cast<sockaddr*>(&remote), &length) != 0) {
        return FailErrno(errno);
    }
    SplitAddress(remote, address, port);
    return true;
}

bool AsyncSocket::ShutDown(int how) {
    if (m_fd < 0) {
        return Fail(kWsaEnotsock);
    }
    int linuxHow;
    switch (how) {
        case kShutReceive:
            linuxHow = SHUT_RD;
            break;
        case kShutSend:
            linuxHow = SHUT_WR;
            break;
        case kShutBoth:
            linuxHow = SHUT_RDWR;
            break;
        default:
            return Fail(kWsaEinval);
    }
    if (shutdown(m_fd, linuxHow) != 0) {
        return FailErrno(errno);
    }
    m_shutReceive = m_shutReceive || how != kShutSend;
    m_shutSend = m_shutSend || how != kShutReceive;
    UpdateInterest();
    return true;
}

bool AsyncSocket::BytesReadable(unsigned long* count) const {
    if (m_fd < 0) {
        return Fail(kWsaEnotsock);
    }
    if (count == nullptr) {
        return Fail(kWsaEfault);
    }
    int waiting = 0;
    if (ioctl(m_fd, FIONREAD, &waiting) != 0) {
        return FailErrno(errno);
    }
    *count = static_cast<unsigned long>(waiting);
    return true;
}

bool AsyncSocket::isLive() const {
    return m_loop != nullptr && m_handle != kInvalidSocket && m_loop->LookupLive(m_handle) == this;
}

bool AsyncSocket::isDead() const {
    return m_loop != nullptr && m_handle != kInvalidSocket && m_loop->isDead(m_handle);
}

uint32_t AsyncSocket::WantedInterest() const {
    if (m_fd < 0 || m_closeNotified) {
        return 0;
    }
    // A stream socket that is neither connecting, connected nor listening reports hang-up
    // without end, so it stays out of the epoll set (also after a failed connect).
    if (m_connectPending) {
        return EPOLLOUT;
    }
    if (m_listening) {
        return (m_events & kFdAccept) != 0 ? static_cast<uint32_t>(EPOLLIN) : 0u;
    }
    if (m_type == kSockStream && !m_connected) {
        return 0;
    }
    uint32_t wanted = 0;
    if (!m_shutReceive) {
        if ((m_events & kFdRead) != 0) {
            wanted |= EPOLLIN;
        }
        if ((m_events & kFdOob) != 0 && !m_urgentNotified) {
            wanted |= EPOLLPRI;
        }
        // The end of a stream is seen through its read side, even without read notifications.
        if (m_type == kSockStream && (m_events & (kFdRead | kFdClose)) != 0) {
            wanted |= EPOLLRDHUP;
        }
    }
    if (m_sendPending && !m_shutSend && (m_events & kFdWrite) != 0) {
        wanted |= EPOLLOUT;
    }
    return wanted;
}

void AsyncSocket::UpdateInterest() {
    uint32_t wanted = WantedInterest();
    if (wanted != m_interest && m_loop != nullptr && m_handle != kInvalidSocket) {
        m_loop->Modify(m_handle, m_fd, wanted);
    }
    m_interest = wanted;
}

void AsyncSocket::RearmUrgentNotification(bool urgentTaken) {
    if (urgentTaken) {
        m_urgentNotified = false;
        UpdateInterest();
    }
}

// A listener under a burst of connections would otherwise pay one loop round per accept.
// Each waiting connection is taken here and handed to the OnAccept handler's Accept, up to a
// batch per round so that other sockets keep their turn. A handler that does not call Accept
// keeps its connection for its next Accept, as a Windows listener gets no further notice
// until it accepts. An error other than an empty queue is left for the handler's Accept to
// meet and report, as without the batch.
void AsyncSocket::AcceptWaitingConnections() {
    constexpr int kAcceptBatch = 32;
    EventLoop* loop = m_loop;
    const SocketId id = m_handle;
    for (int i = 0; i < kAcceptBatch; ++i) {
        const bool untaken = m_waitingFd >= 0;
        const bool taken = untaken || TakeWaitingConnection();
        if (!taken && errno == EAGAIN) {
            return;
        }
        OnAccept(0);
        // Go on only after a fresh connection that the handler accepted.
        if (loop->LookupLive(id) == nullptr || !taken || untaken || m_waitingFd >= 0 ||
            !m_listening || (m_events & kFdAccept) == 0) {
            return;
        }
    }
}

// A feed of datagrams would otherwise pay one loop round per datagram. The handler is called
// again while its last receive took a datagram, up to a batch per round so that other
// sockets (a repair connection, say) keep their turn; the call after the last datagram meets
// an empty queue and fails with 10035, as a notification without data may on Windows.
void AsyncSocket::ReceiveWaitingDatagrams() {
    constexpr int kDatagramBatch = 16;
    EventLoop* loop = m_loop;
    const SocketId id = m_handle;
    for (int i = 0; i < kDatagramBatch; ++i) {
        m_datagramTaken = false;
        OnReceive(0);
        if (loop->LookupLive(id) == nullptr || !m_datagramTaken || (m_events & kFdRead) == 0 ||
            m_closeNotified) {
            return;
        }
    }
}

bool AsyncSocket::TakeWaitingConnection() {
    sockaddr_in peer{};
    socklen_t length = sizeof(peer);
    int fd;
    do {
        fd = accept4(m_fd, reinterpret_cast<sockaddr*>(&peer), &length,
                     SOCK_NONBLOCK | SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return false;
    }
    m_waitingFd = fd;
    m_waitingPeerAddress = peer.sin_addr.s_addr;
    m_waitingPeerPort = peer.sin_port;
    return true;
}

void AsyncSocket::CloseWaitingConnection() {
    if (m_waitingFd >= 0) {
        close(m_waitingFd);
        m_waitingFd = -1;
    }
}

void AsyncSocket::StopWatching() {
    m_closeNotified = true;
    UpdateInterest();
}

void AsyncSocket::HandleEvents(uint32_t epollEvents) {
    // A handler may delete this object: after each notification, only the loop and the
    // identifier captured here may be touched until the identifier is found live again.
    EventLoop* loop = m_loop;
    const SocketId id = m_handle;
    if (loop == nullptr || id == kInvalidSocket) {
        return;
    }
    auto stillLive = [loop, id] { return loop->LookupLive(id) != nullptr; };
    // Events that arrived before an earlier handler changed the interest do not count.
    auto current = [this](uint32_t events) {
        return m_interest == 0 ? 0u : events & (m_interest | EPOLLERR | EPOLLHUP);
    };
    uint32_t events = current(epollEvents);

    if (m_connectPending) {
        if ((events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) == 0) {
            return;
        }
        int error = PendingError(m_fd);
        m_connectPending = false;
        if (error != 0) {
            // Linux accepts no second connect on this descriptor; the next Connect renews it.
            m_connectFailed = true;
            m_sendPending = false;
            UpdateInterest();
            if ((m_events & kFdConnect) != 0) {
                OnConnect(WinsockErrorFromErrno(error));
            }
            return;
        }
        m_connected = true;
        m_sendPending = true;  // a fresh connection is writable: one OnSend follows OnConnect
        UpdateInterest();
        if ((m_events & kFdConnect) != 0) {
            OnConnect(0);
            if (!stillLive()) {
                return;
            }
        }
        events = current(epollEvents | EPOLLOUT);
    }

    if ((events & EPOLLERR) != 0) {
        int error = PendingError(m_fd);
        // A datagram socket outlives an error report (an unreachable port, say); only a
        // stream socket ends with one.
        if (error != 0 && m_type == kSockStream) {
            StopWatching();
            if ((m_events & kFdClose) != 0) {
                OnClose(WinsockErrorFromErrno(error));
            }
            return;
        }
    }

    if ((events & EPOLLPRI) != 0) {
        if ((m_events & kFdOob) != 0) {
            // Urgent data stays readable until taken: notify once, not on every round.
            m_urgentNotified = true;
            UpdateInterest();
            OnOutOfBandData(0);
            if (!stillLive()) {
                return;
            }
        }
        events = current(events);
    }

    if ((events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP)) != 0) {
        if (m_listening || m_type == kSockDatagram) {
            if ((events & EPOLLIN) != 0) {
                if (m_listening && (m_events & kFdAccept) != 0) {
                    AcceptWaitingConnections();
                } else if (!m_listening && (m_events & kFdRead) != 0) {
                    ReceiveWaitingDatagrams();
                }
                if (!stillLive()) {
                    return;
                }
            } else if ((events & EPOLLHUP) != 0) {
                StopWatching();  // shut down in both directions: nothing more will come
                return;
            }
        } else {
            // Without a hang-up, readable means data: no count is needed (one system call per
            // read saved). After one, only a count tells unread data from the close. Linux
            // counts only the bytes before an urgent mark, so at the mark the count is 0
            // although data (and the urgent byte, which a plain read skips) waits.
            const bool hungUp = (events & (EPOLLRDHUP | EPOLLHUP)) != 0;
            bool dataWaits = !hungUp;
            if (hungUp) {
                unsigned long waiting = 0;
                dataWaits = (BytesReadable(&waiting) && waiting > 0) || AtUrgentMark(m_fd);
            }
            if (dataWaits && (m_events & kFdRead) != 0) {
                OnReceive(0);
                if (!stillLive()) {
                    return;
                }
            } else if (hungUp) {
                // Every byte was read (or is not wanted): the peer's close is due now.
                StopWatching();
                if ((m_events & kFdClose) != 0) {
                    OnClose(0);
                }
                return;
            }
        }
        events = current(events);
    }

    if ((events & EPOLLOUT) != 0 && m_sendPending) {
        m_sendPending = false;
        UpdateInterest();
        OnSend(0);
    }
}

}  // namespace veltonet
