// A receiver against servers that misbehave: one that resets in the middle of a message, a
// thousand that refuse or reset, and one that never reads.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "ReliabilitySupport.h"
#include "veltonet/companion/Message.h"
#include "veltonet/tcp/TCPReceiver.h"

namespace veltonet {
namespace {

using test::CountingObserver;
using test::Frame;
using test::HeapInUse;
using test::OpenDescriptors;
using test::RecordingObserver;
namespace raw = test::raw;

// Heap that a thousand cycles may leave behind: the loop's and the log's bookkeeping settle
// after the warm-up, so anything near a connection's worth (buffers of 64 KiB) is a leak.
constexpr size_t kHeapSlack = 32 * 1024;

class ServerFaultTest : public test::ManagerTest {
  protected:
    // What R_ConnectReceiver does.
    static bool Connect(TCPReceiver& receiver) {
        receiver.InvalidateSocket(true);
        return receiver.CreateSocket();
    }
    static int Cycles() { return test::UnderValgrind() ? 50 : 1000; }
    static constexpr int kWarmUp = 20;
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
    RecordingObserver observer;
    receiver.Add(&observer);
    ASSERT_TRUE(Connect(receiver));
    const int peer = raw::AcceptWithin(first, 2000);
    ASSERT_GE(peer, 0);
    ASSERT_TRUE(PumpUntil([&] { return receiver.isConnected(); }));

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
    EXPECT_EQ(observer.records[2].bytes, whole);
    EXPECT_EQ(receiver.GetBufferUsed(), 0u) << "the half message must not survive the reset";
    // A reset reaches the receiver as a close with its error, which writes no record.
    EXPECT_EQ(logs->Texts(), std::vector<std::string>{});

    // The reconnect tick rotates to the second address; its stream arrives whole, in pieces.
    observer.records.clear();
    Tick(5000);
    const int next = raw::AcceptWithin(second, 2000);
    ASSERT_GE(next, 0);
    ASSERT_TRUE(PumpUntil([&] { return receiver.isConnected(); }));
    EXPECT_EQ(receiver.GetIp(), std::string("127.0.0.2"));
    std::string stream;
    std::vector<std::string> sent;
    for (int i = 0; i < 40; ++i) {
        sent.push_back(
            Frame(uint16_t(800 + i), std::string(size_t(i * 997 % 3000), char('a' + i))));
        stream += sent.back();
    }
    sent.push_back(Frame(899, std::string(65531, 'L')));
    stream += sent.back();
    for (size_t offset = 0; offset < stream.size(); offset += 7001) {
        ASSERT_TRUE(raw::SendAll(next, stream.substr(offset, 7001)));
        PumpRounds(2);
    }
    ASSERT_TRUE(PumpUntil([&] { return observer.records.size() == sent.size() + 2; }));
    ASSERT_EQ(observer.Count(kMsgConnecting), 1u);
    ASSERT_EQ(observer.Count(kMsgConnected), 1u);
    std::vector<std::string> received;
    for (const test::Record& r : observer.records) {
        if (r.type != kMsgConnecting && r.type != kMsgConnected) {
            received.push_back(r.bytes);
        }
    }
    EXPECT_EQ(received, sent);
    raw::Close(next);
    raw::Close(first);
    raw::Close(second);
}

TEST_F(ServerFaultTest, AThousandRefusedConnectsLeaveDescriptorsAndHeapWhereTheyWere) {
    // A port that is bound but not listening refuses, and nobody else can take it meanwhile.
    uint16_t port = 0;
    const int holder = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&where), sizeof(where)), 0);
    socklen_t length = sizeof(where);
    getsockname(holder, reinterpret_cast<sockaddr*>(&where), &length);
    port = ntohs(where.sin_port);

    TCPReceiver receiver("refused", "127.0.0.1", port, 1);
    CountingObserver counter;
    receiver.Add(&counter);
    ASSERT_TRUE(Connect(receiver));
    size_t descriptors = 0;
    size_t heap = 0;
    const int total = kWarmUp + Cycles();
    for (int i = 0; i < total; ++i) {
        if (i == kWarmUp) {
            descriptors = OpenDescriptors();
            heap = HeapInUse();
        }
        if (i > 0) {
            Tick(1000);
        }
        ASSERT_TRUE(PumpUntil([&] { return counter.Count(kMsgConnectFailed) == size_t(i + 1); }))
            << "cycle " << i;
    }
    EXPECT_EQ(counter.Count(kMsgConnecting), size_t(total));
    EXPECT_EQ(counter.lastValue[kMsgConnectFailed], 10061u);
    EXPECT_EQ(counter.Count(kMsgConnected), 0u);
    EXPECT_TRUE(logs->records.empty()) << "a refused connect is only notified";
    EXPECT_EQ(OpenDescriptors(), descriptors);
    if (!test::UnderValgrind()) {
        EXPECT_LE(HeapInUse(), heap + kHeapSlack);
    }
    close(holder);
}

