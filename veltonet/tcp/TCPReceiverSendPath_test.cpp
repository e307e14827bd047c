#include <gtest/gtest.h>

#include <cstdint>
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
        receiver = new TCPReceiver("sender", "127.0.0.1", port, 0);  // the manager deletes it
        receiver->Add(&observer);
    }

    void TearDown() override {
        test::raw::Close(peerFd);
        test::raw::Close(listenFd);
        ManagerTest::TearDown();  // deletes the receivers still registered
    }

    // Connects as R_ConnectReceiver does and accepts on the peer side. Small kernel buffers
    // on both sides, when asked for, let a few hundred kilobytes fill them.
    void Connect(bool smallBuffers = false) {
        if (smallBuffers) {
            uint32_t size = 4096;
            receiver->SetSockOpt(kSoSndBuf, &size, 4, kSolSocket);
            ASSERT_TRUE(test::raw::SetIntOption(listenFd, kSolSocket, kSoRcvBuf, 4096));
        }
        receiver->InvalidateSocket(true);
        ASSERT_TRUE(receiver->CreateSocket());
        ASSERT_TRUE(PumpUntil([&] { return receiver->isConnected(); }));
        peerFd = test::raw::AcceptWithin(listenFd, 2000);
        ASSERT_GE(peerFd, 0);
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
    std::string ReadUntilClosed() {
        std::string got;
        char buffer[65536];
        for (int i = 0; i < 2000; ++i) {
            const long n = test::raw::Receive(peerFd, buffer, sizeof(buffer), 10);
            if (n == 0) {
                closedByReceiver = true;
                break;
            }
            if (n > 0)
                got.append(buffer, size_t(n));
        }
        return got;
    }

    // Sends `first`, which the shrunk socket cannot take whole, then writes that fill a new
    // chunk each until the queue holds fifteen. Returns what the socket took.
    unsigned int FillFifteenChunks(const std::string& first) {
        EXPECT_TRUE(receiver->SendBuffer(first.data(), int(first.size())));
        const unsigned int taken = receiver->GetSizeSent();
        EXPECT_LT(taken, first.size());
        EXPECT_EQ(receiver->GetSendListCount(), 1u);
        // 131070, 262140, 524280, 1048560, then the maximum 1048575.
        std::vector<uint32_t> sizes = {131070, 262140, 524280, 1048560};
        sizes.resize(14, 1048575);
        for (size_t i = 0; i < sizes.size(); ++i) {
            const std::string bytes = Pattern(sizes[i], uint32_t(10 + i));
            EXPECT_TRUE(receiver->SendBuffer(bytes.data(), int(bytes.size()))) << "write " << i;
        }
        EXPECT_EQ(receiver->GetSendListCount(), 15u);
        return taken;
    }

    uint16_t port = 0;
    int listenFd = -1;
    int peerFd = -1;
    bool closedByReceiver = false;
    RecordingObserver observer;
    TCPReceiver* receiver = nullptr;
};

TEST_F(SendPathTest, RefusesWhileNotConnectedAndNullBytesButNothingToSendAlwaysSucceeds) {
    EXPECT_TRUE(receiver->SendBuffer("abc", 0));
    EXPECT_TRUE(receiver->SendBuffer("abc", -7));
    EXPECT_TRUE(receiver->SendBuffer(nullptr, 0));
    EXPECT_FALSE(receiver->SendBuffer("abc", 3));
    receiver->InvalidateSocket(true);
    ASSERT_TRUE(receiver->CreateSocket());
    ASSERT_TRUE(receiver->isConnecting());
    EXPECT_FALSE(receiver->SendBuffer("early", 5));
    receiver->OnSend(10053);  // a write error while connecting leaves the connect alone
    EXPECT_TRUE(receiver->isConnecting());

    ASSERT_TRUE(PumpUntil([&] { return receiver->isConnected(); }));
    peerFd = test::raw::AcceptWithin(listenFd, 2000);
    ASSERT_GE(peerFd, 0);
    EXPECT_FALSE(receiver->SendBuffer(nullptr, 10));
    EXPECT_FALSE(receiver->SendRequest(nullptr));
    EXPECT_TRUE(receiver->SendBuffer("now", 3));
    EXPECT_EQ(ReadOnPeer(3), "now");

    ASSERT_TRUE(receiver->Disconnect());
    EXPECT_FALSE(receiver->SendBuffer("late", 4));
    EXPECT_EQ(receiver->GetSizeSent(), 3u);
    EXPECT_EQ(observer.Count(kMsgDisconnected), 0u);
    EXPECT_TRUE(logs->records.empty());
}

