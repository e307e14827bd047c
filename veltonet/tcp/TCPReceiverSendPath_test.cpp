#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "support/TestSupport.h"
#include "veltonet/companion/Message.h"
#include "veltonet/measure/FeedMeasure.h"
#include "veltonet/platform/SocketOptions.h"
#include "veltonet/tcp/TCPReceiver.h"

namespace veltonet {
namespace {

using test::RecordingObserver;

// Distinct bytes per position, so that a lost, doubled or reordered byte shows.
std::string Pattern(size_t n, uint32_t seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) {
        s[i] = char((i * 131 + seed * 7 + (i >> 8)) & 0xFF);
    }
    return s;
}

class SendPathTest : public test::ManagerTest {
  protected:
    void SetUp() override {
        ManagerTest::SetUp();
        listenFd = test::raw::Listen(&port);
        ASSERT_GE(listenFd, 0);
    }

    void TearDown() override {
        test::raw::Close(peerFd);
        test::raw::Close(listenFd);
        ManagerTest::TearDown();  // deletes the receivers still registered
    }

    // A registered receiver with an observer; the manager deletes it at tear-down.
    TCPReceiver* MakeReceiver(const char* name = "sender") {
        auto* receiver = new TCPReceiver(name, "127.0.0.1", port, 0);
        receiver->Add(&observer);
        return receiver;
    }

    // Connects as R_ConnectReceiver does and accepts on the peer side.
    void Connect(TCPReceiver* receiver) {
        receiver->InvalidateSocket(true);
        ASSERT_TRUE(receiver->CreateSocket());
        ASSERT_TRUE(PumpUntil([&] { return receiver->isConnected(); }));
        peerFd = test::raw::AcceptWithin(listenFd, 2000);
        ASSERT_GE(peerFd, 0);
    }

    // Small kernel buffers on both sides, so that a few hundred kilobytes fill them.
    void ShrinkBuffers(TCPReceiver* receiver) {
        uint32_t size = 4096;
        receiver->SetSockOpt(kSoSndBuf, &size, 4, kSolSocket);
        int peerSize = 4096;
        ASSERT_EQ(setsockopt(listenFd, SOL_SOCKET, SO_RCVBUF, &peerSize, sizeof(peerSize)), 0);
    }

    // Reads on the peer and runs the loop (which flushes the send list) until `expected`
    // bytes arrived; returns what arrived.
    std::string ReadOnPeer(size_t expected, int maxRounds = 5000) {
        std::string got;
        for (int i = 0; i < maxRounds && got.size() < expected; ++i) {
            got += test::raw::ReadAvailable(peerFd, 1);
            Loop().ProcessEvents(0);
        }
        return got;
    }

    // Reads on the peer until the receiver's side has closed (or the rounds run out).
    std::string ReadUntilClosed(int maxRounds = 2000) {
        std::string got;
        char buffer[65536];
        for (int i = 0; i < maxRounds; ++i) {
            pollfd p{peerFd, POLLIN, 0};
            if (poll(&p, 1, 10) != 1) {
                continue;
            }
            ssize_t n = recv(peerFd, buffer, sizeof(buffer), MSG_DONTWAIT);
            if (n == 0) {
                closedByReceiver = true;
                break;
            }
            if (n > 0) {
                got.append(buffer, size_t(n));
            }
        }
        return got;
    }

