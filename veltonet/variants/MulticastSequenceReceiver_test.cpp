#include "veltonet/variants/MulticastSequenceReceiver.h"

#include "veltonet/variants/VariantsTestSupport.h"

namespace veltonet {
namespace {

using namespace test;
using Texts = std::vector<std::string>;
using Counters = std::vector<size_t>;

class ExposedSequenceReceiver : public MulticastSequenceReceiver {
  public:
    using MulticastSequenceReceiver::MulticastSequenceReceiver;
    void Process(const std::string& bytes) { ProcessMessage(Message::At(bytes.data())); }
};

class MulticastSequenceReceiverTest : public VariantsTest {
  protected:
    using RepairLink = Link<TCPReceiver>;
    void SetUp() override {
        VariantsTest::SetUp();
        seq = new ExposedSequenceReceiver("seq", "", 0);  // registered: the manager deletes it
        seq->Add(&observer);
        ASSERT_TRUE(Connect(*seq));
        ASSERT_TRUE(sender.ok);
    }
    bool OpenRepair(RepairLink& link, const char* name = "repair") {
        return Open(link, [name](uint16_t port) {
            return std::make_unique<TCPReceiver>(name, "127.0.0.1", port, 0);
        });
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
    }
    // Lost, recovered, last recovered, first being recovered, last number, being processed, held.
    Counters State() const {
        const MulticastSequenceReceiver& s = *seq;
        return {s.GetPacketsLost(),         s.GetPacketsRecovered(),
                s.GetLastRecoveredPacket(), s.GetFirstPacketBeingRecovered(),
                s.GetLastSequenceNumber(),  s.GetMulticastPacketBeingProcessed(),
                s.GetDelayedMessageCount()};
    }
    Texts Delivered() const { return Payloads(observer); }
    // Runs action inside the delivery of p13.
    void DuringP13(std::function<void()> action) {
        observer.onMessage = [this, action](const Message* message, Observable*) {
            if (message->GetType() == 3000 && Payloads(observer).back() == "p13")
                action();
        };
    }

