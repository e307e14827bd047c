#pragma once

#include <cstdint>
#include <list>
#include <set>
#include <string>

#include "veltonet/Export.h"
#include "veltonet/companion/Log.h"
#include "veltonet/companion/Observable.h"

namespace veltonet {

class FeedMeasure;
class Message;
class MulticastSequenceReceiver;
class ReceiverSocket;
class SendList;
struct InputBuffer;

// Signature of the compression plug-in's decompressor: (source, source length, destination,
// destination capacity) -> bytes written.
// Log.h brings R_CALL, the plug-in's calling convention.
using UncompressFunction = unsigned int(R_CALL*)(const char* source, unsigned int sourceLength,
                                                 char* destination, unsigned int capacity);

// See TCPReceiver::kMaxUncompressedLength. The fuzz build allows less: its sanitizer poisons
// every byte of each buffer it hands out, and inputs stating tens of megabytes would spend
// their time there.
#ifdef VELTONET_FUZZ_BUILD
inline constexpr uint32_t kMaxStatedUncompressedLength = 1024 * 1024;
#else
inline constexpr uint32_t kMaxStatedUncompressedLength = 64u * 1024 * 1024;
#endif

// One client TCP connection to a server given by an address list and a port: connects,
// reconnects on a period while rotating through its addresses, cuts the byte stream into
// messages and publishes each one in place to its observers, and queues what the socket does
// not take at once. Every other receiver derives from it and changes behaviour by overriding
// its virtual operations. Lives and works on the loop thread only.
//
// Deletion: a receiver inside one of its own notifications must not be deleted directly;
// DelayedDestroy marks it and it deletes itself at the next safe point.
class VELTONET_EXPORT TCPReceiver : public Observable {
  public:
    using IpList = std::list<std::string>;
    using FeedMeasureSet = std::set<FeedMeasure*>;

    TCPReceiver(const char* name, const char* ip, unsigned short port,
                unsigned int reconnectSeconds, bool unregistered = false,
                unsigned int receiveBufferSize = 0, unsigned int sendBufferSize = 0,
                unsigned short localPortToBindTo = 0, bool supportOutOfBand = false);
    ~TCPReceiver() override;
    TCPReceiver(const TCPReceiver&) = delete;
    TCPReceiver& operator=(const TCPReceiver&) = delete;

    // ---- virtual operations, in slot order ----
    virtual bool isServer() const { return false; }
    virtual bool isTifSupported(const char* tif, unsigned int value) const;
    virtual bool isAccepted() const { return m_accepted; }
    virtual void SetPersistent(unsigned int seconds);
    virtual void ClearIps() { m_ips.clear(); }
    virtual const char* GetDisplayType() const { return "TCP"; }
    virtual int GetType() const { return 1; }
    virtual bool ConnectSocket();
    virtual bool SendBuffer(const char* data, int length, bool flag = false);
    virtual bool SendRequest(const Message* request, const Message* second = nullptr,
                             bool flag = false);
    virtual bool Disconnect();
    virtual void DisconnectAndNotify(bool reconnect);
    virtual const char* GetObserverName();
    virtual unsigned short GetConnectionPort() const { return m_localPortToBindTo; }
    virtual bool CanRecoverLostMessages() const { return false; }
    virtual unsigned int GetPacketsLost() const { return 0; }
    virtual unsigned int GetPacketsRecovered() const { return 0; }
    virtual unsigned int GetLastSequenceNumber() const { return 0; }
    virtual unsigned int GetMulticastPacketBeingProcessed() const { return 0; }
    virtual unsigned int GetLastRecoveredPacket() const { return 0; }
    virtual unsigned int GetFirstPacketBeingRecovered() const { return 0; }
    virtual bool isSniffer() const { return false; }
    virtual unsigned short GetMessageSize(const char* data) const;
    virtual unsigned int GetSizeFieldLength() const { return 2; }
    virtual unsigned int GetTypeFieldLength() const { return 2; }
    virtual int Receive(void* data, int length, int flags);
    virtual void UpdateRemoteAddress() {}
    virtual bool AddToListener() { return false; }
    virtual void OnConnect(int error);
    virtual void OnSend(int error);
    virtual void OnReceive(int error);
    virtual void OnOutOfBandData(int /*error*/) {}
    virtual void OnClose(int error);
    virtual void OnAccept(int /*error*/) {}
    virtual void ResetMeasure();
    virtual FeedMeasure* AddFeedMeasure(unsigned int milliseconds);
    virtual FeedMeasure* RemoveFeedMeasure(FeedMeasure* feed);
    virtual void ClearFeedMeasures();
    virtual bool Logout() { return true; }
    virtual bool isSupportOutOfBand() const { return m_supportOutOfBand; }
    virtual void SetSupportOutOfBand(bool on);
    virtual unsigned int GetNotifyDataReceivedCount() const { return m_notifyDataReceivedCount; }
    virtual void IncrementNotifyDataReceived() { ++m_notifyDataReceivedCount; }
    virtual void DecrementNotifyDataReceived();