    uint16_t port = 0;
    int listenFd = -1;
    int peerFd = -1;
    bool closedByReceiver = false;
    RecordingObserver observer;
};

TEST_F(SendPathTest, NothingToSendSucceedsEvenWhenDisconnected) {
    TCPReceiver* receiver = MakeReceiver();
    EXPECT_TRUE(receiver->SendBuffer("abc", 0));
    EXPECT_TRUE(receiver->SendBuffer("abc", -7));
    EXPECT_TRUE(receiver->SendBuffer(nullptr, 0));
    EXPECT_FALSE(receiver->SendBuffer("abc", 3));

    Connect(receiver);
    EXPECT_TRUE(receiver->SendBuffer("abc", 0));
    EXPECT_TRUE(receiver->SendBuffer("abc", -1));
    EXPECT_EQ(receiver->GetSizeSent(), 0u);
    EXPECT_EQ(test::raw::ReadAvailable(peerFd, 20), "");
    EXPECT_TRUE(receiver->isConnected());
    EXPECT_TRUE(logs->records.empty());
}

TEST_F(SendPathTest, RefusesWhileNotConnected) {
    TCPReceiver* receiver = MakeReceiver();
    receiver->InvalidateSocket(true);
    ASSERT_TRUE(receiver->CreateSocket());
    ASSERT_TRUE(receiver->isConnecting());
    EXPECT_FALSE(receiver->SendBuffer("early", 5));

    ASSERT_TRUE(PumpUntil([&] { return receiver->isConnected(); }));
    peerFd = test::raw::AcceptWithin(listenFd, 2000);
    ASSERT_GE(peerFd, 0);
    EXPECT_TRUE(receiver->SendBuffer("now", 3));
    EXPECT_EQ(ReadOnPeer(3), "now");

    ASSERT_TRUE(receiver->Disconnect());
    EXPECT_FALSE(receiver->SendBuffer("late", 4));
    EXPECT_EQ(receiver->GetSizeSent(), 3u);
    EXPECT_TRUE(logs->records.empty());
}

TEST_F(SendPathTest, NullBytesAreRefusedWithoutDroppingTheConnection) {
    TCPReceiver* receiver = MakeReceiver();
    Connect(receiver);
    EXPECT_FALSE(receiver->SendBuffer(nullptr, 10));
    EXPECT_FALSE(receiver->SendRequest(nullptr));
    EXPECT_TRUE(receiver->isConnected());
    EXPECT_EQ(observer.Count(kMsgDisconnected), 0u);
}

TEST_F(SendPathTest, SendGoesStraightToTheSocketAndIsCounted) {
    TCPReceiver* receiver = MakeReceiver();
    Connect(receiver);
    FeedMeasure* fast = receiver->AddFeedMeasure(100);
    FeedMeasure* idle = receiver->AddFeedMeasure(0);

    std::string bytes = Pattern(1000, 1);
    ASSERT_TRUE(receiver->SendBuffer(bytes.data(), int(bytes.size())));
    EXPECT_TRUE(receiver->isSendBufferEmpty());
    EXPECT_EQ(receiver->GetSendListCount(), 0u);  // nothing was queued, so no chunk exists
    EXPECT_EQ(ReadOnPeer(1000), bytes);

    EXPECT_EQ(receiver->GetSizeSent(), 1000u);
    EXPECT_EQ(fast->GetSizeSent(), 1000u);
    EXPECT_EQ(idle->GetSizeSent(), 1000u);
    EXPECT_EQ(fast->GetSizeReceived(), 0u);
}

TEST_F(SendPathTest, SendRequestSendsExactlyTheSizeFieldsBytes) {
    TCPReceiver* receiver = MakeReceiver();
    Connect(receiver);
    // A 10-byte request followed by bytes that belong to nobody.
    std::string buffer = test::Frame(4711, "abcdef") + "TRAILING";
    ASSERT_TRUE(receiver->SendRequest(Message::At(buffer.data())));
    EXPECT_EQ(ReadOnPeer(10), buffer.substr(0, 10));
    EXPECT_EQ(test::raw::ReadAvailable(peerFd, 20), "");
    EXPECT_EQ(receiver->GetSizeSent(), 10u);

    // A size field of 0 sends nothing and succeeds.
    std::string empty(4, '\0');
    EXPECT_TRUE(receiver->SendRequest(Message::At(empty.data())));
    EXPECT_EQ(receiver->GetSizeSent(), 10u);
}

TEST_F(SendPathTest, InterruptedSendQueuesTheRestAndLaterWritesQueueBehindIt) {
    TCPReceiver* receiver = MakeReceiver();
    ShrinkBuffers(receiver);
    Connect(receiver);
    FeedMeasure* feed = receiver->AddFeedMeasure(0);

    const std::string first = Pattern(4 * 1024 * 1024, 2);
    ASSERT_TRUE(receiver->SendBuffer(first.data(), int(first.size())));
    const unsigned int taken = receiver->GetSizeSent();
    ASSERT_GT(taken, 0u);
    ASSERT_LT(taken, first.size());
    // The rest sits in one chunk of exactly its size.
    EXPECT_FALSE(receiver->isSendBufferEmpty());
    EXPECT_EQ(receiver->GetSendListCount(), 1u);
    EXPECT_EQ(receiver->GetFirstSendBufferLength(), first.size() - taken);

    // While bytes wait, writes are queued without touching the socket, even when the socket
    // has room again before its write notification has run.
    const std::string early = test::raw::ReadAvailable(peerFd, 50);
    ASSERT_FALSE(early.empty());
    const std::string second = Pattern(5000, 3);
    const std::string third = "third";
    ASSERT_TRUE(receiver->SendBuffer(second.data(), int(second.size())));
    ASSERT_TRUE(receiver->SendBuffer(third.data(), int(third.size())));
    EXPECT_EQ(receiver->GetSizeSent(), taken);
    EXPECT_EQ(receiver->GetSendListCount(), 2u);
    EXPECT_EQ(receiver->GetLastSendBufferLength(), 131070u);

    const std::string expected = first + second + third;
    const std::string got = early + ReadOnPeer(expected.size() - early.size());
    ASSERT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected) << "bytes arrived out of order or altered";
    EXPECT_EQ(test::raw::ReadAvailable(peerFd, 20), "");

