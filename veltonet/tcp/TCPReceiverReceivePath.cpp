// The receive side of TCPReceiver: one receive call per read notification, in-place framing,
// and the few message types the receiver interprets itself.
#include <cstring>
#include <new>
#include <string>
#include <typeinfo>

#include "veltonet/companion/Message.h"
#include "veltonet/platform/WinsockErrors.h"
#include "veltonet/tcp/ErrorTexts.h"
#include "veltonet/tcp/InputBuffer.h"
#include "veltonet/tcp/ReceiverSocket.h"
#include "veltonet/tcp/TCPReceiver.h"
#include "veltonet/variants/MulticastSequenceReceiver.h"

namespace veltonet {

namespace {
constexpr unsigned int kHeaderLength = 4;
constexpr unsigned int kValueHeaderLength = 8;  // header plus one 32-bit value

std::string ToHex(int value) {
    static const char kDigits[] = "0123456789abcdef";
    auto v = static_cast<unsigned int>(value);
    std::string text;
    do {
        text.insert(text.begin(), kDigits[v & 0xF]);
        v >>= 4;
    } while (v != 0);
    return text;
}
}  // namespace

void TCPReceiver::OnReceive(int error) {
    OnReceiveData(m_receiveBuffer, error, 0);
}

int TCPReceiver::Receive(void* data, int length, int flags) {
    return m_socket != nullptr ? m_socket->Receive(data, length, flags) : 0;
}

void TCPReceiver::OnReceiveData(InputBuffer* buffer, int error, int flags) {
    if (buffer == nullptr || m_disconnectPending || m_toDestroy) {
        return;
    }
    BusyScope busy(this);
    const char* name = m_name.c_str();
    if (error != 0) {
        int last = GetLastSocketError();
        if (last == kWsaEwouldblock || !m_connected) {
            return;
        }
        std::string text = "TCPReceiver::OnReceive ERROR ";
        if (error == -1) {
            text += "SOCKET_ERROR ";
        }
        text += std::to_string(error) + " " + GetOnReceiveError(last);
        LogMessage(name, text.c_str(), GetIp());
        DisconnectAndNotify(true);
        return;
    }
    // A buffer that memory ran out for is reported as one of no bytes.
    if (buffer->size <= buffer->used || !buffer->Reserve()) {
        const uint32_t allocated = buffer->data != nullptr ? buffer->size : 0;
        std::string text =
            "TCPReceiver::OnReceive Buffer Error. Allocated=" + std::to_string(allocated) +
            "  Used=" + std::to_string(buffer->used);
        LogMessage(name, text.c_str(), GetIp());
        if (m_connected) {
            LogMessage(name, "TCPReceiver::OnReceive2", GetIp());
            DisconnectAndNotify(true);
        }
        return;
    }
    const unsigned int freeBytes = buffer->size - buffer->used;
    int n = Receive(buffer->data + buffer->used, static_cast<int>(freeBytes), flags);
    if (n == 0) {
        if (m_connected) {
            LogMessage(name, "ERROR OnReceive ret = 0 Connection has been closed", GetIp());
            DisconnectAndNotify(true);
        } else {
            LogMessage(name, "ERROR OnReceive !m_connected ret = 0 Connection has been closed",
                       GetIp());
        }
        return;
    }
    if (n < 0) {
        int last = GetLastSocketError();
        if (last == kWsaEwouldblock) {
            return;
        }
        if (m_connected) {
            std::string text = "ERROR OnReceive " + std::to_string(n) + "  " + ToHex(last) + "  " +
                               GetOnReceiveError(last);
            LogMessage(name, text.c_str(), GetIp());
            DisconnectAndNotify(true);
        } else {
            std::string text = "ERROR OnReceive !m_connected " + std::to_string(n) + "    " +
                               GetOnReceiveError(last);
            LogMessage(name, text.c_str(), GetIp());
        }
        return;
    }
    const auto received = static_cast<unsigned int>(n);
    IncrementSizeReceived(received);
    if (received > buffer->size) {
        std::string text = "TCPReceiver::OnReceive12 " + std::to_string(received) +
                           " >= " + std::to_string(buffer->size);
        LogMessage(name, text.c_str(), GetIp());
    }
    const unsigned int generation = m_connectionGeneration;
    OnDataReceived();
    if (generation != m_connectionGeneration || m_toDestroy) {
        return;  // an observer of the hook's notification dropped the connection
    }
    m_receiving = true;
    const bool notifyData = m_notifyDataReceivedCount != 0;
    if (notifyData) {
        PublishValue(kMsgDataReceived, received);
    }
    buffer->used += received;
    unsigned int consumed = ReceiveBuffer(buffer->data, buffer->used);
    buffer->Consume(consumed);
    m_receiving = false;
    if (notifyData && m_notifyDataReceivedCount != 0) {
        Publish(kMsgDataProcessed);
    }
    // A DelayedDestroy during processing deletes the receiver when the scope ends.
}

unsigned short TCPReceiver::GetMessageSize(const char* data) const {
    const auto* bytes = reinterpret_cast<const unsigned char*>(data);
    return static_cast<unsigned short>(bytes[0] | bytes[1] << 8);
}

unsigned int TCPReceiver::ReceiveBuffer(const char* data, unsigned int length) {
    // Four hook calls per message are most of the framing cost; a plain receiver, the common
    // case, overrides none of them.
    if (typeid(*this) == typeid(TCPReceiver)) {
        return FrameBlock<true>(data, length);
    }
    return FrameBlock<false>(data, length);
}

template <bool kPlain>
unsigned int TCPReceiver::FrameBlock(const char* data, unsigned int length) {
    unsigned int consumed = 0;
    if (length <= GetSizeFieldLength()) {
        return 0;
    }
    unsigned int m = kPlain ? TCPReceiver::GetMessageSize(data) : GetMessageSize(data);
    const unsigned int header = GetTypeFieldLength() + GetSizeFieldLength();
    if (m_toDestroy) {
        return 0;
    }
    const bool logOpen = m_logHandle != nullptr;
    const unsigned int generation = m_connectionGeneration;
    Burst burst(*this);
    for (;;) {
        if (consumed + m > length) {
            return consumed;
        }
        if (m < header) {
            const unsigned int stated = m;
            if (m == 0) {
                m = header;
                if (consumed + m > length) {
                    return consumed;  // logged when the rest of its header is here
                }
            }
            std::string text = "TCPReceiver::OnReceive Small Message " + std::to_string(stated);
            LogMessage(m_name.c_str(), text.c_str(), GetIp());
        } else {
            if (!kPlain && logOpen) {
                LogResponse(data, m);  // the base hook writes nothing
            }
            const Message* message = kPlain ? TCPReceiver::Parse(data, m) : Parse(data, m);
            if (message != nullptr) {
                if constexpr (kPlain) {
                    // ProcessMessage without the types it interprets: publish at once.
                    const uint16_t type = message->GetType();
                    if (type == kMsgCompressedAggregate || type == kMsgAccepted ||
                        m_receivingSequencePackets) {
                        TCPReceiver::ProcessMessage(message);
                    } else if (!burst.Publish(message)) {
                        return consumed;  // an observer destroyed the receiver
                    }
                } else {
                    ProcessMessage(message);
                }
            }
        }
        consumed += m;
        if (consumed + header > length) {
            return consumed;
        }
        data += m;
        m = kPlain ? TCPReceiver::GetMessageSize(data) : GetMessageSize(data);
        if (m_toDestroy || generation != m_connectionGeneration) {
            return consumed;
        }
    }
}

const Message* TCPReceiver::Parse(const char* data, unsigned int /*size*/) {
    return Message::At(data);
}

void TCPReceiver::ProcessMessage(const Message* message) {
    const uint16_t type = message->GetType();
    if (type == kMsgCompressedAggregate) {
        ProcessCompressedAggregate(message);
        return;
    }
    if (type == kMsgAccepted) {
        m_accepted = true;
    } else if (m_receivingSequencePackets && ProcessPacket(message)) {
        return;
    }
    Notify(message, nullptr, nullptr);
}

void TCPReceiver::ProcessCompressedAggregate(const Message* message) {
    UncompressFunction uncompress = s_uncompress;
    if (uncompress == nullptr) {
        LogMessage(m_name.c_str(), "M_COMPRESSED_AGGREGATED_BMME_MESSAGE=NULL", GetIp());
        return;
    }
    if (m_decompressing) {
        LogMessage(m_name.c_str(), "Nested compressed message dropped", GetIp());
        return;
    }
    const unsigned int size = message->GetSize();
    if (size < kValueHeaderLength) {
        // Too short to carry the uncompressed length: never read past the message.
        LogMessage(m_name.c_str(), "Compressed message too short", GetIp());
        return;
    }
    const uint32_t stated = message->ReadU32(4);
    if (stated > kMaxUncompressedLength) {
        std::string text = "Compressed message length too large " + std::to_string(stated);
        LogMessage(m_name.c_str(), text.c_str(), GetIp());
        return;
    }
    if (stated > m_uncompressBufferSize) {
        delete[] m_uncompressBuffer;
        m_uncompressBuffer = new (std::nothrow) char[stated];
        m_uncompressBufferSize = m_uncompressBuffer != nullptr ? stated : 0;
        if (m_uncompressBuffer == nullptr) {
            LogMessage(m_name.c_str(), "Compressed message buffer allocation failed", GetIp());
            return;
        }
    }
    if (size <= kValueHeaderLength) {
        return;
    }
    const auto* source = reinterpret_cast<const char*>(message->Bytes()) + kValueHeaderLength;
    unsigned int produced =
        uncompress(source, size - kValueHeaderLength, m_uncompressBuffer, m_uncompressBufferSize);
    if (produced > m_uncompressBufferSize) {
        produced = m_uncompressBufferSize;  // never trust the plug-in past the capacity given
    }
    if (produced == 0) {
        // Corrupt or truncated, or larger than the buffer the stated length made: the peer
        // sent something, and nothing of it is delivered, so say so. An empty run loses
        // nothing.
        if (stated != 0) {
            LogMessage(m_name.c_str(), "Compressed message does not decompress", GetIp());
        }
        return;
    }
    m_decompressing = true;
    ProcessMultipleMessages(m_uncompressBuffer, 0, produced);
    m_decompressing = false;
}

bool TCPReceiver::ProcessPacket(const Message* message) {
    if (message->GetType() != kMsgSequencedPacket) {
        return false;
    }
    const unsigned int size = message->GetSize();
    if (size < kValueHeaderLength) {
        LogMessage(m_name.c_str(), "Sequenced packet too short", GetIp());
        return true;
    }
    if (m_sequenceReceiver != nullptr) {
        m_sequenceReceiver->PacketRecovered(message->ReadU32(4));
    } else {
        ProcessMultipleMessages(reinterpret_cast<const char*>(message->Bytes()), kValueHeaderLength,
                                size);
    }
    return true;
}

void TCPReceiver::ProcessMultipleMessages(const char* data, unsigned int start, unsigned int end) {
    unsigned int offset = start;
    // A sub-message needs its whole header inside the range and all its bytes before end, or
    // the walk ends there; so does a size of 0, which would never advance. One of 1 to 3 bytes
    // is shorter than a header: it is skipped by its size, delivering nothing.
    while (offset < end && end - offset >= kHeaderLength) {
        const unsigned int size = GetMessageSize(data + offset);
        if (size == 0 || size > end - offset) {
            return;
        }
        if (size < kHeaderLength) {
            offset += size;
            continue;
        }
        const unsigned int generation = m_connectionGeneration;
        ProcessMessage(Message::At(data + offset));
        if (m_toDestroy || generation != m_connectionGeneration) {
            return;
        }
        offset += size;
    }
}

// ---- buffers ----

// Null only when memory runs out for the first read's buffer.
char* TCPReceiver::GetBufferStart() const {
    m_receiveBuffer->Reserve();
    return m_receiveBuffer->data;
}

char* TCPReceiver::GetOobBufferStart() const {
    if (m_oobBuffer == nullptr) {
        return nullptr;
    }
    m_oobBuffer->Reserve();
    return m_oobBuffer->data;
}

unsigned int TCPReceiver::GetBufferSize() const {
    return m_receiveBuffer->Free();
}

unsigned int TCPReceiver::GetOobBufferSize() const {
    return m_oobBuffer != nullptr ? m_oobBuffer->Free() : 0;
}

unsigned int TCPReceiver::GetBufferUsed() const {
    return m_receiveBuffer->used;
}

void TCPReceiver::MoveBuffer(unsigned int n) {
    m_receiveBuffer->Consume(n);
}

void TCPReceiver::MoveOobBuffer(unsigned int n) {
    if (m_oobBuffer != nullptr) {
        m_oobBuffer->Consume(n);
    }
}

void TCPReceiver::SetSupportOutOfBand(bool on) {
    if (on == m_supportOutOfBand) {
        return;
    }
    m_supportOutOfBand = on;
    if (on && m_oobBuffer == nullptr) {
        m_oobBuffer = new InputBuffer(65535);
    } else if (!on) {
        delete m_oobBuffer;
        m_oobBuffer = nullptr;
    }
}

unsigned int TCPReceiver::GetPendingReadDataSize() const {
    unsigned long count = 0;
    if (m_socket == nullptr || !m_socket->BytesReadable(&count)) {
        return 0;
    }
    return static_cast<unsigned int>(count);
}

void TCPReceiver::DecrementNotifyDataReceived() {
    if (m_notifyDataReceivedCount > 0) {
        --m_notifyDataReceivedCount;
    }
}

}  // namespace veltonet
