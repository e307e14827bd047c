#include <gtest/gtest.h>

#include <cstring>

#include "support/TestSupport.h"
#include "veltonet/tcp/TCPReceiver.h"

namespace veltonet {
namespace {

using test::Frame;
using test::LogCapture;
using test::RecordingObserver;
namespace raw = test::raw;

// Stands in for the compression plug-in: the "compressed" bytes are the plain bytes.
unsigned int CopyUncompress(const char* source, unsigned int length, char* destination,
                            unsigned int capacity) {
    std::memcpy(destination, source, std::min(length, capacity));
    return length;  // may claim more than it wrote: the receiver must not trust it
}

std::string Aggregate(uint32_t statedLength, const std::string& content) {
    std::string body(4, '\0');
    Message::WriteU32(body.data(), statedLength);
    return Frame(kMsgCompressedAggregate, body + content);
}

class ReceivePathTest : public test::ManagerTest {
  protected:
    void SetUp() override {
        test::ManagerTest::SetUp();
        uint16_t port = 0;
        listenFd = raw::Listen(&port);
        receiver = new TCPReceiver("feed", "127.0.0.1", port, 0);
        receiver->Add(&observer);
        receiver->InvalidateSocket(true);
        ASSERT_TRUE(receiver->CreateSocket());
        ASSERT_TRUE(PumpUntil([&] { return receiver->isConnected(); }));
        peer = raw::AcceptWithin(listenFd, 1000);
        ASSERT_GE(peer, 0);
        observer.records.clear();
    }

    void TearDown() override {
        TCPReceiver::SetUncompressFunction(nullptr);
        raw::Close(peer);
        raw::Close(listenFd);
        test::ManagerTest::TearDown();
    }

    // Sends bytes and pumps until the receiver has read them all.
    void Deliver(const std::string& bytes) {
        const unsigned int before = receiver->GetSizeReceived();
        ASSERT_TRUE(raw::SendAll(peer, bytes));
        ASSERT_TRUE(
            PumpUntil([&] { return receiver->GetSizeReceived() - before == bytes.size(); }));
    }

    std::vector<std::string> Delivered() const {
        std::vector<std::string> out;
        for (const auto& r : observer.records)
            out.push_back(r.bytes);
        return out;
    }

