// The forwarding functions of one receiver, and the subscription requests it sends to a
// listener, checked byte for byte at a raw peer.

#include <gtest/gtest.h>

#include <string>

#include "veltonet/frame/FrameTestSupport.h"
#include "veltonet/receiver.h"

namespace veltonet {
namespace {

using test::Frame;
using test::ManagerTest;

void* MakeReceiver(const char* name, const char* ip, uint16_t port) {
    return R_CreateTCPReceiver(name, ip, port, 0, 0, 0, 0, 0, false);
}

TEST(InterfaceReceiversTypes, HaveTheSizesOfTheWire) {
    EXPECT_EQ(sizeof(BOOL), 4u);
    EXPECT_EQ(sizeof(bool), 1u);
    EXPECT_EQ(sizeof(R_GetReceiverPort(nullptr)), 2u) << "ports are unsigned 16-bit";
}

class InterfaceReceivers : public ManagerTest {};

TEST_F(InterfaceReceivers, IpAndPortComparisonsAreByteComparisons) {
    void* a = MakeReceiver("a", "127.0.0.1", 4000);
    void* b = MakeReceiver("b", "127.0.0.1", 4000);
    void* c = MakeReceiver("c", "127.000.000.001", 4000);
    void* d = MakeReceiver("d", "127.0.0.1", 4001);

    EXPECT_EQ(R_ReceiverHasIpPort(a, "127.0.0.1", 4000), 1);
    EXPECT_EQ(R_ReceiverHasIpPort(a, "127.0.0.01", 4000), 0);  // no normalising
    EXPECT_EQ(R_ReceiverHasIpPort(a, "localhost", 4000), 0);   // no resolution
    EXPECT_EQ(R_ReceiverHasIpPort(a, "127.0.0.1", 4001), 0);
    EXPECT_EQ(R_SameReceiverIpPort(a, b), 1);
    EXPECT_EQ(R_SameReceiverIpPort(a, c), 0);
    EXPECT_EQ(R_SameReceiverIpPort(a, d), 0);
}

TEST_F(InterfaceReceivers, TheIpListFollowsSetAddAndRemove) {
    void* h = MakeReceiver("a", "10.0.0.1", 1);
    R_AddIp(h, "10.0.0.2");
    R_AddIp(h, "10.0.0.3");
    EXPECT_EQ(R_GetIpCount(h), 3u);
    EXPECT_STREQ(R_GetReceiverIp(h), "10.0.0.1");
    R_RemoveIp(h, "10.0.0.1");
    EXPECT_STREQ(R_GetReceiverIp(h), "10.0.0.2");
    EXPECT_EQ(R_GetIpCount(h), 2u);
    R_SetIp(h, "10.0.0.9");
    EXPECT_EQ(R_GetIpCount(h), 1u);
    EXPECT_STREQ(R_GetReceiverIp(h), "10.0.0.9");

    R_SetPort(h, 7000);
    R_SetLocalPort(h, 7001);
    EXPECT_EQ(R_GetReceiverPort(h), 7000);
    EXPECT_EQ(R_GetReceiverLocalPortToBindTo(h), 7001);
    R_SetPersistent(h, 4);
    EXPECT_EQ(R_GetReconnectSeconds(h), 4u);
    R_SetPersistent(h, 0);
    EXPECT_EQ(R_IsPersistent(h), 0);
}

using ConnectedReceiver = test::ConnectedReceiverTest;

std::string Request(uint16_t type, uint32_t identifier, const std::string& name) {
    std::string bytes(8, '\0');
    Message::WriteHeader(bytes.data(), static_cast<uint16_t>(8 + name.size()), type);
    Message::WriteU32(bytes.data() + 4, identifier);
    return bytes + name;
}

TEST_F(ConnectedReceiver, SubscriptionRequestsWaitForTheAcceptance) {
    EXPECT_FALSE(R_ClientSubscribe(h, 1, "early"));
    EXPECT_FALSE(R_ClientUnsubscribe(h, 1, "early"));
    Accept();

    ASSERT_TRUE(R_ClientSubscribe(h, 0x01020304, "AB"));
    // Nothing of the refused requests went out before this one.
    EXPECT_EQ(Read(10), std::string("\x0a\x00\x64\xea\x04\x03\x02\x01"
                                    "AB",
                                    10));
}

TEST_F(ConnectedReceiver, SubscriptionRequestsAreBuiltByteForByte) {
    Accept();
    ASSERT_TRUE(R_ClientSubscribe(h, 7, "EURUSD"));
    ASSERT_TRUE(R_ClientUnsubscribe(h, 0xFFFFFFFF, nullptr));
    ASSERT_TRUE(R_ClientSubscribe(h, 9, ""));
    const std::string expected =
        Request(60004, 7, "EURUSD") + Request(60005, 0xFFFFFFFF, "") + Request(60004, 9, "");
    EXPECT_EQ(Read(expected.size()), expected);
    EXPECT_EQ(R_GetReceiverSizeSent(h), expected.size());
}

TEST_F(ConnectedReceiver, ANameThatDoesNotFitTheSizeFieldIsRefusedAndNothingIsSent) {
    Accept();
    const std::string longest(65535 - 8, 'n');
    const std::string tooLong(65535 - 8 + 1, 'n');
    EXPECT_FALSE(R_ClientSubscribe(h, 1, tooLong.c_str()));
    EXPECT_FALSE(R_ClientUnsubscribe(h, 1, tooLong.c_str()));
    ASSERT_TRUE(R_ClientSubscribe(h, 2, longest.c_str()));

    const std::string expected = Request(60004, 2, longest);
    ASSERT_EQ(expected.size(), 65535u);
    const std::string bytes = Read(expected.size());
    EXPECT_EQ(bytes.size(), expected.size());
    EXPECT_TRUE(bytes == expected);
}

TEST_F(ConnectedReceiver, SocketOptionOneIsSetAtTheTcpLevel) {
    int on = 1;
    EXPECT_EQ(R_SetSockOpt(h, 1, &on, sizeof on), 1);  // no-delay; not a socket-level option
    int value = 0;
    int32_t length = sizeof value;
    EXPECT_EQ(R_GetSockOpt(h, 1, &value, &length), 1);
    EXPECT_NE(value, 0);

    int size = 65536;
    EXPECT_EQ(R_SetSockOpt(h, 4098, &size, sizeof size), 1);  // receive buffer, socket level
    EXPECT_EQ(R_GetReceiveBufferSize(h), 65536u);
}

TEST_F(ConnectedReceiver, SendAndStateForwarders) {
    EXPECT_EQ(R_IsReceiverInitialized(h), 1);
    EXPECT_EQ(R_IsReceiverConnecting(h), 0);
    EXPECT_TRUE(R_IsReceiverHandleValid(h));
    EXPECT_FALSE(R_IsReceiverCondemned(h));
    EXPECT_FALSE(R_IsReceiverSniffer(h));
    EXPECT_NE(R_GetReceiverLocalPort(h), 0);

    const std::string request = Frame(500, "body");
    EXPECT_EQ(R_SendRequest(h, request.data(), nullptr, false), 1);
    EXPECT_EQ(R_SendBuffer(h, "\x05\x00\x01\x02z", 5, false), 1);
    EXPECT_EQ(Read(request.size() + 5), request + std::string("\x05\x00\x01\x02z", 5));
    EXPECT_EQ(R_IsReceiverSendBufferEmpty(h), 1);
    EXPECT_EQ(R_GetSendListCount(h), 0u);

    R_Disconnect(h, false);
    EXPECT_EQ(R_IsReceiverConnected(h), 0);
}

}  // namespace
}  // namespace veltonet
