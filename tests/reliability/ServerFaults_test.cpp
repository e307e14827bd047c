// A receiver against servers that misbehave: one that resets in the middle of a message, a
// thousand that refuse or reset, and one that never reads.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "ReliabilitySupport.h"
#include "veltonet/companion/Message.h"
#include "veltonet/platform/SocketOptions.h"
#include "veltonet/tcp/TCPReceiver.h"

namespace veltonet {
namespace {

using test::ConnectReceiver;
using test::Frame;
using test::HeapInUse;
namespace raw = test::raw;

class ServerFaultTest : public test::ManagerTest {
  protected:
    // Accepts the receiver's connect on server; the peer, or -1.
    int Serve(TCPReceiver& receiver, int server) {
        const int peer = raw::AcceptWithin(server, 2000);
        return peer >= 0 && PumpUntil([&] { return receiver.isConnected(); }) ? peer : -1;
    }
};

TEST_F(ServerFaultTest, HalfAMessageThenAResetIsNeverDeliveredAndTheNextAddressServesWhole) {
    // Two servers on one port at two loopback addresses: the receiver's address list.
    uint16_t port = 0;
    const int first = raw::ListenOn("127.0.0.1", &port);
    ASSERT_GE(first, 0);
    uint16_t samePort = port;
    const int second = raw::ListenOn("127.0.0.2", &samePort);
    ASSERT_GE(second, 0) << "127.0.0.2 is not reachable on this machine";

    TCPReceiver receiver("feed", "127.0.0.1", port, 5);
    receiver.AddIp("127.0.0.2");
    test::RecordingObserver observer;
    receiver.Add(&observer);
    ASSERT_TRUE(ConnectReceiver(receiver));
    const int peer = Serve(receiver, first);
    ASSERT_GE(peer, 0);

    const std::string whole = Frame(700, "complete");
    const std::string cut = Frame(701, std::string(100, 'h'));
    ASSERT_TRUE(raw::SendAll(peer, whole + cut.substr(0, 50)));
    ASSERT_TRUE(PumpUntil([&] { return receiver.GetSizeReceived() == whole.size() + 50; }));
    EXPECT_EQ(receiver.GetBufferUsed(), 50u);
    raw::Reset(peer);
    ASSERT_TRUE(PumpUntil([&] { return observer.Count(kMsgDisconnected) == 1; }));
    PumpRounds(5);

    EXPECT_EQ(observer.Types(),
              (std::vector<uint16_t>{kMsgConnecting, kMsgConnected, 700, kMsgDisconnected}));
    EXPECT_EQ(receiver.GetBufferUsed(), 0u) << "the half message must not survive the reset";
    EXPECT_EQ(logs->Texts(), std::vector<std::string>{});

    // The reconnect tick rotates to the second address; its stream, of every message size up
    // to the largest, arrives whole although it comes in pieces that cut messages.
    observer.records.clear();
    Tick(5000);
    const int next = Serve(receiver, second);
    ASSERT_GE(next, 0);
    EXPECT_EQ(receiver.GetIp(), std::string("127.0.0.2"));
    EXPECT_EQ(observer.Types(), (std::vector<uint16_t>{kMsgConnecting, kMsgConnected}));
    observer.records.clear();
    std::string stream;
    for (int i = 0; i <= 40; ++i) {
        const size_t size = i < 40 ? size_t(i * 997 % 3000) : 65531;
        stream += Frame(uint16_t(800 + i), std::string(size, char('a' + i)));
    }
    for (size_t offset = 0; offset < stream.size(); offset += 7001) {
        ASSERT_TRUE(raw::SendAll(next, stream.substr(offset, 7001)));
        PumpRounds(2);
    }
    ASSERT_TRUE(PumpUntil([&] { return observer.records.size() == 41; }));
    std::string received;
    for (const test::Record& r : observer.records) {
        received += r.bytes;
    }
    EXPECT_TRUE(received == stream) << "the stream arrived altered";
    raw::Close(next);
    raw::Close(first);
    raw::Close(second);
}

// Connects that a port refuses (bound, not listening: nobody else can take it meanwhile) or
// that a server accepts and resets, one per reconnect tick.
class ConnectCycleTest : public ServerFaultTest, public ::testing::WithParamInterface<bool> {};

TEST_P(ConnectCycleTest, AThousandConnectsLeaveDescriptorsAndHeapWhereTheyWereAndWriteNoRecord) {
    const bool refuse = GetParam();
    uint16_t port = 0;
    const int server = raw::ListenOn("127.0.0.1", &port, !refuse);
    ASSERT_GE(server, 0);
    TCPReceiver receiver("cycles", "127.0.0.1", port, 1);
    test::CountingObserver counter;
    receiver.Add(&counter);
    ASSERT_TRUE(ConnectReceiver(receiver));
    // The loop's and the log's bookkeeping settle in the warm-up; afterwards anything near a
    // connection's worth (buffers of 64 KiB) is a leak.
    constexpr int kWarmUp = 20;
    const int total = kWarmUp + (test::UnderValgrind() ? 50 : 1000);
    std::optional<test::Usage> usage;
    for (int i = 0; i < total; ++i) {
        if (i == kWarmUp) {
            usage.emplace();
        }
        if (i > 0) {
            Tick(1000);
        }
        const size_t n = size_t(i + 1);
        if (refuse) {
            ASSERT_TRUE(PumpUntil([&] { return counter.counts[kMsgConnectFailed] == n; })) << i;
        } else {
            const int peer = Serve(receiver, server);
            ASSERT_GE(peer, 0) << "cycle " << i;
            raw::Reset(peer);
            ASSERT_TRUE(PumpUntil([&] { return counter.counts[kMsgDisconnected] == n; })) << i;
        }
        // A reset reaches the receiver as a close with its error, which writes no record.
        ASSERT_EQ(logs->Texts(), std::vector<std::string>{}) << "cycle " << i;
    }
    EXPECT_EQ(counter.counts[kMsgConnecting], size_t(total));
    EXPECT_EQ(counter.counts[kMsgConnected], refuse ? 0u : size_t(total));
    EXPECT_EQ(counter.counts[kMsgConnectFailed], refuse ? size_t(total) : 0u);
    usage->ExpectNoGrowth(32 * 1024);
    raw::Close(server);
}

INSTANTIATE_TEST_SUITE_P(RefusedOrReset, ConnectCycleTest, ::testing::Bool(), [](const auto& info) {
    return std::string(info.param ? "Refused" : "Reset");
});

TEST_F(ServerFaultTest, APeerThatNeverReadsOverflowsTheQueueAtTheSixteenthChunkAndMemoryReturns) {
    uint16_t port = 0;
    const int server = raw::Listen(&port);
    ASSERT_GE(server, 0);
    const int small = 4096;
    raw::SetIntOption(server, kSolSocket, kSoRcvBuf, small);
    TCPReceiver receiver("slow", "127.0.0.1", port, 1, false, 0, 4096);
    ASSERT_TRUE(ConnectReceiver(receiver));
    const int peer = Serve(receiver, server);
    ASSERT_GE(peer, 0);
    const size_t heapBefore = HeapInUse();

    // The socket takes what its buffers hold; the rest of the first write becomes one chunk,
    // and writes sized like the chunks to come (doubling to 1 MiB) then need one new chunk each.
    {
        const std::string first(4 << 20, 'f');
        ASSERT_TRUE(receiver.SendBuffer(first.data(), int(first.size())));
    }
    ASSERT_EQ(receiver.GetSendListCount(), 1u) << "the socket took the whole first write";
    for (size_t i = 0; i < 14; ++i) {
        const std::string chunk(i < 4 ? size_t(131070) << i : 1048575, char('a' + i));
        ASSERT_TRUE(receiver.SendBuffer(chunk.data(), int(chunk.size()))) << "write " << i + 2;
        ASSERT_EQ(receiver.GetSendListCount(), i + 2);
    }
    if (!test::UnderValgrind()) {
        EXPECT_GE(HeapInUse(), heapBefore + (15u << 20)) << "the queue is not held in memory";
    }

    // The sixteenth chunk is one too many: the queue and the connection go.
    EXPECT_FALSE(receiver.SendBuffer("x", 1));
    EXPECT_EQ(logs->Texts(), (std::vector<std::string>{"ERROR Send Buffer exceeded"}));
    if (!test::UnderValgrind()) {
        EXPECT_LE(HeapInUse(), heapBefore + 64 * 1024) << "the dropped queue was not freed";
    }

    // The reconnect timer brings it back to the same server, with nothing of the old queue.
    Tick(1000);
    const int again = Serve(receiver, server);
    ASSERT_GE(again, 0);
    const std::string after = Frame(900, "after");
    ASSERT_TRUE(receiver.SendBuffer(after.data(), int(after.size())));
    EXPECT_EQ(raw::ReadAvailable(again, 2000), after);
    raw::Close(again);
    raw::Close(peer);
    raw::Close(server);
}

}  // namespace
}  // namespace veltonet