    int listenFd = -1;
    int peer = -1;
    TCPReceiver* receiver = nullptr;
    RecordingObserver observer;
};

TEST_F(ReceivePathTest, UrgentByteLeftUnreadLetsTheLoopGoQuietWithOrWithoutOutOfBandSupport) {
    for (bool outOfBand : {false, true}) {
        receiver->SetSupportOutOfBand(outOfBand);
        ASSERT_TRUE(test::raw::SendUrgent(peer, '!'));
        Loop().ProcessEvents(1000);  // the urgent byte's round
        int ran = 0;
        for (int round = 0; round < 5; ++round)
            ran += Loop().ProcessEvents(0);
        EXPECT_EQ(ran, 0) << "out-of-band support " << outOfBand;
        Deliver(Frame(702, "after"));
        EXPECT_EQ(Delivered(), std::vector<std::string>{Frame(702, "after")});
        observer.records.clear();
    }
}

TEST_F(ReceivePathTest, MessageSplitAtEveryPositionIsDeliveredOnceAndAnIncompleteTailWaits) {
    const std::string message = Frame(700, "abcdefghij");
    const std::string next = Frame(701, "");
    for (size_t split = 1; split < message.size(); ++split) {
        observer.records.clear();
        Deliver(message.substr(0, split));
        EXPECT_TRUE(observer.records.empty()) << "split " << split;
        EXPECT_EQ(receiver->GetBufferUsed(), split);
        Deliver(message.substr(split) + next);
        EXPECT_EQ(Delivered(), (std::vector<std::string>{message, next})) << "split " << split;
        EXPECT_EQ(receiver->GetBufferUsed(), 0u);
    }
    // A whole message and the start of the next in one read: the tail waits for the rest.
    observer.records.clear();
    Deliver(message + message.substr(0, 3));
    EXPECT_EQ(Delivered(), (std::vector<std::string>{message}));
    EXPECT_EQ(receiver->GetBufferUsed(), 3u);
    Deliver(message.substr(3));
    EXPECT_EQ(Delivered(), (std::vector<std::string>{message, message}));
}

// A subclass that frames differently: the size field is big-endian and each message is
// logged and parsed through its own hooks.
class BigEndianReceiver : public TCPReceiver {
  public:
    using TCPReceiver::TCPReceiver;
    unsigned short GetMessageSize(const char* data) const override {
        return static_cast<unsigned short>(uint8_t(data[0]) << 8 | uint8_t(data[1]));
    }
    void LogResponse(const char* data, unsigned int length) const override {
        logged.emplace_back(data, length);
    }
    const Message* Parse(const char* data, unsigned int size) override {
        return size == 5 ? nullptr : TCPReceiver::Parse(data, size);  // 5 bytes: not a message
    }
    mutable std::vector<std::string> logged;
};

TEST_F(ReceivePathTest, ASubclassFramesThroughItsOwnHooks) {
    BigEndianReceiver custom("custom", "127.0.0.1", receiver->GetPort(), 0);
    RecordingObserver seen;
    custom.Add(&seen);
    custom.InvalidateSocket(true);
    ASSERT_TRUE(custom.CreateSocket());
    ASSERT_TRUE(PumpUntil([&] { return custom.isConnected(); }));
    const int customPeer = raw::AcceptWithin(listenFd, 1000);
    ASSERT_GE(customPeer, 0);
    seen.records.clear();

    const std::string first("\x00\x06\xbc\x02xy", 6);  // 6 bytes, type 700
    const std::string skipped("\x00\x05\xbd\x02z", 5);
    const std::string last("\x00\x04\xbe\x02", 4);
    ASSERT_TRUE(raw::SendAll(customPeer, first + skipped + last));
    ASSERT_TRUE(PumpUntil([&] { return custom.GetSizeReceived() == 15; }));
    EXPECT_EQ(seen.Types(), (std::vector<uint16_t>{700, 702}));
    EXPECT_EQ(custom.logged, (std::vector<std::string>{first, skipped, last}));
    raw::Close(customPeer);
}

// A plain receiver publishes most messages straight from its framing loop; any subclass goes
// through ProcessMessage and Notify. Both must show observers and the log the same, while
// observers leave and join in the middle of a read.
class GeneralPathReceiver : public TCPReceiver {
  public:
    using TCPReceiver::TCPReceiver;
};

struct FramingAccess : TCPReceiver {
    using TCPReceiver::ReceiveBuffer;
};

struct FramingOutcome {
    std::vector<std::string> first, second, logs;
    unsigned int consumed = 0;
    bool accepted = false;
};

FramingOutcome FrameThrough(TCPReceiver& receiver, const std::string& bytes, LogCapture& logs) {
    RecordingObserver first;
    RecordingObserver second;
    first.onMessage = [&](const Message* message, Observable*) {
        if (message->GetType() == 702) {
            receiver.Remove(&second);
        } else if (message->GetType() == 704) {
            receiver.Add(&second);  // from the next message on
        }
    };
    receiver.Add(&first);
    receiver.Add(&second);
    logs.records.clear();
    FramingOutcome outcome;
    const auto frame = &FramingAccess::ReceiveBuffer;
    outcome.consumed = (receiver.*frame)(bytes.data(), static_cast<unsigned int>(bytes.size()));
    outcome.accepted = receiver.isAccepted();
    for (const auto& r : first.records) {
        outcome.first.push_back(r.bytes);
    }
    for (const auto& r : second.records) {
        outcome.second.push_back(r.bytes);
    }
    outcome.logs = logs.Texts();
    receiver.Remove(&first);
    receiver.Remove(&second);
    return outcome;
}

TEST_F(ReceivePathTest, APlainReceiverFramesAsTheGeneralPathDoes) {
    TCPReceiver::SetUncompressFunction(CopyUncompress);
    const std::string inner = Frame(706, "in");
    const std::string bytes = Frame(700, "ab") + std::string("\x02\x00", 2) +
                              Frame(kMsgAccepted, "") + Frame(702, "") + Frame(703, "c") +
                              Aggregate(uint32_t(inner.size()), inner) + Frame(704, "") +
                              Frame(705, "de") + Frame(707, "tail").substr(0, 5);
    TCPReceiver plain("plain", "", 0, 0, true);
    GeneralPathReceiver general("general", "", 0, 0, true);
    const FramingOutcome fast = FrameThrough(plain, bytes, *logs);
    const FramingOutcome slow = FrameThrough(general, bytes, *logs);

    EXPECT_EQ(fast.first, slow.first);
    EXPECT_EQ(fast.second, slow.second);
    EXPECT_EQ(fast.logs, slow.logs);
    EXPECT_EQ(fast.consumed, slow.consumed);
    EXPECT_EQ(fast.accepted, slow.accepted);
    EXPECT_EQ(fast.first.size(), 7u);  // every message but the skipped small one and the tail
    EXPECT_EQ(fast.second, (std::vector<std::string>{Frame(700, "ab"), Frame(kMsgAccepted, ""),
                                                     Frame(705, "de")}));
}

TEST_F(ReceivePathTest, SmallMessagesAreLoggedAndSkippedAndTheLargestFitsTheBuffer) {
    // Sizes 1, 2 and 3 skip themselves; size 0 skips four bytes. A size-1 message's size field
    // runs into the next message, which therefore starts with a zero byte here.
    const std::string small = std::string("\x02\x00", 2) + std::string("\x03\x00\x00", 3) +
                              std::string("\x01", 1) + std::string("\x00\x00\x00\x00", 4);
    const std::string largest = Frame(700, std::string(65531, 'm'));
    ASSERT_EQ(largest.size(), 65535u);
    Deliver(small + Frame(701, "ok"));
    Deliver(largest + Frame(4, ""));
    Deliver(std::string(3, '\0'));  // a zero-size header split across reads: one record
    Deliver(std::string(1, '\0'));

    EXPECT_EQ(Delivered(), (std::vector<std::string>{Frame(701, "ok"), largest, Frame(4, "")}));
    EXPECT_EQ(logs->Texts(), (std::vector<std::string>{"TCPReceiver::OnReceive Small Message 2",
                                                       "TCPReceiver::OnReceive Small Message 3",
                                                       "TCPReceiver::OnReceive Small Message 1",
                                                       "TCPReceiver::OnReceive Small Message 0",
                                                       "TCPReceiver::OnReceive Small Message 0"}));
}

TEST_F(ReceivePathTest, DataReceivedNotificationsBracketEachReadAndReadsAreCounted) {
    receiver->IncrementNotifyDataReceived();
    const std::string bytes = Frame(700, "a") + Frame(701, "b");
    Deliver(bytes);
    ASSERT_EQ(observer.Types(),
              (std::vector<uint16_t>{kMsgDataReceived, 700, 701, kMsgDataProcessed}));
    EXPECT_EQ(observer.records[0].Value(), bytes.size());

    receiver->DecrementNotifyDataReceived();
    receiver->DecrementNotifyDataReceived();  // stops at 0
    EXPECT_EQ(receiver->GetNotifyDataReceivedCount(), 0u);
    observer.records.clear();
    Deliver(Frame(702, ""));
    EXPECT_EQ(observer.Types(), (std::vector<uint16_t>{702}));

    receiver->ResetMeasure();
    EXPECT_EQ(receiver->GetPrevSizeReceived(), bytes.size() + 4);
    EXPECT_EQ(receiver->GetSizeReceived(), 0u);
}

TEST_F(ReceivePathTest, CompressedAggregateContentIsProcessedInTurnWithoutNesting) {
    Deliver(Aggregate(8, Frame(700, "abcd")));  // no plug-in yet
    EXPECT_TRUE(observer.records.empty());
    EXPECT_EQ(logs->Texts(),
              (std::vector<std::string>{"M_COMPRESSED_AGGREGATED_BMME_MESSAGE=NULL"}));

    TCPReceiver::SetUncompressFunction(&CopyUncompress);
    EXPECT_FALSE(receiver->isAccepted());
    const std::string content = Frame(700, "one") + Frame(kMsgAccepted, "") +
                                Aggregate(8, Frame(702, "in")) + Frame(701, "two");
    Deliver(Aggregate(uint32_t(content.size()), content));
    EXPECT_EQ(Delivered(), (std::vector<std::string>{Frame(700, "one"), Frame(kMsgAccepted, ""),
                                                     Frame(701, "two")}));
    EXPECT_TRUE(receiver->isAccepted());
    EXPECT_TRUE(logs->Contains("Nested compressed message dropped"));

    // A header-only aggregate is consumed and produces nothing.
    observer.records.clear();
    Deliver(Aggregate(0, ""));
    EXPECT_TRUE(observer.records.empty());
}

TEST_F(ReceivePathTest, HostileCompressedAggregatesAreDroppedAndTheReceiverGoesOn) {
    TCPReceiver::SetUncompressFunction(&CopyUncompress);
    // Too short to carry a length.
    Deliver(Frame(kMsgCompressedAggregate, "ab"));
    // A stated length above the ceiling is never allocated.
    Deliver(Aggregate(0xFFFFFFFFu, Frame(700, "x")));
    // The decompressor claims more than the capacity: only the capacity is walked, and the
    // message running past it is not processed.
    Deliver(Aggregate(6, Frame(700, "abcdef")));
    // A zero-sized sub-message ends the walk.
    Deliver(Aggregate(12, std::string(4, '\0') + Frame(700, "late")));
    EXPECT_TRUE(observer.records.empty());
    EXPECT_EQ(logs->Count("Compressed message too short"), 1u);
    EXPECT_EQ(logs->Count("Compressed message length too large 4294967295"), 1u);
    // Nothing decompressed: a loss worth a record only when the run was not empty.
    TCPReceiver::SetUncompressFunction(
        +[](const char*, unsigned int, char*, unsigned int) { return 0u; });
    Deliver(Aggregate(0, std::string(1, '\0')));
    EXPECT_FALSE(logs->Contains("Compressed message does not decompress"));
    Deliver(Aggregate(5, std::string(1, '\0')));
    EXPECT_TRUE(logs->Contains("Compressed message does not decompress"));

    Deliver(Frame(700, "still alive"));
    EXPECT_EQ(Delivered(), (std::vector<std::string>{Frame(700, "still alive")}));
}

TEST_F(ReceivePathTest, SequencedPacketsAreUnpackedWhenAsked) {
    std::string body(4, '\0');
    Message::WriteU32(body.data(), 42);
    const std::string packet = Frame(kMsgSequencedPacket, body + Frame(700, "a") + Frame(701, "b"));
    Deliver(packet);
    EXPECT_EQ(Delivered(), (std::vector<std::string>{packet}));  // not asked: delivered whole

    observer.records.clear();
    receiver->SetReceivingSequencePackets(true);
    Deliver(packet);
    EXPECT_EQ(Delivered(), (std::vector<std::string>{Frame(700, "a"), Frame(701, "b")}));

    // A sub-message shorter than a header is skipped by its size; the walk goes on after it.
    observer.records.clear();
    Deliver(Frame(kMsgSequencedPacket,
                  body + std::string("\x02\x00", 2) + Frame(7501, "x") + Frame(7502, "yz")));
    EXPECT_EQ(Delivered(), (std::vector<std::string>{Frame(7501, "x"), Frame(7502, "yz")}));

    observer.records.clear();
    Deliver(Frame(kMsgSequencedPacket, "ab"));  // too short for a sequence number
    EXPECT_TRUE(observer.records.empty());
    EXPECT_TRUE(logs->Contains("Sequenced packet too short"));
}

TEST_F(ReceivePathTest, ObserverDisconnectingMidBlockStopsCleanly) {
    observer.onMessage = [&](const Message* message, Observable*) {
        if (message->GetType() == 700)
            receiver->DisconnectAndNotify(false);
    };
    ASSERT_TRUE(raw::SendAll(peer, Frame(700, "") + Frame(701, "")));
    ASSERT_TRUE(PumpUntil([&] { return !receiver->isConnected(); }));
    PumpRounds(3);
    // Nothing of the dropped connection is delivered after its 60002.
    EXPECT_EQ(observer.Types(), (std::vector<uint16_t>{700, kMsgDisconnected}));
}

TEST_F(ReceivePathTest, ObserverDestroyingTheReceiverMidBlockIsDeferred) {
    observer.onMessage = [&](const Message* message, Observable*) {
        if (message->GetType() == 700) {
            EXPECT_TRUE(receiver->DelayedDestroy());
            EXPECT_TRUE(receiver->toDestroy());
        }
    };
    ASSERT_TRUE(raw::SendAll(peer, Frame(700, "") + Frame(701, "")));
    ASSERT_TRUE(
        PumpUntil([&] { return Manager().GetReceivers().empty() && !observer.records.empty(); }));
    PumpRounds(3);
    EXPECT_EQ(observer.Types(), (std::vector<uint16_t>{700}));  // framing stops at once
}

}  // namespace
}  // namespace veltonet