    EXPECT_EQ(receiver->GetSizeSent(), expected.size());
    EXPECT_EQ(feed->GetSizeSent(), expected.size());
    // Drained: the last chunk is kept for reuse.
    EXPECT_TRUE(receiver->isSendBufferEmpty());
    EXPECT_EQ(receiver->GetSendListCount(), 1u);
    EXPECT_EQ(receiver->GetFirstSendBufferLength(), 131070u);

    // With nothing queued, sending goes straight to the socket again.
    ASSERT_TRUE(receiver->SendBuffer("tail", 4));
    EXPECT_EQ(receiver->GetSizeSent(), expected.size() + 4);
    EXPECT_EQ(ReadOnPeer(4), "tail");
    EXPECT_TRUE(receiver->isConnected());
    EXPECT_TRUE(logs->records.empty());
}

TEST_F(SendPathTest, SixteenthChunkDropsTheQueueAndTheConnection) {
    TCPReceiver* receiver = MakeReceiver();
    ShrinkBuffers(receiver);
    Connect(receiver);

    const std::string first = Pattern(300000, 4);
    ASSERT_TRUE(receiver->SendBuffer(first.data(), int(first.size())));
    const unsigned int taken = receiver->GetSizeSent();
    ASSERT_LT(taken, first.size());
    ASSERT_EQ(receiver->GetSendListCount(), 1u);

    // Each write fills a new chunk exactly: 131070, 262140, 524280, 1048560, then 1048575.
    std::vector<uint32_t> sizes = {131070, 262140, 524280, 1048560};
    sizes.resize(14, 1048575);
    for (size_t i = 0; i < sizes.size(); ++i) {
        std::string bytes = Pattern(sizes[i], uint32_t(10 + i));
        ASSERT_TRUE(receiver->SendBuffer(bytes.data(), int(bytes.size()))) << "write " << i;
        ASSERT_EQ(receiver->GetSendListCount(), i + 2);
        ASSERT_EQ(receiver->GetLastSendBufferLength(), sizes[i]);
    }
    ASSERT_EQ(receiver->GetSendListCount(), 15u);
    ASSERT_EQ(observer.Types(), (std::vector<uint16_t>{kMsgConnecting, kMsgConnected}));

    EXPECT_FALSE(receiver->SendBuffer("!", 1));
    EXPECT_FALSE(receiver->isConnected());
    EXPECT_EQ(receiver->GetSendListCount(), 0u);
    EXPECT_TRUE(receiver->isSendBufferEmpty());
    EXPECT_EQ(observer.Types(),
              (std::vector<uint16_t>{kMsgConnecting, kMsgConnected, kMsgDisconnected}));
    ASSERT_EQ(logs->Texts(), std::vector<std::string>{"ERROR Send Buffer exceeded"});
    EXPECT_EQ(logs->records[0].log, "SocketErrors");
    EXPECT_EQ(logs->records[0].source, "sender");
    EXPECT_EQ(logs->records[0].address, "127.0.0.1");
    EXPECT_EQ(receiver->GetSizeSent(), taken);

    // The peer gets what the socket had taken, then the end of the stream: nothing queued
    // survives the drop.
    std::string got = ReadUntilClosed();
    EXPECT_TRUE(closedByReceiver);
    EXPECT_EQ(got.size(), taken);
    EXPECT_TRUE(got == first.substr(0, taken));
}

