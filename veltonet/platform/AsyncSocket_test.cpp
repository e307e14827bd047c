#include "veltonet/platform/AsyncSocket.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "veltonet/platform/Clock.h"
#include "veltonet/platform/EventLoop.h"
#include "veltonet/platform/SocketOptions.h"
#include "veltonet/platform/WinsockErrors.h"

namespace veltonet {
namespace {

using Journal = std::vector<std::string>;

// Records every notification as "<name>:<what>:<error>". By default it reads up to readChunk
// bytes per OnReceive; a hook replaces that default and runs last, so it may delete the probe.
class Probe : public AsyncSocket {
  public:
    using Hook = std::function<void(Probe&)>;

    Probe(Journal& journal, std::string name) : m_journal(journal), m_name(std::move(name)) {}

    void OnReceive(int error) override {
        Record("receive", error);
        if (onReceive) {
            onReceive(*this);
            return;
        }
        ReadChunk();
    }
    void OnSend(int error) override { RecordThenHook("send", error, onSend); }
    void OnOutOfBandData(int error) override { RecordThenHook("oob", error, onOutOfBand); }
    void OnAccept(int error) override { RecordThenHook("accept", error, onAccept); }
    void OnConnect(int error) override { RecordThenHook("connect", error, onConnect); }
    void OnClose(int error) override { RecordThenHook("close", error, onClose); }

    int ReadChunk() {
        std::string buffer(static_cast<size_t>(readChunk), '\0');
        int count = Receive(buffer.data(), readChunk);
        if (count > 0) {
            received.append(buffer.data(), static_cast<size_t>(count));
        }
        return count;
    }

    Hook onReceive, onSend, onOutOfBand, onAccept, onConnect, onClose;
    int readChunk = 65536;
    std::string received;

  private:
    void Record(const char* what, int error) {
        m_journal.push_back(m_name + ":" + what + ":" + std::to_string(error));
    }
    void RecordThenHook(const char* what, int error, const Hook& hook) {
        Record(what, error);
        if (hook) {
            Hook copy = hook;  // the hook may delete this probe and with it the original
            copy(*this);
        }
    }

    Journal& m_journal;
    std::string m_name;
};

int Count(const Journal& journal, const std::string& entry) {
    return static_cast<int>(std::count(journal.begin(), journal.end(), entry));
}

Journal Only(const Journal& journal, const std::string& prefix) {
    Journal selected;
    for (const std::string& entry : journal) {
        if (entry.rfind(prefix, 0) == 0) {
            selected.push_back(entry);
        }
    }
    return selected;
}

int IntOption(int fd, int level, int option) {
    int value = -1;
    socklen_t length = sizeof(value);
    EXPECT_EQ(getsockopt(fd, level, option, &value, &length), 0);
    return value;
}

class AsyncSocketTest : public ::testing::Test {
  protected:
    // Rounds until done holds, for at most five seconds.
    bool PumpUntil(const std::function<bool()>& done) {
        SteadyClock clock;
        uint64_t giveUpAt = clock.NowMs() + 5000;
        while (!done()) {
            if (clock.NowMs() >= giveUpAt) {
                return false;
            }
            loop.ProcessEvents(20);
        }
        return true;
    }

    // Rounds that find nothing to do must not call anyone: no busy loop, no repeats.
    int QuietRounds(int rounds = 5) {
        int ran = 0;
        for (int i = 0; i < rounds; ++i) {
            ran += loop.ProcessEvents(0);
        }
        return ran;
    }

    uint16_t Listen(Probe& listener) {
        EXPECT_TRUE(listener.Create(loop));
        EXPECT_TRUE(listener.Bind(0, "127.0.0.1"));
        EXPECT_TRUE(listener.Listen());
        std::string address;
        uint16_t port = 0;
        EXPECT_TRUE(listener.GetSockName(address, port));
        EXPECT_EQ(address, "127.0.0.1");
        return port;
    }

    // client connects to a listener that accepts into server; both sides settled.
    void ConnectPair(Probe& client, Probe& server) {
        uint16_t port = Listen(listener);
        listener.onAccept = [&](Probe& self) { EXPECT_TRUE(self.Accept(server)); };
        ASSERT_TRUE(client.Create(loop));
        client.Connect("127.0.0.1", port);
        ASSERT_TRUE(PumpUntil([&] { return server.isLive() && Count(journal, "client:send:0"); }));
        journal.clear();
    }

