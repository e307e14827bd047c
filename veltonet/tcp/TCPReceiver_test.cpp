#include "veltonet/tcp/TCPReceiver.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "support/TestSupport.h"
#include "veltonet/platform/SocketOptions.h"
#include "veltonet/platform/WinsockErrors.h"
#include "veltonet/tcp/LogFolder.h"

namespace veltonet {
namespace {

using test::RecordingObserver;
using Types = std::vector<uint16_t>;
namespace raw = test::raw;

// Counts its own destruction, so tests can see deferred deletion happen.
class CountedReceiver : public TCPReceiver {
  public:
    CountedReceiver(unsigned short port, int* destroyed, unsigned int reconnectSeconds = 0)
        : TCPReceiver("counted", "127.0.0.1", port, reconnectSeconds), m_destroyed(destroyed) {}
    ~CountedReceiver() override { ++*m_destroyed; }

  private:
    int* m_destroyed;
};

class TCPReceiverTest : public test::ManagerTest {
  protected:
    void TearDown() override {
        raw::Close(peer);
        raw::Close(listenFd);
        test::ManagerTest::TearDown();
    }

    uint16_t StartServer() {
        uint16_t port = 0;
        listenFd = raw::Listen(&port);
        return port;
    }

    // What R_ConnectReceiver does.
    static bool Connect(TCPReceiver* receiver) {
        receiver->InvalidateSocket(true);
        return receiver->CreateSocket();
    }

    // Takes the connection the receiver made and closes it from the server's side.
    void ClosePeer() {
        peer = raw::AcceptWithin(listenFd, 1000);
        raw::Close(peer);
        peer = -1;
    }

