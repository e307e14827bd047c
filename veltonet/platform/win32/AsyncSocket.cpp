#include "veltonet/platform/AsyncSocket.h"

#include <mswsock.h>
#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <climits>
#include <cstring>

#include "veltonet/platform/Address.h"
#include "veltonet/platform/SocketOptions.h"
#include "veltonet/platform/WinsockErrors.h"
#include "veltonet/platform/win32/Notifications.h"

namespace veltonet {

namespace {

// Every notification is asked for; HandleEvents passes on what the mask and the state allow.
constexpr uint32_t kAllEvents = FD_READ | FD_WRITE | FD_OOB | FD_ACCEPT | FD_CONNECT | FD_CLOSE;

static_assert(kFdRead == FD_READ && kFdWrite == FD_WRITE && kFdOob == FD_OOB &&
              kFdAccept == FD_ACCEPT && kFdConnect == FD_CONNECT && kFdClose == FD_CLOSE);
static_assert(kShutReceive == SD_RECEIVE && kShutSend == SD_SEND && kShutBoth == SD_BOTH);

SOCKET AsSocket(int fd) {
    return static_cast<SOCKET>(fd);
}

bool Fail(int wsaError) {
    SetLastSocketError(wsaError);
    return false;
}

bool FailLast() {
    return Fail(WSAGetLastError());
}

int FailCount(int wsaError) {
    SetLastSocketError(wsaError);
    return kSocketError;
}

bool KnownMessageFlags(int flags) {
    return (flags & ~(MSG_OOB | MSG_PEEK | MSG_DONTROUTE | MSG_WAITALL)) == 0;
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

// Same refusals on both systems: broadcast on a stream socket; linger, keep-alive,
// out-of-band and TCP options on a datagram socket.
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

// A new socket, kept from child processes. Handles are kernel handles, whose values fit in
// 32 bits; one that did not would be refused rather than cut.
int NewSocket(int type) {
    SOCKET s = WSASocketW(AF_INET, type == kSockStream ? SOCK_STREAM : SOCK_DGRAM, 0, nullptr, 0,
                          WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) {
        return -1;
    }
    if (s > static_cast<SOCKET>(INT_MAX)) {
        closesocket(s);
        WSASetLastError(WSAENOBUFS);
        return -1;
    }
    if (type == kSockDatagram) {
        // A port-unreachable report would otherwise fail the next receive with 10054: a
        // datagram socket outlives such reports, as on Linux.
        BOOL off = FALSE;
        DWORD returned = 0;
        WSAIoctl(s, SIO_UDP_CONNRESET, &off, sizeof(off), nullptr, 0, &returned, nullptr, nullptr);
    }
    return static_cast<int>(s);
}

}  // namespace

namespace win32 {

int& DeliveredNotifications() {
    thread_local int delivered = 0;
    return delivered;
}

}  // namespace win32

AsyncSocket::~AsyncSocket() {
    Close();
}

bool AsyncSocket::Create(EventLoop& loop, int type, long events) {
    Close();
    if (type != kSockStream && type != kSockDatagram) {
        return Fail(kWsaEsocktnosupport);
    }
    if (!loop.isValid()) {
        return Fail(kWsaNotinitialised);
    }
    int fd = NewSocket(type);
    if (fd < 0) {
        return FailLast();
    }
    return Attach(loop, fd, type, events);
}

bool AsyncSocket::Attach(EventLoop& loop, int fd, int type, long events) {
    m_loop = &loop;
    m_fd = fd;
    m_type = type;
    m_events = events;
    m_interest = kAllEvents;
    SocketId id = loop.Attach(fd, this, m_interest);
    if (id == 0) {
        int err = WSAGetLastError();
        closesocket(AsSocket(fd));
        m_fd = -1;
        m_loop = nullptr;
        m_interest = 0;
        return Fail(err != 0 ? err : kWsaEnobufs);
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
    if (m_fd >= 0) {
        if (m_loop != nullptr && m_handle != kInvalidSocket) {
            m_loop->Detach(m_handle, m_fd);
        }
        closesocket(AsSocket(m_fd));
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

// No SO_REUSEADDR here: on Windows it would let a second socket take a port in use, and a
// listener may bind over TIME_WAIT without it.
bool AsyncSocket::BindDescriptor(int fd) {
    sockaddr_in address{};
    if (!MakeAddress(m_boundAddress.c_str(), m_boundPort, true, &address)) {
        return false;
    }
    if (bind(AsSocket(fd), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        return FailLast();
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
    if (remote.sin_addr.s_addr == htonl(INADDR_ANY) || port == 0) {
        return Fail(kWsaEaddrnotavail);
    }
    // A socket whose connect failed is in no defined state for another attempt.
    if (m_connectFailed && !RenewDescriptor()) {
        return false;
    }
    if (connect(AsSocket(m_fd), reinterpret_cast<const sockaddr*>(&remote), sizeof(remote)) == 0) {
        m_connectPending = true;
        return true;
    }
    const int err = WSAGetLastError();
    if (err == WSAEWOULDBLOCK) {
        m_connectPending = true;
        return Fail(kWsaEwouldblock);
    }
    if (err != WSAEALREADY && err != WSAEISCONN && err != WSAEINVAL) {
        m_connectFailed = true;
    }
    return Fail(err);
}

bool AsyncSocket::RenewDescriptor() {
    if (m_loop == nullptr) {
        return Fail(kWsaNotinitialised);
    }
    EventLoop& loop = *m_loop;
    m_loop->Detach(m_handle, m_fd);
    closesocket(AsSocket(m_fd));
    m_fd = -1;
    m_handle = kInvalidSocket;
    ResetState();

    int fd = NewSocket(m_type);
    if (fd < 0) {
        m_loop = nullptr;
        return FailLast();
    }
    for (const RememberedOption& remembered : m_options) {
        ApplyOption(fd, remembered.option, remembered.value.data(),
                    static_cast<int>(remembered.value.size()), remembered.level);
    }
    if (m_bound && !BindDescriptor(fd)) {
        int error = GetLastSocketError();
        closesocket(AsSocket(fd));
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
    if (listen(AsSocket(m_fd), backlog) != 0) {
        return FailLast();
    }
    m_listening = true;
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
    sockaddr_in peer{};
    int length = sizeof(peer);
    SOCKET s = accept(AsSocket(m_fd), reinterpret_cast<sockaddr*>(&peer), &length);
    if (s == INVALID_SOCKET) {
        return FailLast();
    }
    if (s > static_cast<SOCKET>(INT_MAX)) {
        closesocket(s);
        return Fail(kWsaEnobufs);
    }
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    connected.Close();
    connected.m_connected = true;
    if (!connected.Attach(*m_loop, static_cast<int>(s), kSockStream, m_events)) {
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
    if (!KnownMessageFlags(flags)) {
        return FailCount(kWsaEopnotsupp);
    }
    if (m_type == kSockStream && !m_connected) {
        return FailCount(kWsaEnotconn);
    }
    int sent = send(AsSocket(m_fd), static_cast<const char*>(data), length, flags);
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
    if (!KnownMessageFlags(flags)) {
        return FailCount(kWsaEopnotsupp);
    }
    if (address == nullptr || *address == '\0') {
        return FailCount(kWsaEdestaddrreq);
    }
    sockaddr_in remote{};
    if (!MakeAddress(address, port, false, &remote)) {
        return kSocketError;
    }
    int sent = sendto(AsSocket(m_fd), static_cast<const char*>(data), length, flags,
                      reinterpret_cast<const sockaddr*>(&remote), sizeof(remote));
    return FinishSend(sent, length);
}

int AsyncSocket::FinishSend(long sent, int length) {
    if (sent < 0) {
        const int err = WSAGetLastError();
        if (err == WSAEWOULDBLOCK) {
            m_sendPending = true;  // the system posts FD_WRITE once room frees up
        }
        return FailCount(err);
    }
    if (sent < length && !m_sendPending) {
        // The system posts FD_WRITE only after a send that would block: the OnSend due after a
        // partial send is queued here.
        m_sendPending = true;
        m_loop->PostSocketEvent(m_handle, m_fd, FD_WRITE);
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
    if (!KnownMessageFlags(flags)) {
        return FailCount(kWsaEopnotsupp);
    }
    if (m_type == kSockStream && !m_connected && !m_listening) {
        return FailCount(kWsaEnotconn);
    }
    int senderLength = sizeof(sockaddr_in);
    int received =
        recvfrom(AsSocket(m_fd), static_cast<char*>(data), length, flags,
                 reinterpret_cast<sockaddr*>(sender), sender != nullptr ? &senderLength : nullptr);
    if (received < 0) {
        return FailCount(WSAGetLastError());
    }
    // The system reports urgent data again only after a receive with the out-of-band flag;
    // a plain read that passes the mark makes the next urgent byte count too, so the socket
    // asks for its reports afresh then.
    if (m_urgentNotified && m_type == kSockStream) {
        u_long noUrgentData = 0;
        if ((flags & MSG_OOB) != 0) {
            m_urgentNotified = false;
        } else if (ioctlsocket(AsSocket(m_fd), SIOCATMARK, &noUrgentData) == 0 &&
                   noUrgentData != 0) {
            m_urgentNotified = false;
            m_loop->Modify(m_handle, m_fd, kAllEvents);
        }
    }
    if (sender != nullptr && senderLength >= static_cast<int>(sizeof(sockaddr_in)) &&
        sender->sin_family == AF_INET) {
        SplitAddress(*sender, address, port);
    }
    return received;
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
    int systemLevel = 0;
    int systemOption = 0;
    if (!TranslateSocketOption(level, option, &systemLevel, &systemOption) ||
        !OptionFitsType(level, option, m_type)) {
        return Fail(kWsaEnoprotoopt);
    }
    if (level == kSolSocket && option == kSoDontLinger) {
        // Only the switch changes: the linger time set before stays.
        int dontLinger = 0;
        if (length < static_cast<int>(sizeof(dontLinger))) {
            return Fail(kWsaEfault);
        }
        std::memcpy(&dontLinger, value, sizeof(dontLinger));
        linger current{};
        int currentLength = sizeof(current);
        if (getsockopt(AsSocket(fd), SOL_SOCKET, SO_LINGER, reinterpret_cast<char*>(&current),
                       &currentLength) != 0) {
            return FailLast();
        }
        current.l_onoff = dontLinger == 0 ? 1 : 0;
        if (setsockopt(AsSocket(fd), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&current),
                       sizeof(current)) != 0) {
            return FailLast();
        }
        return true;
    }
    if (setsockopt(AsSocket(fd), systemLevel, systemOption, static_cast<const char*>(value),
                   length) != 0) {
        return FailLast();
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
    int systemLevel = 0;
    int systemOption = 0;
    if (!TranslateSocketOption(level, option, &systemLevel, &systemOption) ||
        !OptionFitsType(level, option, m_type)) {
        return Fail(kWsaEnoprotoopt);
    }
    if (getsockopt(AsSocket(m_fd), systemLevel, systemOption, static_cast<char*>(value), length) !=
        0) {
        return FailLast();
    }
    return true;
}

bool AsyncSocket::GetSockName(std::string& address, uint16_t& port) const {
    if (m_fd < 0) {
        return Fail(kWsaEnotsock);
    }
    sockaddr_in local{};
    int length = sizeof(local);
    if (getsockname(AsSocket(m_fd), reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        return FailLast();
    }
    SplitAddress(local, address, port);
    return true;
}

bool AsyncSocket::GetPeerName(std::string& address, uint16_t& port) const {
    if (m_fd < 0) {
        return Fail(kWsaEnotsock);
    }
    sockaddr_in remote{};
    int length = sizeof(remote);
    if (getpeername(AsSocket(m_fd), reinterpret_cast<sockaddr*>(&remote), &length) != 0) {
        return FailLast();
    }
    SplitAddress(remote, address, port);
    return true;
}

bool AsyncSocket::ShutDown(int how) {
    if (m_fd < 0) {
        return Fail(kWsaEnotsock);
    }
    if (how != kShutReceive && how != kShutSend && how != kShutBoth) {
        return Fail(kWsaEinval);
    }
    if (shutdown(AsSocket(m_fd), how) != 0) {
        return FailLast();
    }
    m_shutReceive = m_shutReceive || how != kShutSend;
    m_shutSend = m_shutSend || how != kShutReceive;
    return true;
}

bool AsyncSocket::BytesReadable(unsigned long* count) const {
    if (m_fd < 0) {
        return Fail(kWsaEnotsock);
    }
    if (count == nullptr) {
        return Fail(kWsaEfault);
    }
    u_long waiting = 0;
    if (ioctlsocket(AsSocket(m_fd), FIONREAD, &waiting) != 0) {
        return FailLast();
    }
    *count = waiting;
    return true;
}

bool AsyncSocket::isLive() const {
    return m_loop != nullptr && m_handle != kInvalidSocket && m_loop->LookupLive(m_handle) == this;
}

bool AsyncSocket::isDead() const {
    return m_loop != nullptr && m_handle != kInvalidSocket && m_loop->isDead(m_handle);
}

uint32_t AsyncSocket::WantedInterest() const {
    return m_fd >= 0 && !m_closeNotified ? kAllEvents : 0;
}

void AsyncSocket::UpdateInterest() {
    m_interest = WantedInterest();
}

void AsyncSocket::StopWatching() {
    m_closeNotified = true;
    UpdateInterest();
}

// events: the FD_ bit in the low half, the error code in the high half.
void AsyncSocket::HandleEvents(uint32_t events) {
    EventLoop* loop = m_loop;
    const SocketId id = m_handle;
    if (loop == nullptr || id == kInvalidSocket || m_closeNotified) {
        return;
    }
    const uint32_t event = events & 0xFFFF;
    int error = static_cast<int>(events >> 16);
    int& delivered = win32::DeliveredNotifications();
    // The system posts a read report again only after a receive call. A handler that leaves
    // the data unread is told again on the next round, as a level-triggered poller would; a
    // report for a stream with nothing left to read (an earlier receive took it) is dropped.
    auto deliverReceive = [&](int receiveError) {
        unsigned long before = 0;
        if (!BytesReadable(&before)) {
            before = 0;
        }
        char peeked = 0;
        if (receiveError == 0 && before == 0 && m_type == kSockStream &&
            recv(AsSocket(m_fd), &peeked, 1, MSG_PEEK) <= 0) {
            return;
        }
        ++delivered;
        OnReceive(receiveError);
        unsigned long after = 0;
        if (loop->LookupLive(id) != nullptr && !m_closeNotified && !m_shutReceive &&
            BytesReadable(&after) && after > 0 && after == before) {
            loop->PostSocketEvent(id, m_fd, FD_READ);
        }
    };
    switch (event) {
        case FD_CONNECT:
            if (!m_connectPending) {
                return;
            }
            m_connectPending = false;
            if (error != 0) {
                // The next Connect starts on a fresh socket.
                m_connectFailed = true;
                m_sendPending = false;
            } else {
                m_connected = true;
                m_sendPending = true;  // the system's FD_WRITE that follows gives one OnSend
            }
            if ((m_events & kFdConnect) != 0) {
                ++delivered;
                OnConnect(error);
            }
            return;
        case FD_WRITE:
            // Accepted sockets are reported writable too; only a waiting send wants to know.
            if (m_sendPending && !m_shutSend) {
                m_sendPending = false;
                if ((m_events & kFdWrite) != 0) {
                    ++delivered;
                    OnSend(error);
                }
            }
            return;
        case FD_READ:
            if (!m_shutReceive && !m_listening && (m_events & kFdRead) != 0) {
                deliverReceive(error);
            }
            return;
        case FD_OOB:
            if (!m_shutReceive && !m_urgentNotified && (m_events & kFdOob) != 0) {
                m_urgentNotified = true;
                ++delivered;
                OnOutOfBandData(error);
            }
            return;
        case FD_ACCEPT:
            if (m_listening && (m_events & kFdAccept) != 0) {
                ++delivered;
                OnAccept(error);
            }
            return;
        case FD_CLOSE:
            break;
        default:
            return;
    }
    if (m_shutReceive && error == 0) {
        return;
    }
    // A reset may be reported as a plain close; the socket's pending error tells them apart,
    // and a reset ends the stream at once, unread data and all.
    int pending = 0;
    int pendingLength = sizeof(pending);
    if (error == 0 && getsockopt(AsSocket(m_fd), SOL_SOCKET, SO_ERROR,
                                 reinterpret_cast<char*>(&pending), &pendingLength) == 0) {
        error = pending;
    }
    // The system reports the peer's close while data may still wait unread: that data is
    // handed out first, one receive per notification, and the close is asked again behind it.
    unsigned long waiting = 0;
    if (error == 0 && (m_events & kFdRead) != 0 && BytesReadable(&waiting) && waiting > 0) {
        deliverReceive(0);
        if (loop->LookupLive(id) != nullptr && !m_closeNotified) {
            loop->PostSocketEvent(id, m_fd, FD_CLOSE);
        }
        return;
    }
    if (error == 0) {
        // Every byte was read: a reset shows in the answer to one more (peeking) receive.
        char peeked = 0;
        if (recv(AsSocket(m_fd), &peeked, 1, MSG_PEEK) < 0 && WSAGetLastError() != WSAEWOULDBLOCK) {
            error = WSAGetLastError();
        }
    }
    StopWatching();
    if ((m_events & kFdClose) != 0) {
        ++delivered;
        OnClose(error);
    }
}

}  // namespace veltonet
