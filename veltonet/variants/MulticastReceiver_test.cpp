#include "veltonet/variants/MulticastReceiver.h"

#include "veltonet/variants/VariantsTestSupport.h"

namespace veltonet {
namespace {

using namespace test;
using Types = std::vector<uint16_t>;

constexpr const char* kGroup = "239.1.2.3";

int ReceiveBufferOption(TCPReceiver& receiver) {
    int value = 0;
    int length = sizeof(value);
    receiver.GetSockOpt(kSoRcvBuf, &value, &length, kSolSocket);
    return value;
}

using MulticastReceiverTest = VariantsTest;

TEST_F(MulticastReceiverTest, JoinsItsGroupOrWithoutOneOnlyBindsItsPortAndFirstDataIsOnce) {
    VELTONET_IN_PRIVATE_NETWORK();
    DatagramSender sender;
    ASSERT_TRUE(sender.ok && sender.UseLoopbackForMulticast());
    const uint16_t port = DatagramSender().port;  // free a moment ago, in an empty network
    MulticastReceiver receiver("mc", kGroup, port, 4096);
    RecordingObserver observer;
    receiver.Add(&observer);
    ASSERT_TRUE(Connect(receiver));
    EXPECT_EQ(ReceiveBufferOption(receiver), 4096);  // applied after the join
    EXPECT_TRUE(observer.records.empty());           // no connecting, no connected

    ASSERT_TRUE(sender.Send(Frame(100, "one") + Frame(101, "two"), port, kGroup));
    ASSERT_TRUE(PumpUntil([&] { return observer.records.size() == 3; }));
    EXPECT_EQ(observer.records[2].bytes, Frame(101, "two"));
    EXPECT_TRUE(TCPReceiver::isBroadcastReceived());
    receiver.DisconnectAndNotify(true);
    ASSERT_TRUE(Connect(receiver));
    ASSERT_TRUE(sender.Send(Frame(102, "again"), port, kGroup));
    ASSERT_TRUE(PumpUntil([&] { return observer.records.size() == 5; }));
    EXPECT_EQ(observer.Types(), (Types{kMsgFirstDatagram, 100, 101, kMsgDisconnected, 102}));
    EXPECT_TRUE(logs->records.empty()) << logs->Texts().front();

    // Without a group: the port only, and the buffer size is left alone. The group is left
    // first: a socket on the port would get the datagrams of a group that any socket joined.
    receiver.DisconnectAndNotify(false);
    const uint16_t plainPort = DatagramSender().port;
    MulticastReceiver plain("plain", "", plainPort, 4096);
    RecordingObserver plainObserver;
    plain.Add(&plainObserver);
    ASSERT_TRUE(Connect(plain));
    EXPECT_NE(ReceiveBufferOption(plain), 4096);
    // Loopback delivers in order: had the group datagram arrived, it would come first.
    ASSERT_TRUE(sender.Send(Frame(100, "group"), plainPort, kGroup));
    ASSERT_TRUE(sender.Send(Frame(101, "direct"), plainPort));
    ASSERT_TRUE(PumpUntil([&] { return plainObserver.records.size() == 2; }));
    EXPECT_EQ(plainObserver.Types(), (Types{kMsgFirstDatagram, 101}));

    // A join that fails is logged; the receiver still works on its port.
    MulticastReceiver unicast("bad", "127.0.0.1", DatagramSender().port);
    ASSERT_TRUE(Connect(unicast));
    ASSERT_FALSE(logs->records.empty());
    EXPECT_EQ(logs->records.front().text, "ReceiverSocket::SetSockOpt()");
    EXPECT_EQ(logs->records.front().source, "bad");
}

TEST_F(MulticastReceiverTest, FramesSpanDatagramsAndOneTooLargeForTheBufferEndsItForGood) {
    MulticastReceiver receiver("mc", "", 0);
    RecordingObserver observer;
    receiver.Add(&observer);
    receiver.SetPersistent(5);  // no server to go back to
    EXPECT_EQ(receiver.GetReconnectSeconds(), 0u);
    ASSERT_TRUE(Connect(receiver));
    DatagramSender sender;

    const std::string split = Frame(102, "split across two datagrams");
    ASSERT_TRUE(Feed(sender, receiver, Frame(100, "a") + Frame(101, "b") + split.substr(0, 7)));
    EXPECT_EQ(observer.Types(), (Types{kMsgFirstDatagram, 100, 101}));
    // An empty datagram is neither data nor a close.
    ASSERT_TRUE(sender.Send("", receiver.GetLocalPort()));
    // The start of a 65000-byte message then occupies the buffer: the largest datagram no
    // longer fits.
    const std::string large = Frame(100, std::string(64996, 'x')).substr(0, 100);
    ASSERT_TRUE(Feed(sender, receiver, split.substr(7) + large));
    EXPECT_EQ(observer.records.back().bytes, split);
    EXPECT_EQ(receiver.GetBufferUsed(), 100u);
    EXPECT_TRUE(receiver.isConnected());
    EXPECT_TRUE(logs->records.empty());

    ASSERT_TRUE(sender.Send(std::string(65507, 'y'), receiver.GetLocalPort()));
    ASSERT_TRUE(PumpUntil([&] { return !receiver.isConnected(); }));
    EXPECT_EQ(observer.Types(), (Types{kMsgFirstDatagram, 100, 101, 102, kMsgDisconnected}));
    EXPECT_EQ(logs->Texts(), (std::vector<std::string>{
                                 "ERROR OnReceive -1  2738  The datagram was too large to fit "
                                 "into the specified buffer and was truncated"}));
    EXPECT_FALSE(Loop().HasTimer(reinterpret_cast<TimerId>(static_cast<TCPReceiver*>(&receiver))));
}

}  // namespace
}  // namespace veltonet
