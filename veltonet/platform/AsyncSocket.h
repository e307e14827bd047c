#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "veltonet/platform/EventLoop.h"

struct sockaddr_in;

namespace veltonet {

using SocketHandle = SocketId;
constexpr SocketHandle kInvalidSocket = ~SocketHandle(0);
constexpr int kSocketError = -1;

constexpr int kSockStream = 1;
constexpr int kSockDatagram = 2;

// Notification mask given to Create.
enum SocketEvents : long {
    kFdRead = 0x01,
    kFdWrite = 0x02,
    kFdOob = 0x04,
    kFdAccept = 0x08,
    kFdConnect = 0x10,
    kFdClose = 0x20,
    kFdAllEvents = 0x3F,
};

constexpr int kShutReceive = 0;
constexpr int kShutSend = 1;
constexpr int kShutBoth = 2;

// Non-blocking IPv4 socket driven by an EventLoop, delivering six notifications with a
// Windows Sockets error code:
//  - OnReceive when bytes (or a datagram) wait; level-triggered: unread data notifies again
//    on the next round;
//  - OnSend once writable after a connect, or after a send that would block or was partial;
//  - OnConnect(error) when a connect completes (error from SO_ERROR);
//  - OnAccept when a connection waits on a listening socket;
//  - OnOutOfBandData once when urgent data arrives; the next one waits until a receive takes
//    the urgent data (with the out-of-band flag) or reads past its mark;
//  - OnClose(0) when the peer closed and every byte was read, or OnClose(error) at once on a
//    reset. After OnClose the socket is no longer watched.
// Failing calls return false or kSocketError and set the thread's last socket error; any
// call on a socket without a descriptor fails with 10038. Message flags are the Windows ones
// (out-of-band 1, peek 2, don't-route 4, wait-all 8); others fail with 10045.
// A handler may close or delete this socket or any other; the loop checks that the socket is
// still live before each further notification. A stream socket is watched only while it
// connects, is connected or listens, so a socket that waits does not make the loop spin.
class AsyncSocket {
  public:
    AsyncSocket() = default;
    virtual ~AsyncSocket();
    AsyncSocket(const AsyncSocket&) = delete;
    AsyncSocket& operator=(const AsyncSocket&) = delete;

    // Makes the descriptor (no bind). type: kSockStream or kSockDatagram.
    bool Create(EventLoop& loop, int type = kSockStream, long events = kFdAllEvents);
    // Any local address when address is null or empty. A stream socket bound to a non-zero
    // port gets SO_REUSEADDR first, so a listener can listen again over TIME_WAIT.
    // Addresses here and below: dotted decimal, else a name looked up (11001 when it fails).
    bool Bind(uint16_t port, const char* address = nullptr);
    // Asynchronous: false with last error 10035 while in progress (the normal case), then
    // OnConnect; true when it completed at once, and OnConnect(0) still follows. The any
    // address or port 0 fail at once with 10049, as on Windows. A connect after a failed one
    // continues on a fresh descriptor (new Handle()) with the same type, bound address and
    // port, and options, since Linux refuses a second connect on a failed socket.
    bool Connect(const char* address, uint16_t port);
    bool Listen(int backlog = 5);
    // Gives `connected`, which must hold no descriptor (10022 otherwise), the waiting
    // connection, attached to this socket's loop with this socket's notification mask.
    bool Accept(AsyncSocket& connected, std::string* peerAddress = nullptr,
                uint16_t* peerPort = nullptr);
    // A send that would block (10035) or sends only part arms one OnSend. After ShutDown of
    // the sending side: 10058; on a stream that never connected: 10057.
    int Send(const void* data, int length, int flags = 0);
    // A null or empty address fails with 10039.
    int SendTo(const void* data, int length, uint16_t port, const char* address, int flags = 0);
    // A datagram larger than length is cut off and the call fails with 10040.
    int Receive(void* data, int length, int flags = 0);
    // Fills address (dotted decimal) and port only when it succeeds.
    int ReceiveFrom(void* data, int length, std::string& address, uint16_t& port, int flags = 0);
    // Windows option numbering (SocketOptions.h); 10042 for an option with no translation,
    // and, as on Windows, for broadcast on a stream socket and for linger, don't-linger,
    // keep-alive, out-of-band inline and TCP options on a datagram socket.
    // Linger takes and gives the WinLinger record; don't-linger switches linger off (non-zero)
    // or on with the linger time set before. The buffer sizes read back as the size that was
    // set, not the doubled figure Linux keeps. Options set are remembered for a renewed
    // descriptor (see Connect).
    bool SetSockOpt(int option, const void* value, int length, int level = 0xFFFF);
    bool GetSockOpt(int option, void* value, int* length, int level = 0xFFFF);
    bool GetSockName(std::string& address, uint16_t& port) const;
    bool GetPeerName(std::string& address, uint16_t& port) const;
    // Shutting the receive side down also stops read and close notifications.
    bool ShutDown(int how = kShutSend);
    // Bytes waiting to be read (for a datagram socket: the size of the next datagram).
    bool BytesReadable(unsigned long* count) const;
    void Close();

