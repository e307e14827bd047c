#include "veltonet/platform/SocketOptions.h"

#include <winsock2.h>
#include <ws2tcpip.h>

namespace veltonet {

namespace {

struct OptionRow {
    int level;
    int option;
};

// The options the library knows; their numbers are Windows' own, so a translation is the
// identity, and an option outside this table still fails with 10042 as on Linux.
constexpr OptionRow kOptionTable[] = {
    {kSolSocket, kSoReuseAddr},     {kSolSocket, kSoKeepAlive},      {kSolSocket, kSoBroadcast},
    {kSolSocket, kSoLinger},        {kSolSocket, kSoDontLinger},     {kSolSocket, kSoOobInline},
    {kSolSocket, kSoSndBuf},        {kSolSocket, kSoRcvBuf},         {kIpProtoTcp, kTcpNoDelay},
    {kIpProtoIp, kIpMulticastIf},   {kIpProtoIp, kIpMulticastTtl},   {kIpProtoIp, kIpMulticastLoop},
    {kIpProtoIp, kIpAddMembership}, {kIpProtoIp, kIpDropMembership},
};

static_assert(kSolSocket == SOL_SOCKET && kSoReuseAddr == SO_REUSEADDR &&
              kSoKeepAlive == SO_KEEPALIVE && kSoBroadcast == SO_BROADCAST &&
              kSoLinger == SO_LINGER && kSoDontLinger == static_cast<int>(SO_DONTLINGER) &&
              kSoOobInline == SO_OOBINLINE && kSoSndBuf == SO_SNDBUF && kSoRcvBuf == SO_RCVBUF);
static_assert(kIpProtoTcp == IPPROTO_TCP && kTcpNoDelay == TCP_NODELAY && kIpProtoIp == IPPROTO_IP);
static_assert(kIpMulticastIf == IP_MULTICAST_IF && kIpMulticastTtl == IP_MULTICAST_TTL &&
              kIpMulticastLoop == IP_MULTICAST_LOOP && kIpAddMembership == IP_ADD_MEMBERSHIP &&
              kIpDropMembership == IP_DROP_MEMBERSHIP);

bool Known(int level, int option) {
    for (const OptionRow& row : kOptionTable) {
        if (row.level == level && row.option == option) {
            return true;
        }
    }
    return false;
}

}  // namespace

bool TranslateSocketOption(int level, int option, int* systemLevel, int* systemOption) {
    if (!Known(level, option)) {
        return false;
    }
    *systemLevel = level;
    *systemOption = option;
    return true;
}

bool WindowsSocketOption(int systemLevel, int systemOption, int* level, int* option) {
    return TranslateSocketOption(systemLevel, systemOption, level, option);
}

}  // namespace veltonet