    ExposedSequenceReceiver* seq = nullptr;
    RecordingObserver observer;
    DatagramSender sender;
};

TEST_F(MulticastSequenceReceiverTest, WithoutRepairOldPacketsAreDroppedGapsCountedAndZeroIsFirst) {
    ASSERT_TRUE(Send({500, 500, 499}));
    ASSERT_TRUE(Feed(sender, *seq, Frame(77, "plain") + Packet(7, "")));
    ASSERT_TRUE(Send({503}));
    EXPECT_EQ(observer.Types(), (std::vector<uint16_t>{kMsgFirstDatagram, 3000, 77, 3000}));
    EXPECT_EQ(observer.records[2].bytes, Frame(77, "plain"));
    EXPECT_EQ(logs->records.front().source, "seq");
    EXPECT_EQ(State(), (Counters{2, 0, 0, 0, 503, 503, 0}));

    // A disconnect starts the numbering afresh; 0 is always first; the last number blocks all.
    seq->DisconnectAndNotify(true);
    EXPECT_EQ(seq->GetLastSequenceNumber(), 0u);
    ASSERT_TRUE(Connect(*seq));
    ASSERT_TRUE(Send({0, 0, 1, 4294967295u, 5, 4294967295u}));
    EXPECT_EQ(Delivered(), (Texts{"p500", "p503", "p0", "p0", "p1", "p4294967295"}));
    EXPECT_EQ(logs->Texts(),
              (Texts{"First Pack 500", "Packs lost 2 501 499 0 0", "First Pack 0", "First Pack 0",
                     "First Pack 1", "Packs lost 4294967293 2 0 0 0"}));
    EXPECT_EQ(seq->GetPacketsLost(), 2u + 4294967293u);
}

TEST_F(MulticastSequenceReceiverTest, RepairServerFillsEachGapAndHeldPacketsFollowInOrder) {
    RepairLink link;
    ASSERT_NO_FATAL_FAILURE(StartRepairingAfter10(link));
    EXPECT_EQ(logs->Texts(), (Texts{"First Pack 10", "Packs lost 2 11 9 0 0"}));
    EXPECT_EQ(State(), (Counters{2, 0, 0, 11, 14, 10, 2}));
    EXPECT_EQ(link.Received(), RepairRequest(11));  // one request, none for 14

    // The repair server's packets report numbers; their content goes nowhere.
    ASSERT_TRUE(Answer(link, Packet(11) + Frame(77, "status")));
    EXPECT_EQ(State(), (Counters{2, 1, 11, 12, 14, 10, 2}));
    EXPECT_EQ(link.Received(), RepairRequest(12));
    EXPECT_EQ(link.observer.Types(), (std::vector<uint16_t>{kMsgConnecting, kMsgConnected, 77}));
    ASSERT_TRUE(Answer(link, Packet(12)));
    EXPECT_EQ(Delivered(), (Texts{"p10", "p13", "p14"}));
    EXPECT_EQ(State(), (Counters{2, 2, 12, 0, 14, 14, 0}));
    EXPECT_EQ(link.Received(), "");
    EXPECT_EQ(link.observer.Count(3000), 0u);

    // A packet older than a held one is dropped, to come from the repair server instead.
    ASSERT_TRUE(Send({17, 16}));
    EXPECT_EQ(link.Received(), RepairRequest(15));
    ASSERT_TRUE(Answer(link, Packet(15)));  // held 17 is not next: ask for 16
    EXPECT_EQ(link.Received(), RepairRequest(16));
    EXPECT_EQ(State(), (Counters{4, 3, 15, 16, 17, 14, 1}));
    ASSERT_TRUE(Answer(link, Packet(16)));
    EXPECT_EQ(Delivered(), (Texts{"p10", "p13", "p14", "p17"}));

    // A held packet that the repair server reports as recovered is discarded.
    ASSERT_TRUE(Send({20, 21}));
    ASSERT_TRUE(Answer(link, Packet(20)));
    EXPECT_EQ(Delivered(), (Texts{"p10", "p13", "p14", "p17", "p21"}));
    EXPECT_EQ(State(), (Counters{6, 5, 20, 0, 21, 21, 0}));
    seq->PacketRecovered(30);  // nothing held: counted only
    EXPECT_EQ(State(), (Counters{6, 6, 30, 0, 21, 21, 0}));
}

TEST_F(MulticastSequenceReceiverTest, ObserverMayDisconnectInsideARecoveredDelivery) {
    RepairLink link;
    ASSERT_NO_FATAL_FAILURE(StartRepairingAfter10(link));
    DuringP13([&] { seq->DisconnectAndNotify(true); });
    ASSERT_TRUE(Answer(link, Packet(11) + Packet(12)));
    EXPECT_EQ(Delivered(), (Texts{"p10", "p13"}));
    EXPECT_EQ(observer.records.back().type, kMsgDisconnected);
    EXPECT_EQ(seq->GetDelayedMessageCount(), 0u);
    EXPECT_EQ(link.Received(), RepairRequest(11) + RepairRequest(12));
}

TEST_F(MulticastSequenceReceiverTest, ObserverMayReplaceTheRepairReceiverInsideADelivery) {
    RepairLink first, second;
    ASSERT_NO_FATAL_FAILURE(StartRepairingAfter10(first));
    ASSERT_TRUE(OpenRepair(second, "repair2"));
    ASSERT_TRUE(Send({16}));  // held behind another gap: 15 is missing
    DuringP13([&] {
        seq->SetRepairReceiver(nullptr);
        seq->SetRepairReceiver(second.receiver.get());
    });
    ASSERT_TRUE(Answer(first, Packet(11) + Packet(12)));
    EXPECT_EQ(Delivered(), (Texts{"p10", "p13", "p14"}));
    EXPECT_EQ(seq->GetFirstPacketBeingRecovered(), 15u);
    EXPECT_EQ(first.Received(), RepairRequest(11) + RepairRequest(12));
    EXPECT_EQ(second.Received(), RepairRequest(15));

    // Detached without a replacement: the loop delivers what it can and asks nobody.
    observer.onMessage = nullptr;
    seq->SetRepairReceiver(nullptr);
    seq->PacketRecovered(15);
    EXPECT_EQ(Delivered(), (Texts{"p10", "p13", "p14", "p16"}));
}

TEST_F(MulticastSequenceReceiverTest, ObserverMayDestroyTheReceiverInsideARecoveredDelivery) {
    RepairLink link;
    ASSERT_NO_FATAL_FAILURE(StartRepairingAfter10(link));
    TCPReceiver* const registered = seq;
    DuringP13([&] { EXPECT_TRUE(seq->DelayedDestroy()); });
    ASSERT_TRUE(Answer(link, Packet(11) + Packet(12) + Frame(77, "later")));
    EXPECT_EQ(Delivered(), (Texts{"p10", "p13"}));
    EXPECT_FALSE(Manager().isRegistered(registered));
    EXPECT_EQ(link.receiver->GetSequenceReceiver(), nullptr);
    EXPECT_EQ(link.observer.records.back().type, 77);
}

TEST_F(MulticastSequenceReceiverTest, EachSideOfTheRepairLinkNamesTheOther) {
    auto repair = std::make_unique<TCPReceiver>("repair", "", 0, 0);
    ExposedSequenceReceiver other("other", "", 0);
    seq->SetRepairReceiver(repair.get());
    EXPECT_EQ(repair->GetSequenceReceiver(), seq);
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

    seq->SetRepairReceiver(seq);
    EXPECT_EQ(seq->GetRepairReceiver(), nullptr);
    EXPECT_EQ(logs->Texts().back(), "SetRepairReceiver refused: a receiver cannot repair itself");
}

TEST_F(MulticastSequenceReceiverTest, MalformedAndNestedPacketsAreBounded) {
    ASSERT_TRUE(Feed(sender, *seq, Frame(kMsgSequencedPacket, "\x01\x02")));
    EXPECT_EQ(logs->Texts(), Texts{"Sequenced packet too short 6"});
    EXPECT_EQ(seq->GetLastSequenceNumber(), 0u);

    std::string nested;
    for (uint32_t n = 12; n >= 1; --n)
        nested = Packet(n, Payload(n) + nested);
    ASSERT_TRUE(Feed(sender, *seq, nested));
    EXPECT_EQ(Delivered(), (Texts{"p1", "p2", "p3", "p4", "p5", "p6", "p7", "p8"}));
    EXPECT_EQ(logs->Texts().back(), "Sequenced packet nested too deep");
    EXPECT_EQ(seq->GetLastSequenceNumber(), 8u);
}

TEST_F(MulticastSequenceReceiverTest, HeldPacketsAreBoundedWhenRepairNeverComes) {
    // Only the payloads stay recorded: the padding messages would hold 64 MiB.
    observer.onMessage = [&](const Message* message, Observable*) {
        if (message->GetType() != 3000)
            observer.records.pop_back();
    };
    TCPReceiver silent("silent", "", 0, 0);  // never connected: requests go nowhere
    seq->Process(Packet(1));
    seq->SetRepairReceiver(&silent);
    const uint32_t held = 4294960000u;  // room above for the numbers that follow
    seq->Process(Packet(held));         // a huge gap holds one packet, nothing per missing number
    EXPECT_EQ(State(), (Counters{held - 2, 0, 0, 2, held, 1, 1}));

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
    EXPECT_EQ(Delivered(), Texts{"p1"});
    ++n;
    seq->Process(Packet(n, Payload(n) + padding));
    EXPECT_EQ(logs->Texts().back(),
              "Packs held limit reached, repair abandoned " + std::to_string(full + 1));
    EXPECT_EQ(State(), (Counters{held - 2, 0, 0, 0, n, n, 0}));
    const Texts delivered = Delivered();
    ASSERT_EQ(delivered.size(), full + 3);
    EXPECT_EQ(delivered[1], "p" + std::to_string(held));
    EXPECT_EQ(delivered.back(), "p" + std::to_string(n));
}

}  // namespace
}  // namespace veltonet
