#include "veltonet/companion/Observable.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "veltonet/companion/Message.h"
#include "veltonet/companion/Observer.h"

namespace veltonet {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// Appends "<name>:<type>" to a shared journal for each message, then runs its action.
class Recorder : public Observer {
  public:
    using Action = std::function<void(const Message*, Observable*)>;

    Recorder(std::string name, std::vector<std::string>& journal)
        : m_name(std::move(name)), m_journal(journal) {}

    void OnMessage(const Message* message, Observable* source) override {
        m_journal.push_back(m_name + ":" + std::to_string(message->GetType()));
        lastSource = source;
        lastMessage = message;
        if (action) {
            // The action may destroy this recorder; keep it alive until it has run.
            Action running = action;
            running(message, source);
        }
    }

    Action action;
    Observable* lastSource = nullptr;
    const Message* lastMessage = nullptr;

  private:
    std::string m_name;
    std::vector<std::string>& m_journal;
};

class ObservableTest : public ::testing::Test {
  protected:
    std::vector<std::string> journal;
    Recorder a{"a", journal};
    Recorder b{"b", journal};
    Recorder c{"c", journal};
    const HeaderMessage first{1};
    const HeaderMessage second{2};

    void AddAll(Observable& observable) {
        ASSERT_TRUE(observable.Add(&a));
        ASSERT_TRUE(observable.Add(&b));
        ASSERT_TRUE(observable.Add(&c));
    }
};

TEST_F(ObservableTest, NotifiesEachObserverOnceInRegistrationOrderWithItselfAsSource) {
    Observable observable;
    AddAll(observable);
    const ValueMessage message(kMsgConnectFailed, 10061);

    observable.Notify(&message, nullptr, nullptr);

    EXPECT_THAT(journal, ElementsAre("a:60009", "b:60009", "c:60009"));
    EXPECT_EQ(b.lastSource, &observable);
    EXPECT_EQ(b.lastMessage, &message);  // in place, not a copy
}

TEST_F(ObservableTest, RejectsDuplicateAddAndRemoveOfUnknownOrNull) {
    Observable observable;
    EXPECT_TRUE(observable.Add(&a));
    EXPECT_FALSE(observable.Add(&a));
    EXPECT_FALSE(observable.Add(nullptr));
    EXPECT_FALSE(observable.Remove(&b));
    EXPECT_FALSE(observable.Remove(nullptr));
    EXPECT_EQ(observable.GetObserverCount(), 1u);

    observable.Notify(&first);
    EXPECT_THAT(journal, ElementsAre("a:1"));

    EXPECT_TRUE(observable.Remove(&a));
    EXPECT_FALSE(observable.Remove(&a));
    EXPECT_FALSE(observable.HasObserver(&a));
    observable.Notify(&second);
    EXPECT_THAT(journal, ElementsAre("a:1"));
}

TEST_F(ObservableTest, ObserverRemovingItselfDuringNotifyLetsTheOthersRun) {
    Observable observable;
    AddAll(observable);
    size_t countSeenInside = 0;
    a.action = [&](const Message*, Observable* source) {
        EXPECT_TRUE(source->Remove(&a));
        EXPECT_FALSE(source->HasObserver(&a));
        countSeenInside = source->GetObserverCount();
    };

    observable.Notify(&first);
    observable.Notify(&second);

    EXPECT_EQ(countSeenInside, 2u);
    EXPECT_THAT(journal, ElementsAre("a:1", "b:1", "c:1", "b:2", "c:2"));
    EXPECT_EQ(observable.GetObserverCount(), 2u);
}

TEST_F(ObservableTest, ObserverRemovedByAnEarlierOneIsNotCalled) {
    Observable observable;
    AddAll(observable);
    a.action = [&](const Message*, Observable* source) { source->Remove(&c); };

    observable.Notify(&first);

    EXPECT_THAT(journal, ElementsAre("a:1", "b:1"));
}

TEST_F(ObservableTest, ObserverRemovingAnEarlierOneAffectsOnlyLaterMessages) {
    Observable observable;
    AddAll(observable);
    c.action = [&](const Message*, Observable* source) { source->Remove(&a); };

    observable.Notify(&first);
    observable.Notify(&second);

    EXPECT_THAT(journal, ElementsAre("a:1", "b:1", "c:1", "b:2", "c:2"));
}

TEST_F(ObservableTest, ObserverAddedDuringNotifyGetsTheNextMessageOnly) {
    Observable observable;
    AddAll(observable);
    Recorder d("d", journal);
    a.action = [&](const Message*, Observable* source) { source->Add(&d); };

    observable.Notify(&first);
    a.action = nullptr;
    observable.Notify(&second);

    EXPECT_THAT(journal, ElementsAre("a:1", "b:1", "c:1", "a:2", "b:2", "c:2", "d:2"));
}

TEST_F(ObservableTest, ObserverRemovedAndAddedAgainDuringNotifyIsNotCalledTwice) {
    Observable observable;
    AddAll(observable);
    Recorder d("d", journal);
    observable.Add(&d);
    // Message 1: c moves b (already called) and itself to the end; neither runs again.
    c.action = [&](const Message*, Observable* source) {
        source->Remove(&b);
        source->Add(&b);
        source->Remove(&c);
        source->Add(&c);
    };
    observable.Notify(&first);
    // Message 2: a moves c (now last, not yet called) to the end: c waits for the next one.
    c.action = nullptr;
    a.action = [&](const Message*, Observable* source) {
        source->Remove(&c);
        source->Add(&c);
    };
    observable.Notify(&second);

    EXPECT_THAT(journal, ElementsAre("a:1", "b:1", "c:1", "d:1",  //
                                     "a:2", "d:2", "b:2"));
    EXPECT_EQ(observable.GetObserverCount(), 4u);
}

TEST_F(ObservableTest, ObserverDestroyedByAnotherDuringNotifyIsNotCalled) {
    Observable observable;
    AddAll(observable);
    auto victim = std::make_unique<Recorder>("v", journal);
    observable.Add(victim.get());
    Observable other;
    other.Add(victim.get());
    a.action = [&](const Message*, Observable*) { victim.reset(); };

    observable.Notify(&first);
    other.Notify(&second);  // the victim detached from every observable, not only this one

    EXPECT_THAT(journal, ElementsAre("a:1", "b:1", "c:1"));
    EXPECT_EQ(observable.GetObserverCount(), 3u);
    EXPECT_EQ(other.GetObserverCount(), 0u);
}

TEST_F(ObservableTest, ObserverDestroyingItselfDuringNotify) {
    Observable observable;
    auto self = std::make_unique<Recorder>("s", journal);
    Recorder* raw = self.get();
    observable.Add(&a);
    observable.Add(raw);
    observable.Add(&b);
    raw->action = [&](const Message*, Observable*) { self.reset(); };

    observable.Notify(&first);
    observable.Notify(&second);

    EXPECT_THAT(journal, ElementsAre("a:1", "s:1", "b:1", "a:2", "b:2"));
}

TEST_F(ObservableTest, ObservableDestroyedInsideItsOwnNotifyStopsTheWalk) {
    auto observable = std::make_unique<Observable>();
    AddAll(*observable);
    b.action = [&](const Message*, Observable*) { observable.reset(); };

    observable->Notify(&first);

    EXPECT_THAT(journal, ElementsAre("a:1", "b:1"));
    // Every observer forgot it: they can join another observable and be destroyed later.
    b.action = nullptr;
    Observable next;
    AddAll(next);
    next.Notify(&second);
    EXPECT_THAT(journal, ElementsAre("a:1", "b:1", "a:2", "b:2", "c:2"));
}

TEST_F(ObservableTest, NestedNotifyOnTheSameObservableRunsToTheEndFirst) {
    Observable observable;
    AddAll(observable);
    a.action = [&](const Message* message, Observable* source) {
        if (message->GetType() == 1) {
            source->Notify(&second);
        }
    };

    observable.Notify(&first);

    EXPECT_THAT(journal, ElementsAre("a:1", "a:2", "b:2", "c:2", "b:1", "c:1"));
}

TEST_F(ObservableTest, RemovalInsideANestedNotifyHoldsForTheOuterOne) {
    Observable observable;
    AddAll(observable);
    a.action = [&](const Message* message, Observable* source) {
        if (message->GetType() == 1) {
            source->Notify(&second);
        }
    };
    b.action = [&](const Message*, Observable* source) { source->Remove(&b); };

    observable.Notify(&first);
    observable.Notify(&first);

    EXPECT_THAT(journal, ElementsAre("a:1", "a:2", "b:2", "c:2", "c:1",  //
                                     "a:1", "a:2", "c:2", "c:1"));
    EXPECT_EQ(observable.GetObserverCount(), 2u);
}

TEST_F(ObservableTest, ObservableDestroyedInsideANestedNotifyStopsEveryWalk) {
    auto observable = std::make_unique<Observable>();
    AddAll(*observable);
    a.action = [&](const Message* message, Observable* source) {
        if (message->GetType() == 1) {
            source->Notify(&second);
        }
    };
    b.action = [&](const Message*, Observable*) { observable.reset(); };

    observable->Notify(&first);

    EXPECT_THAT(journal, ElementsAre("a:1", "a:2", "b:2"));
}

TEST_F(ObservableTest, DestroyedObservableLeavesItsObserversUsable) {
    auto observable = std::make_unique<Observable>();
    Observable other;
    AddAll(*observable);
    other.Add(&a);

    observable.reset();

    other.Notify(&first);
    EXPECT_TRUE(other.Add(&b));
    other.Notify(&second);
    EXPECT_THAT(journal, ElementsAre("a:1", "a:2", "b:2"));
    // a, b and c are destroyed after the test body, b and a still registered with other.
}

TEST_F(ObservableTest, DestroyedObserverDetachesFromEveryObservable) {
    Observable one;
    Observable two;
    auto leaving = std::make_unique<Recorder>("l", journal);
    one.Add(leaving.get());
    one.Add(&a);
    two.Add(leaving.get());

    leaving.reset();

    EXPECT_EQ(one.GetObserverCount(), 1u);
    EXPECT_EQ(two.GetObserverCount(), 0u);
    one.Notify(&first);
    two.Notify(&second);
    EXPECT_THAT(journal, ElementsAre("a:1"));
}

// Registers each observer with a second observable as well, as a listener does with its
// clients.
class FanOut : public Observable {
  public:
    bool Add(Observer* observer) override {
        return Observable::Add(observer) && child.Add(observer);
    }
    bool Remove(Observer* observer) override {
        return Observable::Remove(observer) && child.Remove(observer);
    }
    Observable child;
};

TEST_F(ObservableTest, ObserverRegisteredThroughAFanOutIsDetachedFromEach) {
    FanOut fanOut;
    auto leaving = std::make_unique<Recorder>("l", journal);
    ASSERT_TRUE(fanOut.Add(leaving.get()));
    ASSERT_EQ(fanOut.child.GetObserverCount(), 1u);

    leaving->DetachFromAll();
    EXPECT_EQ(fanOut.GetObserverCount(), 0u);
    EXPECT_EQ(fanOut.child.GetObserverCount(), 0u);

    ASSERT_TRUE(fanOut.Add(leaving.get()));
    leaving.reset();
    EXPECT_EQ(fanOut.GetObserverCount(), 0u);
    EXPECT_EQ(fanOut.child.GetObserverCount(), 0u);
    fanOut.Notify(&first);
    fanOut.child.Notify(&first);
    EXPECT_THAT(journal, IsEmpty());
}

TEST_F(ObservableTest, CopyStartsWithoutObserversAndAssignmentKeepsOwn) {
    Observable original;
    original.Add(&a);
    Observable copy(original);
    EXPECT_EQ(copy.GetObserverCount(), 0u);

    copy.Add(&b);
    copy = original;
    copy.Notify(&first);
    EXPECT_THAT(journal, ElementsAre("b:1"));
}

std::vector<Observer*> Walk(const Observable& observable, void* iterator) {
    std::vector<Observer*> seen;
    observable.StartIteration(iterator);
    for (Observer* observer = observable.GetNextObserver(iterator); observer != nullptr;
         observer = observable.GetNextObserver(iterator)) {
        seen.push_back(observer);
    }
    return seen;
}

TEST_F(ObservableTest, IteratorGivesEachRegisteredObserverOnceThenNull) {
    Observable observable;
    void* iterator = observable.CreateObserverIterator();
    ASSERT_NE(iterator, nullptr);
    EXPECT_THAT(Walk(observable, iterator), IsEmpty());

    AddAll(observable);
    EXPECT_THAT(Walk(observable, iterator), ElementsAre(&a, &b, &c));
    EXPECT_EQ(observable.GetNextObserver(iterator), nullptr);          // stays at the end
    EXPECT_THAT(Walk(observable, iterator), ElementsAre(&a, &b, &c));  // restarts

    observable.Remove(&b);
    EXPECT_THAT(Walk(observable, iterator), ElementsAre(&a, &c));
    observable.DestroyObserverIterator(iterator);
}

TEST_F(ObservableTest, IteratorDuringNotifySkipsRemovedObservers) {
    Observable observable;
    AddAll(observable);
    std::vector<Observer*> seen;
    b.action = [&](const Message*, Observable* source) {
        source->Remove(&a);
        void* iterator = source->CreateObserverIterator();
        seen = Walk(*source, iterator);
        source->DestroyObserverIterator(iterator);
    };

    observable.Notify(&first);

    EXPECT_THAT(seen, ElementsAre(&b, &c));
}

TEST_F(ObservableTest, IteratorCallsWithNullHandleAreHarmless) {
    Observable observable;
    AddAll(observable);
    observable.StartIteration(nullptr);
    EXPECT_EQ(observable.GetNextObserver(nullptr), nullptr);
    observable.DestroyObserverIterator(nullptr);
}

}  // namespace
}  // namespace veltonet
