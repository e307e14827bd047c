#include "veltonet/variants/UDPReceiver.h"

#include <gtest/gtest.h>

#include "veltonet/variants/VariantsTestSupport.h"

namespace veltonet {
namespace {

using test::DatagramSender;
using test::Frame;
using Ips = std::list<std::string>;

class UDPReceiverTest : public test::VariantsTest {
  protected:
    void SetUp() override {
        VariantsTest::SetUp();
        udp = std::make_unique<UDPReceiver>("udp", "", 0);
        ASSERT_TRUE(Connect(receiver()));
        ASSERT_TRUE(a.ok && b.ok && c.ok);
    }
    void TearDown() override {
        udp.reset();
        VariantsTest::TearDown();
    }
    UDPReceiver& receiver() { return *udp; }
    bool From(DatagramSender& sender) { return Feed(sender, receiver(), Frame(100, "x")); }

    std::unique_ptr<UDPReceiver> udp;
    // Three senders on loopback, each with its own address.
    DatagramSender a{"127.0.0.2"}, b{"127.0.0.3"}, c{"127.0.0.4"};
};

TEST_F(UDPReceiverTest, ListsEachSenderOnceInOrderOfFirstAppearance) {
    EXPECT_STREQ(receiver().GetDisplayType(), "UDP");
    ASSERT_TRUE(From(a) && From(b) && From(a) && From(c));
    EXPECT_EQ(receiver().GetIps(), (Ips{"127.0.0.2", "127.0.0.3", "127.0.0.4"}));
    EXPECT_STREQ(receiver().GetIp(), "127.0.0.2");
    EXPECT_EQ(receiver().GetFromPort(), c.port);

    receiver().ClearIps();
    EXPECT_TRUE(receiver().GetIps().empty());
    ASSERT_TRUE(From(b) && From(b));
    EXPECT_EQ(receiver().GetIps(), (Ips{"127.0.0.3"}));
}

TEST_F(UDPReceiverTest, SenderScanFollowsEveryChangeOfTheAddressList) {
    ASSERT_TRUE(From(a) && From(b));
    receiver().RemoveIp();  // the first entry, where a cached scan would begin
    ASSERT_TRUE(From(b));
    EXPECT_EQ(receiver().GetIps(), (Ips{"127.0.0.3"}));
    receiver().SetIp("127.0.0.9");
    receiver().AddIp("127.0.0.4");
    ASSERT_TRUE(From(c) && From(a));
    EXPECT_EQ(receiver().GetIps(), (Ips{"127.0.0.9", "127.0.0.4", "127.0.0.2"}));
    receiver().RemoveIp("127.0.0.2");
    ASSERT_TRUE(From(a));
    EXPECT_EQ(receiver().GetIps(), (Ips{"127.0.0.9", "127.0.0.4", "127.0.0.2"}));
}

TEST_F(UDPReceiverTest, FailedReadRecordsTheEmptySenderText) {
    receiver().OnReceive(0);  // nothing waits: the read fails with would-block
    EXPECT_EQ(receiver().GetIps(), (Ips{""}));
    EXPECT_TRUE(receiver().isConnected());
    EXPECT_TRUE(logs->records.empty());
    ASSERT_TRUE(From(a));
    receiver().OnReceive(0);  // the previous sender is looked up again and found
    EXPECT_EQ(receiver().GetIps(), (Ips{"", "127.0.0.2"}));

    receiver().InvalidateSocket();
    char byte = 0;
    EXPECT_EQ(receiver().Receive(&byte, 1, 0), 0);  // no socket: no read, no lookup
    EXPECT_EQ(receiver().GetIps().size(), 2u);
}

}  // namespace
}  // namespace veltonet
