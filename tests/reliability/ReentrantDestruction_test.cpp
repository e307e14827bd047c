// Observers that destroy or disconnect another receiver from inside a notification: connected,
// received data, disconnected, and a message released by a recovered packet. The other
// receiver often has an event waiting in the same round of the loop; it must never be called
// after its destruction, nor publish after its disconnection.
#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "ReliabilitySupport.h"
#include "veltonet/companion/Message.h"
#include "veltonet/frame/ReceiverManager.h"
#include "veltonet/receiver.h"
#include "veltonet/tcp/TCPReceiver.h"
#include "veltonet/variants/MulticastSequenceReceiver.h"
#include "veltonet/variants/VariantsTestSupport.h"

namespace veltonet {
namespace {

using test::ConnectReceiver;
using test::Frame;
namespace raw = test::raw;

// What makes the observer act: a notification, or the message a recovered packet releases
// (acting on another receiver or on the repair receiver itself).
enum class Trigger { Connected, Received, Disconnected, RecoveredOther, RecoveredRepair };
enum class Action { DelayedDestroy, Disconnect, Delete };
using Case = std::tuple<Trigger, Action>;

std::string CaseName(const ::testing::TestParamInfo<Case>& info) {
    const char* const triggers[] = {"Connected", "Received", "Disconnected", "OtherReceiver",
                                    "RepairReceiver"};
    const char* const actions[] = {"DelayedDestroy", "RDisconnect", "RDeleteReceiver"};
    return std::string(triggers[int(std::get<0>(info.param))]) + "_" +
           actions[int(std::get<1>(info.param))];
}

// A receiver that tells when it is gone.
class TrackedReceiver : public TCPReceiver {
  public:
    TrackedReceiver(const char* name, uint16_t port, std::set<const Observable*>* destroyed)
        : TCPReceiver(name, "127.0.0.1", port, 0), m_destroyed(destroyed) {}
    ~TrackedReceiver() override { m_destroyed->insert(this); }

