#include "veltonet/tcp/ErrorTexts.h"

#include <gtest/gtest.h>

#include "veltonet/platform/WinsockErrors.h"

namespace veltonet {
namespace {

struct Row {
    const char* (*table)(int);
    int code;
    const char* text;  // null: the table has none
};

// One code reads differently per family: receive, connect and option texts carry no full stop,
// send texts end with one; each family has its own fallback.
TEST(ErrorTexts, EachFamilyAnswersInItsOwnWordingAndFallsBackToItsOwnDefault) {
    // clang-format off
    const Row rows[] = {
        {ReceiveErrorText, 10054, "The virtual circuit was reset by the remote side"},
        {ReceiveErrorText, 10035, "The socket is marked as nonblocking and the Receive operation would block"},
        {ReceiveErrorText, 10058, "The socket has been shut down; it is not possible to call Receive on a socket after ShutDown has been invoked with nHow set to 0 or 2"},
        {ReceiveErrorText, 10093, "A successful AfxSocketInit must occur before using this API"},
        {ReceiveErrorText, 10038, "The descriptor is not a socket"},
        {ReceiveErrorText, 10036, "A blocking Windows Sockets operation is in progress"},
        {ReceiveErrorText, 10013, "Unknown error"},
        {SendErrorText, 10013, "The requested address is a broadcast address, but the appropriate flag was not set."},
        {SendErrorText, 10040, "The socket is of type SOCK_DGRAM, and the datagram is larger than the maximum supported by the Windows CE Sockets implementation."},
        {SendErrorText, 10058, "The socket has been shut down; it is not possible to call Send on a socket after ShutDown has been invoked with nHow set to one or two."},
        {SendErrorText, 10093, "A successful AfxSocketInit must occur before using this API."},
        {SendErrorText, 10038, "The descriptor is not a socket."},
        {SendErrorText, 10036, "A blocking Windows CE Sockets operation is in progress."},
        {SendErrorText, 10035, nullptr},
        {ConnectErrorText, 10061, "The attempt to connect was forcefully rejected"},
        {ConnectErrorText, 10055, "No buffer space is available. The socket cannot be connected"},
        {ConnectErrorText, 10067, "A Windows Sockets implementation may have a limit on the number of applications that may use it simultaneously"},
        {ConnectErrorText, 10038, "The descriptor is a file, not a socket"},
        {ConnectErrorText, 10054, "Unknown"},
        {ConnectErrorText, 10035, "Unknown"},
        {SocketOptionErrorText, 10022, "nLevel is not valid, or the information in lpOptionValue is not valid"},
        {SocketOptionErrorText, 10042, "The option is unknown or unsupported. In particular, SO_BROADCAST is not supported on sockets of type SOCK_STREAM, while SO_DONTLINGER, SO_KEEPALIVE, SO_LINGER, and SO_OOBINLINE are not supported on sockets of type SOCK_DGRAM"},
        {SocketOptionErrorText, 10057, "Connection has been reset when SO_KEEPALIVE is set"},
        {SocketOptionErrorText, 10038, "The descriptor is not a socket"},
        {SocketOptionErrorText, 10036, "A blocking Windows CE Sockets operation is in progress"},
        {SocketOptionErrorText, 10054, "Unknown SetSockOpt error"},
    };
    // clang-format on
    for (const Row& row : rows) {
        EXPECT_STREQ(row.table(row.code), row.text) << row.code;
    }
    for (int code : {0, -1, 11035, kWsaUnknownBase + 11, 99999}) {
        EXPECT_STREQ(ReceiveErrorText(code), "Unknown error") << code;
        EXPECT_EQ(SendErrorText(code), nullptr) << code;
        EXPECT_STREQ(ConnectErrorText(code), "Unknown") << code;
        EXPECT_STREQ(SocketOptionErrorText(code), "Unknown SetSockOpt error") << code;
    }
}

TEST(ErrorTexts, OnlyTheFiveHopelessConnectErrorsStopRetrying) {
    int stopping = 0;
    for (int code = 10000; code < 10100; ++code) {
        stopping += ConnectErrorStopsRetry(code);
    }
    EXPECT_EQ(stopping, 5);
    for (int code : {10014, 10038, 10039, 10047, 10056}) {
        EXPECT_TRUE(ConnectErrorStopsRetry(code)) << code;
    }
    EXPECT_FALSE(ConnectErrorStopsRetry(kWsaUnknownBase + 14));
}

}  // namespace
}  // namespace veltonet
