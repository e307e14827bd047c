#include "veltonet/listener/AcceptErrors.h"

namespace veltonet {

// Records in existing logs are matched on these texts, byte for byte: the dash of the 10014
// text is the single Windows-1252 byte 0x97, not UTF-8.

// clang-format off
const char* AcceptErrorText(int code) {
    switch (code) {
        case 10014: return "The lpSockAddrLen argument is too small\x97" "less than the size of a SOCKADDR structure";
        case 10022: return "Listen was not invoked prior to accept";
        case 10024: return "The queue is empty upon entry to accept, and there are no descriptors available";
        case 10035: return "The socket is marked as nonblocking, and no connections are present to be accepted";
        case 10036: return "A blocking Windows Sockets operation is in progress";
        case 10038: return "The descriptor is not a socket";
        case 10041: return "The specified port is the wrong type for this socket";
        case 10043: return "The specified port is not supported";
        case 10044: return "The specified socket type is not supported in this address family";
        case 10045: return "The referenced socket is not a type that supports connection-oriented service";
        case 10047: return "The specified address family is not supported";
        case 10048: return "Address in use";
        case 10050: return "The Windows Sockets implementation detected that the network subsystem failed";
        case 10055: return "No buffer space is available. The socket cannot be created";
        case 10093: return "A successful AfxSocketInit must occur before using this API";
        default: return "Unknown";
    }
}
// clang-format on

}  // namespace veltonet
