// The iterators of the C interface over receivers, IP lists, feeds and a listener's clients.

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "veltonet/frame/FrameTestSupport.h"
#include "veltonet/receiver.h"

namespace veltonet {
namespace {

using test::ConnectTo;

void* MakeReceiver(const char* name) {
    return R_CreateTCPReceiver(name, "127.0.0.1", 9, 0, 0, 0, 0, 0, false);
}

class InterfaceIterators : public test::ManagerTest {};

TEST_F(InterfaceIterators, ReceiverIteratorWalksInAddressOrderSkipsAndEnds) {
    std::vector<void*> receivers{MakeReceiver("a"), MakeReceiver("b"), MakeReceiver("c")};
    std::sort(receivers.begin(), receivers.end());
    void* iterator = R_CreateReceiverIterator();
    EXPECT_EQ(R_GetNextReceiver(iterator), nullptr);  // not started yet: no element

    R_StartIteration(iterator, 0);
    for (void* h : receivers)
        EXPECT_EQ(R_GetNextReceiver(iterator), h);
    EXPECT_EQ(R_GetNextReceiver(iterator), nullptr);
    EXPECT_EQ(R_GetNextReceiver(iterator), nullptr);  // stays at the end

    const std::vector<std::pair<int, void*>> skips{
        {2, receivers[2]}, {5, nullptr}, {-1, nullptr}};  // negative: an unsigned count
    for (const auto& [skip, first] : skips) {
        R_StartIteration(iterator, skip);
        EXPECT_EQ(R_GetNextReceiver(iterator), first) << skip;
    }
    R_DestroyIterator(iterator);
}

TEST_F(InterfaceIterators, IpIteratorFollowsTheListOrder) {
    void* h = R_CreateTCPReceiver("a", "10.0.0.3", 9, 0, 0, 0, 0, 0, false);
    R_AddIp(h, "10.0.0.1");
    R_AddIp(h, "10.0.0.2");
    void* iterator = R_CreateIpIterator(h);
    R_StartIteration(iterator, 0);
    EXPECT_STREQ(R_GetNextIp(iterator), "10.0.0.3");
    EXPECT_STREQ(R_GetNextIp(iterator), "10.0.0.1");
    EXPECT_STREQ(R_GetNextIp(iterator), "10.0.0.2");
    EXPECT_EQ(R_GetNextIp(iterator), nullptr);
    R_StartIteration(iterator, 1);
    EXPECT_STREQ(R_GetNextIp(iterator), "10.0.0.1");
    R_DestroyIterator(iterator);
}

TEST_F(InterfaceIterators, FeedIteratorSeesRemovalsOnlyWhenStartedAgain) {
    void* h = MakeReceiver("a");
    std::vector<void*> feeds{R_AddFeed(h, 1000), R_AddFeed(h, 2000), R_AddFeed(h, 0)};
    for (void* f : feeds)
        EXPECT_EQ(R_GetFeedOwner(f), h);
    std::sort(feeds.begin(), feeds.end());

    void* iterator = R_CreateFeedIterator(h);
    R_StartIteration(iterator, 0);
    for (void* f : feeds)
        EXPECT_EQ(R_GetNextFeed(iterator), f);
    EXPECT_EQ(R_GetNextFeed(iterator), nullptr);
    R_RemoveFeed(feeds[0]);
    R_StartIteration(iterator, 0);
    EXPECT_EQ(R_GetNextFeed(iterator), feeds[1]);
    R_ClearFeeds(h);
    R_StartIteration(iterator, 0);
    EXPECT_EQ(R_GetNextFeed(iterator), nullptr);
    R_DestroyIterator(iterator);
}

TEST_F(InterfaceIterators, ClientIteratorAnswersNullAfterEveryLastClient) {
    void* listener = R_CreateListener("server", 4, 4, 0, true, 0, 0, false);
    ASSERT_TRUE(R_ConnectReceiver(listener));
    const uint16_t port = R_GetReceiverLocalPort(listener);

    void* iterator = R_CreateListenerClientIterator(listener);
    EXPECT_EQ(R_GetCurrentClientAndIncrement(iterator), nullptr);
    EXPECT_EQ(R_GetCurrentClientAndIncrement(iterator), nullptr);
    R_DestroyListenerClientIterator(listener, iterator);

    int peers[2] = {ConnectTo(port), ConnectTo(port)};
    ASSERT_TRUE(PumpUntil([&] { return R_GetListenerClientCount(listener) == 2; }));
    iterator = R_CreateListenerClientIterator(listener);
    void* first = R_GetCurrentClientAndIncrement(iterator);
    void* second = R_GetCurrentClientAndIncrement(iterator);
    ASSERT_NE(first, nullptr);
    EXPECT_LT(first, second);
    EXPECT_EQ(R_GetCurrentClientAndIncrement(iterator), nullptr);
    EXPECT_EQ(R_GetCurrentClientAndIncrement(iterator), first);

    // Clients are receivers of their own: they answer through the same handles.
    EXPECT_STREQ(R_GetReceiverType(first), "TCP");
    EXPECT_EQ(R_IsReceiverAccepted(first), 1);
    R_DestroyListenerClientIterator(listener, iterator);
    test::raw::Close(peers[0]);
    test::raw::Close(peers[1]);
}

}  // namespace
}  // namespace veltonet
