#include "EventText.h"

namespace velto {

const char* NotificationName(uint16_t type) {
    switch (type) {
        case 60001:
            return "connected";
        case 60002:
            return "disconnected";
        case 60003:
            return "first datagram";
        case 60004:
            return "subscribe request";
        case 60005:
            return "unsubscribe request";
        case 60006:
            return "measure period ended";
        case 60008:
            return "logout over";
        case 60009:
            return "connect failed";
        case 60011:
            return "accepted";
        case 60012:
            return "connecting";
        case 60013:
            return "data received";
        case 60014:
            return "data processed";
        default:
            return nullptr;
    }
}

bool IsNotification(uint16_t type) {
    return NotificationName(type) != nullptr;
}

// The errors a connect or a socket can report; the numbers are those of Windows Sockets,
// which is the library's error space.
std::string SocketErrorText(int code) {
    const char* text = "unknown error";
    switch (code) {
        case 10013:
            text = "permission denied";
            break;
        case 10022:
            text = "invalid argument";
            break;
        case 10024:
            text = "too many open sockets";
            break;
        case 10048:
            text = "address in use";
            break;
        case 10049:
            text = "address not available";
            break;
        case 10050:
            text = "network is down";
            break;
        case 10051:
            text = "network unreachable";
            break;
        case 10052:
            text = "network dropped the connection";
            break;
        case 10053:
            text = "connection aborted";
            break;
        case 10054:
            text = "connection reset by the peer";
            break;
        case 10055:
            text = "no buffer space available";
            break;
        case 10056:
            text = "already connected";
            break;
        case 10057:
            text = "not connected";
            break;
        case 10060:
            text = "connection timed out";
            break;
        case 10061:
            text = "connection refused";
            break;
        case 10064:
            text = "host is down";
            break;
        case 10065:
            text = "host unreachable";
            break;
        case 11001:
            text = "host not found";
            break;
        default:
            break;
    }
    return std::to_string(code) + " " + text;
}

}  // namespace velto
