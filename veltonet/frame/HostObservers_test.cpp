#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "veltonet/companion/Message.h"
#include "veltonet/companion/Observable.h"
#include "veltonet/receiver.h"

namespace veltonet {
namespace {

// Stands for a receiver: Observable is its first base, so its handle is its address.
struct FakeReceiver : Observable {
    void* Handle() { return this; }
    void Send(uint16_t type) {
        const HeaderMessage message(type);
        Notify(&message);
    }
};

// Per-observer context: what the callback got, and what to do on the next one.
struct Host {
    std::vector<void*> observables;
    std::vector<std::string> messages;  // the whole message, header included
    std::function<void(void* observable)> action;
};

void R_CALL OnMessage(void* context, void* observable, const void* message) {
    auto* host = static_cast<Host*>(context);
    const auto* bytes = static_cast<const char*>(message);
    host->observables.push_back(observable);
    host->messages.emplace_back(bytes, uint8_t(bytes[0]) | uint8_t(bytes[1]) << 8);
    if (auto action = host->action)
        action(observable);
}

TEST(HostObserversTest, CallbackGetsItsContextTheObservableAndTheMessageBytes) {
    EXPECT_EQ(RX_CreateObserver(nullptr, nullptr), nullptr);  // calls nothing: no observer
    RX_DestroyObserver(nullptr);
    FakeReceiver receiver;
    Host host;
    void* observer = RX_CreateObserver(OnMessage, &host);
    EXPECT_EQ(RX_AddObserver(receiver.Handle(), observer), 1);
    EXPECT_EQ(RX_AddObserver(receiver.Handle(), observer), 0);

    const ValueMessage failed(kMsgConnectFailed, 10061);
    receiver.Notify(&failed);
    // 60009 = 0xEA69, 10061 = 0x274D, little-endian.
    EXPECT_EQ(host.messages,
              std::vector<std::string>{std::string("\x08\0\x69\xEA\x4D\x27\0\0", 8)});
    EXPECT_EQ(host.observables, std::vector<void*>{receiver.Handle()});

    EXPECT_EQ(RX_RemoveObserver(receiver.Handle(), observer), 1);
    EXPECT_EQ(RX_RemoveObserver(receiver.Handle(), observer), 0);
    EXPECT_EQ(RX_AddObserver(nullptr, observer), 0);
    EXPECT_EQ(RX_AddObserver(receiver.Handle(), nullptr), 0);
    EXPECT_EQ(RX_RemoveObserver(nullptr, observer), 0);
    EXPECT_EQ(RX_RemoveObserver(receiver.Handle(), nullptr), 0);
    receiver.Send(kMsgConnected);
    EXPECT_EQ(host.messages.size(), 1u);
    RX_DestroyObserver(observer);
}

TEST(HostObserversTest, DestroyedObserversAreDetachedEvenInsideANotification) {
    FakeReceiver receiver, other;
    Host first, second, third;
    void* firstObserver = RX_CreateObserver(OnMessage, &first);
    void* secondObserver = RX_CreateObserver(OnMessage, &second);
    void* thirdObserver = RX_CreateObserver(OnMessage, &third);
    RX_AddObserver(receiver.Handle(), firstObserver);
    RX_AddObserver(receiver.Handle(), secondObserver);
    RX_AddObserver(other.Handle(), secondObserver);
    // The first destroys itself and the second, and brings in the third.
    first.action = [&](void* observable) {
        RX_DestroyObserver(firstObserver);
        RX_DestroyObserver(secondObserver);
        EXPECT_EQ(RX_AddObserver(observable, thirdObserver), 1);
    };

    receiver.Send(kMsgConnecting);
    receiver.Send(kMsgConnected);
    other.Send(kMsgConnected);

    EXPECT_EQ(first.messages.size(), 1u);
    EXPECT_TRUE(second.messages.empty());
    EXPECT_EQ(other.GetObserverCount(), 0u);
    EXPECT_EQ(third.messages, std::vector<std::string>{std::string("\x04\0\x61\xEA", 4)});
    RX_DestroyObserver(thirdObserver);
}

}  // namespace
}  // namespace veltonet