TEST_F(SendPathTest, SendErrorLogsItsTextAndDisconnects) {
    TCPReceiver* receiver = MakeReceiver();
    Connect(receiver);
    test::raw::Reset(peerFd);
    peerFd = -1;

    EXPECT_FALSE(receiver->SendBuffer("after reset", 11));
    EXPECT_FALSE(receiver->isConnected());
    EXPECT_EQ(observer.Types(),
              (std::vector<uint16_t>{kMsgConnecting, kMsgConnected, kMsgDisconnected}));
    EXPECT_EQ(logs->Texts(),
              (std::vector<std::string>{"ERROR Send (next line)",
                                        "The virtual circuit was reset by the remote side."}));
    EXPECT_EQ(receiver->GetSizeSent(), 0u);
    PumpRounds(5);
    EXPECT_EQ(observer.Count(kMsgDisconnected), 1u);
}

TEST_F(SendPathTest, WriteNotificationWithAnErrorDisconnectsOnlyAConnectedReceiver) {
    TCPReceiver* receiver = MakeReceiver();
    Connect(receiver);
    receiver->OnSend(10053);
    EXPECT_FALSE(receiver->isConnected());
    EXPECT_EQ(logs->Texts(), std::vector<std::string>{"TCPReceiver::OnSend ERROR 10053"});
    EXPECT_EQ(observer.Count(kMsgDisconnected), 1u);

    receiver->OnSend(10053);
    EXPECT_EQ(logs->records.size(), 1u);
    EXPECT_EQ(observer.Count(kMsgDisconnected), 1u);
}

TEST_F(SendPathTest, PeerResetWhileBytesAreQueuedDropsTheConnectionOnce) {
    TCPReceiver* receiver = MakeReceiver();
    ShrinkBuffers(receiver);
    Connect(receiver);
    const std::string bytes = Pattern(1024 * 1024, 5);
    ASSERT_TRUE(receiver->SendBuffer(bytes.data(), int(bytes.size())));
    ASSERT_FALSE(receiver->isSendBufferEmpty());

    test::raw::Reset(peerFd);
    peerFd = -1;
    ASSERT_TRUE(PumpUntil([&] { return !receiver->isConnected(); }));
    PumpRounds(5);
    EXPECT_EQ(observer.Count(kMsgDisconnected), 1u);
    EXPECT_EQ(receiver->GetSendListCount(), 0u);
    EXPECT_FALSE(receiver->SendBuffer("x", 1));
}

// An observer that destroys the receiver when it hears of the drop: the failing send must
// not touch the receiver afterwards.
TEST_F(SendPathTest, ObserverMayDestroyTheReceiverOnTheDropCausedByASend) {
    TCPReceiver* receiver = MakeReceiver();
    ShrinkBuffers(receiver);
    Connect(receiver);
    observer.onMessage = [&](const Message* message, Observable*) {
        if (message->GetType() == kMsgDisconnected) {
            receiver->DelayedDestroy();
        }
    };
    const std::string first = Pattern(300000, 6);
    ASSERT_TRUE(receiver->SendBuffer(first.data(), int(first.size())));
    std::vector<uint32_t> sizes = {131070, 262140, 524280, 1048560};
    sizes.resize(14, 1048575);
    for (uint32_t size : sizes) {
        std::string bytes(size, 'q');
        ASSERT_TRUE(receiver->SendBuffer(bytes.data(), int(bytes.size())));
    }
    EXPECT_FALSE(receiver->SendBuffer("!", 1));
    EXPECT_EQ(Manager().GetReceivers().size(), 0u);
    EXPECT_EQ(observer.Count(kMsgDisconnected), 1u);
}

}  // namespace
}  // namespace veltonet
