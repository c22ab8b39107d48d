// The event hub: emission order, disconnection during emission, re-entrant
// emission, receivers that throw, record release, and the promise that a
// receiver is never called once its disconnect has returned on another
// thread.

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "pelbo/core/EventSignal.h"
#include "pelbo/core/ServiceEvent.h"

namespace {

using IntSignal = event::common_signal1<int>;

// A record that counts its calls and its releases; it lives on the test's
// stack, so Release only counts.
class CountingRecord : public event::connection_base1<int> {
public:
    CountingRecord(int* calls, int* releases) : m_calls(calls), m_releases(releases) {}
    ~CountingRecord() override = default;
    void Invoke(int) override { ++*m_calls; }
    void Release() override { ++*m_releases; }

private:
    int* m_calls;
    int* m_releases;
};

int g_freeSum = 0;
void FreeReceiver(int value) { g_freeSum += value; }

struct MemberReceiver {
    void OnValue(int value) { values.push_back(value); }
    std::vector<int> values;
};

TEST(EventSignal, EmittingWithoutReceiversDoesNothing)
{
    IntSignal signal;
    signal.emit(1);
    EXPECT_EQ(signal.connection_count(), 0u);
}

TEST(EventSignal, ConnectsFreeFunctionsMembersAndLambdas)
{
    IntSignal signal;
    g_freeSum = 0;
    MemberReceiver member;
    int lambdaSum = 0;
    std::function<void(int)> function = [&lambdaSum](int v) { lambdaSum += 10 * v; };

    event::connection a = signal.connect(&FreeReceiver);
    event::connection b = signal.connect(&member, &MemberReceiver::OnValue);
    event::connection c = signal.connect(function);
    ASSERT_TRUE(a.connected() && b.connected() && c.connected());

    signal.emit(3);
    EXPECT_EQ(g_freeSum, 3);
    EXPECT_EQ(member.values, std::vector<int>({3}));
    EXPECT_EQ(lambdaSum, 30);

    EXPECT_TRUE(signal.disconnect(b));
    EXPECT_FALSE(b.disconnect()) << "a handle disconnects once";
    signal.emit(4);
    EXPECT_EQ(g_freeSum, 7);
    EXPECT_EQ(member.values, std::vector<int>({3}));
    EXPECT_EQ(lambdaSum, 70);
    EXPECT_EQ(signal.connection_count(), 2u);
}

TEST(EventSignal, ScopedConnectionDisconnectsAtScopeEnd)
{
    IntSignal signal;
    int calls = 0;
    {
        event::scoped_connection scoped = signal.connect([&calls](int) { ++calls; });
        signal.emit(1);
        event::scoped_connection moved = std::move(scoped);
        EXPECT_FALSE(scoped.connected());
        signal.emit(1);
    }
    signal.emit(1);
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(signal.connection_count(), 0u);
}

TEST(EventSignal, ReceiverDisconnectingItselfIsNotCalledAgainAndOthersStillAre)
{
    IntSignal signal;
    std::vector<std::string> order;
    event::connection self;
    signal.connect([&order](int) { order.push_back("first"); });
    self = signal.connect([&order, &self](int) {
        order.push_back("self");
        self.disconnect();
    });
    signal.connect([&order](int) { order.push_back("last"); });

    signal.emit(0);
    signal.emit(0);
    EXPECT_EQ(order, std::vector<std::string>({"first", "self", "last", "first", "last"}));
    EXPECT_EQ(signal.connection_count(), 2u);
}

TEST(EventSignal, ReceiverMayDisconnectAnotherReceiverDuringEmission)
{
    IntSignal signal;
    int earlierCalls = 0, laterCalls = 0;
    event::connection earlier = signal.connect([&earlierCalls](int) { ++earlierCalls; });
    event::connection later;
    signal.connect([&earlier, &later](int) {
        earlier.disconnect();
        later.disconnect();
    });
    later = signal.connect([&laterCalls](int) { ++laterCalls; });

    signal.emit(0);
    EXPECT_EQ(earlierCalls, 1);
    EXPECT_EQ(laterCalls, 0) << "disconnected before its turn in the same emission";
    signal.emit(0);
    EXPECT_EQ(earlierCalls, 1);
    EXPECT_EQ(signal.connection_count(), 1u);
}

TEST(EventSignal, RecordIsReleasedOnceAfterTheEmissionThatDisconnectedIt)
{
    int calls = 0, releases = 0;
    CountingRecord record(&calls, &releases);
    IntSignal signal;
    event::connection handle = signal.connect_record(&record);
    // Deleting the record while it is on the call stack would be fatal; it
    // is released only once the emission is over.
    int releasesSeenInside = -1;
    signal.connect([&](int) {
        handle.disconnect();
        releasesSeenInside = releases;
    });
    signal.emit(0);
    EXPECT_EQ(releasesSeenInside, 0);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(releases, 1);
}

TEST(EventSignal, DestructionReleasesEveryRecordOnce)
{
    int calls = 0, releasesA = 0, releasesB = 0;
    CountingRecord a(&calls, &releasesA);
    CountingRecord b(&calls, &releasesB);
    {
        IntSignal signal;
        signal.connect_record(&a);
        signal.connect_record(&b);
        signal.emit(1);
    }
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(releasesA, 1);
    EXPECT_EQ(releasesB, 1);
}

TEST(EventSignal, ReEntrantEmissionOnTheSameThreadDoesNotDeadlock)
{
    IntSignal signal;
    std::vector<int> seen;
    event::connection nested;
    signal.connect([&](int depth) {
        seen.push_back(depth);
        if (depth < 3)
            signal.emit(depth + 1);
    });
    // Disconnected by the innermost emission: the outer walks must skip it.
    nested = signal.connect([&](int depth) {
        seen.push_back(100 + depth);
        nested.disconnect();
    });
    signal.emit(0);
    EXPECT_EQ(seen, std::vector<int>({0, 1, 2, 3, 103}));
    EXPECT_EQ(signal.connection_count(), 1u);
}

TEST(EventSignal, ReceiverConnectedDuringEmissionWaitsForTheNextOne)
{
    IntSignal signal;
    int lateCalls = 0;
    bool added = false;
    signal.connect([&](int) {
        if (!added) {
            added = true;
            signal.connect([&lateCalls](int) { ++lateCalls; });
        }
    });
    signal.emit(0);
    EXPECT_EQ(lateCalls, 0);
    signal.emit(0);
    EXPECT_EQ(lateCalls, 1);
}

TEST(EventSignal, ThrowingReceiverDoesNotStopTheEmission)
{
    IntSignal signal;
    int after = 0;
    signal.connect([](int) { throw std::runtime_error("receiver failed"); });
    signal.connect([](int) { throw 42; });
    signal.connect([&after](int) { ++after; });
    signal.emit(0);
    signal.emit(0);
    EXPECT_EQ(after, 2);
}

TEST(EventSignal, EachReceiverGetsItsOwnCopyOfTheTexts)
{
    auto& signal = ServiceEvent::UpdatePelboVersion();
    std::vector<CStringW> firstSeen, secondSeen;
    event::scoped_connection first = signal.connect([&](CStringW version, CStringW url, CStringW md5) {
        version += L"-changed";
        url.Empty();
        md5.MakeUpper();
        firstSeen = {version, url, md5};
    });
    event::scoped_connection second = signal.connect([&](CStringW version, CStringW url, CStringW md5) {
        secondSeen = {version, url, md5};
    });
    signal.emit(CStringW(L"2.4.1"), CStringW(L"http://host/setup.exe"), CStringW(L"abcdef"));
    EXPECT_EQ(firstSeen, std::vector<CStringW>({L"2.4.1-changed", L"", L"ABCDEF"}));
    EXPECT_EQ(secondSeen, std::vector<CStringW>({L"2.4.1", L"http://host/setup.exe", L"abcdef"}));
}

TEST(ServiceEventAccessors, ReturnTheSameSignalFromEveryThread)
{
    std::vector<const void*> seen(4, nullptr);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < seen.size(); ++i)
        threads.emplace_back([&seen, i] { seen[i] = &ServiceEvent::JoinMeetingSure(); });
    for (auto& t : threads)
        t.join();
    for (const void* p : seen)
        EXPECT_EQ(p, &ServiceEvent::JoinMeetingSure());
    EXPECT_NE(static_cast<const void*>(&ServiceEvent::ConnectResult()),
              static_cast<const void*>(&ServiceEvent::UpdateMaterCount()));
}

