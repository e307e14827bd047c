#include "veltonet/frame/DataIterator.h"

#include <gtest/gtest.h>

#include <list>
#include <memory>
#include <set>
#include <string>

namespace veltonet {
namespace {

struct Item {
    int value;
};

// Walks the iterator to its end and returns what it yielded, in order.
template <class Iterator>
std::list<std::string> Drain(Iterator& iterator) {
    std::list<std::string> seen;
    while (const std::string* text = iterator.GetNext()) {
        seen.push_back(*text);
    }
    return seen;
}

TEST(DataIterator, ListIteratorYieldsTheElementsThemselvesInListOrder) {
    const std::list<std::string> ips{"10.0.0.2", "10.0.0.1", "10.0.0.3"};
    ListIterator<std::string> iterator(&ips);
    iterator.StartIteration(0);
    EXPECT_EQ(iterator.GetCount(), 3u);

    const std::string* first = iterator.GetNext();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first, &ips.front());  // the element's own address, not a copy
    EXPECT_EQ(Drain(iterator), (std::list<std::string>{"10.0.0.1", "10.0.0.3"}));
}

TEST(DataIterator, SetIteratorPtrYieldsTheStoredPointersInAscendingOrder) {
    Item items[3] = {{1}, {2}, {3}};
    const std::set<Item*> set{&items[2], &items[0], &items[1]};
    SetIteratorPtr<Item> iterator(&set);
    iterator.StartIteration(0);
    EXPECT_EQ(iterator.GetNext(), &items[0]);
    EXPECT_EQ(iterator.GetNext(), &items[1]);
    EXPECT_EQ(iterator.GetNext(), &items[2]);
    EXPECT_EQ(iterator.GetNext(), nullptr);
}

TEST(DataIterator, FollowsTheContainerOnlyWhenStartedAgain) {
    std::list<std::string> ips{"a"};
    ListIterator<std::string> iterator(&ips);
    iterator.StartIteration(0);
    EXPECT_EQ(Drain(iterator).size(), 1u);
    ips.push_back("b");
    EXPECT_EQ(iterator.GetCount(), 2u);  // the count reads the container itself
    iterator.StartIteration(0);
    EXPECT_EQ(Drain(iterator), (std::list<std::string>{"a", "b"}));
}

TEST(DataIterator, AFreshIteratorAnswersNullAndDeletesThroughItsBase) {
    Item item{1};
    const std::set<Item*> set{&item};
    std::unique_ptr<DataIterator> base(new SetIteratorPtr<Item>(&set));
    EXPECT_EQ(static_cast<SetIteratorPtr<Item>*>(base.get())->GetNext(), nullptr);
}

}  // namespace
}  // namespace veltonet
