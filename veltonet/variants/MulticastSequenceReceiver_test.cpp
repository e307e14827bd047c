#include "veltonet/variants/MulticastSequenceReceiver.h"

#include <gtest/gtest.h>

#include "veltonet/variants/VariantsTestSupport.h"

namespace veltonet {
namespace {

using test::DatagramSender;
using test::Frame;
using test::Packet;
using test::Payload;
using test::Payloads;
using test::RecordingObserver;
using test::RepairRequest;
using Texts = std::vector<std::string>;

class ExposedSequenceReceiver : public MulticastSequenceReceiver {
  public:
    using MulticastSequenceReceiver::MulticastSequenceReceiver;
    using MulticastSequenceReceiver::ProcessMessage;
    void Process(const std::string& bytes) { ProcessMessage(Message::At(bytes.data())); }
};

class MulticastSequenceReceiverTest : public test::VariantsTest {
  protected:
    using RepairLink = Link<TCPReceiver>;
    bool OpenRepair(RepairLink& link, const char* name = "repair") {
        return Open(link, [name](uint16_t port) {
            return std::make_unique<TCPReceiver>(name, "127.0.0.1", port, 0);
        });
    }
    void SetUp() override {
        VariantsTest::SetUp();
        seq = std::make_unique<ExposedSequenceReceiver>("seq", "", 0);
        seq->Add(&observer);
        ASSERT_TRUE(Connect(*seq));
        ASSERT_TRUE(sender.ok);
    }
    void TearDown() override {
        seq.reset();
        VariantsTest::TearDown();
    }
    // Each packet in a datagram of its own.
    bool Send(std::initializer_list<uint32_t> numbers) {
        for (uint32_t n : numbers)
            if (!Feed(sender, *seq, Packet(n)))
                return false;
        return true;
    }
    // A repair link attached after the receiver connected, and packets 10 (delivered),
    // 13 and 14 (held behind the gap) received.
    void StartRepairingAfter10(RepairLink& link) {
        ASSERT_TRUE(OpenRepair(link));
        ASSERT_TRUE(Send({10}));
        seq->SetRepairReceiver(link.receiver.get());
        ASSERT_TRUE(Send({13, 14}));
        ASSERT_EQ(seq->GetDelayedMessageCount(), 2u);
    }
    Texts Delivered() const { return Payloads(observer); }
    static Texts P(std::initializer_list<uint32_t> numbers) {
        Texts texts;
        for (uint32_t n : numbers)
            texts.push_back("p" + std::to_string(n));
        return texts;
    }

