#include "veltonet/tcp/ErrorTexts.h"

namespace veltonet {

// Each family keeps its own wording: the receive, connect and option texts carry no full stop,
// the send texts end with one. Records in existing logs are matched on these texts.

// clang-format off
const char* ReceiveErrorText(int code) {
    switch (code) {
        case 10022: return "The socket has not been bound with Bind";
        case 10035: return "The socket is marked as nonblocking and the Receive operation would block";
        case 10036: return "A blocking Windows Sockets operation is in progress";
        case 10038: return "The descriptor is not a socket";
        case 10040: return "The datagram was too large to fit into the specified buffer and was truncated";
        case 10045: return "MSG_OOB was specified, but the socket is not of type SOCK_STREAM";
        case 10050: return "The Windows Sockets implementation detected that the network subsystem failed";
        case 10053: return "The virtual circuit was aborted due to timeout or other failure";
        case 10054: return "The virtual circuit was reset by the remote side";
        case 10057: return "The socket is not connected";
        case 10058: return "The socket has been shut down; it is not possible to call Receive on a socket after ShutDown has been invoked with nHow set to 0 or 2";
        case 10093: return "A successful AfxSocketInit must occur before using this API";
        default: return "Unknown error";
    }
}

const char* SendErrorText(int code) {
    switch (code) {
        case 10013: return "The requested address is a broadcast address, but the appropriate flag was not set.";
        case 10014: return "The lpBuf argument is not in a valid part of the user address space.";
        case 10022: return "The socket has not been bound with Bind.";
        case 10036: return "A blocking Windows CE Sockets operation is in progress.";
        case 10038: return "The descriptor is not a socket.";
        case 10040: return "The socket is of type SOCK_DGRAM, and the datagram is larger than the maximum supported by the Windows CE Sockets implementation.";
        case 10045: return "MSG_OOB was specified, but the socket is not of type SOCK_STREAM.";
        case 10050: return "The Windows CE Sockets implementation detected that the network subsystem failed.";
        case 10052: return "The connection must be reset because the Windows CE Sockets implementation dropped it.";
        case 10053: return "The virtual circuit was aborted due to timeout or other failure.";
        case 10054: return "The virtual circuit was reset by the remote side.";
        case 10055: return "The Windows CE Sockets implementation reports a buffer deadlock.";
        case 10057: return "The socket is not connected.";
        case 10058: return "The socket has been shut down; it is not possible to call Send on a socket after ShutDown has been invoked with nHow set to one or two.";
        case 10093: return "A successful AfxSocketInit must occur before using this API.";
        default: return nullptr;
    }
}

const char* ConnectErrorText(int code) {
    switch (code) {
        case 10014: return "The lpSockAddrLen argument is incorrect";
        case 10022: return "The socket is already bound to an address";
        case 10024: return "No more file descriptors are available";
        case 10038: return "The descriptor is a file, not a socket";
        case 10039: return "A destination address is required";
        case 10047: return "Addresses in the specified family cannot be used with this socket";
        case 10048: return "The specified address is already in use";
        case 10049: return "The specified address is not available from the local machine";
        case 10051: return "The network cannot be reached from this host at this time";
        case 10055: return "No buffer space is available. The socket cannot be connected";
        case 10056: return "The socket is already connected";
        case 10057: return "The socket is not connected";
        case 10060: return "The attempt to connect timed out without establishing a connection";
        case 10061: return "The attempt to connect was forcefully rejected";
        case 10064: return "A socket operation failed because the destination host was down";
        case 10065: return "A socket operation was attempted to an unreachable host";
        case 10067: return "A Windows Sockets implementation may have a limit on the number of applications that may use it simultaneously";
        default: return "Unknown";
    }
}

// Failures that another attempt on the same address cannot cure: the receiver gives up its
// socket instead of waiting for the reconnect timer.
bool ConnectErrorStopsRetry(int code) {
    switch (code) {
        case 10014:
        case 10038:
        case 10039:
        case 10047:
        case 10056: return true;
        default: return false;
    }
}

const char* SocketOptionErrorText(int code) {
    switch (code) {
        case 10014: return "lpOptionValue is not in a valid part of the process address space";
        case 10022: return "nLevel is not valid, or the information in lpOptionValue is not valid";
        case 10036: return "A blocking Windows CE Sockets operation is in progress";
        case 10038: return "The descriptor is not a socket";
        case 10042: return "The option is unknown or unsupported. In particular, SO_BROADCAST is not supported on sockets of type SOCK_STREAM, while SO_DONTLINGER, SO_KEEPALIVE, SO_LINGER, and SO_OOBINLINE are not supported on sockets of type SOCK_DGRAM";
        case 10050: return "The Windows CE Sockets implementation detected that the network subsystem failed";
        case 10052: return "Connection has timed out when SO_KEEPALIVE is set";
        case 10057: return "Connection has been reset when SO_KEEPALIVE is set";
        case 10093: return "A successful AfxSocketInit must occur before using this API";
        default: return "Unknown SetSockOpt error";
    }
}
// clang-format on

}  // namespace veltonet
