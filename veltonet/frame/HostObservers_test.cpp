#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "veltonet/companion/Log.h"
#include "veltonet/companion/Message.h"
#include "veltonet/companion/Observable.h"
#include "veltonet/receiver.h"

namespace veltonet {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

// Stands for a receiver: Observable is its first base, so its handle is its address.
struct FakeReceiver : Observable {
    void* Handle() { return this; }
};

struct Delivery {
    void* context;
    void* observable;
    std::vector<unsigned char> bytes;
    bool operator==(const Delivery&) const = default;
};

// Per-observer context: where deliveries go and what to do on the next one.
struct Host {
    std::vector<Delivery> deliveries;
    std::function<void(void* observable)> action;
};

void R_CALL OnMessage(void* context, void* observable, const void* message) {
    auto* host = static_cast<Host*>(context);
    const auto* bytes = static_cast<const unsigned char*>(message);
    const uint16_t size = uint16_t(bytes[0] | bytes[1] << 8);
    host->deliveries.push_back(Delivery{context, observable, {bytes, bytes + size}});
    if (host->action) {
        auto action = host->action;
        action(observable);
    }
}

std::vector<unsigned char> Bytes(std::initializer_list<int> values) {
    return std::vector<unsigned char>(values.begin(), values.end());
}

TEST(HostObserversTest, CallbackGetsContextObservableAndTheMessageBytes) {
    FakeReceiver receiver;
    Host host;
    void* observer = RX_CreateObserver(OnMessage, &host);
    ASSERT_NE(observer, nullptr);
    EXPECT_EQ(RX_AddObserver(receiver.Handle(), observer), 1);

    const ValueMessage failed(kMsgConnectFailed, 10061);
    receiver.Notify(&failed);

    // 60009 = 0xEA69, 10061 = 0x274D, little-endian.
    EXPECT_THAT(host.deliveries,
                ElementsAre(Delivery{&host, receiver.Handle(),
                                     Bytes({8, 0, 0x69, 0xEA, 0x4D, 0x27, 0, 0})}));
    RX_DestroyObserver(observer);
}

TEST(HostObserversTest, AddAndRemoveAnswerLikeBool) {
    FakeReceiver receiver;
    Host host;
    void* observer = RX_CreateObserver(OnMessage, &host);

    EXPECT_EQ(RX_AddObserver(receiver.Handle(), observer), 1);
    EXPECT_EQ(RX_AddObserver(receiver.Handle(), observer), 0);
    EXPECT_EQ(RX_RemoveObserver(receiver.Handle(), observer), 1);
    EXPECT_EQ(RX_RemoveObserver(receiver.Handle(), observer), 0);
    EXPECT_EQ(RX_AddObserver(nullptr, observer), 0);
    EXPECT_EQ(RX_AddObserver(receiver.Handle(), nullptr), 0);
    EXPECT_EQ(RX_RemoveObserver(nullptr, observer), 0);
    EXPECT_EQ(RX_RemoveObserver(receiver.Handle(), nullptr), 0);

    const HeaderMessage connected(kMsgConnected);
    receiver.Notify(&connected);
    EXPECT_THAT(host.deliveries, IsEmpty());
    RX_DestroyObserver(observer);
}

TEST(HostObserversTest, NullCallbackGivesNoObserverAndNullDestroyIsHarmless) {
    EXPECT_EQ(RX_CreateObserver(nullptr, nullptr), nullptr);
    RX_DestroyObserver(nullptr);
}

TEST(HostObserversTest, DestroyedObserverIsDetachedFromEveryObservable) {
    FakeReceiver quotes;
    FakeReceiver orders;
    Host host;
    void* observer = RX_CreateObserver(OnMessage, &host);
    RX_AddObserver(quotes.Handle(), observer);
    RX_AddObserver(orders.Handle(), observer);

    RX_DestroyObserver(observer);

    EXPECT_EQ(quotes.GetObserverCount(), 0u);
    EXPECT_EQ(orders.GetObserverCount(), 0u);
    const HeaderMessage connected(kMsgConnected);
    quotes.Notify(&connected);
    orders.Notify(&connected);
    EXPECT_THAT(host.deliveries, IsEmpty());
}

TEST(HostObserversTest, CallbacksMayDestroyAddAndRemoveObserversDuringANotification) {
    FakeReceiver receiver;
    Host first;
    Host second;
    Host third;
    void* firstObserver = RX_CreateObserver(OnMessage, &first);
    void* secondObserver = RX_CreateObserver(OnMessage, &second);
    void* thirdObserver = RX_CreateObserver(OnMessage, &third);
    RX_AddObserver(receiver.Handle(), firstObserver);
    RX_AddObserver(receiver.Handle(), secondObserver);
    // The first destroys itself and the second, and brings in the third.
    first.action = [&](void* observable) {
        RX_DestroyObserver(firstObserver);
        RX_DestroyObserver(secondObserver);
        EXPECT_EQ(RX_AddObserver(observable, thirdObserver), 1);
    };

    const HeaderMessage connecting(kMsgConnecting);
    const HeaderMessage connected(kMsgConnected);
    receiver.Notify(&connecting);
    receiver.Notify(&connected);

    EXPECT_EQ(first.deliveries.size(), 1u);
    EXPECT_THAT(second.deliveries, IsEmpty());
    ASSERT_EQ(third.deliveries.size(), 1u);
    EXPECT_EQ(third.deliveries[0].bytes, Bytes({4, 0, 0x61, 0xEA}));
    RX_DestroyObserver(thirdObserver);
}

struct LogRecord {
    std::string logName;
    std::string source;
    std::string text;
    std::optional<std::string> address;
    bool operator==(const LogRecord&) const = default;
};

void R_CALL OnLog(void* context, const char* logName, const char* source, const char* text,
                  const char* address) {
    static_cast<std::vector<LogRecord>*>(context)->push_back(LogRecord{
        logName, source, text, address ? std::optional<std::string>(address) : std::nullopt});
}

TEST(HostObserversTest, LogCallbackGetsRecordsUntilTurnedOff) {
    std::string pattern = (fs::temp_directory_path() / "veltonet-host-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    const fs::path folder = pattern;
    std::vector<LogRecord> records;
    LogHandle log = OpenLog(0, "SocketErrors", folder.c_str());
    ASSERT_NE(log, nullptr);

    RX_SetLogCallback(OnLog, &records);
    WriteLog(log, "Quotes", "Connection refused", "127.0.0.1", 0, -1, 1000, 0);
    WriteLog(log, "LogoutReceived", "2", nullptr, 0, -1, 1000, 0);
    RX_SetLogCallback(nullptr, nullptr);
    WriteLog(log, "Quotes", "not forwarded", "", 0, -1, 1000, 0);

    EXPECT_THAT(records,
                ElementsAre(LogRecord{"SocketErrors", "Quotes", "Connection refused", "127.0.0.1"},
                            LogRecord{"SocketErrors", "LogoutReceived", "2", std::nullopt}));
    CloseLog(log);
    fs::remove_all(folder);
}

}  // namespace
}  // namespace veltonet
