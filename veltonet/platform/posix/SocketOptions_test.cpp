#include "veltonet/platform/SocketOptions.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <vector>

namespace veltonet {
namespace {

struct Pair {
    int level;
    int option;
    int linuxLevel;
    int linuxOption;
};

const std::vector<Pair> kExpected = {
    {0xFFFF, 4, SOL_SOCKET, SO_REUSEADDR},   {0xFFFF, 8, SOL_SOCKET, SO_KEEPALIVE},
    {0xFFFF, 32, SOL_SOCKET, SO_BROADCAST},  {0xFFFF, 128, SOL_SOCKET, SO_LINGER},
    {0xFFFF, 256, SOL_SOCKET, SO_OOBINLINE}, {0xFFFF, 4097, SOL_SOCKET, SO_SNDBUF},
    {0xFFFF, 4098, SOL_SOCKET, SO_RCVBUF},   {6, 1, IPPROTO_TCP, TCP_NODELAY},
    {0, 9, IPPROTO_IP, IP_MULTICAST_IF},     {0, 10, IPPROTO_IP, IP_MULTICAST_TTL},
    {0, 11, IPPROTO_IP, IP_MULTICAST_LOOP},  {0, 12, IPPROTO_IP, IP_ADD_MEMBERSHIP},
    {0, 13, IPPROTO_IP, IP_DROP_MEMBERSHIP},
};

TEST(SocketOptions, WindowsOptionsTranslateBothWays) {
    for (const Pair& pair : kExpected) {
        int linuxLevel = -1;
        int linuxOption = -1;
        ASSERT_TRUE(TranslateSocketOption(pair.level, pair.option, &linuxLevel, &linuxOption))
            << pair.level << "/" << pair.option;
        EXPECT_EQ(linuxLevel, pair.linuxLevel);
        EXPECT_EQ(linuxOption, pair.linuxOption);
        int level = -1;
        int option = -1;
        ASSERT_TRUE(WindowsSocketOption(pair.linuxLevel, pair.linuxOption, &level, &option));
        EXPECT_EQ(level, pair.level);
        EXPECT_EQ(option, pair.option);
    }
}

TEST(SocketOptions, DontLingerIsTheLingerOptionComplementedAndOtherPairsAreRefused) {
    int a = -1;
    int b = -1;
    ASSERT_TRUE(TranslateSocketOption(0xFFFF, -129, &a, &b));  // don't-linger
    EXPECT_EQ(a, SOL_SOCKET);
    EXPECT_EQ(b, SO_LINGER);
    EXPECT_EQ(sizeof(WinLinger), 4u);
    a = b = -1;
    EXPECT_FALSE(TranslateSocketOption(0xFFFF, 0x1007, &a, &b));  // error query
    EXPECT_FALSE(TranslateSocketOption(0xFFFF, 1, &a, &b));       // TCP no-delay's number
    EXPECT_FALSE(TranslateSocketOption(6, 4, &a, &b));
    EXPECT_FALSE(TranslateSocketOption(41, 12, &a, &b));  // IPv6 level
    EXPECT_FALSE(TranslateSocketOption(SOL_SOCKET, SO_REUSEADDR, &a, &b));
    EXPECT_FALSE(WindowsSocketOption(SOL_SOCKET, SO_ERROR, &a, &b));
    EXPECT_EQ(a, -1);
    EXPECT_EQ(b, -1);
}

}  // namespace
}  // namespace veltonet
