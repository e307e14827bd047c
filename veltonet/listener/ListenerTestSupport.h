#pragma once

// Helpers shared by the listener's tests (included by *_test.cpp only): a listening
// Listener on a kernel-picked port, raw peers that connect to it, and the client that each
// peer ends up as.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "support/TestSupport.h"
#include "veltonet/companion/Message.h"
#include "veltonet/listener/Client.h"
#include "veltonet/listener/ClientSet.h"
#include "veltonet/listener/Listener.h"
#include "veltonet/tcp/ReceiverSocket.h"

namespace veltonet::test {

// The bytes of a subscription request as a remote receiver builds them: 8 + name length,
// type, identifier, then the name's characters without a NUL (none for a null name).
inline std::string SubscriptionRequest(uint16_t type, uint32_t identifier, const char* name) {
    const std::string text = name != nullptr ? name : "";
    std::string bytes(8 + text.size(), '\0');
    Message::WriteHeader(bytes.data(), static_cast<uint16_t>(bytes.size()), type);
    Message::WriteU32(bytes.data() + 4, identifier);
    bytes.replace(8, text.size(), text);
    return bytes;
}

class ListenerTest : public ManagerTest {
  protected:
    void TearDown() override {
        for (int fd : peers) {
            raw::Close(fd);
        }
        ManagerTest::TearDown();
    }

    // Created and listening, as R_CreateListener followed by R_ConnectReceiver leaves it.
    Listener* StartListener(bool autoAccept, unsigned int sendBufferSize = 0,
                            unsigned int identifierCount = 16,
                            unsigned int namedIdentifierCount = 16) {
        auto* listener = new Listener("server", identifierCount, namedIdentifierCount, 0,
                                      autoAccept, 0, sendBufferSize, false);
        listener->InvalidateSocket(true);
        EXPECT_TRUE(listener->CreateSocket());
        // Socket creation begins with a disconnect, which the listener logs.
        EXPECT_EQ(logs->Texts(), std::vector<std::string>{"Listener::Disconnect"});
        logs->records.clear();
        return listener;
    }

    // A blocking raw connection to the listener; -1 on failure.
    int ConnectPeer(const Listener* listener) {
        const int fd = raw::Connect(listener->GetLocalPort());
        if (fd >= 0) {
            peers.push_back(fd);
        }
        return fd;
    }

    static Client* FindClient(const Listener* listener, uint16_t peerPort) {
        for (const auto* clients :
             {&listener->GetPendingClients(), &listener->GetActiveClients().GetClients()}) {
            for (Client* client : *clients) {
                if (client->GetRemoteAddress().port == peerPort)
                    return client;
            }
        }
        return nullptr;
    }

    // Connects a raw peer and pumps until the listener has accepted it: the client and the
    // peer's descriptor.
    std::pair<Client*, int> AcceptPeer(Listener* listener) {
        const int fd = ConnectPeer(listener);
        EXPECT_NE(fd, -1);
        const uint16_t port = raw::LocalPort(fd);
        Client* client = nullptr;
        EXPECT_TRUE(PumpUntil([&] { return (client = FindClient(listener, port)) != nullptr; }));
        return {client, fd};
    }

    // Pumps the loop while reading from a raw peer until n bytes have arrived (or the rounds
    // run out); returns what arrived.
    std::string ReadBytes(int fd, size_t n) {
        std::string bytes;
        PumpUntil([&] {
            bytes += raw::ReadAvailable(fd, 0);
            return bytes.size() >= n;
        });
        return bytes;
    }

    // Pumps until the peer sees the end of the stream (a read of 0 or a reset).
    bool PumpUntilClosed(int fd) {
        return PumpUntil([&] {
            char byte;
            bool failed = false;
            return raw::Receive(fd, &byte, 1, 0, &failed) == 0 || failed;
        });
    }

    // Waits (bounded) until the kernel has delivered the peer's reset to the client's socket,
    // without running the loop, so that the client learns of it only through a send.
    static bool WaitForReset(Client* client) {
        return raw::HungUp(client->GetSocket()->Descriptor(), 2000);
    }

    // Closes a peer with a reset and forgets it.
    void ResetPeer(int fd) {
        raw::Reset(fd);
        std::erase(peers, fd);
    }

    const std::string kAccepted = Frame(kMsgAccepted, "");
    std::vector<int> peers;
};

}  // namespace veltonet::test
