// The forwarding functions of one receiver, and the subscription requests it sends to a
// listener, checked byte for byte at a raw peer.

#include "veltonet/frame/FrameTestSupport.h"

namespace veltonet {
namespace {

using namespace test;

using InterfaceReceivers = ManagerTest;

TEST_F(InterfaceReceivers, IpAndPortComparisonsAreByteComparisons) {
    auto make = [](const char* ip, uint16_t port) {
        return R_CreateTCPReceiver("r", ip, port, 0, 0, 0, 0, 0, false);
    };
    void* a = make("127.0.0.1", 4000);
    EXPECT_EQ(R_ReceiverHasIpPort(a, "127.0.0.1", 4000), 1);
    EXPECT_EQ(R_ReceiverHasIpPort(a, "127.0.0.01", 4000), 0);  // no normalising
    EXPECT_EQ(R_ReceiverHasIpPort(a, "localhost", 4000), 0);   // no resolution
    EXPECT_EQ(R_ReceiverHasIpPort(a, "127.0.0.1", 4001), 0);
    EXPECT_EQ(R_SameReceiverIpPort(a, make("127.0.0.1", 4000)), 1);
    EXPECT_EQ(R_SameReceiverIpPort(a, make("127.000.000.001", 4000)), 0);
    EXPECT_EQ(R_SameReceiverIpPort(a, make("127.0.0.1", 4001)), 0);
}

using ConnectedReceiver = ConnectedReceiverTest;

std::string Request(uint16_t type, uint32_t identifier, const std::string& name) {
    std::string bytes(8, '\0');
    Message::WriteHeader(bytes.data(), static_cast<uint16_t>(8 + name.size()), type);
    Message::WriteU32(bytes.data() + 4, identifier);
    return bytes + name;
}

TEST_F(ConnectedReceiver, SubscriptionRequestsWaitForTheAcceptanceFitTheSizeFieldAndAreExact) {
    EXPECT_FALSE(R_ClientSubscribe(h, 1, "early"));
    EXPECT_FALSE(R_ClientUnsubscribe(h, 1, "early"));
    Accept();
    const std::string longest(65535 - 8, 'n');
    const std::string tooLong(65535 - 8 + 1, 'n');
    EXPECT_FALSE(R_ClientSubscribe(h, 1, tooLong.c_str()));
    EXPECT_FALSE(R_ClientUnsubscribe(h, 1, tooLong.c_str()));

    ASSERT_TRUE(R_ClientSubscribe(h, 0x01020304, "AB"));
    ASSERT_TRUE(R_ClientUnsubscribe(h, 0xFFFFFFFF, nullptr));
    ASSERT_TRUE(R_ClientSubscribe(h, 9, ""));
    ASSERT_TRUE(R_ClientSubscribe(h, 2, longest.c_str()));
    // Nothing of the refused requests went out before these.
    const std::string expected = std::string(
                                     "\x0a\x00\x64\xea\x04\x03\x02\x01"
                                     "AB",
                                     10) +
                                 Request(60005, 0xFFFFFFFF, "") + Request(60004, 9, "") +
                                 Request(60004, 2, longest);
    ASSERT_EQ(Request(60004, 2, longest).size(), 65535u);
    const std::string bytes = Read(expected.size());
    EXPECT_EQ(R_GetReceiverSizeSent(h), expected.size());
    EXPECT_EQ(bytes.size(), expected.size());
    EXPECT_TRUE(bytes == expected);  // not printed: 64 KiB
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

}  // namespace
}  // namespace veltonet