TEST_F(ServerFaultTest, AThousandResetConnectionsLeaveDescriptorsAndHeapWhereTheyWere) {
    uint16_t port = 0;
    const int server = raw::Listen(&port);
    ASSERT_GE(server, 0);
    TCPReceiver receiver("reset", "127.0.0.1", port, 1);
    CountingObserver counter;
    receiver.Add(&counter);
    ASSERT_TRUE(Connect(receiver));
    size_t descriptors = 0;
    size_t heap = 0;
    std::vector<std::string> firstCycleTexts;
    const int total = kWarmUp + Cycles();
    for (int i = 0; i < total; ++i) {
        if (i == kWarmUp) {
            descriptors = OpenDescriptors();
            heap = HeapInUse();
        }
        if (i > 0) {
            Tick(1000);
        }
        const int peer = raw::AcceptWithin(server, 2000);
        ASSERT_GE(peer, 0) << "cycle " << i;
        ASSERT_TRUE(PumpUntil([&] { return counter.Count(kMsgConnected) == size_t(i + 1); }))
            << "cycle " << i;
        raw::Reset(peer);
        ASSERT_TRUE(PumpUntil([&] { return counter.Count(kMsgDisconnected) == size_t(i + 1); }))
            << "cycle " << i;
        if (i == 0) {
            firstCycleTexts = logs->Texts();
        } else {
            ASSERT_EQ(logs->Texts(), firstCycleTexts) << "cycle " << i;
        }
        logs->records.clear();
    }
    EXPECT_EQ(counter.Count(kMsgConnecting), size_t(total));
    EXPECT_EQ(counter.Count(kMsgConnectFailed), 0u);
    EXPECT_EQ(firstCycleTexts, std::vector<std::string>{});
    EXPECT_EQ(OpenDescriptors(), descriptors);
    if (!test::UnderValgrind()) {
        EXPECT_LE(HeapInUse(), heap + kHeapSlack);
    }
    raw::Close(server);
}

TEST_F(ServerFaultTest, APeerThatNeverReadsOverflowsTheQueueAtTheSixteenthChunkAndMemoryReturns) {
    uint16_t port = 0;
    const int server = raw::Listen(&port);
    ASSERT_GE(server, 0);
    const int small = 4096;
    setsockopt(server, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
    TCPReceiver receiver("slow", "127.0.0.1", port, 1, false, 0, 4096);
    CountingObserver counter;
    receiver.Add(&counter);
    ASSERT_TRUE(Connect(receiver));
    const int peer = raw::AcceptWithin(server, 2000);
    ASSERT_GE(peer, 0);
    ASSERT_TRUE(PumpUntil([&] { return receiver.isConnected(); }));
    const size_t heapBefore = HeapInUse();

    // The socket takes what its buffers hold; the rest of the first write becomes one chunk,
    // and writes sized like the chunks to come then need one new chunk each.
    {
        const std::string first(4 << 20, 'f');
        ASSERT_TRUE(receiver.SendBuffer(first.data(), int(first.size())));
    }
    ASSERT_EQ(receiver.GetSendListCount(), 1u) << "the socket took the whole first write";
    const std::vector<size_t> sizes = {131070,  262140,  524280,  1048560, 1048575,
                                       1048575, 1048575, 1048575, 1048575, 1048575,
                                       1048575, 1048575, 1048575, 1048575};
    for (size_t i = 0; i < sizes.size(); ++i) {
        const std::string chunk(sizes[i], char('a' + i));
        ASSERT_TRUE(receiver.SendBuffer(chunk.data(), int(chunk.size()))) << "write " << i + 2;
        ASSERT_EQ(receiver.GetSendListCount(), i + 2);
        ASSERT_EQ(receiver.GetLastSendBufferLength(), sizes[i]);
    }
    if (!test::UnderValgrind()) {
        EXPECT_GE(HeapInUse(), heapBefore + (15u << 20)) << "the queue is not held in memory";
    }
    EXPECT_TRUE(logs->records.empty());
    EXPECT_EQ(counter.Count(kMsgDisconnected), 0u);

    // The sixteenth chunk is one too many: the queue and the connection go.
    EXPECT_FALSE(receiver.SendBuffer("x", 1));
    EXPECT_EQ(logs->Texts(), (std::vector<std::string>{"ERROR Send Buffer exceeded"}));
    EXPECT_EQ(counter.Count(kMsgDisconnected), 1u);
    EXPECT_FALSE(receiver.isConnected());
    EXPECT_EQ(receiver.GetSendListCount(), 0u);
    if (!test::UnderValgrind()) {
        EXPECT_LE(HeapInUse(), heapBefore + 64 * 1024) << "the dropped queue was not freed";
    }

    // The reconnect timer brings it back to the same server.
    Tick(1000);
    const int again = raw::AcceptWithin(server, 2000);
    ASSERT_GE(again, 0);
    ASSERT_TRUE(PumpUntil([&] { return counter.Count(kMsgConnected) == 2; }));
    const std::string after = Frame(900, "after");
    ASSERT_TRUE(receiver.SendBuffer(after.data(), int(after.size())));
    EXPECT_EQ(raw::ReadAvailable(again, 2000), after);
    raw::Close(again);
    raw::Close(peer);
    raw::Close(server);
}

}  // namespace
}  // namespace veltonet