// The emitting thread runs receivers while the test thread disconnects one
// of them: once disconnect has returned, that receiver must never run again.
TEST(EventSignalThreaded, ReceiverIsNeverCalledAfterDisconnectReturnedOnAnotherThread)
{
    event::common_signal1<CStringW> signal;
    std::mutex lock;
    std::condition_variable wake;
    int firstCalls = 0;
    std::atomic<bool> disconnected{false};
    std::atomic<int> callsAfterDisconnect{0};
    std::atomic<bool> stop{false};
    std::vector<CStringW> othersTexts;

    event::connection target = signal.connect([&](CStringW text) {
        if (disconnected.load())
            callsAfterDisconnect.fetch_add(1);
        std::lock_guard<std::mutex> guard(lock);
        ++firstCalls;
        wake.notify_all();
    });
    signal.connect([&](CStringW text) {
        text += L"!";
        othersTexts.push_back(text);
    });

    std::thread emitter([&] {
        for (int i = 0; i < 20000 && !stop.load(); ++i)
            signal.emit(CStringW(L"tick"));
    });

    {
        std::unique_lock<std::mutex> guard(lock);
        ASSERT_TRUE(wake.wait_for(guard, std::chrono::seconds(30), [&] { return firstCalls >= 3; }));
    }
    EXPECT_TRUE(target.disconnect());
    disconnected.store(true);
    // Let the emitter run on for a while past the disconnect.
    const size_t countAtDisconnect = [&] {
        std::lock_guard<std::mutex> guard(lock);
        return static_cast<size_t>(firstCalls);
    }();
    stop.store(true);
    emitter.join();

    EXPECT_EQ(callsAfterDisconnect.load(), 0);
    {
        std::lock_guard<std::mutex> guard(lock);
        EXPECT_EQ(static_cast<size_t>(firstCalls), countAtDisconnect);
    }
    ASSERT_FALSE(othersTexts.empty());
    for (const CStringW& t : othersTexts)
        EXPECT_EQ(t, CStringW(L"tick!"));
}

