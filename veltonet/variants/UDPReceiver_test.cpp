#include "veltonet/variants/UDPReceiver.h"

#include "veltonet/variants/VariantsTestSupport.h"

namespace veltonet {
namespace {

using namespace test;
using Ips = std::list<std::string>;

class UDPReceiverTest : public VariantsTest {
  protected:
    void SetUp() override {
        VariantsTest::SetUp();
        udp = new UDPReceiver("udp", "", 0);  // registered: the manager deletes it
        ASSERT_TRUE(Connect(*udp));
        ASSERT_TRUE(a.ok && b.ok && c.ok);
    }
    bool From(DatagramSender& sender) { return Feed(sender, *udp, Frame(100, "x")); }

    UDPReceiver* udp = nullptr;
    // Three senders on loopback, each with its own address.
    DatagramSender a{"127.0.0.2"}, b{"127.0.0.3"}, c{"127.0.0.4"};
};

TEST_F(UDPReceiverTest, ListsEachSenderOnceInOrderAndFollowsEveryChangeOfTheList) {
    if (test::UnderWine()) {
        GTEST_SKIP() << "Wine binds a datagram socket given a loopback address to the interface, "
                        "so every sender reads as 127.0.0.1";
    }
    EXPECT_STREQ(udp->GetDisplayType(), "UDP");
    ASSERT_TRUE(From(a) && From(b) && From(a) && From(c));
    EXPECT_EQ(udp->GetIps(), (Ips{"127.0.0.2", "127.0.0.3", "127.0.0.4"}));
    EXPECT_STREQ(udp->GetIp(), "127.0.0.2");
    EXPECT_EQ(udp->GetFromPort(), c.port);
    udp->ClearIps();
    EXPECT_TRUE(udp->GetIps().empty());
    ASSERT_TRUE(From(b) && From(b));
    EXPECT_EQ(udp->GetIps(), (Ips{"127.0.0.3"}));

    // The scan must not begin where the removed first entry was, nor miss added entries.
    udp->RemoveIp();
    ASSERT_TRUE(From(b));
    EXPECT_EQ(udp->GetIps(), (Ips{"127.0.0.3"}));
    udp->SetIp("127.0.0.9");
    udp->AddIp("127.0.0.4");
    ASSERT_TRUE(From(c) && From(a));
    EXPECT_EQ(udp->GetIps(), (Ips{"127.0.0.9", "127.0.0.4", "127.0.0.2"}));
    udp->RemoveIp("127.0.0.2");
    ASSERT_TRUE(From(a));
    EXPECT_EQ(udp->GetIps(), (Ips{"127.0.0.9", "127.0.0.4", "127.0.0.2"}));
}

TEST_F(UDPReceiverTest, FailedReadRecordsTheEmptySenderText) {
    if (test::UnderWine()) {
        GTEST_SKIP() << "Wine binds a datagram socket given a loopback address to the interface, "
                        "so every sender reads as 127.0.0.1";
    }
    udp->OnReceive(0);  // nothing waits: the read fails with would-block
    EXPECT_EQ(udp->GetIps(), (Ips{""}));
    EXPECT_TRUE(udp->isConnected());
    EXPECT_TRUE(logs->records.empty());
    ASSERT_TRUE(From(a));
    udp->OnReceive(0);  // the previous sender is looked up again and found
    EXPECT_EQ(udp->GetIps(), (Ips{"", "127.0.0.2"}));

    udp->InvalidateSocket();
    char byte = 0;
    EXPECT_EQ(udp->Receive(&byte, 1, 0), 0);  // no socket: no read, no lookup
    EXPECT_EQ(udp->GetIps().size(), 2u);
}

}  // namespace
}  // namespace veltonet
