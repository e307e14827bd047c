#pragma once

// Socket options in Windows numbering, as every layer above the platform speaks them.
namespace veltonet {

constexpr int kSolSocket = 0xFFFF;
constexpr int kSoReuseAddr = 4;
constexpr int kSoKeepAlive = 8;
constexpr int kSoBroadcast = 32;
constexpr int kSoLinger = 128;
constexpr int kSoDontLinger = ~kSoLinger;  // -129: linger off when the value is non-zero
constexpr int kSoOobInline = 256;
constexpr int kSoSndBuf = 4097;
constexpr int kSoRcvBuf = 4098;

constexpr int kIpProtoTcp = 6;
constexpr int kTcpNoDelay = 1;

constexpr int kIpProtoIp = 0;
constexpr int kIpMulticastIf = 9;
constexpr int kIpMulticastTtl = 10;
constexpr int kIpMulticastLoop = 11;
constexpr int kIpAddMembership = 12;
constexpr int kIpDropMembership = 13;

// Windows LINGER record.
struct WinLinger {
    unsigned short onoff;
    unsigned short linger;
};

// Translates a Windows (level, option) pair into the Linux pair. False when there is no
// translation; the caller then fails with 10042.
bool TranslateSocketOption(int level, int option, int* linuxLevel, int* linuxOption);
// The reverse, for tests and diagnostics; false when the Linux pair has no Windows number.
bool WindowsSocketOption(int linuxLevel, int linuxOption, int* level, int* option);

}  // namespace veltonet
