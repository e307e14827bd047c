// The send path of TCPReceiver: straight to the socket while nothing is queued, into the send
// list otherwise, flushed in order from the socket's write notification.

#include <cstdint>
#include <string>

#include "veltonet/companion/Message.h"
#include "veltonet/measure/FeedMeasure.h"
#include "veltonet/platform/WinsockErrors.h"
#include "veltonet/tcp/ErrorTexts.h"
#include "veltonet/tcp/ReceiverSocket.h"
#include "veltonet/tcp/SendList.h"
#include "veltonet/tcp/TCPReceiver.h"

namespace veltonet {

namespace {

// A stream socket's send never takes 0 bytes of a non-empty buffer on a healthy connection;
// after this many 0 results in a row the connection is treated as failed instead of spinning
// the loop thread forever.
constexpr unsigned kMaxZeroSends = 16;

}  // namespace

bool TCPReceiver::SendBuffer(const char* data, int length, bool /*flag*/) {
    if (length < 1) {
        return true;
    }
    if (m_toDestroy || m_disconnectPending || !m_connected || m_socket == nullptr ||
        m_sendList == nullptr || data == nullptr) {
        return false;
    }
    if (m_logHandle != nullptr) {
        LogRequest(data, unsigned(length));
    }
    // New bytes always go behind queued ones.
    if (!isSendBufferEmpty()) {
        return KeepToSendLater(data, length);
    }

    int sent = 0;
    unsigned zeroSends = 0;
    while (sent < length) {
        const int n = m_socket->Send(data + sent, length - sent, 0);
        if (n > 0) {
            zeroSends = 0;
            sent += n;
            IncrementSizeSent(unsigned(n));
            continue;
        }
        const char* text = nullptr;
        if (n < 0) {
            const int error = GetLastSocketError();
            if (error == kWsaEwouldblock) {
                return KeepToSendLater(data + sent, length - sent);
            }
            text = SendErrorText(error);
        } else {
            LogMessage(GetName().c_str(), "0 Size Sent", GetIp());
            if (++zeroSends < kMaxZeroSends) {
                continue;
            }
        }
        LogMessage(GetName().c_str(), "ERROR Send (next line)", GetIp());
        LogMessage(GetName().c_str(), text != nullptr ? text : "Send unknown error", GetIp());
        DisconnectAndNotify(true);
        return false;
    }
    return true;
}

bool TCPReceiver::SendRequest(const Message* request, const Message* /*second*/, bool flag) {
    if (request == nullptr) {
        return false;
    }
    return SendBuffer(reinterpret_cast<const char*>(request->Bytes()), int(request->GetSize()),
                      flag);
}

bool TCPReceiver::KeepToSendLater(const char* data, int length) {
    if (length < 1) {
        return true;
    }
    if (m_sendList == nullptr || data == nullptr) {
        return false;
    }
    if (m_sendList->Append(data, uint32_t(length))) {
        return true;
    }
    LogMessage(GetName().c_str(), "ERROR Send Buffer exceeded", GetIp());
    DisconnectAndNotify(true);
    return false;
}

void TCPReceiver::OnSend(int error) {
    if (m_toDestroy || m_socket == nullptr || m_sendList == nullptr) {
        return;
    }
    // An observer of the 60002 that a failure publishes may destroy this receiver; the scope
    // defers that to the end of this notification.
    BusyScope busy(this);
    if (error != 0) {
        if (m_connected) {
            LogMessage(GetName().c_str(),
                       ("TCPReceiver::OnSend ERROR " + std::to_string(error)).c_str(), GetIp());
            DisconnectAndNotify(true);
        }
        return;
    }
    FlushSendList();
}

// Writes queued chunks in order until the list is drained or the socket would block (the
// next write notification resumes). Returns the bytes the socket took.
unsigned int TCPReceiver::FlushSendList() {
    unsigned int total = 0;
    for (;;) {
        SendChunk* chunk = m_sendList->First();
        if (chunk == nullptr || chunk->length == 0) {
            return total;
        }
        uint32_t sent = 0;
        unsigned zeroSends = 0;
        bool blocked = false;
        bool failed = false;
        int failure = 0;  // stays 0 when the socket kept taking nothing
        while (sent < chunk->length) {
            const int n =
                m_socket->Send(chunk->data + chunk->offset + sent, int(chunk->length - sent), 0);
            if (n > 0) {
                zeroSends = 0;
                sent += uint32_t(n);
                total += unsigned(n);
                IncrementSizeSent(unsigned(n));
            } else if (n < 0) {
                const int error = GetLastSocketError();
                if (error == kWsaEwouldblock) {
                    blocked = true;
                } else {
                    failed = true;
                    failure = error;
                }
                break;
            } else if (++zeroSends >= kMaxZeroSends) {
                failed = true;
                break;
            }
        }
        if (failed) {
            if (m_connected) {
                const char* text = SendErrorText(failure);
                if (text != nullptr) {
                    LogMessage(GetName().c_str(), "ERROR OnSend (next line)", GetIp());
                    LogMessage(GetName().c_str(), text, GetIp());
                } else {
                    LogMessage(
                        GetName().c_str(),
                        ("TCPReceiver::OnSend UNKNOWN ERROR " + std::to_string(failure)).c_str(),
                        GetIp());
                }
                // Drops the socket and the send list with it.
                DisconnectAndNotify(true);
            }
            return total;
        }
        m_sendList->Consume(sent);
        if (blocked) {
            return total;
        }
    }
}

void TCPReceiver::ClearSendList() {
    if (m_sendList != nullptr) {
        m_sendList->Clear();
    }
}

bool TCPReceiver::isSendBufferEmpty() const {
    return m_sendList == nullptr || m_sendList->isEmpty();
}

unsigned int TCPReceiver::GetSendListCount() const {
    return m_sendList != nullptr ? m_sendList->GetCount() : 0;
}

unsigned int TCPReceiver::GetFirstSendBufferLength() const {
    return m_sendList != nullptr ? m_sendList->GetFirstLength() : 0;
}

unsigned int TCPReceiver::GetLastSendBufferLength() const {
    return m_sendList != nullptr ? m_sendList->GetLastLength() : 0;
}

void TCPReceiver::IncrementSizeSent(unsigned int n) {
    m_sizeSent += n;
    for (auto it = m_feedsBegin; it != m_feedsEnd; ++it) {
        (*it)->AddSent(n);
    }
}

}  // namespace veltonet