  protected:
    virtual unsigned int ReceiveBuffer(const char* data, unsigned int length);
    virtual void LogRequest(const char* /*data*/, unsigned int /*length*/) const {}
    virtual void LogResponse(const char* /*data*/, unsigned int /*length*/) const {}

  public:
    virtual void ConnectionStatusChanged(bool connected);

  protected:
    virtual const Message* Parse(const char* data, unsigned int size);
    virtual void ProcessMessage(const Message* message);
    virtual bool SocketCreationOk();
    virtual void SocketCreationFailed() {}
    virtual void BeforeCreateSocket() {}
    virtual void OnConnectOk() {}
    virtual void OnCloseOk() {}
    virtual void OnDataReceived() {}

  public:
    // ---- identity and addresses ----
    const std::string& GetName() const { return m_name; }
    unsigned short GetPort() const { return m_port; }
    void SetPort(unsigned short port) { m_port = port; }
    unsigned short GetLocalPort() const { return m_localPort; }
    unsigned short GetLocalPortToBindTo() const { return m_localPortToBindTo; }
    void SetLocalPort(unsigned short port) { m_localPortToBindTo = port; }
    const IpList& GetIps() const { return m_ips; }
    IpList::const_iterator IpsBegin() const { return m_ips.begin(); }
    IpList::const_iterator IpsEnd() const { return m_ips.end(); }
    const char* GetIp() const { return m_ips.empty() ? "" : m_ips.front().c_str(); }
    void SetIp(const char* ip);
    void AddIp(const char* ip);
    void RemoveIp(const char* ip);
    void RemoveIp();

    // ---- state ----
    bool isConnected() const { return m_connected; }
    bool isConnecting() const { return m_connecting; }
    bool isReceiving() const { return m_receiving; }
    bool isInitialized() const { return m_initialized; }
    bool toDestroy() const { return m_toDestroy; }
    // Inside one of its own notifications or processing a received block: deleting it now
    // would pull it from under that work (DelayedDestroy defers it instead).
    bool isBusy() const { return m_busy > 0 || m_receiving || m_destroying; }
    bool isDisconnectPending() const { return m_disconnectPending; }
    bool isReceivingSequencePackets() const { return m_receivingSequencePackets; }
    bool isPersistent() const { return m_reconnectSeconds > 0; }
    unsigned int GetReconnectSeconds() const { return m_reconnectSeconds; }
    unsigned int GetCurrentReconnectSeconds() const { return m_currentReconnectSeconds; }
    void SetCurrentReconnectSeconds(unsigned int seconds) { m_currentReconnectSeconds = seconds; }
    bool ShouldReconnect() const;

