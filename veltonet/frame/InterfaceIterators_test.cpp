// The iterators of the C interface over receivers, IP lists, feeds and a listener's clients;
// and the feed functions.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "veltonet/frame/FrameTestSupport.h"
#include "veltonet/receiver.h"

namespace veltonet {
namespace {

using test::ConnectTo;
using test::ManagerTest;
namespace raw = test::raw;

void* MakeReceiver(const char* name) {
    return R_CreateTCPReceiver(name, "127.0.0.1", 9, 0, 0, 0, 0, 0, false);
}

class InterfaceIterators : public ManagerTest {};

TEST_F(InterfaceIterators, ReceiverIteratorSkipsAndEnds) {
    void* iterator = R_CreateReceiverIterator();
    ASSERT_NE(iterator, nullptr);
    R_StartIteration(iterator, 0);
    EXPECT_EQ(R_GetNextReceiver(iterator), nullptr);

    std::vector<void*> receivers{MakeReceiver("a"), MakeReceiver("b"), MakeReceiver("c")};
    std::sort(receivers.begin(), receivers.end());

    R_StartIteration(iterator, 0);
    EXPECT_EQ(R_GetNextReceiver(iterator), receivers[0]);
    EXPECT_EQ(R_GetNextReceiver(iterator), receivers[1]);
    EXPECT_EQ(R_GetNextReceiver(iterator), receivers[2]);
    EXPECT_EQ(R_GetNextReceiver(iterator), nullptr);
    EXPECT_EQ(R_GetNextReceiver(iterator), nullptr);

    R_StartIteration(iterator, 2);
    EXPECT_EQ(R_GetNextReceiver(iterator), receivers[2]);  // the highest address
    EXPECT_EQ(R_GetNextReceiver(iterator), nullptr);

    R_StartIteration(iterator, 5);
    EXPECT_EQ(R_GetNextReceiver(iterator), nullptr);

    R_StartIteration(iterator, -1);
    EXPECT_EQ(R_GetNextReceiver(iterator), nullptr);
    R_DestroyIterator(iterator);
}

TEST_F(InterfaceIterators, IpIteratorFollowsTheListOrderAndStaysExhausted) {
    void* h = R_CreateTCPReceiver("a", "10.0.0.3", 9, 0, 0, 0, 0, 0, false);
    R_AddIp(h, "10.0.0.1");
    R_AddIp(h, "10.0.0.2");
    void* iterator = R_CreateIpIterator(h);
    R_StartIteration(iterator, 0);
    EXPECT_STREQ(R_GetNextIp(iterator), "10.0.0.3");
    EXPECT_STREQ(R_GetNextIp(iterator), "10.0.0.1");
    EXPECT_STREQ(R_GetNextIp(iterator), "10.0.0.2");
    EXPECT_EQ(R_GetNextIp(iterator), nullptr);
    EXPECT_EQ(R_GetNextIp(iterator), nullptr);

    R_StartIteration(iterator, 1);
    EXPECT_STREQ(R_GetNextIp(iterator), "10.0.0.1");
    R_DestroyIterator(iterator);
}

TEST_F(InterfaceIterators, FeedsAreWalkedInAddressOrderAndForwardToTheFeed) {
    void* h = MakeReceiver("a");
    std::vector<void*> feeds{R_AddFeed(h, 1000), R_AddFeed(h, 2000), R_AddFeed(h, 0)};
    for (void* f : feeds) {
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(R_GetFeedOwner(f), h);
    }
    EXPECT_EQ(R_GetFeedMilliseconds(feeds[1]), 2000u);
    R_SetFeedMilliseconds(feeds[1], 3000);
    EXPECT_EQ(R_GetFeedMilliseconds(feeds[1]), 3000u);
    EXPECT_EQ(R_GetFeedSizeSent(feeds[0]), 0u);
    EXPECT_EQ(R_GetFeedSizeReceived(feeds[0]), 0u);
    EXPECT_EQ(R_GetFeedPrevSizeSent(feeds[0]), 0u);
    EXPECT_EQ(R_GetFeedPrevSizeReceived(feeds[0]), 0u);

    std::vector<void*> sorted = feeds;
    std::sort(sorted.begin(), sorted.end());
    void* iterator = R_CreateFeedIterator(h);
    R_StartIteration(iterator, 0);
    for (void* f : sorted) {
        EXPECT_EQ(R_GetNextFeed(iterator), f);
    }
    EXPECT_EQ(R_GetNextFeed(iterator), nullptr);

    R_RemoveFeed(sorted[0]);
    R_StartIteration(iterator, 0);
    EXPECT_EQ(R_GetNextFeed(iterator), sorted[1]);
    R_DestroyIterator(iterator);

    R_ClearFeeds(h);
    iterator = R_CreateFeedIterator(h);
    R_StartIteration(iterator, 0);
    EXPECT_EQ(R_GetNextFeed(iterator), nullptr);
    R_DestroyIterator(iterator);
}

TEST_F(InterfaceIterators, ClientIteratorAnswersNullAfterEveryLastClient) {
    void* listener = R_CreateListener("server", 4, 4, 0, true, 0, 0, false);
    ASSERT_TRUE(R_ConnectReceiver(listener));
    const uint16_t port = R_GetReceiverLocalPort(listener);
    ASSERT_NE(port, 0);

    void* iterator = R_CreateListenerClientIterator(listener);
    ASSERT_NE(iterator, nullptr);
    EXPECT_EQ(R_GetCurrentClientAndIncrement(iterator), nullptr);
    EXPECT_EQ(R_GetCurrentClientAndIncrement(iterator), nullptr);
    R_DestroyListenerClientIterator(listener, iterator);

    int peers[2] = {ConnectTo(port), ConnectTo(port)};
    ASSERT_GE(peers[0], 0);
    ASSERT_GE(peers[1], 0);
    ASSERT_TRUE(PumpUntil([&] { return R_GetListenerClientCount(listener) == 2; }));

    iterator = R_CreateListenerClientIterator(listener);
    void* first = R_GetCurrentClientAndIncrement(iterator);
    void* second = R_GetCurrentClientAndIncrement(iterator);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_LT(first, second);
    EXPECT_EQ(R_GetCurrentClientAndIncrement(iterator), nullptr);
    EXPECT_EQ(R_GetCurrentClientAndIncrement(iterator), first);
    EXPECT_EQ(R_GetCurrentClientAndIncrement(iterator), second);
    EXPECT_EQ(R_GetCurrentClientAndIncrement(iterator), nullptr);

    // Clients are receivers of their own: they answer through the same handles.
    EXPECT_STREQ(R_GetReceiverType(first), "TCP");
    EXPECT_EQ(R_IsReceiverAccepted(first), 1);
    EXPECT_EQ(R_GetClientDataLength(first), 0u);
    R_DestroyListenerClientIterator(listener, iterator);
    raw::Close(peers[0]);
    raw::Close(peers[1]);
}

}  // namespace
}  // namespace veltonet
