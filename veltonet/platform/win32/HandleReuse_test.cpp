// Windows hands a closed socket's handle to the next socket at once; a report still queued
// for the closed one must never reach its successor.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/TestSupport.h"
#include "veltonet/platform/AsyncSocket.h"
#include "veltonet/platform/EventLoop.h"

namespace veltonet {
namespace {

struct Peer : AsyncSocket {
    Peer(std::vector<std::string>& journal, std::string name) : journal(journal), name(name) {}
    void OnReceive(int) override {
        journal.push_back(name + ":receive");
        if (onReceive)
            onReceive();
    }
    void OnSend(int) override {}
    void OnClose(int) override { journal.push_back(name + ":close"); }
    std::vector<std::string>& journal;
    std::string name;
    std::function<void()> onReceive;
};

TEST(HandleReuse, AReportQueuedForAClosedSocketNeverReachesTheSocketReusingItsHandle) {
    EventLoop loop;
    std::vector<std::string> journal;
    uint16_t port = 0;
    const int listening = test::raw::Listen(&port);
    ASSERT_GE(listening, 0);
    auto first = std::make_unique<Peer>(journal, "first");
    auto second = std::make_unique<Peer>(journal, "second");
    std::vector<int> servers;
    for (Peer* peer : {first.get(), second.get()}) {
        ASSERT_TRUE(peer->Create(loop));
        peer->Connect("127.0.0.1", port);
        servers.push_back(test::raw::AcceptWithin(listening, 2000));
        ASSERT_GE(servers.back(), 0);
    }
    for (int i = 0; i < 50 && !(first->isLive() && second->isLive()); ++i)
        loop.ProcessEvents(10);

    // Both get data; whichever is told first closes the other, whose report is then queued,
    // and opens sockets until one takes the closed one's handle.
    std::unique_ptr<Peer> successor;
    int attempts = 0;
    auto replaceOther = [&](std::unique_ptr<Peer>& other) {
        if (!other)
            return;
        const int handle = other->Descriptor();
        other.reset();
        for (; attempts < 1000 && !successor; ++attempts) {
            auto candidate = std::make_unique<Peer>(journal, "successor");
            ASSERT_TRUE(candidate->Create(loop, kSockDatagram));
            if (candidate->Descriptor() == handle)
                successor = std::move(candidate);
        }
    };
    first->onReceive = [&] { replaceOther(second); };
    second->onReceive = [&] { replaceOther(first); };
    for (int fd : servers)
        ASSERT_TRUE(test::raw::SendAll(fd, "x"));
    for (int i = 0; i < 100 && journal.empty(); ++i)
        loop.ProcessEvents(10);
    ASSERT_TRUE(successor) << "no socket took the closed one's handle in " << attempts << " tries";
    for (int i = 0; i < 5; ++i)
        loop.ProcessEvents(10);

    ASSERT_FALSE(journal.empty());
    for (const std::string& entry : journal)
        EXPECT_EQ(entry.rfind("successor", 0), std::string::npos) << entry;
    for (int fd : servers)
        test::raw::Close(fd);
    test::raw::Close(listening);
}

}  // namespace
}  // namespace veltonet
