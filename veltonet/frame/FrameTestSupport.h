#pragma once

// Helpers shared by the frame's tests (included by *_test.cpp only): a receiver made through
// the C interface and connected to a raw peer that plays its server.
#include <cstdint>
#include <string>

#include "support/TestSupport.h"
#include "veltonet/receiver.h"

namespace veltonet::test {

// A receiver from R_CreateTCPReceiver, connected to `peer`.
class ConnectedReceiverTest : public ManagerTest {
  protected:
    void SetUp() override {
        ManagerTest::SetUp();
        uint16_t port = 0;
        listenFd = raw::Listen(&port);
        ASSERT_GE(listenFd, 0);
        h = R_CreateTCPReceiver("client", "127.0.0.1", port, 0, 0, 0, 0, 0, false);
        ASSERT_TRUE(R_ConnectReceiver(h));
        ASSERT_TRUE(PumpUntil([&] { return R_IsReceiverConnected(h) == 1; }));
        peer = raw::AcceptWithin(listenFd, 2000);
        ASSERT_GE(peer, 0);
    }
    void TearDown() override {
        raw::Close(peer);
        raw::Close(listenFd);
        ManagerTest::TearDown();
    }

    // The listener's acceptance message, and the loop run until it arrived.
    void Accept() {
        ASSERT_TRUE(raw::SendAll(peer, Frame(60011, "")));
        ASSERT_TRUE(PumpUntil([&] { return R_IsReceiverAccepted(h) == 1; }));
    }

    // What the peer got, once n bytes arrived or after about five seconds.
    std::string Read(size_t n) {
        std::string bytes;
        for (int i = 0; i < 100 && bytes.size() < n; ++i)
            bytes += raw::ReadAvailable(peer, 50);
        return bytes;
    }

    int listenFd = -1;
    int peer = -1;
    void* h = nullptr;
};

}  // namespace veltonet::test
