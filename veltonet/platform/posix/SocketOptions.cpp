#include "veltonet/platform/SocketOptions.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace veltonet {

namespace {

struct OptionRow {
    int level;
    int option;
    int linuxLevel;
    int linuxOption;
};

// Windows (level, option) beside the Linux pair. Linger comes before don't-linger so that the
// reverse lookup of SO_LINGER answers the linger option itself.
constexpr OptionRow kOptionTable[] = {
    {kSolSocket, kSoReuseAddr, SOL_SOCKET, SO_REUSEADDR},
    {kSolSocket, kSoKeepAlive, SOL_SOCKET, SO_KEEPALIVE},
    {kSolSocket, kSoBroadcast, SOL_SOCKET, SO_BROADCAST},
    {kSolSocket, kSoLinger, SOL_SOCKET, SO_LINGER},
    {kSolSocket, kSoDontLinger, SOL_SOCKET, SO_LINGER},
    {kSolSocket, kSoOobInline, SOL_SOCKET, SO_OOBINLINE},
    {kSolSocket, kSoSndBuf, SOL_SOCKET, SO_SNDBUF},
    {kSolSocket, kSoRcvBuf, SOL_SOCKET, SO_RCVBUF},
    {kIpProtoTcp, kTcpNoDelay, IPPROTO_TCP, TCP_NODELAY},
    {kIpProtoIp, kIpMulticastIf, IPPROTO_IP, IP_MULTICAST_IF},
    {kIpProtoIp, kIpMulticastTtl, IPPROTO_IP, IP_MULTICAST_TTL},
    {kIpProtoIp, kIpMulticastLoop, IPPROTO_IP, IP_MULTICAST_LOOP},
    {kIpProtoIp, kIpAddMembership, IPPROTO_IP, IP_ADD_MEMBERSHIP},
    {kIpProtoIp, kIpDropMembership, IPPROTO_IP, IP_DROP_MEMBERSHIP},
};

}  // namespace

bool TranslateSocketOption(int level, int option, int* linuxLevel, int* linuxOption) {
    for (const OptionRow& row : kOptionTable) {
        if (row.level == level && row.option == option) {
            *linuxLevel = row.linuxLevel;
            *linuxOption = row.linuxOption;
            return true;
        }
    }
    return false;
}

bool WindowsSocketOption(int linuxLevel, int linuxOption, int* level, int* option) {
    for (const OptionRow& row : kOptionTable) {
        if (row.linuxLevel == linuxLevel && row.linuxOption == linuxOption) {
            *level = row.level;
            *option = row.option;
            return true;
        }
    }
    return false;
}

}  // namespace veltonet
