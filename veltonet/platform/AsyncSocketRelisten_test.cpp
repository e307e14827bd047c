#include <gtest/gtest.h>

#include <string>

#include "support/TestSupport.h"
#include "veltonet/platform/AsyncSocket.h"
#include "veltonet/platform/EventLoop.h"

namespace veltonet {
namespace {

// A listener that was given a kernel-picked port must be able to listen on that same port
// again after its connections closed: their TIME_WAIT entries must not block the bind.
TEST(AsyncSocketRelisten, ListensAgainOnAKernelPickedPortAfterServingAConnection) {
    EventLoop loop;
    AsyncSocket listener;
    ASSERT_TRUE(listener.Create(loop, kSockStream));
    ASSERT_TRUE(listener.Bind(0, "127.0.0.1"));
    ASSERT_TRUE(listener.Listen(5));
    std::string address;
    uint16_t port = 0;
    ASSERT_TRUE(listener.GetSockName(address, port));

    AsyncSocket client;
    ASSERT_TRUE(client.Create(loop, kSockStream));
    client.Connect("127.0.0.1", port);
    AsyncSocket served;
    for (int i = 0; i < 200 && !listener.Accept(served); ++i) {
        loop.ProcessEvents(10);
    }
    ASSERT_NE(served.Handle(), kInvalidSocket);
    served.Close();  // the server closes first: its side goes to TIME_WAIT
    listener.Close();
    for (int i = 0; i < 20; ++i) loop.ProcessEvents(0);
    client.Close();

    AsyncSocket again;
    ASSERT_TRUE(again.Create(loop, kSockStream));
    EXPECT_TRUE(again.Bind(port, "127.0.0.1"));
    EXPECT_TRUE(again.Listen(5));
}

}  // namespace
}  // namespace veltonet