TEST_F(SendPathTest, SendGoesStraightToTheSocketIsCountedAndARequestSendsItsSizeFieldsBytes) {
    Connect();
    FeedMeasure* feed = receiver->AddFeedMeasure(0);
    const std::string bytes = Pattern(1000, 1);
    ASSERT_TRUE(receiver->SendBuffer(bytes.data(), int(bytes.size())));
    EXPECT_EQ(receiver->GetSendListCount(), 0u);  // nothing was queued, so no chunk exists
    EXPECT_EQ(ReadOnPeer(1000), bytes);
    EXPECT_EQ(receiver->GetSizeSent(), 1000u);
    EXPECT_EQ(feed->GetSizeSent(), 1000u);

    // A 10-byte request followed by bytes that belong to nobody.
    const std::string buffer = test::Frame(4711, "abcdef") + "TRAILING";
    ASSERT_TRUE(receiver->SendRequest(Message::At(buffer.data())));
    EXPECT_EQ(ReadOnPeer(10), buffer.substr(0, 10));
    EXPECT_EQ(test::raw::ReadAvailable(peerFd, 20), "");
    // A size field of 0 sends nothing and succeeds.
    const std::string empty(4, '\0');
    EXPECT_TRUE(receiver->SendRequest(Message::At(empty.data())));
    EXPECT_EQ(receiver->GetSizeSent(), 1010u);
}

TEST_F(SendPathTest, InterruptedSendQueuesTheRestLaterWritesQueueBehindAndAResetDropsAll) {
    Connect(true);
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

    const std::string expected = first + second + third;
    const std::string got = early + ReadOnPeer(expected.size() - early.size());
    ASSERT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected) << "bytes arrived out of order or altered";
    EXPECT_EQ(test::raw::ReadAvailable(peerFd, 20), "");

    EXPECT_EQ(receiver->GetSizeSent(), expected.size());
    EXPECT_EQ(feed->GetSizeSent(), expected.size());
    EXPECT_TRUE(receiver->isSendBufferEmpty());

    // With nothing queued, sending goes straight to the socket again.
    ASSERT_TRUE(receiver->SendBuffer("tail", 4));
    EXPECT_EQ(receiver->GetSizeSent(), expected.size() + 4);
    EXPECT_EQ(ReadOnPeer(4), "tail");
    EXPECT_TRUE(receiver->isConnected());
    EXPECT_TRUE(logs->records.empty());

    // A reset while bytes are queued drops the connection, and the queue with it, once.
    ASSERT_TRUE(receiver->SendBuffer(first.data(), int(first.size())));
    ASSERT_FALSE(receiver->isSendBufferEmpty());
    test::raw::Reset(peerFd);
    peerFd = -1;
    ASSERT_TRUE(PumpUntil([&] { return !receiver->isConnected(); }));
    PumpRounds(5);
    EXPECT_EQ(observer.Count(kMsgDisconnected), 1u);
    EXPECT_EQ(receiver->GetSendListCount(), 0u);
    EXPECT_FALSE(receiver->SendBuffer("x", 1));
}

// The failing send must not touch the receiver after an observer destroyed it on the drop.
TEST_F(SendPathTest, SixteenthChunkDropsTheQueueAndTheConnectionAndAnObserverMayDestroyIt) {
    Connect(true);
    const std::string first = Pattern(300000, 4);
    const unsigned int taken = FillFifteenChunks(first);
    ASSERT_EQ(observer.Types(), (std::vector<uint16_t>{kMsgConnecting, kMsgConnected}));
    bool connectedAtDrop = true;
    unsigned int queuedAtDrop = 1;
    observer.onMessage = [&](const Message* message, Observable*) {
        if (message->GetType() == kMsgDisconnected) {
            connectedAtDrop = receiver->isConnected();
            queuedAtDrop = receiver->GetSendListCount();
            receiver->DelayedDestroy();
        }
    };

    EXPECT_FALSE(receiver->SendBuffer("!", 1));
    EXPECT_TRUE(Manager().GetReceivers().empty());
    EXPECT_FALSE(connectedAtDrop);
    EXPECT_EQ(queuedAtDrop, 0u);
    EXPECT_EQ(observer.Types(),
              (std::vector<uint16_t>{kMsgConnecting, kMsgConnected, kMsgDisconnected}));
    ASSERT_EQ(logs->Texts(), std::vector<std::string>{"ERROR Send Buffer exceeded"});
    EXPECT_EQ(logs->records[0].log, "SocketErrors");
    EXPECT_EQ(logs->records[0].source, "sender");
    EXPECT_EQ(logs->records[0].address, "127.0.0.1");

    // The peer gets what the socket had taken, then the end of the stream: nothing queued
    // survives the drop.
    const std::string got = ReadUntilClosed();
    EXPECT_TRUE(closedByReceiver);
    EXPECT_EQ(got.size(), taken);
    EXPECT_TRUE(got == first.substr(0, taken));
}

TEST_F(SendPathTest, SendOrWriteNotificationErrorsLogTheirTextAndDisconnect) {
    Connect();
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

    // A write notification with an error drops a connected receiver, once.
    Connect();
    logs->records.clear();
    receiver->OnSend(10053);
    EXPECT_FALSE(receiver->isConnected());
    EXPECT_EQ(logs->Texts(), std::vector<std::string>{"TCPReceiver::OnSend ERROR 10053"});
    receiver->OnSend(10053);
    EXPECT_EQ(logs->records.size(), 1u);
    EXPECT_EQ(observer.Count(kMsgDisconnected), 2u);
}

}  // namespace
}  // namespace veltonet
