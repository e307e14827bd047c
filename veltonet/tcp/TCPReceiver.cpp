#include "veltonet/tcp/TCPReceiver.h"

#include <cstring>
#include <string>

#include "veltonet/companion/Message.h"
#include "veltonet/frame/ReceiverManager.h"
#include "veltonet/platform/AsyncSocket.h"
#include "veltonet/platform/SocketOptions.h"
#include "veltonet/platform/WinsockErrors.h"
#include "veltonet/tcp/ErrorTexts.h"
#include "veltonet/tcp/InputBuffer.h"
#include "veltonet/tcp/LogFolder.h"
#include "veltonet/tcp/ReceiverSocket.h"
#include "veltonet/tcp/SendList.h"
#include "veltonet/variants/MulticastSequenceReceiver.h"

namespace veltonet {

namespace {
constexpr uint32_t kMaxMessageSize = 65535;
constexpr uint32_t kFirstChunkSize = 65535;
constexpr uint32_t kMaxChunkSize = 1048575;
constexpr uint32_t kMaxChunks = 15;
}  // namespace

bool TCPReceiver::broadcastReceived = false;
UncompressFunction TCPReceiver::s_uncompress = nullptr;

TCPReceiver::TCPReceiver(const char* name, const char* ip, unsigned short port,
                         unsigned int reconnectSeconds, bool unregistered,
                         unsigned int receiveBufferSize, unsigned int sendBufferSize,
                         unsigned short localPortToBindTo, bool supportOutOfBand)
    : m_receiveBuffer(nullptr),
      m_oobBuffer(nullptr),
      m_name(name != nullptr ? name : ""),
      m_port(port),
      m_localPort(0),
      m_localPortToBindTo(localPortToBindTo),
      m_connected(false),
      m_accepted(false),
      m_initialized(false),
      m_connecting(false),
      m_receiving(false),
      m_toDestroy(false),
      m_disconnectPending(false),
      m_supportOutOfBand(supportOutOfBand),
      m_reconnectSeconds(reconnectSeconds),
      m_receivingSequencePackets(false),
      m_sendList(nullptr),
      m_logHandle(nullptr),
      m_receiveBufferSize(receiveBufferSize),
      m_sendBufferSize(sendBufferSize) {
    m_feedsBegin = m_feedsEnd = m_feedMeasures.end();
    // Registration comes last: a constructor that throws (memory runs out) must leave nothing
    // behind in the registry, and nothing it allocated.
    try {
        m_receiveBuffer = new InputBuffer(receiveBufferSize + kMaxMessageSize);
        if (supportOutOfBand) {
            m_oobBuffer = new InputBuffer(kMaxMessageSize);
        }
        m_sendList = new SendList(kFirstChunkSize, kMaxChunkSize, kMaxChunks);
        if (ip != nullptr && *ip != '\0') {
            AddIp(ip);
        }
        OpenErrorLog();
        if (!unregistered) {
            if (ReceiverManager* manager = ReceiverManager::Instance()) {
                manager->AddReceiver(this);
            }
        }
    } catch (...) {
        FreeOwnedBuffers();
        throw;
    }
}

void TCPReceiver::FreeOwnedBuffers() {
    delete m_receiveBuffer;
    m_receiveBuffer = nullptr;
    delete m_oobBuffer;
    m_oobBuffer = nullptr;
    delete m_sendList;
    m_sendList = nullptr;
    if (m_logHandle != nullptr) {
        CloseLog(m_logHandle);
        m_logHandle = nullptr;
    }
}

TCPReceiver::~TCPReceiver() {
    ClearFeedMeasures();
    delete[] m_uncompressBuffer;
    m_uncompressBuffer = nullptr;
    m_uncompressBufferSize = 0;
    ReceiverManager* manager = ReceiverManager::Instance();
    if (manager != nullptr) {
        manager->StopReconnectTimer(this);
    }
    if (m_sequenceReceiver != nullptr) {
        m_sequenceReceiver->SetRepairReceiver(nullptr);
    }
    DestroySocket();
    TCPReceiver::Disconnect();
    if (manager != nullptr) {
        manager->RemoveReceiver(this);
    }
    FreeOwnedBuffers();
}

TCPReceiver::BusyScope::~BusyScope() {
    if (--m_receiver->m_busy == 0 && m_receiver->m_toDestroy && !m_receiver->m_destroying) {
        m_receiver->DestroySelf();
    }
}

void TCPReceiver::DestroySelf() {
    delete this;
}

// ---- notifications ----

void TCPReceiver::Publish(uint16_t type) {
    HeaderMessage message(type);
    Notify(&message, nullptr, nullptr);
}

void TCPReceiver::PublishValue(uint16_t type, uint32_t value) {
    ValueMessage message(type, value);
    Notify(&message, nullptr, nullptr);
}

// ---- address list ----

void TCPReceiver::SetIp(const char* ip) {
    ClearIps();
    AddIp(ip);
}

void TCPReceiver::AddIp(const char* ip) {
    if (ip != nullptr && *ip != '\0') {
        m_ips.emplace_back(ip);
    }
}

void TCPReceiver::RemoveIp(const char* ip) {
    if (ip != nullptr) {
        const std::string text(ip);  // ip may point into the list itself
        m_ips.remove(text);
    }
}

void TCPReceiver::RemoveIp() {
    if (!m_ips.empty() && !m_ips.front().empty()) {
        const std::string first = m_ips.front();
        m_ips.remove(first);
    }
}

// ---- persistence and reconnection ----

bool TCPReceiver::isTifSupported(const char* tif, unsigned int value) const {
    if (tif == nullptr) {
        return true;
    }
    if (std::strcmp(tif, "SDOT") == 0 || std::strcmp(tif, "TRAC") == 0) {
        return value == 0;
    }
    if (std::strcmp(tif, "STOP") == 0) {
        return false;
    }
    if (std::strcmp(tif, "SIZE") == 0) {
        return value == 99999;
    }
    return true;
}

void TCPReceiver::SetPersistent(unsigned int seconds) {
    if (seconds == m_reconnectSeconds) {
        return;
    }
    if (seconds == 0) {
        if (ReceiverManager* manager = ReceiverManager::Instance()) {
            manager->StopReconnectTimer(this);
        }
    }
    m_reconnectSeconds = seconds;
}

bool TCPReceiver::ShouldReconnect() const {
    return m_reconnectSeconds != 0 && m_initialized && !m_connected && !m_connecting && m_port > 0;
}

void TCPReceiver::Reconnect() {
    if (ReceiverManager* manager = ReceiverManager::Instance()) {
        manager->StartReconnectTimer(this);
    }
}

void TCPReceiver::DoReconnect() {
    if (m_ips.empty()) {
        return;
    }
    if (m_ips.size() > 1) {
        m_ips.push_back(m_ips.front());
        m_ips.pop_front();
    }
    if (isValid()) {
        ConnectSocket();
    } else {
        CreateSocket();
    }
}

// ---- socket creation and connection ----

bool TCPReceiver::CreateSocket() {
    if (m_toDestroy || m_connecting) {
        return false;
    }
    // An observer of 60012 or 60009 may destroy this receiver: not before this call ends.
    BusyScope busy(this);
    Disconnect();
    ReceiverManager* manager = ReceiverManager::Instance();
    if (manager == nullptr) {
        return false;
    }
    if (m_socket == nullptr) {
        m_socket = new ReceiverSocket(this);
    }
    if (m_sendList != nullptr) {
        ClearSendList();
    } else {
        m_sendList = new SendList(kFirstChunkSize, kMaxChunkSize, kMaxChunks);
    }
    m_initialized = m_socket->Create(manager->GetLoop(), GetType(), kFdAllEvents);
    if (m_initialized) {
        m_initialized = m_socket->Bind(GetConnectionPort());
        BeforeCreateSocket();
    }
    if (m_initialized) {
        m_initialized = SocketCreationOk();
        return m_initialized;
    }
    m_localPort = 0;
    if (m_socket->Handle() != kInvalidSocket) {
        m_socket->ShutDown(kShutBoth);
        m_socket->Close();
    }
    SocketCreationFailed();
    return false;
}

bool TCPReceiver::SocketCreationOk() {
    const int on = 1;
    m_socket->SetSockOpt(kTcpNoDelay, &on, sizeof(on), kIpProtoTcp);
    m_socket->SetSockOpt(kSoDontLinger, &on, sizeof(on), kSolSocket);
    UpdateTcpBufferSizes();
    if (!ConnectSocket()) {
        return false;
    }
    // A subclass's ConnectSocket may have dropped the socket (a connect refused at once).
    if (m_socket != nullptr) {
        std::string address;
        uint16_t port = 0;
        if (m_socket->GetSockName(address, port)) {
            m_localPort = port;
        }
    }
    return true;
}

bool TCPReceiver::ConnectSocket() {
    if (m_connecting || m_port == 0 || !isValid() || m_ips.empty() || m_ips.front().empty()) {
        return false;
    }
    BusyScope busy(this);
    m_connecting = true;
    Publish(kMsgConnecting);
    if (m_socket == nullptr || m_toDestroy) {  // an observer of 60012 dropped the socket
        return false;
    }
    if (m_socket->Connect(GetIp(), m_port)) {
        return true;
    }
    const int error = GetLastSocketError();
    if (error == kWsaEwouldblock) {
        return true;
    }
    // A connect that fails at once (an unusable address, a name that does not resolve, no
    // route) ends its attempt as a later failure would; otherwise the receiver would stay
    // connecting and refuse every later reconnect tick.
    OnConnect(error);
    return false;
}

void TCPReceiver::OnConnect(int error) {
    BusyScope busy(this);
    if (m_toDestroy) {
        LogMessage(m_name.c_str(), "TCPReceiver::OnConnect ERROR m_toDestroy", GetIp());
        return;  // the scope deletes the receiver
    }
    m_connecting = false;
    if (error != 0) {
        m_disconnectPending = false;  // the request ends with the attempt it was made during
        bool retry = m_reconnectSeconds > 0 && m_initialized && !m_connected && m_port > 0;
        const char* text = ConnectErrorText(error);
        if (ConnectErrorStopsRetry(error)) {
            retry = false;
        }
        if (error == kWsaEaddrnotavail) {
            RemoveIp();
        }
        PublishValue(kMsgConnectFailed, static_cast<uint32_t>(error));
        if (m_toDestroy) {
            return;
        }
        if (error != kWsaEconnrefused) {
            LogMessage(m_name.c_str(), "ERROR OnConnect (next line)", GetIp());
            LogMessage(m_name.c_str(), text, GetIp());
        }
        if (retry) {
            if (m_currentReconnectSeconds == 0) {
                Reconnect();
            }
        } else {
            DestroySocket();
        }
        return;
    }
    if (m_disconnectPending) {
        // The host asked to disconnect while connecting: drop the new connection quietly and
        // clear the request, so that a later connect can complete.
        Disconnect();
        m_disconnectPending = false;
        InvalidateSocket();
        m_localPort = 0;
        return;
    }
    if (ReceiverManager* manager = ReceiverManager::Instance()) {
        manager->StopReconnectTimer(this);
    }
    // A retry may have continued on a fresh descriptor with another local port.
    std::string address;
    uint16_t localPort = 0;
    if (m_socket != nullptr && m_socket->GetSockName(address, localPort)) {
        m_localPort = localPort;
    }
    ConnectionStatusChanged(true);
    OnConnectOk();
    Publish(kMsgConnected);
}

// ---- disconnection ----

bool TCPReceiver::Disconnect() {
    if (m_connected && !m_connecting) {
        m_disconnectPending = false;
        DestroySocket();
        m_localPort = 0;
        ConnectionStatusChanged(false);
        return true;
    }
    if (m_connecting) {
        m_disconnectPending = true;
    }
    return false;
}

void TCPReceiver::DisconnectAndNotify(bool reconnect) {
    // An observer of 60002 (this receiver's, or of a listener's client deleted by Disconnect)
    // may destroy this receiver: defer it to the end of this call.
    BusyScope busy(this);
    Disconnect();
    if (m_toDestroy) {
        return;  // deleted by an observer of a listener's client on the way
    }
    if (m_connecting) {
        if (reconnect) {
            m_disconnectPending = false;
        }
        return;
    }
    Publish(kMsgDisconnected);
    if (m_toDestroy) {
        return;
    }
    if (ReceiverManager* manager = ReceiverManager::Instance()) {
        if (!reconnect) {
            manager->StopReconnectTimer(this);
        } else if (ShouldReconnect()) {
            manager->StartReconnectTimer(this);
        }
    }
}

void TCPReceiver::OnClose(int /*error*/) {
    BusyScope busy(this);
    OnCloseOk();
    m_connecting = false;
    DestroySocket();
    ConnectionStatusChanged(false);
    DisconnectAndNotify(true);
}

void TCPReceiver::ConnectionStatusChanged(bool connected) {
    ++m_connectionGeneration;
    m_connected = connected;
    if (!connected) {
        m_accepted = false;
    }
    m_receiveBuffer->used = 0;
    if (m_oobBuffer != nullptr) {
        m_oobBuffer->used = 0;
    }
}

void TCPReceiver::DestroySocket(bool /*unused*/) {
    InvalidateSocket();
    if (m_sendList != nullptr) {
        ClearSendList();
        delete m_sendList;
        m_sendList = nullptr;
    }
}

void TCPReceiver::InvalidateSocket(bool /*unused*/) {
    if (m_socket != nullptr) {
        m_connecting = false;
        ReceiverSocket* socket = m_socket;
        m_socket = nullptr;
        delete socket;
    }
    if (ReceiverManager* manager = ReceiverManager::Instance()) {
        manager->StopReconnectTimer(this);
    }
}

bool TCPReceiver::isValid() const {
    return m_socket != nullptr && m_socket->Handle() != kInvalidSocket;
}

bool TCPReceiver::LookupHandle() const {
    return m_socket != nullptr && m_socket->isLive();
}

bool TCPReceiver::isCondemned() const {
    return m_socket != nullptr && m_socket->isDead();
}

bool TCPReceiver::DelayedDestroy() {
    if (ReceiverManager* manager = ReceiverManager::Instance()) {
        manager->RemoveReceiver(this);
    }
    if (!m_receiving && !m_connecting && m_busy == 0 && !m_destroying) {
        delete this;
        return false;
    }
    m_toDestroy = true;
    return true;
}

void TCPReceiver::Erase() {
    if (ReceiverManager* manager = ReceiverManager::Instance()) {
        manager->RemoveReceiver(this);
    }
}

void TCPReceiver::LogoutReceived() {
    if (ReceiverManager* manager = ReceiverManager::Instance()) {
        manager->LogoutReceived(this);
    }
}

bool TCPReceiver::isExiting() {
    ReceiverManager* manager = ReceiverManager::Instance();
    return manager != nullptr && manager->isExiting();
}

const char* TCPReceiver::GetObserverName() {
    m_observerName = "TCPReceiver " + m_name;
    for (const std::string& ip : m_ips) {
        m_observerName += ' ';
        m_observerName += ip;
    }
    m_observerName += ' ';
    m_observerName += std::to_string(m_port);
    return m_observerName.c_str();
}

// ---- error log ----

void TCPReceiver::OpenErrorLog() {
    const std::string folder = ConfiguredLogFolder();
    if (m_logHandle != nullptr) {
        CloseLog(m_logHandle);
    }
    m_logHandle = OpenLog(0, "SocketErrors", folder.empty() ? nullptr : folder.c_str());
}

void TCPReceiver::LogMessage(const char* name, const char* text, const char* ip, int64_t number1,
                             int number2, unsigned int number3) const {
    if (m_logHandle != nullptr) {
        WriteLog(m_logHandle, name, text, ip, number1, number2, number3, 0);
    }
}

void TCPReceiver::SetLog(const char* name, const char* folder) {
    if (m_logHandle != nullptr) {
        CloseLog(m_logHandle);
        m_logHandle = nullptr;
    }
    if (name != nullptr && *name != '\0') {
        m_logHandle = OpenLog(0, name, folder);
    }
}

const char* TCPReceiver::GetOnReceiveError(int code) {
    return ReceiveErrorText(code);
}

// ---- socket options ----

int TCPReceiver::SetSockOpt(int option, const void* value, int length, int level) {
    if (value != nullptr && length >= 4) {
        uint32_t size = 0;
        std::memcpy(&size, value, sizeof(size));
        if (option == kSoRcvBuf) {
            m_receiveBufferSize = size;
        } else if (option == kSoSndBuf) {
            m_sendBufferSize = size;
        }
    }
    if (m_socket == nullptr) {
        return 0;
    }
    return m_socket->SetSockOpt(option, value, length, level) ? 1 : 0;
}

int TCPReceiver::GetSockOpt(int option, void* value, int* length, int level) {
    if (m_socket != nullptr) {
        return m_socket->GetSockOpt(option, value, length, level) ? 1 : 0;
    }
    if (value != nullptr) {
        if (option == kSoRcvBuf) {
            std::memcpy(value, &m_receiveBufferSize, sizeof(uint32_t));
        } else if (option == kSoSndBuf) {
            std::memcpy(value, &m_sendBufferSize, sizeof(uint32_t));
        }
    }
    return 0;
}

void TCPReceiver::UpdateTcpBufferSizes() {
    if (m_socket == nullptr) {
        return;
    }
    if (m_receiveBufferSize != 0) {
        m_socket->SetSockOpt(kSoRcvBuf, &m_receiveBufferSize, 4, kSolSocket);
    }
    if (m_sendBufferSize != 0) {
        m_socket->SetSockOpt(kSoSndBuf, &m_sendBufferSize, 4, kSolSocket);
    }
}

}  // namespace veltonet
