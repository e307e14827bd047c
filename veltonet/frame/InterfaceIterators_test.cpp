// The iterators of the C interface over receivers, IP lists, feeds and a listener's clients.

#include <gmock/gmock.h>

#include <algorithm>

#include "veltonet/frame/FrameTestSupport.h"

namespace veltonet {
namespace {

using namespace test;
using ::testing::ElementsAre;
using ::testing::StrEq;
using Handles = std::vector<void*>;

// What an iterator gives from StartIteration(skip) on; it then stays at the end.
template <class T>
std::vector<T> Walk(void* iterator, int32_t skip, T (*next)(void*)) {
    R_StartIteration(iterator, skip);
    std::vector<T> seen;
    while (T item = next(iterator))
        seen.push_back(item);
    EXPECT_EQ(next(iterator), nullptr);
    return seen;
}

using InterfaceIterators = ManagerTest;

TEST_F(InterfaceIterators, ReceiverIpAndFeedIteratorsWalkInOrderFromTheSkipToTheEnd) {
    void* h = R_CreateTCPReceiver("a", "10.0.0.3", 9, 0, 0, 0, 0, 0, false);
    Handles receivers{h, R_CreateTCPReceiver("b", "", 9, 0, 0, 0, 0, 0, false),
                      R_CreateTCPReceiver("c", "", 9, 0, 0, 0, 0, 0, false)};
    std::sort(receivers.begin(), receivers.end());
    void* iterator = R_CreateReceiverIterator();
    EXPECT_EQ(R_GetNextReceiver(iterator), nullptr);             // not started yet: no element
    EXPECT_EQ(Walk(iterator, 0, R_GetNextReceiver), receivers);  // in address order
    EXPECT_EQ(Walk(iterator, 2, R_GetNextReceiver), Handles{receivers[2]});
    EXPECT_EQ(Walk(iterator, 5, R_GetNextReceiver), Handles{});
    EXPECT_EQ(Walk(iterator, -1, R_GetNextReceiver), Handles{});  // an unsigned count
    R_DestroyIterator(iterator);

    R_AddIp(h, "10.0.0.1");
    R_AddIp(h, "10.0.0.2");
    iterator = R_CreateIpIterator(h);
    EXPECT_THAT(Walk(iterator, 0, R_GetNextIp),
                ElementsAre(StrEq("10.0.0.3"), StrEq("10.0.0.1"), StrEq("10.0.0.2")));
    EXPECT_THAT(Walk(iterator, 1, R_GetNextIp), ElementsAre(StrEq("10.0.0.1"), StrEq("10.0.0.2")));
    R_DestroyIterator(iterator);

    // A feed iterator sees removals once it starts again.
    Handles feeds{R_AddFeed(h, 1000), R_AddFeed(h, 2000), R_AddFeed(h, 0)};
    for (void* f : feeds)
        EXPECT_EQ(R_GetFeedOwner(f), h);
    std::sort(feeds.begin(), feeds.end());
    iterator = R_CreateFeedIterator(h);
    EXPECT_EQ(Walk(iterator, 0, R_GetNextFeed), feeds);
    R_RemoveFeed(feeds[0]);
    EXPECT_EQ(Walk(iterator, 0, R_GetNextFeed), (Handles{feeds[1], feeds[2]}));
    R_ClearFeeds(h);
    EXPECT_EQ(Walk(iterator, 0, R_GetNextFeed), Handles{});
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

    for (const char* name : {"one", "two"})
        R_ConnectReceiver(R_CreateTCPReceiver(name, "127.0.0.1", port, 0, 0, 0, 0, 0, false));
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
}

}  // namespace
}  // namespace veltonet