// Two threads emit one signal with text arguments while receivers change
// their own copies: the lock serialises emissions and no copy is shared.
TEST(EventSignalThreaded, ConcurrentEmissionsKeepTextCopiesApart)
{
    event::common_signal3<CStringW, CStringW, CStringW> signal;
    std::vector<CStringW> seen;
    signal.connect([&seen](CStringW a, CStringW b, CStringW c) {
        a += b;
        a += c;
        seen.push_back(a);
    });
    signal.connect([&seen](CStringW a, CStringW, CStringW) {
        a.MakeUpper();
        seen.push_back(a);
    });
    auto emitMany = [&signal](const wchar_t* who) {
        for (int i = 0; i < 500; ++i)
            signal.emit(CStringW(who), CStringW(L"-"), CStringW(L"x"));
    };
    std::thread one(emitMany, L"one");
    std::thread two(emitMany, L"two");
    one.join();
    two.join();
    ASSERT_EQ(seen.size(), 2000u);
    for (size_t i = 0; i < seen.size(); i += 2) {
        const bool fromOne = seen[i] == CStringW(L"one-x");
        EXPECT_TRUE(fromOne || seen[i] == CStringW(L"two-x")) << i;
        EXPECT_EQ(seen[i + 1], CStringW(fromOne ? L"ONE" : L"TWO")) << i;
    }
}

}  // namespace