  private:
    std::set<const Observable*>* m_destroyed;
};

// The fixture observes every receiver. It acts once, on the first message that matches, and
// from then on checks that the receiver it acted on is never heard from again (and never
// called: a destroyed one is caught here or by the sanitizer).
class ReentrantDestructionTest : public test::ManagerTest,
                                 public ::testing::WithParamInterface<Case>,
                                 public Observer {
  protected:
    void TearDown() override {
        DetachFromAll();
        for (TCPReceiver* receiver : owned) {
            if (destroyed.count(receiver) == 0 && !receiver->toDestroy()) {
                delete receiver;
            }
        }
        for (int fd : fds) {
            raw::Close(fd);
        }
        test::ManagerTest::TearDown();
    }

    void OnMessage(const Message* message, Observable* source) override {
        EXPECT_EQ(destroyed.count(source), 0u) << "notification from a destroyed receiver";
        EXPECT_FALSE(source == target && !acting)
            << "type " << message->GetType() << " published after the action";
        if (target != nullptr || !matches || !matches(message)) {
            return;
        }
        actor = static_cast<TCPReceiver*>(source);
        target = targetOf(actor);
        acting = true;
        switch (action) {
            case Action::DelayedDestroy:
                target->DelayedDestroy();
                break;
            case Action::Disconnect:
                R_Disconnect(target, false);
                break;
            case Action::Delete:
                R_DeleteReceiver(target);
                break;
        }
        acting = false;
        // Deleting from a notification defers the destruction, but not the deregistration.
        EXPECT_EQ(Manager().isRegistered(target), action == Action::Disconnect);
    }

    // A receiver with a raw server of its own, connected; its peer in *peer.
    TrackedReceiver* MakeReceiver(const char* name, int* peer) {
        uint16_t port = 0;
        const int server = raw::Listen(&port);
        fds.push_back(server);
        auto* receiver = new TrackedReceiver(name, port, &destroyed);
        receiver->Add(this);
        owned.push_back(receiver);
        EXPECT_TRUE(ConnectReceiver(*receiver));
        *peer = raw::AcceptWithin(server, 2000);
        EXPECT_GE(*peer, 0);
        fds.push_back(*peer);
        return receiver;
    }

    // After the action: the target is gone (or disconnected and quiet).
    void CheckTarget() {
        ASSERT_TRUE(PumpUntil([&] { return target != nullptr; }));
        PumpRounds(20);
        if (action == Action::Disconnect) {
            EXPECT_EQ(destroyed.count(target), 0u);
            EXPECT_FALSE(target->isConnected());
        } else {
            EXPECT_TRUE(PumpUntil([&] { return destroyed.count(target) != 0; }))
                << "the target was never deleted";
        }
    }

    Action action = std::get<1>(GetParam());
    std::function<bool(const Message*)> matches;
    std::function<TCPReceiver*(TCPReceiver* actor)> targetOf;
    TCPReceiver* actor = nullptr;
    TCPReceiver* target = nullptr;
    bool acting = false;
    std::set<const Observable*> destroyed;
    std::vector<TCPReceiver*> owned;
    std::vector<int> fds;
};

TEST_P(ReentrantDestructionTest, TheOtherReceiverIsNeverCalledAfterwards) {
    const Trigger trigger = std::get<0>(GetParam());
    // Both receivers get their event in the same round; whichever notifies first acts on the
    // other, whose own event then waits in that round.
    const uint16_t wanted =
        std::array<uint16_t, 3>{kMsgConnected, 940, kMsgDisconnected}[int(trigger)];
    matches = [wanted](const Message* m) { return m->GetType() == wanted; };
    int peerA = -1;
    int peerB = -1;
    TrackedReceiver* a = MakeReceiver("a", &peerA);
    TrackedReceiver* b = MakeReceiver("b", &peerB);
    targetOf = [a, b](TCPReceiver* actor) -> TCPReceiver* { return actor == a ? b : a; };
    if (trigger != Trigger::Connected) {
        ASSERT_TRUE(PumpUntil([&] { return a->isConnected() && b->isConnected(); }));
        if (trigger == Trigger::Received) {
            ASSERT_TRUE(raw::SendAll(peerA, Frame(940, "a") + Frame(941, "a")));
            ASSERT_TRUE(raw::SendAll(peerB, Frame(940, "b") + Frame(941, "b")));
        } else {
            raw::Reset(peerA);
            raw::Reset(peerB);
            std::erase(fds, peerA);
            std::erase(fds, peerB);
        }
    }
    CheckTarget();
    // The receiver that acted still works.
    if (actor->isConnected()) {
        test::RecordingObserver probe;
        actor->Add(&probe);
        const std::string m = Frame(950, "still alive");
        ASSERT_TRUE(raw::SendAll(actor == a ? peerA : peerB, m));
        EXPECT_TRUE(PumpUntil([&] { return !probe.records.empty(); }));
        EXPECT_EQ(probe.records.at(0).bytes, m);
    }
}

const auto kActions = ::testing::Values(Action::DelayedDestroy, Action::Disconnect, Action::Delete);
INSTANTIATE_TEST_SUITE_P(AllNotifications, ReentrantDestructionTest,
                         ::testing::Combine(::testing::Values(Trigger::Connected, Trigger::Received,
                                                              Trigger::Disconnected),
                                            kActions),
                         CaseName);

using DestroyAllTest = test::ManagerTest;

TEST_F(DestroyAllTest, FromAReceiveNotificationTheBusyReceiverGoesWhenItsNotificationEnds) {
    std::set<const Observable*> destroyed;
    uint16_t port = 0;
    const int server = raw::Listen(&port);
    auto* busy = new TrackedReceiver("busy", port, &destroyed);
    auto* idle = new TrackedReceiver("idle", port, &destroyed);
    test::RecordingObserver observer;
    busy->Add(&observer);
    ASSERT_TRUE(ConnectReceiver(*busy));
    const int peer = raw::AcceptWithin(server, 2000);
    ASSERT_TRUE(PumpUntil([&] { return busy->isConnected(); }));
    observer.records.clear();
    observer.onMessage = [&](const Message* message, Observable*) {
        if (message->GetType() != 940)
            return;
        R_DestroyAllReceivers();
        EXPECT_EQ(R_GetReceiverCount(), 0u);
        EXPECT_EQ(destroyed, std::set<const Observable*>{idle});
    };
    ASSERT_TRUE(raw::SendAll(peer, Frame(940, "") + Frame(941, "")));
    ASSERT_TRUE(PumpUntil([&] { return destroyed.count(busy) != 0; }));
    EXPECT_EQ(observer.Types(), std::vector<uint16_t>{940});  // framing stopped at once
    raw::Close(peer);
    raw::Close(server);
}

// The message of a held packet, released by the repair packet that closes the gap, makes the
// observer act on an unrelated receiver or on the repair receiver itself, whose receive
// processing is on the stack.
class RecoveredPacketTest : public ReentrantDestructionTest {};

TEST_P(RecoveredPacketTest, ActingFromARecoveredPacketIsSafe) {
    test::DatagramSender sender;
    ASSERT_TRUE(sender.ok);
    auto* seq = new MulticastSequenceReceiver("seq", "", 0);
    owned.push_back(seq);
    ASSERT_TRUE(ConnectReceiver(*seq));
    int repairPeer = -1;
    int otherPeer = -1;
    TrackedReceiver* repair = MakeReceiver("repair", &repairPeer);
    TrackedReceiver* other = MakeReceiver("other", &otherPeer);
    ASSERT_TRUE(PumpUntil([&] { return repair->isConnected() && other->isConnected(); }));
    seq->SetRepairReceiver(repair);
    seq->Add(this);
    const bool onRepair = std::get<0>(GetParam()) == Trigger::RecoveredRepair;
    matches = [](const Message* m) {
        return m->GetType() == 3000 &&
               std::string(reinterpret_cast<const char*>(m->Bytes()) + 4, m->GetSize() - 4) == "p3";
    };
    targetOf = [&](TCPReceiver*) -> TCPReceiver* { return onRepair ? repair : other; };
    auto feed = [&](uint32_t n) {
        const unsigned before = seq->GetSizeReceived();
        ASSERT_TRUE(sender.Send(test::Packet(n), seq->GetLocalPort()));
        ASSERT_TRUE(PumpUntil([&] { return seq->GetSizeReceived() > before; }));
    };
    feed(1);
    feed(3);
    ASSERT_EQ(seq->GetDelayedMessageCount(), 1u);
    ASSERT_EQ(raw::ReadAvailable(repairPeer, 2000), test::RepairRequest(2));
    // The repair packet, and data for the other receiver in the same round.
    ASSERT_TRUE(raw::SendAll(otherPeer, Frame(960, "other")));
    ASSERT_TRUE(raw::SendAll(repairPeer, test::Packet(2)));
    CheckTarget();
    // The feed goes on: the next packet in order is delivered, not held behind a gap.
    test::RecordingObserver after;
    seq->Add(&after);
    feed(4);
    EXPECT_EQ(test::Payloads(after), std::vector<std::string>{"p4"});
    if (action != Action::Disconnect && onRepair) {
        EXPECT_EQ(seq->GetRepairReceiver(), nullptr)
            << "a destroyed repair receiver stays attached";
    }
}

INSTANTIATE_TEST_SUITE_P(Targets, RecoveredPacketTest,
                         ::testing::Combine(::testing::Values(Trigger::RecoveredOther,
                                                              Trigger::RecoveredRepair),
                                            kActions),
                         CaseName);

}  // namespace
}  // namespace veltonet
