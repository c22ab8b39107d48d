#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <type_traits>
#include <vector>

#include "pelbo/corekit/Event.h"

namespace {

using Util::CEvent;
using Util::LivenessMarker;

constexpr auto kPatience = std::chrono::seconds(10);

// Records the order in which subscribers were called.
struct Journal {
    std::mutex mutex;
    std::vector<int> calls;
    void Add(int id)
    {
        std::lock_guard<std::mutex> lock(mutex);
        calls.push_back(id);
    }
    std::vector<int> Take()
    {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<int> out;
        out.swap(calls);
        return out;
    }
};

struct Subscriber {
    Subscriber(CEvent<int>& event, Journal& journal, int id) : marker(this), event(event), journal(journal), id(id)
    {
        event.Subscribe(this, &Subscriber::OnEvent, &marker);
    }
    virtual ~Subscriber() { event.Unsubscribe(this, &Subscriber::OnEvent); }
    virtual void OnEvent(int value)
    {
        journal.Add(id);
        if (action)
            action(value);
    }

    LivenessMarker marker;
    CEvent<int>& event;
    Journal& journal;
    int id;
    std::function<void(int)> action;
};

TEST(Event, HandlersRunInReverseOrderOfSubscription)
{
    CEvent<int> event;
    Journal journal;
    Subscriber a(event, journal, 1);
    Subscriber b(event, journal, 2);
    Subscriber c(event, journal, 3);
    event.Fire(7);
    EXPECT_EQ(journal.Take(), (std::vector<int>{3, 2, 1}));
    EXPECT_FALSE(event.IsEmpty());
}

TEST(Event, ArgumentsReachEveryHandler)
{
    CEvent<int> event;
    Journal journal;
    std::vector<int> seen;
    Subscriber a(event, journal, 1);
    Subscriber b(event, journal, 2);
    a.action = [&seen](int v) { seen.push_back(v); };
    b.action = [&seen](int v) { seen.push_back(v * 10); };
    event.Fire(4);
    EXPECT_EQ(seen, (std::vector<int>{40, 4}));
}

TEST(Event, NullSubscriberIsRefusedAndUnknownUnsubscribeFails)
{
    CEvent<int> event;
    Journal journal;
    EXPECT_EQ(event.Subscribe(static_cast<Subscriber*>(nullptr), &Subscriber::OnEvent, nullptr), 0);
    EXPECT_TRUE(event.IsEmpty());
    Subscriber a(event, journal, 1);
    Subscriber stranger(event, journal, 2);
    EXPECT_EQ(event.Unsubscribe(&stranger, &Subscriber::OnEvent), 1);
    EXPECT_EQ(event.Unsubscribe(&stranger, &Subscriber::OnEvent), 0);
    event.Fire(0);
    EXPECT_EQ(journal.Take(), (std::vector<int>{1}));
}

TEST(Event, SubscriberUnsubscribesItselfDuringFiring)
{
    CEvent<int> event;
    Journal journal;
    Subscriber last(event, journal, 1);
    Subscriber middle(event, journal, 2);
    Subscriber first(event, journal, 3);
    // One runs under the lock, the other as the last handler outside it.
    middle.action = [&](int) { event.Unsubscribe(&middle, &Subscriber::OnEvent); };
    last.action = [&](int) { event.Unsubscribe(&last, &Subscriber::OnEvent); };
    event.Fire(0);
    EXPECT_EQ(journal.Take(), (std::vector<int>{3, 2, 1}));
    event.Fire(0);
    EXPECT_EQ(journal.Take(), (std::vector<int>{3}));
}

TEST(Event, HandlerDestroysAnotherSubscriberDuringFiring)
{
    CEvent<int> event;
    Journal journal;
    auto later = std::make_unique<Subscriber>(event, journal, 1);
    Subscriber killer(event, journal, 2);
    auto earlier = std::make_unique<Subscriber>(event, journal, 3);
    // The destructor unsubscribes: the doomed handler that comes later in
    // this firing is skipped; the one that already ran is simply gone.
    killer.action = [&](int) {
        later.reset();
        earlier.reset();
    };
    event.Fire(0);
    EXPECT_EQ(journal.Take(), (std::vector<int>{3, 2}));
    event.Fire(0);
    EXPECT_EQ(journal.Take(), (std::vector<int>{2}));
}

TEST(Event, DeadMarkerIsSkippedAndItsNodeDropped)
{
    CEvent<int> event;
    Journal journal;
    Subscriber live(event, journal, 1);
    // A subscriber that forgot to unsubscribe: its destructor has run (the
    // marker reads dead) while its memory is still there to be read.
    struct Careless {
        explicit Careless(Journal& j) : marker(this), journal(j) {}
        void OnEvent(int) { journal.Add(99); }
        LivenessMarker marker;
        Journal& journal;
    };
    std::aligned_storage_t<sizeof(Careless), alignof(Careless)> storage;
    auto* careless = new (&storage) Careless(journal);
    ASSERT_EQ(event.Subscribe(careless, &Careless::OnEvent, &careless->marker), 1);
    event.Fire(0);
    EXPECT_EQ(journal.Take(), (std::vector<int>{99, 1}));
    careless->~Careless();
    event.Fire(0);
    EXPECT_EQ(journal.Take(), (std::vector<int>{1}));
    // The dead node was unlinked: the handler cannot come back even if the
    // bytes looked alive again.
    new (&storage) Careless(journal);
    event.Fire(0);
    EXPECT_EQ(journal.Take(), (std::vector<int>{1}));
    reinterpret_cast<Careless*>(&storage)->~Careless();
}

TEST(Event, FiringAgainFromAHandlerAndRemoveAllInside)
{
    CEvent<int> event;
    Journal journal;
    Subscriber a(event, journal, 1);
    Subscriber b(event, journal, 2);
    b.action = [&](int depth) {
        if (depth == 0)
            event.Fire(1);
        else
            event.RemoveAll();
    };
    event.Fire(0);
    // Outer: b, which fires inner: b (removes all), then nothing more.
    EXPECT_EQ(journal.Take(), (std::vector<int>{2, 2}));
    EXPECT_TRUE(event.IsEmpty());
    event.Fire(0);
    EXPECT_TRUE(journal.Take().empty());
}

struct Recorder {
    void OnEvent(int) { ++calls; }
    int calls = 0;
};

struct EventOwner {
    void OnEvent(int) { holder.reset(); }
    std::unique_ptr<CEvent<int>>& holder;
};

TEST(Event, EventDestroyedByItsOwnHandler)
{
    Recorder recorder;
    {
        // Destroyed by the last handler, which runs outside the lock.
        auto event = std::make_unique<CEvent<int>>();
        EventOwner owner{event};
        event->Subscribe(&owner, &EventOwner::OnEvent, nullptr);
        event->Subscribe(&recorder, &Recorder::OnEvent, nullptr);
        event->Fire(0);
        EXPECT_EQ(event, nullptr);
        EXPECT_EQ(recorder.calls, 1);
    }
    {
        // Destroyed by a handler under the lock; the one after it is dropped.
        auto event = std::make_unique<CEvent<int>>();
        EventOwner owner{event};
        event->Subscribe(&recorder, &Recorder::OnEvent, nullptr);
        event->Subscribe(&owner, &EventOwner::OnEvent, nullptr);
        event->Fire(0);
        EXPECT_EQ(event, nullptr);
        EXPECT_EQ(recorder.calls, 1);
    }
}

TEST(Event, UnsubscribeWaitsForTheLastHandlerRunningElsewhere)
{
    CEvent<> event;
    std::promise<void> entered;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> unsubscribed{false};
    std::atomic<bool> finishedBeforeUnsubscribed{false};
    std::atomic<bool> releaseInTime{false};
    struct Slow {
        void OnEvent()
        {
            entered->set_value();
            releaseInTime->store(released.wait_for(kPatience) == std::future_status::ready);
            finishedBeforeUnsubscribed->store(!unsubscribed->load());
        }
        std::promise<void>* entered;
        std::shared_future<void> released;
        std::atomic<bool>* unsubscribed;
        std::atomic<bool>* finishedBeforeUnsubscribed;
        std::atomic<bool>* releaseInTime;
    } slow{&entered, released, &unsubscribed, &finishedBeforeUnsubscribed, &releaseInTime};
    event.Subscribe(&slow, &Slow::OnEvent, nullptr);

    std::thread firing([&] { event.Fire(); });
    ASSERT_EQ(entered.get_future().wait_for(kPatience), std::future_status::ready);
    std::thread leaving([&] {
        event.Unsubscribe(&slow, &Slow::OnEvent);
        unsubscribed = true;
    });
    // The node reads removed before Unsubscribe starts to wait.
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (!event.IsEmpty() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    EXPECT_TRUE(event.IsEmpty());
    release.set_value();
    leaving.join();
    firing.join();
    EXPECT_TRUE(releaseInTime);
    EXPECT_TRUE(finishedBeforeUnsubscribed);
}

TEST(Event, HandlerUnderTheLockWaitsForAHandlerRunningElsewhere)
{
    CEvent<> event;
    std::promise<void> entered;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> blockingDone{false};
    struct Blocking {
        void OnEvent()
        {
            if (first.exchange(false)) {
                entered->set_value();
                released.wait_for(kPatience);
                done->store(true);
            }
        }
        std::atomic<bool> first{true};
        std::promise<void>* entered;
        std::shared_future<void> released;
        std::atomic<bool>* done;
    } blocking;
    blocking.entered = &entered;
    blocking.released = released;
    blocking.done = &blockingDone;
    std::promise<void> aboutToWait;
    std::atomic<bool> sawDone{false};
    struct Remover {
        void OnEvent()
        {
            aboutToWait->set_value();
            event->Unsubscribe(blocking, &Blocking::OnEvent);
            sawDone->store(blocking->done->load());
        }
        CEvent<>* event;
        Blocking* blocking;
        std::promise<void>* aboutToWait;
        std::atomic<bool>* sawDone;
    } remover{&event, &blocking, &aboutToWait, &sawDone};

    // The blocking handler is alone, hence last: it runs outside the lock.
    event.Subscribe(&blocking, &Blocking::OnEvent, nullptr);
    std::thread outside([&] { event.Fire(); });
    ASSERT_EQ(entered.get_future().wait_for(kPatience), std::future_status::ready);
    // Now the remover comes first and runs under the lock.
    event.Subscribe(&remover, &Remover::OnEvent, nullptr);
    std::thread underLock([&] { event.Fire(); });
    ASSERT_EQ(aboutToWait.get_future().wait_for(kPatience), std::future_status::ready);
    // While the remover waits it must not keep the lock, or nobody else
    // could subscribe.
    struct Late {
        void OnEvent() {}
    } late;
    std::future<int> subscribed =
        std::async(std::launch::async, [&] { return event.Subscribe(&late, &Late::OnEvent, nullptr); });
    const bool subscribedInTime = subscribed.wait_for(kPatience) == std::future_status::ready;
    release.set_value();
    outside.join();
    underLock.join();
    EXPECT_TRUE(subscribedInTime);
    EXPECT_TRUE(sawDone);
}

TEST(Event, ConcurrentFiringAndChurnStayConsistent)
{
    CEvent<int> event;
    Journal journal;
    Subscriber anchor(event, journal, 0);
    std::atomic<bool> stop{false};
    std::thread firer([&] {
        while (!stop)
            event.Fire(1);
    });
    for (int i = 0; i < 200; ++i) {
        Subscriber transient(event, journal, i + 1);
        event.Fire(2);
    }
    stop = true;
    firer.join();
    const std::vector<int> calls = journal.Take();
    // Every firing of this thread reached the anchor, and each transient
    // subscriber was called while it lived.
    EXPECT_GE(std::count(calls.begin(), calls.end(), 0), 200);
    for (int i = 1; i <= 200; ++i)
        EXPECT_NE(std::find(calls.begin(), calls.end(), i), calls.end()) << i;
}

}  // namespace
