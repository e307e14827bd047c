#include "veltonet/listener/ClientSet.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "veltonet/listener/ClientIterator.h"
#include "veltonet/listener/ListenerTestSupport.h"

namespace veltonet {
namespace {

using Clients = std::vector<Client*>;

// Membership and iteration never dereference a member, so plain addresses stand in for
// clients here; At(0) < At(1) < At(2) < At(3) in address order.
class ClientSetIteratorTest : public ::testing::Test {
  protected:
    Client* At(int i) { return reinterpret_cast<Client*>(&storage[i]); }

    static Clients Walk(ClientIterator* iterator, int calls) {
        Clients seen;
        for (int i = 0; i < calls; ++i)
            seen.push_back(iterator->GetCurrentAndIncrement());
        return seen;
    }

    alignas(16) unsigned char storage[4][16] = {};
    ClientSet set;
};

TEST_F(ClientSetIteratorTest, MembersAreUniqueWalkedInAddressOrderAndForeignIteratorsAreLeftAlone) {
    ClientIterator* empty = set.CreateIterator();
    EXPECT_EQ(Walk(empty, 2), (Clients{nullptr, nullptr}));
    EXPECT_EQ(empty->GetCurrentClient(), nullptr);
    set.DestroyIterator(empty);
    // Null, and an iterator of another set (still owned by that set, which deletes it), are
    // ignored.
    ClientSet other;
    other.Add(At(1));
    ClientIterator* foreign = other.CreateIterator();
    set.DestroyIterator(nullptr);
    set.DestroyIterator(foreign);
    EXPECT_EQ(foreign->GetCurrentAndIncrement(), At(1));

    EXPECT_TRUE(set.Add(At(2)));
    EXPECT_TRUE(set.Add(At(0)));
    EXPECT_TRUE(set.Add(At(1)));
    EXPECT_FALSE(set.Add(At(0)));
    EXPECT_FALSE(set.Add(nullptr));
    EXPECT_FALSE(set.Remove(At(3)));
    EXPECT_EQ(set.GetCount(), 3u);
    ClientIterator* iterator = set.CreateIterator();
    EXPECT_EQ(Walk(iterator, 8),
              (Clients{At(0), At(1), At(2), nullptr, At(0), At(1), At(2), nullptr}));
}

TEST_F(ClientSetIteratorTest, RemovingTheMemberAnIteratorStandsOnMovesItToTheNextAndClearToTheEnd) {
    set.Add(At(0));
    set.Add(At(1));
    set.Add(At(2));
    ClientIterator* iterator = set.CreateIterator();
    ClientIterator* other = set.CreateIterator();
    ASSERT_EQ(iterator->GetCurrentAndIncrement(), At(0));
    ASSERT_EQ(iterator->GetCurrentClient(), At(1));

    EXPECT_TRUE(set.Remove(At(1)));
    EXPECT_FALSE(set.Remove(At(1)));

    EXPECT_EQ(iterator->GetCurrentClient(), At(2));
    EXPECT_EQ(Walk(iterator, 3), (Clients{At(2), nullptr, At(0)}));
    EXPECT_EQ(Walk(other, 3), (Clients{At(0), At(2), nullptr}));
    // Down to nothing: null, whatever the position was.
    set.Remove(At(0));
    set.Remove(At(2));
    EXPECT_EQ(Walk(iterator, 2), (Clients{nullptr, nullptr}));

    // Clear leaves an iterator that stood on a member at the end.
    set.Add(At(0));
    set.Add(At(1));
    iterator->Reset();
    ASSERT_EQ(iterator->GetCurrentAndIncrement(), At(0));
    set.Clear();
    EXPECT_EQ(set.GetCount(), 0u);
    EXPECT_EQ(Walk(iterator, 2), (Clients{nullptr, nullptr}));
    set.Add(At(2));
    EXPECT_EQ(Walk(iterator, 3), (Clients{nullptr, At(2), nullptr}));
}

TEST_F(ClientSetIteratorTest, ClientsAddedDuringAWalkAreMetInTheirPlace) {
    set.Add(At(1));
    ClientIterator* iterator = set.CreateIterator();
    ASSERT_EQ(iterator->GetCurrentAndIncrement(), At(1));
    ASSERT_EQ(iterator->GetCurrentClient(), nullptr);
    // At the end it stays at the end: the walk it is in is over.
    set.Add(At(0));
    set.Add(At(3));
    EXPECT_EQ(Walk(iterator, 5), (Clients{nullptr, At(0), At(1), At(3), nullptr}));
    // Standing on a member (At(1)): one added ahead is met in this walk, one added behind
    // only after the wrap.
    iterator->Reset();
    ASSERT_EQ(iterator->GetCurrentAndIncrement(), At(0));
    set.Remove(At(0));
    set.Add(At(2));
    set.Add(At(0));
    EXPECT_EQ(Walk(iterator, 6), (Clients{At(1), At(2), At(3), nullptr, At(0), At(1)}));
}

class ClientIteratorOverListenerTest : public test::ListenerTest {};

TEST_F(ClientIteratorOverListenerTest, HostIteratorFollowsClientsThatComeAndGo) {
    Listener* listener = StartListener(true);
    std::vector<std::pair<Client*, int>> accepted(3);  // each client with its peer
    for (auto& entry : accepted)
        entry = AcceptPeer(listener);
    std::sort(accepted.begin(), accepted.end());
    const Client* first = accepted[0].first;
    const Client* third = accepted[2].first;
    ClientIterator* iterator = listener->CreateClientIterator();

    EXPECT_EQ(iterator->GetCurrentAndIncrement(), first);
    // The next client goes away (its peer closes): the iterator moves on to the one after.
    test::raw::Close(accepted[1].second);
    std::erase(peers, accepted[1].second);
    ASSERT_TRUE(PumpUntil([&] { return listener->GetClientCount() == 2; }));
    EXPECT_EQ(iterator->GetCurrentAndIncrement(), third);
    EXPECT_EQ(iterator->GetCurrentAndIncrement(), nullptr);

    Client* late = AcceptPeer(listener).first;
    Clients walk;
    while (Client* client = iterator->GetCurrentAndIncrement())
        walk.push_back(client);
    Clients expected = {accepted[0].first, accepted[2].first, late};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(walk, expected);
    listener->DestroyClientIterator(iterator);
}

// A fan-out reads its members from a flat list; when a delivery changes the membership it
// must go on exactly as a walk of the set would: members added ahead are met, removed ones
// are not, none twice, and the next fan-out sees the new membership.
TEST_F(ClientIteratorOverListenerTest, AFanOutFollowsMembersThatADeliveryAddsOrRemoves) {
    struct Recorder : Client {
        Recorder(Listener* listener, Clients& visits)
            : Client(listener, 0, 0, false), visits(visits) {}
        bool SendBuffer(const char*, int, bool) override {
            visits.push_back(this);
            if (hook)
                std::exchange(hook, nullptr)();
            return true;
        }
        Clients& visits;
        std::function<void()> hook;
    };
    Listener listener("server", 1, 1, 0, true, 0, 0, false);
    Clients visits;
    std::vector<std::unique_ptr<Recorder>> owned;
    for (int i = 0; i < 5; ++i)
        owned.push_back(std::make_unique<Recorder>(&listener, visits));
    std::sort(owned.begin(), owned.end());  // in address order, as the set walks them
    auto at = [&](int i) { return owned[size_t(i)].get(); };
    ClientSet set;
    for (int i : {0, 2, 3})
        set.Add(at(i));
    set.SendBuffer("x", 1, false);
    EXPECT_EQ(visits, (Clients{at(0), at(2), at(3)}));

    at(0)->hook = [&] {
        set.Add(at(1));
        set.Add(at(4));
        set.Remove(at(3));
    };
    visits.clear();
    set.SendBuffer("x", 1, false);
    EXPECT_EQ(visits, (Clients{at(0), at(1), at(2), at(4)}));
    visits.clear();
    set.SendBuffer("x", 1, false);
    EXPECT_EQ(visits, (Clients{at(0), at(1), at(2), at(4)}));
}

}  // namespace
}  // namespace veltonet
