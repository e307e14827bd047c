#include "veltonet/tcp/ErrorTexts.h"

#include <gtest/gtest.h>

#include <string>

#include "veltonet/platform/WinsockErrors.h"

namespace veltonet {
namespace {

TEST(ErrorTexts, ReceiveTextsCarryNoFullStop) {
    EXPECT_STREQ(ReceiveErrorText(10054), "The virtual circuit was reset by the remote side");
    EXPECT_STREQ(ReceiveErrorText(10035),
                 "The socket is marked as nonblocking and the Receive operation would block");
    EXPECT_STREQ(ReceiveErrorText(10058),
                 "The socket has been shut down; it is not possible to call Receive on a socket "
                 "after ShutDown has been invoked with nHow set to 0 or 2");
    EXPECT_STREQ(ReceiveErrorText(10093),
                 "A successful AfxSocketInit must occur before using this API");
}

TEST(ErrorTexts, SendTextsEndWithAFullStop) {
    EXPECT_STREQ(SendErrorText(10054), "The virtual circuit was reset by the remote side.");
    EXPECT_STREQ(SendErrorText(10013),
                 "The requested address is a broadcast address, but the appropriate flag was "
                 "not set.");
    EXPECT_STREQ(SendErrorText(10040),
                 "The socket is of type SOCK_DGRAM, and the datagram is larger than the maximum "
                 "supported by the Windows CE Sockets implementation.");
    EXPECT_STREQ(SendErrorText(10058),
                 "The socket has been shut down; it is not possible to call Send on a socket "
                 "after ShutDown has been invoked with nHow set to one or two.");
    EXPECT_STREQ(SendErrorText(10093),
                 "A successful AfxSocketInit must occur before using this API.");
}

TEST(ErrorTexts, ConnectTexts) {
    EXPECT_STREQ(ConnectErrorText(10061), "The attempt to connect was forcefully rejected");
    EXPECT_STREQ(ConnectErrorText(10049),
                 "The specified address is not available from the local machine");
    EXPECT_STREQ(ConnectErrorText(10055),
                 "No buffer space is available. The socket cannot be connected");
    EXPECT_STREQ(ConnectErrorText(10067),
                 "A Windows Sockets implementation may have a limit on the number of "
                 "applications that may use it simultaneously");
}

TEST(ErrorTexts, SocketOptionTexts) {
    EXPECT_STREQ(SocketOptionErrorText(10022),
                 "nLevel is not valid, or the information in lpOptionValue is not valid");
    EXPECT_STREQ(SocketOptionErrorText(10042),
                 "The option is unknown or unsupported. In particular, SO_BROADCAST is not "
                 "supported on sockets of type SOCK_STREAM, while SO_DONTLINGER, SO_KEEPALIVE, "
                 "SO_LINGER, and SO_OOBINLINE are not supported on sockets of type SOCK_DGRAM");
    EXPECT_STREQ(SocketOptionErrorText(10057),
                 "Connection has been reset when SO_KEEPALIVE is set");
}

// One code, four families: each table answers with its own wording.
TEST(ErrorTexts, SameCodeReadsDifferentlyPerFamily) {
    EXPECT_STREQ(ReceiveErrorText(10038), "The descriptor is not a socket");
    EXPECT_STREQ(SendErrorText(10038), "The descriptor is not a socket.");
    EXPECT_STREQ(ConnectErrorText(10038), "The descriptor is a file, not a socket");
    EXPECT_STREQ(SocketOptionErrorText(10038), "The descriptor is not a socket");

    EXPECT_STREQ(ReceiveErrorText(10036), "A blocking Windows Sockets operation is in progress");
    EXPECT_STREQ(SendErrorText(10036), "A blocking Windows CE Sockets operation is in progress.");
    EXPECT_STREQ(SocketOptionErrorText(10036),
                 "A blocking Windows CE Sockets operation is in progress");
}

TEST(ErrorTexts, CodesOutsideATableGetTheFallback) {
    const int unknown[] = {0, -1, 11035, kWsaUnknownBase + 11, 99999};
    for (int code : unknown) {
        EXPECT_STREQ(ReceiveErrorText(code), "Unknown error") << code;
        EXPECT_EQ(SendErrorText(code), nullptr) << code;
        EXPECT_STREQ(ConnectErrorText(code), "Unknown") << code;
        EXPECT_STREQ(SocketOptionErrorText(code), "Unknown SetSockOpt error") << code;
    }
    // Codes present in one table but not in another.
    EXPECT_EQ(SendErrorText(10035), nullptr);
    EXPECT_STREQ(ReceiveErrorText(10013), "Unknown error");
    EXPECT_STREQ(ConnectErrorText(10054), "Unknown");
    EXPECT_STREQ(ConnectErrorText(10035), "Unknown");
    EXPECT_STREQ(ConnectErrorText(kWsaUnknownBase + 111), "Unknown");
    EXPECT_STREQ(SocketOptionErrorText(10054), "Unknown SetSockOpt error");
}

TEST(ErrorTexts, OnlyTheFiveHopelessConnectErrorsStopRetrying) {
    int stopping = 0;
    for (int code = 10000; code < 10100; ++code) {
        if (ConnectErrorStopsRetry(code)) {
            ++stopping;
        }
    }
    EXPECT_EQ(stopping, 5);
    for (int code : {10014, 10038, 10039, 10047, 10056}) {
        EXPECT_TRUE(ConnectErrorStopsRetry(code)) << code;
    }
    for (int code : {10049, 10061, 10060, 10022, 0, kWsaUnknownBase + 1}) {
        EXPECT_FALSE(ConnectErrorStopsRetry(code)) << code;
    }
}

}  // namespace
}  // namespace veltonet