    EventLoop loop;
    Journal journal;
    Probe listener{journal, "listener"};
};

TEST_F(AsyncSocketTest, ConnectReportsOnConnectThenOneOnSendAndAcceptGivesThePeer) {
    uint16_t port = Listen(listener);
    Probe server(journal, "server");
    std::string peerAddress;
    uint16_t peerPort = 0;
    listener.onAccept = [&](Probe& self) {
        EXPECT_TRUE(self.Accept(server, &peerAddress, &peerPort));
    };
    Probe client(journal, "client");
    ASSERT_TRUE(client.Create(loop));
    EXPECT_FALSE(client.Connect("127.0.0.1", port));
    EXPECT_EQ(GetLastSocketError(), kWsaEwouldblock);

    ASSERT_TRUE(PumpUntil([&] { return server.isLive() && Count(journal, "client:send:0"); }));
    EXPECT_EQ(QuietRounds(), 0);
    EXPECT_EQ(Only(journal, "client"), (Journal{"client:connect:0", "client:send:0"}));
    EXPECT_EQ(Only(journal, "listener"), (Journal{"listener:accept:0"}));
    EXPECT_TRUE(Only(journal, "server").empty());

    std::string clientAddress;
    uint16_t clientPort = 0;
    ASSERT_TRUE(client.GetSockName(clientAddress, clientPort));
    EXPECT_EQ(peerAddress, "127.0.0.1");
    EXPECT_EQ(peerPort, clientPort);
    std::string serverSeenAddress;
    uint16_t serverSeenPort = 0;
    ASSERT_TRUE(client.GetPeerName(serverSeenAddress, serverSeenPort));
    EXPECT_EQ(serverSeenPort, port);
    EXPECT_NE(server.Handle(), client.Handle());
}

TEST_F(AsyncSocketTest, ConnectToAPortNobodyListensOnIsRefusedOnce) {
    Probe bound(journal, "bound");
    ASSERT_TRUE(bound.Create(loop));
    ASSERT_TRUE(bound.Bind(0, "127.0.0.1"));
    std::string address;
    uint16_t port = 0;
    ASSERT_TRUE(bound.GetSockName(address, port));

    Probe client(journal, "client");
    ASSERT_TRUE(client.Create(loop));
    client.Connect("127.0.0.1", port);
    ASSERT_TRUE(PumpUntil([&] { return !journal.empty(); }));
    EXPECT_EQ(QuietRounds(), 0);
    EXPECT_EQ(journal, (Journal{"client:connect:10061"}));
    EXPECT_TRUE(client.isLive());
}

TEST_F(AsyncSocketTest, ConnectAfterAFailedConnectRunsOnAFreshDescriptorWithTheSameSettings) {
    Probe target(journal, "target");
    ASSERT_TRUE(target.Create(loop));
    ASSERT_TRUE(target.Bind(0, "127.0.0.1"));
    std::string address;
    uint16_t port = 0;
    ASSERT_TRUE(target.GetSockName(address, port));

    Probe client(journal, "client");
    ASSERT_TRUE(client.Create(loop));
    ASSERT_TRUE(client.Bind(0, "127.0.0.1"));
    int one = 1;
    ASSERT_TRUE(client.SetSockOpt(kTcpNoDelay, &one, sizeof(one), kIpProtoTcp));
    client.Connect("127.0.0.1", port);
    ASSERT_TRUE(PumpUntil([&] { return !journal.empty(); }));
    ASSERT_EQ(journal, (Journal{"client:connect:10061"}));
    SocketHandle failedHandle = client.Handle();

    // The refused port now listens; the same socket object tries again.
    Probe server(journal, "server");
    target.onAccept = [&](Probe& self) { EXPECT_TRUE(self.Accept(server)); };
    ASSERT_TRUE(target.Listen());
    EXPECT_FALSE(client.Connect("127.0.0.1", port));
    EXPECT_EQ(GetLastSocketError(), kWsaEwouldblock);
    EXPECT_NE(client.Handle(), failedHandle);
    EXPECT_EQ(loop.LookupLive(failedHandle), nullptr);
    EXPECT_EQ(IntOption(client.Descriptor(), IPPROTO_TCP, TCP_NODELAY), 1);

    ASSERT_TRUE(PumpUntil([&] { return server.isLive() && Count(journal, "client:send:0"); }));
    EXPECT_EQ(Only(journal, "client"),
              (Journal{"client:connect:10061", "client:connect:0", "client:send:0"}));
    std::string local;
    uint16_t localPort = 0;
    ASSERT_TRUE(client.GetSockName(local, localPort));
    EXPECT_EQ(local, "127.0.0.1");
}

TEST_F(AsyncSocketTest, UnreadDataNotifiesAgainOnTheNextRound) {
    Probe client(journal, "client");
    Probe server(journal, "server");
    ConnectPair(client, server);
    client.readChunk = 4;
    ASSERT_EQ(server.Send("0123456789", 10), 10);

    ASSERT_TRUE(PumpUntil([&] { return !journal.empty(); }));
    EXPECT_EQ(loop.ProcessEvents(0), 1);
    EXPECT_EQ(loop.ProcessEvents(0), 1);
    EXPECT_EQ(QuietRounds(), 0);
    EXPECT_EQ(journal, (Journal(3, "client:receive:0")));
    EXPECT_EQ(client.received, "0123456789");
}

TEST_F(AsyncSocketTest, SendThatWouldBlockGetsExactlyOneOnSendOnceThePeerDrains) {
    Probe client(journal, "client");
    Probe server(journal, "server");
    ConnectPair(client, server);
    int small = 8192;
    ASSERT_TRUE(client.SetSockOpt(kSoSndBuf, &small, sizeof(small)));
    ASSERT_TRUE(server.SetSockOpt(kSoRcvBuf, &small, sizeof(small)));
    bool draining = false;
    size_t drained = 0;
    server.onReceive = [&](Probe& self) {
        if (draining) {
            drained += static_cast<size_t>(std::max(self.ReadChunk(), 0));
        }
    };

    std::string chunk(16384, 'x');
    size_t sent = 0;
    int result = 0;
    for (int attempt = 0; attempt < 100000; ++attempt) {
        result = client.Send(chunk.data(), static_cast<int>(chunk.size()));
        if (result < 0) {
            break;
        }
        sent += static_cast<size_t>(result);
    }
    ASSERT_EQ(result, kSocketError);
    ASSERT_EQ(GetLastSocketError(), kWsaEwouldblock);
    for (int i = 0; i < 5; ++i) {
        loop.ProcessEvents(0);
    }
    EXPECT_EQ(Count(journal, "client:send:0"), 0);

    draining = true;
    ASSERT_TRUE(PumpUntil([&] { return drained == sent && server.received.size() == sent; }));
    for (int i = 0; i < 5; ++i) {
        loop.ProcessEvents(0);
    }
    EXPECT_EQ(Count(journal, "client:send:0"), 1);
    EXPECT_EQ(server.received, std::string(sent, 'x'));
}

TEST_F(AsyncSocketTest, PeerCloseComesAfterEveryByteWasRead) {
    Probe client(journal, "client");
    Probe server(journal, "server");
    ConnectPair(client, server);
    client.readChunk = 4;
    ASSERT_EQ(server.Send("hello world", 11), 11);
    server.Close();

    ASSERT_TRUE(PumpUntil([&] { return Count(journal, "client:close:0") == 1; }));
    EXPECT_EQ(QuietRounds(), 0);
    EXPECT_EQ(journal, (Journal{"client:receive:0", "client:receive:0", "client:receive:0",
                                "client:close:0"}));
    EXPECT_EQ(client.received, "hello world");
    EXPECT_TRUE(client.isLive());  // closed by the peer, not by us: still ours to close
}

TEST_F(AsyncSocketTest, ResetIsReportedAtOnceEvenWithUnreadData) {
    Probe client(journal, "client");
    Probe server(journal, "server");
    ConnectPair(client, server);
    ASSERT_EQ(server.Send("abc", 3), 3);
    WinLinger abortive{1, 0};
    ASSERT_TRUE(server.SetSockOpt(kSoLinger, &abortive, sizeof(abortive)));
    server.Close();

    ASSERT_TRUE(PumpUntil([&] { return !journal.empty(); }));
    EXPECT_EQ(QuietRounds(), 0);
    EXPECT_EQ(journal, (Journal{"client:close:10054"}));
}

TEST_F(AsyncSocketTest, SocketDeletedByAnEarlierHandlerOfTheBatchIsNeverCalled) {
    uint16_t port = Listen(listener);
    std::vector<std::unique_ptr<Probe>> servers;
    listener.onAccept = [&](Probe& self) {
        servers.push_back(std::make_unique<Probe>(journal, "server"));
        EXPECT_TRUE(self.Accept(*servers.back()));
    };
    Probe* first = new Probe(journal, "first");
    Probe* second = new Probe(journal, "second");
    ASSERT_TRUE(first->Create(loop));
    ASSERT_TRUE(second->Create(loop));
    first->Connect("127.0.0.1", port);
    second->Connect("127.0.0.1", port);
    ASSERT_TRUE(PumpUntil([&] {
        return servers.size() == 2 && servers[1]->isLive() && Count(journal, "first:send:0") &&
               Count(journal, "second:send:0");
    }));
    journal.clear();

    // Whichever client runs first deletes the other and opens a socket that takes over the
    // deleted one's descriptor number; the stale event must reach neither.
    std::unique_ptr<Probe> newcomer;
    int deletedDescriptor = -1;
    SocketHandle deletedHandle = kInvalidSocket;
    bool deadDuringRound = false;
    auto deleteOther = [&](Probe& self) {
        Probe*& other = &self == first ? second : first;
        if (other == nullptr) {
            self.ReadChunk();
            return;
        }
        deletedDescriptor = other->Descriptor();
        deletedHandle = other->Handle();
        delete other;
        other = nullptr;
        deadDuringRound = loop.isDead(deletedHandle);
        newcomer = std::make_unique<Probe>(journal, "newcomer");
        EXPECT_TRUE(newcomer->Create(loop, kSockDatagram));
        EXPECT_TRUE(newcomer->Bind(0, "127.0.0.1"));
    };
    first->onReceive = deleteOther;
    second->onReceive = deleteOther;
    for (auto& server : servers) {
        ASSERT_EQ(server->Send("x", 1), 1);
    }

    ASSERT_TRUE(PumpUntil([&] { return !journal.empty(); }));
    EXPECT_EQ(journal.size(), 1u);
    EXPECT_EQ(newcomer->Descriptor(), deletedDescriptor);
    EXPECT_NE(newcomer->Handle(), deletedHandle);
    EXPECT_TRUE(deadDuringRound);
    EXPECT_FALSE(loop.isDead(deletedHandle));  // the dead map empties when the round ends
    delete first;
    delete second;
}

TEST_F(AsyncSocketTest, SocketDeletedInOnConnectGetsNoOnSend) {
    uint16_t port = Listen(listener);
    Probe server(journal, "server");
    listener.onAccept = [&](Probe& self) { EXPECT_TRUE(self.Accept(server)); };
    auto* client = new Probe(journal, "client");
    client->onConnect = [](Probe& self) { delete &self; };
    ASSERT_TRUE(client->Create(loop));
    client->Connect("127.0.0.1", port);
    ASSERT_TRUE(PumpUntil([&] { return Count(journal, "client:connect:0") == 1; }));
    QuietRounds();
    EXPECT_EQ(Only(journal, "client"), (Journal{"client:connect:0"}));
    EXPECT_EQ(loop.GetLiveSocketCount(), 2u);  // listener and the accepted server side
}

TEST_F(AsyncSocketTest, ClosingOwnSocketInAHandlerStopsFurtherNotifications) {
    Probe client(journal, "client");
    Probe server(journal, "server");
    ConnectPair(client, server);
    client.onReceive = [](Probe& self) { self.Close(); };
    ASSERT_EQ(server.Send("data", 4), 4);
    server.Close();
    ASSERT_TRUE(PumpUntil([&] { return !journal.empty(); }));
    EXPECT_EQ(QuietRounds(), 0);
    EXPECT_EQ(journal, (Journal{"client:receive:0"}));
    EXPECT_FALSE(client.isLive());
    EXPECT_EQ(client.Handle(), kInvalidSocket);
    EXPECT_EQ(client.Descriptor(), -1);
}

TEST_F(AsyncSocketTest, NotificationMaskLeavesOutWhatWasNotAskedFor) {
    uint16_t port = Listen(listener);
    Probe server(journal, "server");
    listener.onAccept = [&](Probe& self) { EXPECT_TRUE(self.Accept(server)); };
    Probe client(journal, "client");
    ASSERT_TRUE(client.Create(loop, kSockStream, kFdAllEvents & ~kFdWrite));
    client.Connect("127.0.0.1", port);
    ASSERT_TRUE(PumpUntil([&] { return server.isLive() && !Only(journal, "client").empty(); }));
    QuietRounds();
    EXPECT_EQ(Only(journal, "client"), (Journal{"client:connect:0"}));
}

TEST_F(AsyncSocketTest, OutOfBandByteIsNotifiedSeparatelyAndDataAfterItStillArrives) {
    Probe client(journal, "client");
    Probe server(journal, "server");
    ConnectPair(client, server);
    int one = 1;
    ASSERT_TRUE(client.SetSockOpt(kTcpNoDelay, &one, sizeof(one), kIpProtoTcp));
    std::string urgent;
    server.onOutOfBand = [&](Probe& self) {
        char byte = 0;
        if (self.Receive(&byte, 1, 1) == 1) {
            urgent.push_back(byte);
        }
    };
    ASSERT_EQ(client.Send("!", 1, 1), 1);
    ASSERT_EQ(client.Send("data", 4), 4);
    ASSERT_TRUE(client.ShutDown(kShutSend));

    ASSERT_TRUE(PumpUntil([&] { return Count(journal, "server:close:0") == 1; }));
    EXPECT_EQ(QuietRounds(), 0);
    EXPECT_EQ(urgent, "!");
    EXPECT_EQ(server.received, "data");
    ASSERT_GE(journal.size(), 3u);
    EXPECT_EQ(journal.front(), "server:oob:0");
    EXPECT_EQ(journal.back(), "server:close:0");
}

TEST_F(AsyncSocketTest, ShutDownSendEndsThePeersStreamAndRefusesLaterSends) {
    Probe client(journal, "client");
    Probe server(journal, "server");
    ConnectPair(client, server);
    ASSERT_EQ(client.Send("last", 4), 4);
    ASSERT_TRUE(client.ShutDown(kShutSend));
    ASSERT_TRUE(PumpUntil([&] { return Count(journal, "server:close:0") == 1; }));
    EXPECT_EQ(server.received, "last");
    EXPECT_EQ(client.Send("more", 4), kSocketError);
    EXPECT_EQ(GetLastSocketError(), kWsaEshutdown);
    EXPECT_FALSE(client.ShutDown(7));
    EXPECT_EQ(GetLastSocketError(), kWsaEinval);
}

TEST_F(AsyncSocketTest, DatagramsCarryTheirSenderAndTooLongOnesFailWith10040) {
    Probe sender(journal, "sender");
    Probe receiver(journal, "receiver");
    ASSERT_TRUE(sender.Create(loop, kSockDatagram));
    ASSERT_TRUE(sender.Bind(0, "127.0.0.1"));
    ASSERT_TRUE(receiver.Create(loop, kSockDatagram));
    ASSERT_TRUE(receiver.Bind(0, "127.0.0.1"));
    std::string address;
    uint16_t senderPort = 0;
    uint16_t receiverPort = 0;
    ASSERT_TRUE(sender.GetSockName(address, senderPort));
    ASSERT_TRUE(receiver.GetSockName(address, receiverPort));

    std::vector<std::string> results;
    receiver.onReceive = [&](Probe& self) {
        unsigned long waiting = 0;
        EXPECT_TRUE(self.BytesReadable(&waiting));
        char buffer[4];
        std::string from = "unchanged";
        uint16_t fromPort = 0;
        int count = self.ReceiveFrom(buffer, sizeof(buffer), from, fromPort);
        results.push_back(std::to_string(waiting) + " " + std::to_string(count) + " " +
                          (count >= 0 ? std::string(buffer, static_cast<size_t>(count)) + " " +
                                            from + " " + std::to_string(fromPort == senderPort)
                                      : std::to_string(GetLastSocketError()) + " " + from));
    };
    ASSERT_EQ(sender.SendTo("ping", 4, receiverPort, "127.0.0.1"), 4);
    ASSERT_TRUE(PumpUntil([&] { return results.size() == 1; }));
    ASSERT_EQ(sender.SendTo("too long!!", 10, receiverPort, "127.0.0.1"), 10);
    ASSERT_TRUE(PumpUntil([&] { return results.size() == 2; }));
    EXPECT_EQ(QuietRounds(), 0);
    EXPECT_EQ(results, (std::vector<std::string>{"4 4 ping 127.0.0.1 1", "10 -1 10040 unchanged"}));

    EXPECT_EQ(sender.SendTo("x", 1, receiverPort, nullptr), kSocketError);
    EXPECT_EQ(GetLastSocketError(), kWsaEdestaddrreq);
    EXPECT_FALSE(sender.Listen());
    EXPECT_EQ(GetLastSocketError(), kWsaEopnotsupp);
}

TEST_F(AsyncSocketTest, NamesAreResolved) {
    uint16_t port = Listen(listener);
    Probe server(journal, "server");
    listener.onAccept = [&](Probe& self) { EXPECT_TRUE(self.Accept(server)); };
    Probe client(journal, "client");
    ASSERT_TRUE(client.Create(loop));
    client.Connect("localhost", port);
    ASSERT_TRUE(PumpUntil([&] { return Count(journal, "client:connect:0") == 1; }));
}

TEST_F(AsyncSocketTest, ConnectToTheAnyAddressOrPortZeroFailsAtOnce) {
    Probe client(journal, "client");
    ASSERT_TRUE(client.Create(loop));
    EXPECT_FALSE(client.Connect("0.0.0.0", 5000));
    EXPECT_EQ(GetLastSocketError(), kWsaEaddrnotavail);
    EXPECT_FALSE(client.Connect("127.0.0.1", 0));
    EXPECT_EQ(GetLastSocketError(), kWsaEaddrnotavail);
    EXPECT_FALSE(client.Connect("", 5000));
    EXPECT_EQ(GetLastSocketError(), kWsaEaddrnotavail);
    EXPECT_EQ(QuietRounds(), 0);
    EXPECT_TRUE(journal.empty());
}

TEST_F(AsyncSocketTest, EveryCallWithoutADescriptorFailsWith10038) {
    Probe idle(journal, "idle");
    char buffer[4] = {};
    int value = 1;
    int length = sizeof(value);
    std::string address;
    uint16_t port = 0;
    unsigned long waiting = 0;
    auto expectNotSocket = [](bool failed) {
        EXPECT_TRUE(failed);
        EXPECT_EQ(GetLastSocketError(), kWsaEnotsock);
    };
    expectNotSocket(!idle.Bind(0));
    expectNotSocket(!idle.Connect("127.0.0.1", 1));
    expectNotSocket(!idle.Listen());
    expectNotSocket(idle.Send(buffer, 4) == kSocketError);
    expectNotSocket(idle.SendTo(buffer, 4, 1, "127.0.0.1") == kSocketError);
    expectNotSocket(idle.Receive(buffer, 4) == kSocketError);
    expectNotSocket(idle.ReceiveFrom(buffer, 4, address, port) == kSocketError);
    expectNotSocket(!idle.SetSockOpt(kSoKeepAlive, &value, sizeof(value)));
    expectNotSocket(!idle.GetSockOpt(kSoKeepAlive, &value, &length));
    expectNotSocket(!idle.GetSockName(address, port));
    expectNotSocket(!idle.GetPeerName(address, port));
    expectNotSocket(!idle.ShutDown());
    expectNotSocket(!idle.BytesReadable(&waiting));
    EXPECT_EQ(idle.Handle(), kInvalidSocket);
    EXPECT_FALSE(idle.isLive());
    idle.Close();

    EXPECT_FALSE(idle.Create(loop, 3));
    EXPECT_EQ(GetLastSocketError(), kWsaEsocktnosupport);
}

TEST_F(AsyncSocketTest, BadArgumentsFailWithoutTouchingMemory) {
    Probe socket(journal, "socket");
    ASSERT_TRUE(socket.Create(loop, kSockDatagram));
    EXPECT_EQ(socket.Send(nullptr, 4), kSocketError);
    EXPECT_EQ(GetLastSocketError(), kWsaEfault);
    EXPECT_EQ(socket.Receive(nullptr, -1), kSocketError);
    EXPECT_EQ(GetLastSocketError(), kWsaEinval);
    char buffer[4];
    EXPECT_EQ(socket.Receive(buffer, 4, 0x40), kSocketError);
    EXPECT_EQ(GetLastSocketError(), kWsaEopnotsupp);
    EXPECT_EQ(socket.Receive(buffer, 4), kSocketError);
    EXPECT_EQ(GetLastSocketError(), kWsaEwouldblock);
    EXPECT_FALSE(socket.SetSockOpt(kSoBroadcast, nullptr, 4));
    EXPECT_EQ(GetLastSocketError(), kWsaEfault);
    Probe self(journal, "self");
    EXPECT_FALSE(socket.Accept(self));
    EXPECT_EQ(GetLastSocketError(), kWsaEinval);
}

class SocketOptionTest : public AsyncSocketTest {
  protected:
    void SetUp() override { ASSERT_TRUE(socket.Create(loop)); }
    Probe socket{journal, "socket"};
};

TEST_F(SocketOptionTest, NoDelayIsApplied) {
    int one = 1;
    ASSERT_TRUE(socket.SetSockOpt(kTcpNoDelay, &one, sizeof(one), kIpProtoTcp));
    EXPECT_EQ(IntOption(socket.Descriptor(), IPPROTO_TCP, TCP_NODELAY), 1);
    int value = 0;
    int length = sizeof(value);
    ASSERT_TRUE(socket.GetSockOpt(kTcpNoDelay, &value, &length, kIpProtoTcp));
    EXPECT_EQ(value, 1);
    EXPECT_EQ(length, 4);
}

TEST_F(SocketOptionTest, LingerTakesTheWindowsRecordAndDontLingerSwitchesItOff) {
    WinLinger record{1, 7};
    ASSERT_TRUE(socket.SetSockOpt(kSoLinger, &record, sizeof(record)));
    linger applied{};
    socklen_t appliedLength = sizeof(applied);
    ASSERT_EQ(getsockopt(socket.Descriptor(), SOL_SOCKET, SO_LINGER, &applied, &appliedLength), 0);
    EXPECT_EQ(applied.l_onoff, 1);
    EXPECT_EQ(applied.l_linger, 7);

    int dontLinger = 1;
    ASSERT_TRUE(socket.SetSockOpt(kSoDontLinger, &dontLinger, sizeof(dontLinger), kSolSocket));
    ASSERT_EQ(getsockopt(socket.Descriptor(), SOL_SOCKET, SO_LINGER, &applied, &appliedLength), 0);
    EXPECT_EQ(applied.l_onoff, 0);

    int readBack = -1;
    int length = sizeof(readBack);
    ASSERT_TRUE(socket.GetSockOpt(kSoDontLinger, &readBack, &length));
    EXPECT_EQ(readBack, 1);
    WinLinger recordBack{9, 9};
    length = sizeof(recordBack);
    ASSERT_TRUE(socket.GetSockOpt(kSoLinger, &recordBack, &length));
    EXPECT_EQ(recordBack.onoff, 0);
    EXPECT_EQ(recordBack.linger, 7);

    dontLinger = 0;  // linger on again, with the time set before
    ASSERT_TRUE(socket.SetSockOpt(kSoDontLinger, &dontLinger, sizeof(dontLinger)));
    ASSERT_EQ(getsockopt(socket.Descriptor(), SOL_SOCKET, SO_LINGER, &applied, &appliedLength), 0);
    EXPECT_EQ(applied.l_onoff, 1);
    EXPECT_EQ(applied.l_linger, 7);

    unsigned short tooShort = 1;
    EXPECT_FALSE(socket.SetSockOpt(kSoLinger, &tooShort, sizeof(tooShort)));
    EXPECT_EQ(GetLastSocketError(), kWsaEfault);
}

TEST_F(SocketOptionTest, BufferSizesReadBackAsSet) {
    int size = 65536;
    ASSERT_TRUE(socket.SetSockOpt(kSoRcvBuf, &size, sizeof(size)));
    ASSERT_TRUE(socket.SetSockOpt(kSoSndBuf, &size, sizeof(size)));
    EXPECT_EQ(IntOption(socket.Descriptor(), SOL_SOCKET, SO_RCVBUF), 2 * size);
    int value = 0;
    int length = sizeof(value);
    ASSERT_TRUE(socket.GetSockOpt(kSoRcvBuf, &value, &length));
    EXPECT_EQ(value, size);
    ASSERT_TRUE(socket.GetSockOpt(kSoSndBuf, &value, &length));
    EXPECT_EQ(value, size);
}

TEST_F(SocketOptionTest, OptionWithoutTranslationFailsWith10042) {
    int value = 1;
    int length = sizeof(value);
    EXPECT_FALSE(socket.SetSockOpt(0x1007, &value, sizeof(value)));  // Windows error query
    EXPECT_EQ(GetLastSocketError(), kWsaEnoprotoopt);
    EXPECT_FALSE(socket.SetSockOpt(kTcpNoDelay, &value, sizeof(value), 41));
    EXPECT_EQ(GetLastSocketError(), kWsaEnoprotoopt);
    EXPECT_FALSE(socket.GetSockOpt(0x1007, &value, &length));
    EXPECT_EQ(GetLastSocketError(), kWsaEnoprotoopt);
}

TEST_F(SocketOptionTest, OptionsThatDoNotFitTheSocketTypeFailWith10042) {
    int one = 1;
    EXPECT_FALSE(socket.SetSockOpt(kSoBroadcast, &one, sizeof(one)));
    EXPECT_EQ(GetLastSocketError(), kWsaEnoprotoopt);

    Probe datagram(journal, "datagram");
    ASSERT_TRUE(datagram.Create(loop, kSockDatagram));
    for (int option : {kSoDontLinger, kSoKeepAlive, kSoOobInline}) {
        EXPECT_FALSE(datagram.SetSockOpt(option, &one, sizeof(one))) << option;
        EXPECT_EQ(GetLastSocketError(), kWsaEnoprotoopt);
    }
    EXPECT_FALSE(datagram.SetSockOpt(kTcpNoDelay, &one, sizeof(one), kIpProtoTcp));
    EXPECT_EQ(GetLastSocketError(), kWsaEnoprotoopt);
    EXPECT_TRUE(datagram.SetSockOpt(kSoBroadcast, &one, sizeof(one)));
    EXPECT_EQ(IntOption(datagram.Descriptor(), SOL_SOCKET, SO_BROADCAST), 1);
}

TEST_F(SocketOptionTest, SendOnAStreamThatNeverConnectedFailsWith10057) {
    EXPECT_EQ(socket.Send("x", 1), kSocketError);
    EXPECT_EQ(GetLastSocketError(), kWsaEnotconn);
    char buffer[1];
    EXPECT_EQ(socket.Receive(buffer, 1), kSocketError);
    EXPECT_EQ(GetLastSocketError(), kWsaEnotconn);
}

TEST_F(SocketOptionTest, BindSetsReuseAddressOnlyForANonZeroStreamPort) {
    ASSERT_TRUE(socket.Bind(0, "127.0.0.1"));
    EXPECT_EQ(IntOption(socket.Descriptor(), SOL_SOCKET, SO_REUSEADDR), 0);
    std::string address;
    uint16_t port = 0;
    ASSERT_TRUE(socket.GetSockName(address, port));
    socket.Close();

    // Rebinding the port the kernel just gave out.
    Probe again(journal, "again");
    ASSERT_TRUE(again.Create(loop));
    ASSERT_TRUE(again.Bind(port, "127.0.0.1"));
    EXPECT_EQ(IntOption(again.Descriptor(), SOL_SOCKET, SO_REUSEADDR), 1);

    Probe datagram(journal, "datagram");
    ASSERT_TRUE(datagram.Create(loop, kSockDatagram));
    ASSERT_TRUE(datagram.Bind(port, "127.0.0.1"));
    EXPECT_EQ(IntOption(datagram.Descriptor(), SOL_SOCKET, SO_REUSEADDR), 0);
}

TEST(AsyncSocketLifetime, SocketThatOutlivesItsLoopClosesSafely) {
    Journal journal;
    Probe socket(journal, "socket");
    {
        EventLoop loop;
        ASSERT_TRUE(socket.Create(loop, kSockDatagram));
        EXPECT_TRUE(socket.isLive());
    }
    EXPECT_FALSE(socket.isLive());
    EXPECT_GE(socket.Descriptor(), 0);
    socket.Close();
    EXPECT_EQ(socket.Descriptor(), -1);
}

}  // namespace
}  // namespace veltonet