    std::unique_ptr<ExposedSequenceReceiver> seq;
    RecordingObserver observer;
    DatagramSender sender;
};

TEST_F(MulticastSequenceReceiverTest, WithoutRepairOlderPacketsAreDroppedAndGapsCounted) {
    ASSERT_TRUE(Send({500, 500, 499}));
    ASSERT_TRUE(Feed(sender, *seq, Frame(77, "plain") + Packet(7, "")));
    ASSERT_TRUE(Send({503}));
    EXPECT_EQ(observer.Types(), (std::vector<uint16_t>{kMsgFirstDatagram, 3000, 77, 3000}));
    EXPECT_EQ(observer.records[2].bytes, Frame(77, "plain"));
    EXPECT_EQ(Delivered(), P({500, 503}));
    EXPECT_EQ(logs->Texts(), (Texts{"First Pack 500", "Packs lost 2 501 499 0 0"}));
    EXPECT_EQ(logs->records.front().source, "seq");
    EXPECT_EQ(seq->GetPacketsLost(), 2u);
    EXPECT_EQ(seq->GetMulticastPacketBeingProcessed(), 503u);
}

TEST_F(MulticastSequenceReceiverTest, ZeroIsAlwaysFirstAndTheLastNumberBlocksTheRest) {
    ASSERT_TRUE(Send({0, 0, 1, 4294967295u, 5, 4294967295u}));
    EXPECT_EQ(Delivered(), P({0, 0, 1, 4294967295u}));
    EXPECT_EQ(logs->Texts(), (Texts{"First Pack 0", "First Pack 0", "First Pack 1",
                                    "Packs lost 4294967293 2 0 0 0"}));
    EXPECT_EQ(seq->GetPacketsLost(), 4294967293u);

    // A disconnect starts the numbering afresh.
    seq->DisconnectAndNotify(true);
    EXPECT_EQ(seq->GetLastSequenceNumber(), 0u);
    ASSERT_TRUE(Connect(*seq));
    ASSERT_TRUE(Send({7}));
    EXPECT_EQ(Delivered().back(), "p7");
    EXPECT_EQ(logs->Texts().back(), "First Pack 7");
}

TEST_F(MulticastSequenceReceiverTest, RepairsAGapThroughTheRepairServer) {
    RepairLink link;
    ASSERT_NO_FATAL_FAILURE(StartRepairingAfter10(link));
    EXPECT_EQ(logs->Texts(), (Texts{"First Pack 10", "Packs lost 2 11 9 0 0"}));
    EXPECT_EQ(seq->GetPacketsLost(), 2u);
    EXPECT_EQ(seq->GetFirstPacketBeingRecovered(), 11u);
    EXPECT_EQ(seq->GetLastSequenceNumber(), 14u);
    EXPECT_EQ(link.Received(), RepairRequest(11));  // one request, none for 14

    // The repair server's packets report numbers; their content goes nowhere.
    ASSERT_TRUE(Answer(link, Packet(11) + Frame(77, "status")));
    EXPECT_EQ(seq->GetPacketsRecovered(), 1u);
    EXPECT_EQ(seq->GetLastRecoveredPacket(), 11u);
    EXPECT_EQ(seq->GetFirstPacketBeingRecovered(), 12u);
    EXPECT_EQ(link.Received(), RepairRequest(12));
    EXPECT_EQ(link.observer.Types(), (std::vector<uint16_t>{kMsgConnecting, kMsgConnected, 77}));

    ASSERT_TRUE(Answer(link, Packet(12)));
    EXPECT_EQ(Delivered(), P({10, 13, 14}));
    EXPECT_EQ(seq->GetMulticastPacketBeingProcessed(), 14u);
    EXPECT_EQ(seq->GetFirstPacketBeingRecovered(), 0u);
    EXPECT_EQ(seq->GetPacketsRecovered(), 2u);
    EXPECT_EQ(seq->GetDelayedMessageCount(), 0u);
    EXPECT_EQ(link.Received(), "");
    EXPECT_EQ(link.observer.Count(3000), 0u);
}

TEST_F(MulticastSequenceReceiverTest, PacketOlderThanAHeldOneIsDroppedAndRepairedInstead) {
    RepairLink link;
    ASSERT_TRUE(OpenRepair(link));
    ASSERT_TRUE(Send({1}));
    seq->SetRepairReceiver(link.receiver.get());
    ASSERT_TRUE(Send({4, 3}));
    EXPECT_EQ(link.Received(), RepairRequest(2));
    ASSERT_TRUE(Answer(link, Packet(2)));  // held 4 is not next: ask for 3
    EXPECT_EQ(link.Received(), RepairRequest(3));
    EXPECT_EQ(Delivered(), P({1}));
    ASSERT_TRUE(Answer(link, Packet(3)));
    EXPECT_EQ(Delivered(), P({1, 4}));
    EXPECT_EQ(seq->GetFirstPacketBeingRecovered(), 0u);
}

TEST_F(MulticastSequenceReceiverTest, HeldPacketAlreadyRepairedIsDiscarded) {
    RepairLink link;
    ASSERT_NO_FATAL_FAILURE(StartRepairingAfter10(link));
    ASSERT_TRUE(Answer(link, Packet(13)));
    EXPECT_EQ(Delivered(), P({10, 14}));
    EXPECT_EQ(seq->GetDelayedMessageCount(), 0u);
    EXPECT_EQ(seq->GetFirstPacketBeingRecovered(), 0u);

    seq->PacketRecovered(20);  // nothing held: counted only
    EXPECT_EQ(seq->GetPacketsRecovered(), 2u);
    EXPECT_EQ(seq->GetLastRecoveredPacket(), 20u);
    EXPECT_EQ(seq->GetFirstPacketBeingRecovered(), 0u);
}

TEST_F(MulticastSequenceReceiverTest, ObserverMayDisconnectInsideARecoveredDelivery) {
    RepairLink link;
    ASSERT_NO_FATAL_FAILURE(StartRepairingAfter10(link));
    observer.onMessage = [&](const Message* message, Observable*) {
        if (message->GetType() == 3000 && Payloads(observer).back() == "p13")
            seq->DisconnectAndNotify(true);
    };
    ASSERT_TRUE(Answer(link, Packet(11) + Packet(12)));
    EXPECT_EQ(Delivered(), P({10, 13}));
    EXPECT_EQ(observer.records.back().type, kMsgDisconnected);
    EXPECT_EQ(seq->GetDelayedMessageCount(), 0u);
    EXPECT_EQ(seq->GetRepairReceiver(), nullptr);
    EXPECT_EQ(link.receiver->GetSequenceReceiver(), nullptr);
    EXPECT_FALSE(link.receiver->isReceivingSequencePackets());
    EXPECT_EQ(seq->GetLastSequenceNumber(), 0u);
    EXPECT_EQ(link.Received(), RepairRequest(11) + RepairRequest(12));
}

TEST_F(MulticastSequenceReceiverTest, ObserverMayReplaceTheRepairReceiverInsideADelivery) {
    RepairLink first, second;
    ASSERT_NO_FATAL_FAILURE(StartRepairingAfter10(first));
    ASSERT_TRUE(OpenRepair(second, "repair2"));
    ASSERT_TRUE(Send({16}));  // held behind another gap: 15 is missing
    observer.onMessage = [&](const Message* message, Observable*) {
        if (message->GetType() == 3000 && Payloads(observer).back() == "p13") {
            seq->SetRepairReceiver(nullptr);
            seq->SetRepairReceiver(second.receiver.get());
        }
    };
    ASSERT_TRUE(Answer(first, Packet(11) + Packet(12)));
    EXPECT_EQ(Delivered(), P({10, 13, 14}));
    EXPECT_EQ(seq->GetFirstPacketBeingRecovered(), 15u);
    EXPECT_EQ(first.Received(), RepairRequest(11) + RepairRequest(12));
    EXPECT_EQ(second.Received(), RepairRequest(15));
    EXPECT_EQ(first.receiver->GetSequenceReceiver(), nullptr);

    // Detached without a replacement: the loop delivers what it can and asks nobody.
    observer.onMessage = nullptr;
    seq->SetRepairReceiver(nullptr);
    seq->PacketRecovered(15);
    EXPECT_EQ(Delivered(), P({10, 13, 14, 16}));
}

TEST_F(MulticastSequenceReceiverTest, ObserverMayDestroyTheReceiverInsideARecoveredDelivery) {
    RepairLink link;
    ASSERT_NO_FATAL_FAILURE(StartRepairingAfter10(link));
    MulticastSequenceReceiver* receiver = seq.release();
    TCPReceiver* const registered = receiver;
    observer.onMessage = [&](const Message* message, Observable*) {
        if (message->GetType() == 3000 && Payloads(observer).back() == "p13") {
            EXPECT_TRUE(receiver->DelayedDestroy());
        }
    };
    ASSERT_TRUE(Answer(link, Packet(11) + Packet(12) + Frame(77, "later")));
    EXPECT_EQ(Delivered(), P({10, 13}));
    EXPECT_FALSE(Manager().isRegistered(registered));
    EXPECT_EQ(link.receiver->GetSequenceReceiver(), nullptr);
    EXPECT_EQ(link.observer.records.back().type, 77);
}

TEST_F(MulticastSequenceReceiverTest, EachSideOfTheRepairLinkNamesTheOther) {
    auto repair = std::make_unique<TCPReceiver>("repair", "", 0, 0);
    ExposedSequenceReceiver other("other", "", 0);
    seq->SetRepairReceiver(repair.get());
    EXPECT_EQ(repair->GetSequenceReceiver(), seq.get());
    EXPECT_TRUE(repair->isReceivingSequencePackets());

    other.SetRepairReceiver(repair.get());  // taken over: seq no longer names it
    EXPECT_EQ(seq->GetRepairReceiver(), nullptr);
    EXPECT_EQ(repair->GetSequenceReceiver(), &other);

    auto replacement = std::make_unique<TCPReceiver>("replacement", "", 0, 0);
    other.SetRepairReceiver(replacement.get());  // the previous one is let go
    EXPECT_EQ(repair->GetSequenceReceiver(), nullptr);
    EXPECT_FALSE(repair->isReceivingSequencePackets());
    replacement.reset();  // a repair receiver that goes detaches itself
    EXPECT_EQ(other.GetRepairReceiver(), nullptr);

    seq->SetRepairReceiver(repair.get());
    ASSERT_TRUE(Connect(*seq));  // every connect begins with a disconnect
    EXPECT_EQ(seq->GetRepairReceiver(), nullptr);
    EXPECT_EQ(repair->GetSequenceReceiver(), nullptr);

    seq->SetRepairReceiver(seq.get());
    EXPECT_EQ(seq->GetRepairReceiver(), nullptr);
    EXPECT_EQ(logs->Texts().back(), "SetRepairReceiver refused: a receiver cannot repair itself");
}

TEST_F(MulticastSequenceReceiverTest, MalformedAndNestedPacketsAreBounded) {
    std::string shortPacket = Frame(kMsgSequencedPacket, "\x01\x02");
    ASSERT_TRUE(Feed(sender, *seq, shortPacket));
    EXPECT_EQ(logs->Texts(), Texts{"Sequenced packet too short 6"});
    EXPECT_EQ(seq->GetLastSequenceNumber(), 0u);

    std::string nested;
    for (uint32_t n = 12; n >= 1; --n)
        nested = Packet(n, Payload(n) + nested);
    ASSERT_TRUE(Feed(sender, *seq, nested));
    EXPECT_EQ(Delivered(), P({1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(logs->Texts().back(), "Sequenced packet nested too deep");
    EXPECT_EQ(seq->GetLastSequenceNumber(), 8u);
}

TEST_F(MulticastSequenceReceiverTest, HeldPacketsAreBoundedWhenRepairNeverComes) {
    struct PayloadCounter : Observer {
        void OnMessage(const Message* message, Observable*) override {
            if (message->GetType() == 3000)
                payloads.emplace_back(reinterpret_cast<const char*>(message->Bytes()) + 4,
                                      message->GetSize() - 4);
        }
        std::vector<std::string> payloads;
    } counter;
    seq->Remove(&observer);
    seq->Add(&counter);
    TCPReceiver silent("silent", "", 0, 0);  // never connected: requests go nowhere
    seq->Process(Packet(1));
    seq->SetRepairReceiver(&silent);
    const uint32_t held = 4294960000u;  // room above for the numbers that follow
    seq->Process(Packet(held));         // a huge gap holds one packet, nothing per missing number
    EXPECT_EQ(seq->GetDelayedMessageCount(), 1u);
    EXPECT_EQ(seq->GetPacketsLost(), held - 2);

    // Packets of 65535 bytes until the next one would pass the limit.
    const std::string padding = Frame(3001, std::string(65535 - 8 - 15 - 4, 'z'));
    const size_t overhead = MulticastSequenceReceiver::kDelayedPacketOverhead;
    const size_t full =
        (MulticastSequenceReceiver::kMaxDelayedBytes - (Packet(held).size() + overhead)) /
        (65535 + overhead);
    uint32_t n = held;
    while (seq->GetDelayedMessageCount() < full + 1) {
        ++n;
        ASSERT_EQ(Packet(n, Payload(n) + padding).size(), 65535u);
        seq->Process(Packet(n, Payload(n) + padding));
    }
    EXPECT_EQ(counter.payloads, P({1}));
    ++n;
    seq->Process(Packet(n, Payload(n) + padding));
    EXPECT_EQ(logs->Texts().back(),
              "Packs held limit reached, repair abandoned " + std::to_string(full + 1));
    EXPECT_EQ(seq->GetDelayedMessageCount(), 0u);
    EXPECT_EQ(seq->GetFirstPacketBeingRecovered(), 0u);
    ASSERT_EQ(counter.payloads.size(), full + 3);
    EXPECT_EQ(counter.payloads[1], "p" + std::to_string(held));
    EXPECT_EQ(counter.payloads.back(), "p" + std::to_string(n));
    EXPECT_EQ(seq->GetMulticastPacketBeingProcessed(), n);
}

}  // namespace
}  // namespace veltonet