    int listenFd = -1;
    int peer = -1;
};

TEST_F(TCPReceiverTest, DisconnectWhileConnectingDropsThatConnectionButNotTheNext) {
    uint16_t port = StartServer();
    auto* receiver = new TCPReceiver("feed", "127.0.0.1", port, 0);
    RecordingObserver observer;
    receiver->Add(&observer);
    Connect(receiver);

    EXPECT_FALSE(receiver->Disconnect());
    EXPECT_TRUE(receiver->isDisconnectPending());
    ASSERT_TRUE(PumpUntil([&] { return !receiver->isConnecting(); }));
    EXPECT_FALSE(receiver->isConnected());
    EXPECT_FALSE(receiver->isDisconnectPending());

    // The cleared request lets a later connect complete.
    ASSERT_TRUE(Connect(receiver));
    EXPECT_TRUE(receiver->isConnecting());
    ASSERT_TRUE(PumpUntil([&] { return receiver->isConnected(); }));
    EXPECT_EQ(observer.Types(), (Types{kMsgConnecting, kMsgConnecting, kMsgConnected}));
    EXPECT_TRUE(receiver->LookupHandle());
    EXPECT_FALSE(receiver->isCondemned());
}

TEST_F(TCPReceiverTest, DisconnectRequestEndsWithAFailedAttemptSoTheNextConnectCompletes) {
    auto* receiver = new TCPReceiver("feed", "127.0.0.1", raw::FreePort(), 0);
    RecordingObserver observer;
    receiver->Add(&observer);
    Connect(receiver);
    receiver->DisconnectAndNotify(false);
    ASSERT_TRUE(PumpUntil([&] { return observer.Count(kMsgConnectFailed) == 1; }));
    EXPECT_FALSE(receiver->isDisconnectPending());

    receiver->SetPort(StartServer());
    ASSERT_TRUE(Connect(receiver));
    ASSERT_TRUE(PumpUntil([&] { return receiver->isConnected(); }));
    EXPECT_EQ(observer.Types(),
              (Types{kMsgConnecting, kMsgConnectFailed, kMsgConnecting, kMsgConnected}));
}

TEST_F(TCPReceiverTest, ConnectFailingAtOnceEndsItsAttemptAndTheNextTickTriesTheNextAddress) {
    uint16_t port = 0;  // 127.0.0.1 refuses, 0.0.0.0 fails at once, 127.0.0.2 listens
    listenFd = raw::ListenOn("127.0.0.2", &port);
    ASSERT_GE(listenFd, 0);
    auto* receiver = new TCPReceiver("feed", "127.0.0.1", port, 1);
    receiver->AddIp("0.0.0.0");
    receiver->AddIp("127.0.0.2");
    RecordingObserver observer;
    receiver->Add(&observer);
    Connect(receiver);
    for (int tick = 0; tick < 6 && !receiver->isConnected(); ++tick) {
        PumpUntil([&] { return !receiver->isConnecting(); });
        Tick(1000);
    }
    ASSERT_TRUE(PumpUntil([&] { return receiver->isConnected(); }));
    EXPECT_EQ(receiver->GetIp(), std::string("127.0.0.2"));
    EXPECT_EQ(receiver->GetIps(), (TCPReceiver::IpList{"127.0.0.2", "127.0.0.1"}));
    std::vector<uint32_t> failures;
    for (const auto& record : observer.records) {
        if (record.type == kMsgConnectFailed)
            failures.push_back(record.Value());
    }
    EXPECT_EQ(failures,
              (std::vector<uint32_t>{kWsaEconnrefused, kWsaEaddrnotavail, kWsaEconnrefused}));
}

TEST_F(TCPReceiverTest, RefusedConnectPublishesItsCodeQuietlyAndTheTimerRetriesOnAFreshSocket) {
    auto* receiver = new TCPReceiver("feed", "127.0.0.1", raw::FreePort(), 5);
    RecordingObserver observer;
    receiver->Add(&observer);
    Connect(receiver);
    ASSERT_TRUE(PumpUntil([&] { return observer.Count(kMsgConnectFailed) == 1; }));
    EXPECT_EQ(observer.records.back().size, 8);
    EXPECT_EQ(observer.records.back().Value(), uint32_t(kWsaEconnrefused));
    EXPECT_TRUE(logs->records.empty());
    EXPECT_EQ(receiver->GetCurrentReconnectSeconds(), 5u);
    EXPECT_EQ(Loop().GetTimerPeriod(reinterpret_cast<TimerId>(receiver)), 5000u);

    // A failed socket cannot connect again on Linux: the next attempt must still work.
    receiver->SetPort(StartServer());
    Tick(5000);
    ASSERT_TRUE(PumpUntil([&] { return receiver->isConnected(); }));
    EXPECT_EQ(receiver->GetCurrentReconnectSeconds(), 0u);
    EXPECT_EQ(Loop().GetTimerCount(), 0u);
    // The retry ran on a fresh descriptor: the local port is the one the server sees.
    peer = raw::AcceptWithin(listenFd, 1000);
    ASSERT_GE(peer, 0);
    EXPECT_EQ(receiver->GetLocalPort(), test::raw::PeerPort(peer));
    EXPECT_EQ(observer.Types(),
              (Types{kMsgConnecting, kMsgConnectFailed, kMsgConnecting, kMsgConnected}));
}

TEST_F(TCPReceiverTest, ConnectErrorsAreLoggedInTwoRecordsUntilTheLogIsSwitchedOff) {
    auto* receiver = new TCPReceiver("feed", "127.0.0.5", 9, 0);
    receiver->AddIp("127.0.0.6");
    receiver->AddIp("127.0.0.5");
    RecordingObserver observer;
    receiver->Add(&observer);

    receiver->OnConnect(kWsaEtimedout);
    ASSERT_EQ(logs->Texts(),
              (std::vector<std::string>{
                  "ERROR OnConnect (next line)",
                  "The attempt to connect timed out without establishing a connection"}));
    EXPECT_EQ(logs->records[0].source, "feed");
    EXPECT_EQ(logs->records[0].address, "127.0.0.5");
    EXPECT_EQ(logs->records[0].log, "SocketErrors");
    EXPECT_EQ(observer.Count(kMsgConnectFailed), 1u);

    // An address that is not available goes from the list, every copy of it.
    receiver->OnConnect(kWsaEaddrnotavail);
    EXPECT_EQ(receiver->GetIps(), TCPReceiver::IpList{"127.0.0.6"});
    EXPECT_TRUE(logs->Contains("The specified address is not available from the local machine"));

    logs->records.clear();
    receiver->SetLog("", nullptr);
    EXPECT_EQ(receiver->GetLogHandle(), nullptr);
    receiver->OnConnect(kWsaEtimedout);
    EXPECT_TRUE(logs->records.empty());
    receiver->SetLog("Other", logFolder.c_str());
    receiver->LogMessage("feed", "hello", "");
    ASSERT_EQ(logs->records.size(), 1u);
    EXPECT_EQ(logs->records[0].log, "Other");
}

TEST_F(TCPReceiverTest, ReconnectTimerRotatesTheAddressesUntilPersistenceIsSwitchedOff) {
    auto* receiver = new TCPReceiver("feed", "127.0.0.2", raw::FreePort(), 5);
    receiver->AddIp("127.0.0.3");
    receiver->AddIp("127.0.0.4");
    receiver->Reconnect();
    receiver->Reconnect();  // a second start keeps the one timer
    EXPECT_EQ(Loop().GetTimerCount(), 1u);

    std::vector<std::string> tried;
    for (int i = 0; i < 3; ++i) {
        Tick(5000);
        tried.push_back(receiver->GetIp());
        PumpUntil([&] { return !receiver->isConnecting(); });
    }
    EXPECT_EQ(tried, (std::vector<std::string>{"127.0.0.3", "127.0.0.4", "127.0.0.2"}));

    receiver->SetPersistent(0);
    EXPECT_EQ(receiver->GetCurrentReconnectSeconds(), 0u);
    EXPECT_EQ(Loop().GetTimerCount(), 0u);
    receiver->DisconnectAndNotify(true);  // a later drop starts nothing
    EXPECT_EQ(Loop().GetTimerCount(), 0u);
    receiver->SetPersistent(5);
    receiver->Reconnect();
    delete receiver;  // takes its timer with it
    EXPECT_EQ(Loop().GetTimerCount(), 0u);
}

TEST_F(TCPReceiverTest, DelayedDestroyDeletesAnIdleReceiverAtOnceAndAConnectingOneAtItsResult) {
    int destroyed = 0;
    auto* idle = new CountedReceiver(9, &destroyed);
    EXPECT_EQ(Manager().GetReceivers().size(), 1u);
    EXPECT_FALSE(idle->DelayedDestroy());
    EXPECT_EQ(destroyed, 1);
    EXPECT_TRUE(Manager().GetReceivers().empty());

    auto* connecting = new CountedReceiver(StartServer(), &destroyed);
    Connect(connecting);
    EXPECT_TRUE(connecting->DelayedDestroy());
    EXPECT_EQ(destroyed, 1);
    EXPECT_TRUE(Manager().GetReceivers().empty());
    ASSERT_TRUE(PumpUntil([&] { return destroyed == 2; }));
    EXPECT_TRUE(logs->Contains("TCPReceiver::OnConnect ERROR m_toDestroy"));
}

TEST_F(TCPReceiverTest, PeerCloseStartsTheRetryAndAnObserverMayDestroyTheReceiverOnIt) {
    int destroyed = 0;
    auto* receiver = new CountedReceiver(StartServer(), &destroyed, 3);
    RecordingObserver observer;
    receiver->Add(&observer);
    Connect(receiver);
    ASSERT_TRUE(PumpUntil([&] { return receiver->isConnected(); }));
    ClosePeer();
    ASSERT_TRUE(PumpUntil([&] { return observer.Count(kMsgDisconnected) == 1; }));
    EXPECT_FALSE(receiver->isConnected());
    EXPECT_EQ(receiver->GetSocket(), nullptr);
    EXPECT_EQ(receiver->GetCurrentReconnectSeconds(), 3u);

    // The next tick reconnects; the next close is the observer's cue to destroy the receiver,
    // from inside the receiver's own notification.
    Tick(3000);
    ASSERT_TRUE(PumpUntil([&] { return receiver->isConnected(); }));
    observer.onMessage = [&](const Message* message, Observable*) {
        if (message->GetType() == kMsgDisconnected)
            receiver->DelayedDestroy();
    };
    ClosePeer();
    ASSERT_TRUE(PumpUntil([&] { return destroyed == 1; }));
    EXPECT_EQ(observer.Count(kMsgDisconnected), 2u);
}

TEST_F(TCPReceiverTest, EmptyAddressNeverConnectsAndTheObserverNameListsAddressesAndPort) {
    auto* receiver = new TCPReceiver("feed", "", 5000, 0);
    EXPECT_TRUE(receiver->GetIps().empty());
    EXPECT_FALSE(Connect(receiver));
    EXPECT_FALSE(receiver->isConnecting());
    receiver->AddIp("a");
    receiver->AddIp("b");
    EXPECT_STREQ(receiver->GetObserverName(), "TCPReceiver feed a b 5000");
}

TEST_F(TCPReceiverTest, TifSupport) {
    TCPReceiver receiver("feed", "a", 5000, 0);
    EXPECT_TRUE(receiver.isTifSupported("SDOT", 0));
    EXPECT_FALSE(receiver.isTifSupported("TRAC", 1));
    EXPECT_FALSE(receiver.isTifSupported("STOP", 0));
    EXPECT_TRUE(receiver.isTifSupported("SIZE", 99999));
    EXPECT_FALSE(receiver.isTifSupported("SIZE", 1));
    EXPECT_TRUE(receiver.isTifSupported("OTHER", 7));
}

TEST_F(TCPReceiverTest, BufferSizeOptionsAreRememberedWithoutASocket) {
    TCPReceiver receiver("feed", "127.0.0.1", 5000, 0);
    uint32_t receive = 131072;
    uint32_t send = 4096;
    EXPECT_EQ(receiver.SetSockOpt(kSoRcvBuf, &receive, 4, kSolSocket), 0);
    receiver.SetSockOpt(kSoSndBuf, &send, 4, kSolSocket);
    uint32_t read = 0;
    int length = 4;
    EXPECT_EQ(receiver.GetSockOpt(kSoRcvBuf, &read, &length, kSolSocket), 0);
    EXPECT_EQ(read, 131072u);
    EXPECT_EQ(receiver.GetSockOpt(kSoSndBuf, &read, &length, kSolSocket), 0);
    EXPECT_EQ(read, 4096u);
}

TEST(LogFolderTest, ReadsTheFolderFromVeltoIniBesideTheExecutable) {
    namespace fs = std::filesystem;
    const fs::path folder = test::MakeTempFolder();
    const std::string executable = (folder / "host").string();

    EXPECT_EQ(ConfiguredLogFolder(executable), "");  // no ini
    std::ofstream(folder / "Velto.ini") << "[folder]\nlog = /var/tmp/desk-logs\n";
    EXPECT_EQ(ConfiguredLogFolder(executable), "/var/tmp/desk-logs");
    // The answer is kept between receivers, but a changed file is read again.
    std::ofstream(folder / "Velto.ini") << "[folder]\nlog = /var/tmp/other-desk-logs\n";
    EXPECT_EQ(ConfiguredLogFolder(executable), "/var/tmp/other-desk-logs");
    fs::remove(folder / "Velto.ini");
    EXPECT_EQ(ConfiguredLogFolder(executable), "");
    EXPECT_EQ(ConfiguredLogFolder(std::string(300, 'x')), "");
    fs::remove_all(folder);
}

}  // namespace
}  // namespace veltonet