    SocketHandle Handle() const { return m_handle; }
    // In its loop's live map. A socket that OnClose ended stays live until it is closed.
    bool isLive() const;
    // Its handle is in the loop's dead map. Close gives the handle up, so only a socket that
    // still holds a handle can answer true.
    bool isDead() const;
    int GetType() const { return m_type; }
    // For tests and diagnostics only.
    int Descriptor() const { return m_fd; }

    virtual void OnReceive(int /*error*/) {}
    virtual void OnSend(int /*error*/) {}
    virtual void OnOutOfBandData(int /*error*/) {}
    virtual void OnAccept(int /*error*/) {}
    virtual void OnConnect(int /*error*/) {}
    virtual void OnClose(int /*error*/) {}

    // Called by the loop with the events of this socket, in the platform's own bits.
    void HandleEvents(uint32_t events);

  private:
    friend class EventLoop;

    struct RememberedOption {
        int level;
        int option;
        std::vector<char> value;
    };

    bool Attach(EventLoop& loop, int fd, int type, long events);
    bool BindDescriptor(int fd);
    bool RenewDescriptor();
    void ResetState();
    uint32_t WantedInterest() const;
    void UpdateInterest();
    void StopWatching();
    void RearmUrgentNotification(bool urgentTaken);
    void AcceptWaitingConnections();
    void ReceiveWaitingDatagrams();
    bool TakeWaitingConnection();
    void CloseWaitingConnection();
    bool ApplyOption(int fd, int option, const void* value, int length, int level);
    int FinishSend(long sent, int length);
    int ReceiveMessage(void* data, int length, int flags, sockaddr_in* sender, std::string& address,
                       uint16_t& port);
    // The loop is going away: forget it, keep the descriptor.
    void LoopDestroyed();

    EventLoop* m_loop = nullptr;
    SocketHandle m_handle = kInvalidSocket;
    int m_fd = -1;
    int m_type = kSockStream;
    long m_events = kFdAllEvents;
    uint16_t m_boundPort = 0;
    std::string m_boundAddress;
    bool m_bound = false;
    bool m_listening = false;
    bool m_connected = false;  // stream: connect completed or accepted
    bool m_connectPending = false;
    bool m_connectFailed = false;
    bool m_sendPending = false;
    bool m_closeNotified = false;  // or otherwise no longer watched
    bool m_shutSend = false;
    bool m_shutReceive = false;
    bool m_urgentNotified = false;  // OnOutOfBandData ran for urgent data still unread
    uint32_t m_interest = 0;
    bool m_datagramTaken = false;  // a receive took a datagram off the queue
    // A connection taken from a listening socket's queue ahead of the handler's Accept.
    int m_waitingFd = -1;
    uint32_t m_waitingPeerAddress = 0;  // network order
    uint16_t m_waitingPeerPort = 0;     // network order
    std::vector<RememberedOption> m_options;
};

}  // namespace veltonet
