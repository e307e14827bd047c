#include "veltonet/platform/WinsockErrors.h"

#include <winsock2.h>

#include <cerrno>

namespace veltonet {

// Socket calls report Windows Sockets numbers already; only the few C-library errno values
// that reach the socket layer (a failed allocation, say) are translated.
int WinsockErrorFromErrno(int err) {
    switch (err) {
        case 0:
            return kWsaOk;
        case EINTR:
            return kWsaEintr;
        case EBADF:
            return kWsaEnotsock;
        case EACCES:
            return kWsaEacces;
        case EFAULT:
            return kWsaEfault;
        case EINVAL:
            return kWsaEinval;
        case EMFILE:
            return kWsaEmfile;
        case ENOMEM:
            return kWsaEnobufs;
        default:
            return kWsaUnknownBase + err;
    }
}

int GetLastSocketError() {
    return WSAGetLastError();
}

void SetLastSocketError(int wsaError) {
    WSASetLastError(wsaError);
}

}  // namespace veltonet
