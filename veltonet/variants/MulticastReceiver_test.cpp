#include "veltonet/variants/MulticastReceiver.h"

#include <gtest/gtest.h>

#include "veltonet/variants/VariantsTestSupport.h"

namespace veltonet {
namespace {

using test::DatagramSender;
using test::Frame;
using test::RecordingObserver;
using Types = std::vector<uint16_t>;

class MulticastReceiverTest : public test::VariantsTest {};

constexpr const char* kGroup = "239.1.2.3";

int ReceiveBufferOption(TCPReceiver& receiver) {
    int value = 0;
    int length = sizeof(value);
    receiver.GetSockOpt(kSoRcvBuf, &value, &length, kSolSocket);
    return value;
}

TEST_F(MulticastReceiverTest, JoinsItsGroupAndPublishesFirstDataOncePerObject) {
    VELTONET_IN_PRIVATE_NETWORK();
    DatagramSender sender;
    ASSERT_TRUE(sender.ok && sender.UseLoopbackForMulticast());
    const uint16_t port = DatagramSender().port;  // free a moment ago, in an empty network
    MulticastReceiver receiver("mc", kGroup, port, 4096);
    RecordingObserver observer;
    receiver.Add(&observer);

    ASSERT_TRUE(Connect(receiver));
    EXPECT_TRUE(receiver.isConnected());
    EXPECT_EQ(receiver.GetLocalPort(), port);
    EXPECT_EQ(ReceiveBufferOption(receiver), 4096);  // applied after the join
    EXPECT_TRUE(observer.records.empty());           // no connecting, no connected

    ASSERT_TRUE(sender.Send(Frame(100, "one") + Frame(101, "two"), port, kGroup));
    ASSERT_TRUE(PumpUntil([&] { return observer.records.size() == 3; }));
    EXPECT_EQ(observer.Types(), (Types{kMsgFirstDatagram, 100, 101}));
    EXPECT_EQ(observer.records[2].bytes, Frame(101, "two"));
    EXPECT_TRUE(receiver.isDataReceived());
    EXPECT_TRUE(TCPReceiver::isBroadcastReceived());
    EXPECT_EQ(receiver.GetFromAddress(), "127.0.0.1");
    EXPECT_EQ(receiver.GetFromPort(), sender.port);

    receiver.DisconnectAndNotify(true);
    ASSERT_TRUE(Connect(receiver));
    ASSERT_TRUE(sender.Send(Frame(102, "again"), port, kGroup));
    ASSERT_TRUE(PumpUntil([&] { return observer.records.size() == 5; }));
    EXPECT_EQ(observer.Types(), (Types{kMsgFirstDatagram, 100, 101, kMsgDisconnected, 102}));
    EXPECT_TRUE(logs->records.empty()) << logs->Texts().front();
}

TEST_F(MulticastReceiverTest, WithoutGroupBindsThePortAndJoinsNothing) {
    VELTONET_IN_PRIVATE_NETWORK();
    DatagramSender sender;
    ASSERT_TRUE(sender.ok && sender.UseLoopbackForMulticast());
    const uint16_t port = DatagramSender().port;
    MulticastReceiver receiver("mc", "", port, 4096);
    RecordingObserver observer;
    receiver.Add(&observer);
    ASSERT_TRUE(Connect(receiver));
    EXPECT_TRUE(receiver.isConnected());
    EXPECT_STREQ(receiver.GetIp(), "");
    EXPECT_NE(ReceiveBufferOption(receiver), 4096);

    // Loopback delivers in order: had the group datagram arrived, it would come first.
    ASSERT_TRUE(sender.Send(Frame(100, "group"), port, kGroup));
    ASSERT_TRUE(sender.Send(Frame(101, "direct"), port));
    ASSERT_TRUE(PumpUntil([&] { return observer.records.size() == 2; }));
    EXPECT_EQ(observer.Types(), (Types{kMsgFirstDatagram, 101}));

    // A join that fails is logged; the receiver still works on its port.
    const uint16_t otherPort = DatagramSender().port;
    MulticastReceiver unicast("bad", "127.0.0.1", otherPort);
    ASSERT_TRUE(Connect(unicast));
    EXPECT_TRUE(unicast.isConnected());
    ASSERT_FALSE(logs->records.empty());
    EXPECT_EQ(logs->records.front().text, "ReceiverSocket::SetSockOpt()");
    EXPECT_EQ(logs->records.front().source, "bad");
}

TEST_F(MulticastReceiverTest, FramesAcrossDatagramsSkipsEmptyOnesAndNeverReconnects) {
    MulticastReceiver receiver("mc", "", 0);
    RecordingObserver observer;
    receiver.Add(&observer);
    receiver.SetPersistent(5);  // no server to go back to
    EXPECT_EQ(receiver.GetReconnectSeconds(), 0u);
    ASSERT_TRUE(Connect(receiver));
    EXPECT_NE(receiver.GetLocalPort(), 0);
    DatagramSender sender;

    const std::string split = Frame(102, "split across two datagrams");
    ASSERT_TRUE(Feed(sender, receiver, Frame(100, "a") + Frame(101, "b") + split.substr(0, 7)));
    EXPECT_EQ(observer.Types(), (Types{kMsgFirstDatagram, 100, 101}));
    // An empty datagram is neither data nor a close.
    ASSERT_TRUE(sender.Send("", receiver.GetLocalPort()));
    ASSERT_TRUE(Feed(sender, receiver, split.substr(7) + Frame(103, "").substr(0, 3)));
    EXPECT_EQ(observer.Types(), (Types{kMsgFirstDatagram, 100, 101, 102}));
    EXPECT_EQ(observer.records.back().bytes, split);
    EXPECT_EQ(receiver.GetBufferUsed(), 3u);
    EXPECT_TRUE(receiver.isConnected());

    receiver.DisconnectAndNotify(true);
    EXPECT_EQ(observer.Types().back(), kMsgDisconnected);
    EXPECT_FALSE(Loop().HasTimer(reinterpret_cast<TimerId>(static_cast<TCPReceiver*>(&receiver))));
    EXPECT_TRUE(logs->records.empty());
}

TEST_F(MulticastReceiverTest, DatagramLargerThanTheFreeBufferIsReportedAndDisconnects) {
    MulticastReceiver receiver("mc", "", 0);
    RecordingObserver observer;
    receiver.Add(&observer);
    ASSERT_TRUE(Connect(receiver));
    DatagramSender sender;
    // The start of a 65000-byte message occupies the buffer; the largest datagram no longer fits.
    ASSERT_TRUE(Feed(sender, receiver, Frame(100, std::string(64996, 'x')).substr(0, 100)));
    ASSERT_TRUE(sender.Send(std::string(65507, 'y'), receiver.GetLocalPort()));
    ASSERT_TRUE(PumpUntil([&] { return !receiver.isConnected(); }));
    EXPECT_EQ(observer.Types(), (Types{kMsgFirstDatagram, kMsgDisconnected}));
    EXPECT_EQ(logs->Texts(), (std::vector<std::string>{
                                 "ERROR OnReceive -1  2738  The datagram was too large to fit "
                                 "into the specified buffer and was truncated"}));
}

}  // namespace
}  // namespace veltonet