    // ---- connection lifecycle ----
    void Reconnect();
    void DoReconnect();
    bool CreateSocket();
    void InvalidateSocket(bool unused = true);
    bool isValid() const;
    bool LookupHandle() const;
    bool isCondemned() const;
    // Unregisters, then deletes now (false) or marks for deletion at the next safe point
    // while receiving or connecting (true).
    bool DelayedDestroy();
    void LogoutReceived();
    static bool isBroadcastReceived() { return broadcastReceived; }
    static bool isExiting();

    // ---- error log and socket options ----
    void LogMessage(const char* name, const char* text, const char* ip, int64_t number1 = 0,
                    int number2 = -1, unsigned int number3 = 1000) const;
    void SetLog(const char* name, const char* folder);
    LogHandle GetLogHandle() const { return m_logHandle; }
    static const char* GetOnReceiveError(int code);
    int SetSockOpt(int option, const void* value, int length, int level = 0xFFFF);
    int GetSockOpt(int option, void* value, int* length, int level = 0xFFFF);
    unsigned int GetReceiveBufferSize() const { return m_receiveBufferSize; }
    unsigned int GetSendBufferSize() const { return m_sendBufferSize; }

    // ---- receive side ----
    unsigned int GetBufferSize() const;
    unsigned int GetOobBufferSize() const;
    unsigned int GetPendingReadDataSize() const;
    unsigned int GetBufferUsed() const;

    // ---- send side ----
    bool isSendBufferEmpty() const;
    unsigned int GetSendListCount() const;
    unsigned int GetFirstSendBufferLength() const;
    unsigned int GetLastSendBufferLength() const;

    // ---- measurement ----
    unsigned int GetSizeSent() const { return m_sizeSent; }
    unsigned int GetSizeReceived() const { return m_sizeReceived; }
    unsigned int GetPrevSizeSent() const { return m_prevSizeSent; }
    unsigned int GetPrevSizeReceived() const { return m_prevSizeReceived; }
    const FeedMeasureSet& GetFeedMeasureSet() const { return m_feedMeasures; }

    // ---- sequenced packets (repair channel of a sequence receiver) ----
    void SetSequenceReceiver(MulticastSequenceReceiver* receiver) { m_sequenceReceiver = receiver; }
    MulticastSequenceReceiver* GetSequenceReceiver() const { return m_sequenceReceiver; }
    void SetReceivingSequencePackets(bool on) { m_receivingSequencePackets = on; }

    // The compression plug-in's decompressor, null while it is not loaded.
    static void SetUncompressFunction(UncompressFunction function) { s_uncompress = function; }
    static UncompressFunction GetUncompressFunction() { return s_uncompress; }
    // Largest uncompressed length a compressed aggregate may state; larger ones are dropped.
    static constexpr uint32_t kMaxUncompressedLength = kMaxStatedUncompressedLength;

    ReceiverSocket* GetSocket() const { return m_socket; }

  protected:
    void OnReceiveData(InputBuffer* buffer, int error, int flags);
    bool ProcessPacket(const Message* message);
    void ProcessMultipleMessages(const char* data, unsigned int start, unsigned int end);
    char* GetBufferStart() const;
    char* GetOobBufferStart() const;
    void MoveBuffer(unsigned int n);
    void MoveOobBuffer(unsigned int n);
    bool KeepToSendLater(const char* data, int length);
    void IncrementSizeSent(unsigned int n);
    void IncrementSizeReceived(unsigned int n);
    void UpdateTcpBufferSizes();
    // For subclasses that create their socket without ConnectSocket (the datagram receivers).
    void StoreLocalPort(unsigned short port) { m_localPort = port; }
    // The address list itself, for subclasses that must keep entries AddIp refuses (an empty
    // sender address).
    IpList& GetIpList() { return m_ips; }
    void Erase();
    // Publishes a header-only notification, or one carrying a 32-bit value.
    void Publish(uint16_t type);
    void PublishValue(uint16_t type, uint32_t value);
    // Deletes this object (the end of a deferred destruction).
    void DestroySelf();
    // For server-side receivers, whose sockets come from listen or accept rather than from
    // a connect: they set the state that the connect path would otherwise set.
    void SetConnectedFlag(bool connected) { m_connected = connected; }
    void SetInitializedFlag(bool initialized) { m_initialized = initialized; }
    void SetNotifyDataReceivedCountValue(unsigned int count) { m_notifyDataReceivedCount = count; }
    // Marks the receiver for deletion without deleting it: a client inside its listener's walk
    // over a set of clients, reaped later by the listener.
    void MarkToDestroy() { m_toDestroy = true; }
    // Called by a destructor before it publishes: its observers may call anything on the
    // receiver, DelayedDestroy and R_DeleteReceiver included, and nothing deletes it again.
    void BeginDestruction() {
        m_destroying = true;
        m_toDestroy = true;
    }

