#include "veltonet/companion/Observable.h"

#include <gmock/gmock.h>

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
struct Recorder : Observer {
    using Action = std::function<void(const Message*, Observable*)>;
    Recorder(std::string name, std::vector<std::string>& journal)
        : name(std::move(name)), journal(journal) {}
    void OnMessage(const Message* message, Observable* source) override {
        journal.push_back(name + ":" + std::to_string(message->GetType()));
        if (action) {
            Action running = action;  // the action may destroy this recorder
            running(message, source);
        }
    }
    std::string name;
    std::vector<std::string>& journal;
    Action action;
};

class ObservableTest : public ::testing::Test {
  protected:
    void AddAll(Observable& observable) {
        for (Recorder* r : {&a, &b, &c})
            ASSERT_TRUE(observable.Add(r));
    }

    std::vector<std::string> journal;
    Recorder a{"a", journal}, b{"b", journal}, c{"c", journal};
    const HeaderMessage first{1}, second{2}, third{3};
};

TEST_F(ObservableTest, NotifiesEachObserverOnceInOrderRefusesDuplicatesAndCopiesNoObservers) {
    Observable observable;
    AddAll(observable);
    EXPECT_FALSE(observable.Add(&a));
    EXPECT_FALSE(observable.Add(nullptr));
    EXPECT_FALSE(observable.Remove(nullptr));
    const ValueMessage message(kMsgConnectFailed, 10061);
    b.action = [&](const Message* seen, Observable* source) {
        EXPECT_EQ(source, &observable);
        EXPECT_EQ(seen, &message);  // in place, not a copy
    };
    observable.Notify(&message, nullptr, nullptr);
    EXPECT_TRUE(observable.Remove(&b));
    EXPECT_FALSE(observable.Remove(&b));
    observable.Notify(&first);

    // Registrations belong to one object: a copy starts with none, assignment keeps its own.
    Observable copy(observable);
    copy.Add(&c);
    copy = observable;
    copy.Notify(&second);
    EXPECT_THAT(journal, ElementsAre("a:60009", "b:60009", "c:60009", "a:1", "c:1", "c:2"));
}

TEST_F(ObservableTest, ObserverAddedOrMovedToTheEndDuringNotifyWaitsForTheNextMessage) {
    Observable observable;
    AddAll(observable);
    Recorder d("d", journal);
    // Message 1: c moves b (already called) and itself to the end and adds d; none runs.
    c.action = [&](const Message*, Observable* source) {
        source->Remove(&b);
        source->Add(&b);
        source->Remove(&c);
        source->Add(&c);
        source->Add(&d);
    };
    observable.Notify(&first);
    // Message 2: a moves c (not yet called) to the end: c waits for message 3.
    c.action = nullptr;
    a.action = [&](const Message*, Observable* source) {
        source->Remove(&c);
        source->Add(&c);
    };
    observable.Notify(&second);
    a.action = nullptr;
    observable.Notify(&third);

    EXPECT_THAT(journal, ElementsAre("a:1", "b:1", "c:1",  //
                                     "a:2", "b:2", "d:2",  //
                                     "a:3", "b:3", "d:3", "c:3"));
}

TEST_F(ObservableTest, ObserversRemovedOrDestroyedDuringNotifyAreSkippedFromThenOn) {
    Observable observable;
    Observable other;
    auto self = std::make_unique<Recorder>("s", journal);
    auto victim = std::make_unique<Recorder>("v", journal);
    Recorder* selfRaw = self.get();
    for (Recorder* r : {&a, selfRaw, &b, &c, victim.get()})
        observable.Add(r);
    other.Add(victim.get());
    size_t countSeenInside = 0;
    // s removes one observer already called and one not yet, destroys another, then itself.
    selfRaw->action = [&](const Message*, Observable* source) {
        EXPECT_TRUE(source->Remove(&a));
        EXPECT_TRUE(source->Remove(&c));
        victim.reset();
        countSeenInside = source->GetObserverCount();
        self.reset();
    };

    observable.Notify(&first);
    observable.Notify(&second);
    other.Notify(&third);  // the destroyed observer left every observable

    EXPECT_EQ(countSeenInside, 2u);
    EXPECT_THAT(journal, ElementsAre("a:1", "s:1", "b:1", "b:2"));
    EXPECT_EQ(observable.GetObserverCount(), 1u);
    EXPECT_EQ(other.GetObserverCount(), 0u);
}

TEST_F(ObservableTest, NestedNotifyRunsToTheEndFirstAndDestroyingTheObservableStopsEveryWalk) {
    auto observable = std::make_unique<Observable>();
    AddAll(*observable);
    // a re-enters Notify with the second message from inside the first.
    a.action = [&](const Message* message, Observable* source) {
        if (message->GetType() == 1)
            source->Notify(&second);
    };
    b.action = [&](const Message*, Observable* source) { source->Remove(&b); };
    observable->Notify(&first);
    observable->Notify(&first);  // the removal made inside holds for the outer walk too
    EXPECT_THAT(journal, ElementsAre("a:1", "a:2", "b:2", "c:2", "c:1",  //
                                     "a:1", "a:2", "c:2", "c:1"));
    EXPECT_EQ(observable->GetObserverCount(), 2u);

    // c destroys it inside the nested walk: b after it there, and c and b in the outer walk,
    // are not called.
    journal.clear();
    b.action = nullptr;
    observable->Add(&b);
    c.action = [&](const Message*, Observable*) { observable.reset(); };
    observable->Notify(&first);
    EXPECT_THAT(journal, ElementsAre("a:1", "a:2", "c:2"));

    // Every observer forgot it: they can join another observable and be destroyed later.
    a.action = c.action = nullptr;
    Observable next;
    AddAll(next);
    next.Notify(&third);
    EXPECT_THAT(journal, ElementsAre("a:1", "a:2", "c:2", "a:3", "b:3", "c:3"));
}

std::vector<Observer*> Walk(const Observable& observable) {
    void* iterator = observable.CreateObserverIterator();
    std::vector<Observer*> seen;
    for (int pass = 0; pass < 2; ++pass) {  // the second pass restarts and must agree
        seen.clear();
        observable.StartIteration(iterator);
        while (Observer* observer = observable.GetNextObserver(iterator))
            seen.push_back(observer);
        EXPECT_EQ(observable.GetNextObserver(iterator), nullptr);  // stays at the end
    }
    observable.DestroyObserverIterator(iterator);
    return seen;
}

TEST_F(ObservableTest, IteratorGivesEachRegisteredObserverOnceAndSkipsRemovedOnes) {
    Observable observable;
    EXPECT_THAT(Walk(observable), IsEmpty());
    AddAll(observable);
    EXPECT_THAT(Walk(observable), ElementsAre(&a, &b, &c));

    std::vector<Observer*> seenInside;
    b.action = [&](const Message*, Observable* source) {
        source->Remove(&a);
        seenInside = Walk(*source);
    };
    observable.Notify(&first);
    EXPECT_THAT(seenInside, ElementsAre(&b, &c));

    observable.StartIteration(nullptr);
    EXPECT_EQ(observable.GetNextObserver(nullptr), nullptr);
    observable.DestroyObserverIterator(nullptr);
}

}  // namespace
}  // namespace veltonet
