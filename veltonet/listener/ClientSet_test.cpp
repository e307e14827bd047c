#include "veltonet/listener/ClientSet.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "veltonet/listener/ClientIterator.h"
#include "veltonet/listener/ListenerTestSupport.h"

namespace veltonet {
namespace {

// Membership and iteration never dereference a member, so plain addresses stand in for
// clients here; a[0] < a[1] < a[2] < a[3] in address order.
class ClientSetIteratorTest : public ::testing::Test {
  protected:
    Client* At(int i) { return reinterpret_cast<Client*>(&storage[i]); }

    std::vector<Client*> Walk(ClientIterator* iterator, int calls) {
        std::vector<Client*> seen;
        for (int i = 0; i < calls; ++i)
            seen.push_back(iterator->GetCurrentAndIncrement());
        return seen;
    }

    alignas(16) unsigned char storage[4][16] = {};
    ClientSet set;
};

TEST_F(ClientSetIteratorTest, WalksInAddressOrderThenNullThenWraps) {
    set.Add(At(2));
    set.Add(At(0));
    set.Add(At(1));
    ClientIterator* iterator = set.CreateIterator();

    EXPECT_EQ(Walk(iterator, 8),
              (std::vector<Client*>{At(0), At(1), At(2), nullptr, At(0), At(1), At(2), nullptr}));
    set.DestroyIterator(iterator);
}

TEST_F(ClientSetIteratorTest, AnEmptySetAlwaysGivesNull) {
    ClientIterator* iterator = set.CreateIterator();
    EXPECT_EQ(Walk(iterator, 3), (std::vector<Client*>{nullptr, nullptr, nullptr}));
    EXPECT_EQ(iterator->GetCurrentClient(), nullptr);
}

TEST_F(ClientSetIteratorTest, MembershipIsUniqueAndRemovalOfAStrangerFails) {
    EXPECT_TRUE(set.Add(At(0)));
    EXPECT_FALSE(set.Add(At(0)));
    EXPECT_FALSE(set.Add(nullptr));
    EXPECT_FALSE(set.Remove(At(1)));
    EXPECT_EQ(set.GetCount(), 1u);
    EXPECT_TRUE(set.Remove(At(0)));
    EXPECT_FALSE(set.Remove(At(0)));
    EXPECT_EQ(set.GetCount(), 0u);
}

TEST_F(ClientSetIteratorTest, RemovingTheNextClientMakesTheIteratorSkipToTheFollowingOne) {
    set.Add(At(0));
    set.Add(At(1));
    set.Add(At(2));
    ClientIterator* iterator = set.CreateIterator();
    ClientIterator* other = set.CreateIterator();
    ASSERT_EQ(iterator->GetCurrentAndIncrement(), At(0));
    ASSERT_EQ(iterator->GetCurrentClient(), At(1));

    EXPECT_TRUE(set.Remove(At(1)));

    EXPECT_EQ(iterator->GetCurrentClient(), At(2));
    EXPECT_EQ(Walk(iterator, 3), (std::vector<Client*>{At(2), nullptr, At(0)}));
    EXPECT_EQ(Walk(other, 3), (std::vector<Client*>{At(0), At(2), nullptr}));
}

TEST_F(ClientSetIteratorTest, RemovingTheLastRemainingClientGivesNull) {
    set.Add(At(0));
    ClientIterator* iterator = set.CreateIterator();
    EXPECT_TRUE(set.Remove(At(0)));
    EXPECT_EQ(Walk(iterator, 2), (std::vector<Client*>{nullptr, nullptr}));
}

TEST_F(ClientSetIteratorTest, ClientsAddedDuringAWalkAreMetInTheirPlace) {
    set.Add(At(1));
    ClientIterator* iterator = set.CreateIterator();
    ASSERT_EQ(iterator->GetCurrentAndIncrement(), At(1));
    ASSERT_EQ(iterator->GetCurrentClient(), nullptr);
    // At the end it stays at the end: the walk it is in is over.
    set.Add(At(0));
    set.Add(At(3));
    EXPECT_EQ(Walk(iterator, 5), (std::vector<Client*>{nullptr, At(0), At(1), At(3), nullptr}));
    // Standing on a member (At(1)): one added ahead is met in this walk, one added behind
    // only after the wrap.
    iterator->Reset();
    ASSERT_EQ(iterator->GetCurrentAndIncrement(), At(0));
    set.Remove(At(0));
    set.Add(At(2));
    set.Add(At(0));
    EXPECT_EQ(Walk(iterator, 6),
              (std::vector<Client*>{At(1), At(2), At(3), nullptr, At(0), At(1)}));

    ClientIterator* fresh = set.CreateIterator();
    set.Add(At(2));
    EXPECT_EQ(Walk(fresh, 5), (std::vector<Client*>{At(0), At(1), At(2), At(3), nullptr}));
}

TEST_F(ClientSetIteratorTest, ClearLeavesEveryIteratorAtTheEnd) {
    set.Add(At(0));
    set.Add(At(1));
    ClientIterator* iterator = set.CreateIterator();
    set.Clear();
    EXPECT_EQ(set.GetCount(), 0u);
    EXPECT_EQ(Walk(iterator, 2), (std::vector<Client*>{nullptr, nullptr}));
    set.Add(At(2));
    EXPECT_EQ(Walk(iterator, 3), (std::vector<Client*>{nullptr, At(2), nullptr}));
}

TEST_F(ClientSetIteratorTest, DestroyIgnoresNullAndIteratorsOfOtherSets) {
    ClientSet other;
    other.Add(At(1));
    ClientIterator* foreign = other.CreateIterator();
    set.DestroyIterator(nullptr);
    set.DestroyIterator(foreign);  // still owned by other, which deletes it
    EXPECT_EQ(foreign->GetCurrentAndIncrement(), At(1));
}

class ClientIteratorOverListenerTest : public test::ListenerTest {};

TEST_F(ClientIteratorOverListenerTest, HostIteratorFollowsClientsThatComeAndGo) {
    Listener* listener = StartListener(true);
    int peerA = -1;
    int peerB = -1;
    int peerC = -1;
    std::vector<Client*> clients = {AcceptPeer(listener, &peerA), AcceptPeer(listener, &peerB),
                                    AcceptPeer(listener, &peerC)};
    std::vector<int> peerOf(3);
    std::vector<Client*> sorted = clients;
    std::sort(sorted.begin(), sorted.end());
    for (int i = 0; i < 3; ++i) {
        const int fds[] = {peerA, peerB, peerC};
        peerOf[i] = fds[std::find(clients.begin(), clients.end(), sorted[i]) - clients.begin()];
    }
    ClientIterator* iterator = listener->CreateClientIterator();

    EXPECT_EQ(iterator->GetCurrentAndIncrement(), sorted[0]);
    // The next client goes away (its peer closes): the iterator moves on to the one after.
    test::raw::Close(peerOf[1]);
    std::erase(peers, peerOf[1]);
    ASSERT_TRUE(PumpUntil([&] { return listener->GetClientCount() == 2; }));
    EXPECT_EQ(iterator->GetCurrentAndIncrement(), sorted[2]);
    EXPECT_EQ(iterator->GetCurrentAndIncrement(), nullptr);
    EXPECT_EQ(iterator->GetCurrentAndIncrement(), sorted[0]);
    EXPECT_EQ(iterator->GetCurrentAndIncrement(), sorted[2]);
    EXPECT_EQ(iterator->GetCurrentAndIncrement(), nullptr);

    int peerD = -1;
    Client* late = AcceptPeer(listener, &peerD);
    std::vector<Client*> walk;
    while (Client* client = iterator->GetCurrentAndIncrement())
        walk.push_back(client);
    std::vector<Client*> expected = {sorted[0], sorted[2], late};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(walk, expected);

    listener->DestroyClientIterator(iterator);
    listener->DestroyClientIterator(nullptr);
    delete listener;
}

}  // namespace
}  // namespace veltonet