    InputBuffer* m_receiveBuffer;
    InputBuffer* m_oobBuffer;
    ReceiverSocket* m_socket = nullptr;
    static bool broadcastReceived;

  protected:
    // Marks the receiver as inside one of its own socket notifications: DelayedDestroy then
    // only marks it, and the outermost scope deletes it on the way out. Nothing may touch the
    // receiver after the scope that deletes it ends.
    class BusyScope {
      public:
        explicit BusyScope(TCPReceiver* receiver) : m_receiver(receiver) { ++receiver->m_busy; }
        ~BusyScope();
        BusyScope(const BusyScope&) = delete;
        BusyScope& operator=(const BusyScope&) = delete;

      private:
        TCPReceiver* m_receiver;
    };

  private:
    // The receive and out-of-band buffers, the send list and the error log.
    void FreeOwnedBuffers();
    // ReceiveBuffer's loop. kPlain: the object is exactly a TCPReceiver, so the framing hooks
    // are called directly (and inlined) rather than through the virtual table.
    template <bool kPlain>
    unsigned int FrameBlock(const char* data, unsigned int length);
    void DestroySocket(bool unused = true);
    void ClearSendList();
    void UpdateFeedIterators();
    void ProcessCompressedAggregate(const Message* message);
    void OpenErrorLog();
    unsigned int FlushSendList();

    std::string m_name;
    unsigned short m_port;
    unsigned short m_localPort;
    unsigned short m_localPortToBindTo;
    bool m_connected;
    bool m_accepted;
    bool m_initialized;
    bool m_connecting;
    bool m_receiving;
    bool m_toDestroy;
    bool m_disconnectPending;
    bool m_supportOutOfBand;
    unsigned int m_reconnectSeconds;
    bool m_receivingSequencePackets;
    SendList* m_sendList;
    IpList m_ips;
    LogHandle m_logHandle;
    unsigned int m_receiveBufferSize;
    unsigned int m_sendBufferSize;
    MulticastSequenceReceiver* m_sequenceReceiver = nullptr;
    unsigned int m_sizeSent = 0;
    unsigned int m_sizeReceived = 0;
    unsigned int m_prevSizeSent = 0;
    unsigned int m_prevSizeReceived = 0;
    unsigned int m_notifyDataReceivedCount = 0;
    char* m_uncompressBuffer = nullptr;
    unsigned int m_uncompressBufferSize = 0;
    unsigned int m_currentReconnectSeconds = 0;
    FeedMeasureSet m_feedMeasures;
    FeedMeasureSet::iterator m_feedsBegin;
    FeedMeasureSet::iterator m_feedsEnd;
    std::string m_observerName;
    int m_busy = 0;
    bool m_destroying = false;  // a destructor is running: never deleted a second time
    // Bumped on every connect and disconnect: framing stops when an observer changes the
    // connection in the middle of a block, so nothing is delivered after 60002.
    unsigned int m_connectionGeneration = 0;
    // The decompression buffer is being walked: a nested aggregate must not replace it.
    bool m_decompressing = false;
    static UncompressFunction s_uncompress;
};

}  // namespace veltonet
