#include "veltonet/platform/WinsockErrors.h"

#include <cerrno>

namespace veltonet {

// errno -> Windows Sockets number. EAGAIN and EWOULDBLOCK share one value on Linux.
// EINPROGRESS is 10036 here; only Connect reports it as 10035, the way a non-blocking
// connect in progress reads on Windows. EBADF means the handle is no socket at all, which
// Windows Sockets calls 10038. EPIPE is a send on a connection that the peer reset or closed
// (Send reports 10058 itself when this side shut sending down).
#define VELTONET_ERRNO_MAP(X)               \
    X(EINTR, kWsaEintr)                     \
    X(EBADF, kWsaEnotsock)                  \
    X(EACCES, kWsaEacces)                   \
    X(EPERM, kWsaEacces)                    \
    X(EFAULT, kWsaEfault)                   \
    X(EINVAL, kWsaEinval)                   \
    X(EMFILE, kWsaEmfile)                   \
    X(ENFILE, kWsaEmfile)                   \
    X(EWOULDBLOCK, kWsaEwouldblock)         \
    X(EINPROGRESS, kWsaEinprogress)         \
    X(EALREADY, kWsaEalready)               \
    X(ENOTSOCK, kWsaEnotsock)               \
    X(EDESTADDRREQ, kWsaEdestaddrreq)       \
    X(EMSGSIZE, kWsaEmsgsize)               \
    X(EPROTOTYPE, kWsaEprototype)           \
    X(ENOPROTOOPT, kWsaEnoprotoopt)         \
    X(EPROTONOSUPPORT, kWsaEprotonosupport) \
    X(ESOCKTNOSUPPORT, kWsaEsocktnosupport) \
    X(EOPNOTSUPP, kWsaEopnotsupp)           \
    X(EPFNOSUPPORT, kWsaEpfnosupport)       \
    X(EAFNOSUPPORT, kWsaEafnosupport)       \
    X(EADDRINUSE, kWsaEaddrinuse)           \
    X(EADDRNOTAVAIL, kWsaEaddrnotavail)     \
    X(ENETDOWN, kWsaEnetdown)               \
    X(ENETUNREACH, kWsaEnetunreach)         \
    X(ENETRESET, kWsaEnetreset)             \
    X(ECONNABORTED, kWsaEconnaborted)       \
    X(ECONNRESET, kWsaEconnreset)           \
    X(EPIPE, kWsaEconnreset)                \
    X(ENOBUFS, kWsaEnobufs)                 \
    X(ENOMEM, kWsaEnobufs)                  \
    X(EISCONN, kWsaEisconn)                 \
    X(ENOTCONN, kWsaEnotconn)               \
    X(ESHUTDOWN, kWsaEshutdown)             \
    X(ETOOMANYREFS, kWsaEtoomanyrefs)       \
    X(ETIMEDOUT, kWsaEtimedout)             \
    X(ECONNREFUSED, kWsaEconnrefused)       \
    X(ELOOP, kWsaEloop)                     \
    X(ENAMETOOLONG, kWsaEnametoolong)       \
    X(EHOSTDOWN, kWsaEhostdown)             \
    X(EHOSTUNREACH, kWsaEhostunreach)

int WinsockErrorFromErrno(int err) {
    switch (err) {
        case 0:
            return kWsaOk;
#define VELTONET_ERRNO_CASE(errnoValue, wsaValue) \
    case errnoValue:                              \
        return wsaValue;
            VELTONET_ERRNO_MAP(VELTONET_ERRNO_CASE)
#undef VELTONET_ERRNO_CASE
        default:
            return kWsaUnknownBase + err;
    }
}

namespace {
thread_local int t_lastSocketError = 0;
}

int GetLastSocketError() {
    return t_lastSocketError;
}

void SetLastSocketError(int wsaError) {
    t_lastSocketError = wsaError;
}

}  // namespace veltonet
