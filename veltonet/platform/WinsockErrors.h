#pragma once

// The error space above the platform layer: Windows Sockets error numbers. One table in
// WinsockErrors.cpp translates errno into it.
namespace veltonet {

enum WinsockError : int {
    kWsaOk = 0,
    kWsaEintr = 10004,
    kWsaEbadf = 10009,
    kWsaEacces = 10013,
    kWsaEfault = 10014,
    kWsaEinval = 10022,
    kWsaEmfile = 10024,
    kWsaEwouldblock = 10035,
    kWsaEinprogress = 10036,
    kWsaEalready = 10037,
    kWsaEnotsock = 10038,
    kWsaEdestaddrreq = 10039,
    kWsaEmsgsize = 10040,
    kWsaEprototype = 10041,
    kWsaEnoprotoopt = 10042,
    kWsaEprotonosupport = 10043,
    kWsaEsocktnosupport = 10044,
    kWsaEopnotsupp = 10045,
    kWsaEpfnosupport = 10046,
    kWsaEafnosupport = 10047,
    kWsaEaddrinuse = 10048,
    kWsaEaddrnotavail = 10049,
    kWsaEnetdown = 10050,
    kWsaEnetunreach = 10051,
    kWsaEnetreset = 10052,
    kWsaEconnaborted = 10053,
    kWsaEconnreset = 10054,
    kWsaEnobufs = 10055,
    kWsaEisconn = 10056,
    kWsaEnotconn = 10057,
    kWsaEshutdown = 10058,
    kWsaEtoomanyrefs = 10059,
    kWsaEtimedout = 10060,
    kWsaEconnrefused = 10061,
    kWsaEloop = 10062,
    kWsaEnametoolong = 10063,
    kWsaEhostdown = 10064,
    kWsaEhostunreach = 10065,
    kWsaNotinitialised = 10093,
    kWsaHostNotFound = 11001,
};

// An errno with no Windows Sockets equivalent maps to kWsaUnknownBase + errno: distinct per
// errno, and matched by no error-text table.
constexpr int kWsaUnknownBase = 20000;

// 0 stays 0.
int WinsockErrorFromErrno(int err);

// The thread's last socket error (what the Windows version read with WSAGetLastError).
int GetLastSocketError();
void SetLastSocketError(int wsaError);

}  // namespace veltonet
