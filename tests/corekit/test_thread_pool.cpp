#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "pelbo/corekit/ThreadPool.h"
#include "pelbo/corekit/XData.h"
#include "support/LoopWatchdog.h"

namespace {

using namespace ThreadPoolV4;

constexpr auto kPatience = std::chrono::seconds(10);

// A record that only counts its references.
class CountingData : public IXData {
public:
    long AddRef() override { return ++m_refs; }
    long Release() override { return --m_refs; }
    long Refs() const { return m_refs; }

    int SetIXDataStr(const wchar_t*, const wchar_t*) override { return 0; }
    int SetIXDataI32(const wchar_t*, int32_t) override { return 0; }
    int SetIXDataU32(const wchar_t*, uint32_t) override { return 0; }
    int SetIXDataI64(const wchar_t*, int64_t) override { return 0; }
    int SetIXDataU64(const wchar_t*, uint64_t) override { return 0; }
    int SetIXDataBool(const wchar_t*, bool) override { return 0; }
    int SetArray(const wchar_t*, IXDataArray*) override { return 0; }
    int GetIXDataStr(const wchar_t*, CStringW&) override { return 0; }
    int GetIXDataI32(const wchar_t*, int32_t&) override { return 0; }
    int GetIXDataU32(const wchar_t*, uint32_t&) override { return 0; }
    int GetIXDataI64(const wchar_t*, int64_t&) override { return 0; }
    int GetIXDataU64(const wchar_t*, uint64_t&) override { return 0; }
    int GetIXDataBool(const wchar_t*, bool&) override { return 0; }
    int GetArray(const wchar_t*, IXDataArray**) override { return 0; }
    int HasKey(const wchar_t*) override { return 0; }
    E_XDATA_TYPE GetType(const wchar_t*) override { return XDATA_NONE; }
    int RemoveKey(const wchar_t*) override { return 0; }
    unsigned GetCount() override { return 0; }
    int GetKeyAt(unsigned, CStringW&) override { return 0; }

private:
    std::atomic<long> m_refs{1};
};

// Completion functions carry no user data; they report here, keyed by the
// message's param.
struct Completions {
    std::mutex mutex;
    std::condition_variable changed;
    std::map<unsigned, std::vector<TaskErrorCode>> byParam;

    static Completions& Get()
    {
        static Completions instance;
        return instance;
    }
    static void Record(TaskErrorCode code, unsigned, IXData*, unsigned param)
    {
        Completions& c = Get();
        std::lock_guard<std::mutex> lock(c.mutex);
        c.byParam[param].push_back(code);
        c.changed.notify_all();
    }
    std::vector<TaskErrorCode> Of(unsigned param)
    {
        std::lock_guard<std::mutex> lock(mutex);
        return byParam[param];
    }
    bool WaitFor(unsigned param)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, kPatience, [&] { return !byParam[param].empty(); });
    }
    void Clear()
    {
        std::lock_guard<std::mutex> lock(mutex);
        byParam.clear();
    }
};

class ThreadPoolTest : public ::testing::Test {
protected:
    void SetUp() override { Completions::Get().Clear(); }
    void TearDown() override { Shutdown(); }
};

// ---- Round trip: main thread -> conversion task -> main thread ----

constexpr unsigned kRequest = 12;
constexpr unsigned kReply = 13;

void OnRequest(uint64_t fromTaskId, unsigned, IXData* record, unsigned, void*)
{
    CStringW src;
    record->GetIXDataStr(L"src_file", src);
    XDataPtr<IXData> reply;
    CreateIXData(reply.Receive(), 0);
    reply->SetIXDataU32(L"result", static_cast<uint32_t>(src.GetLength()));
    PostMsg(fromTaskId, kReply, reply.get(), 0, nullptr);
    SetExitLoop(1);
}

void ConversionTask(uint64_t, void*)
{
    RegMsgSink(kRequest, OnRequest, nullptr);
    RunBaseLoop(nullptr);
}

struct ReplySeen {
    uint64_t from = 0;
    uint32_t result = 0;
    std::thread::id thread;
};

void OnReply(uint64_t fromTaskId, unsigned, IXData* record, unsigned, void* userData)
{
    auto* seen = static_cast<ReplySeen*>(userData);
    seen->from = fromTaskId;
    seen->thread = std::this_thread::get_id();
    record->GetIXDataU32(L"result", seen->result);
    SetExitLoop(1);
}

TEST_F(ThreadPoolTest, RequestAndReplyBetweenMainThreadAndTask)
{
    ASSERT_EQ(SetManagedClsAttri(L"imgconv", 5, 0), TaskOk);
    ReplySeen seen;
    ASSERT_EQ(RegMsgSink(kReply, OnReply, &seen), TaskOk);
    uint64_t taskId = 0;
    ASSERT_EQ(AddManagedTask(L"imgconv", L"", nullptr, ConversionTask, &taskId), TaskOk);
    XDataPtr<IXData> request;
    ASSERT_NE(CreateIXData(request.Receive(), 0), 0);
    request->SetIXDataStr(L"src_file", L"/tmp/a.png");
    ASSERT_EQ(PostMsg(taskId, kRequest, request.get(), 0, nullptr), TaskOk);
    {
        const TestSupport::LoopWatchdog watchdog(GetCurrentTaskId(), kPatience);
        EXPECT_EQ(RunBaseLoop(nullptr), TaskOk);
    }
    EXPECT_EQ(seen.from, taskId);
    EXPECT_NE(seen.from, GetCurrentTaskId());
    EXPECT_EQ(seen.result, 10u);
    EXPECT_EQ(seen.thread, std::this_thread::get_id());
    EXPECT_EQ(UnregMsgSink(kReply), TaskOk);
    EXPECT_EQ(UnregMsgSink(kReply), TaskNoSink);
}

// ---- Class limit ----

struct LimitProbe {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<uint64_t> started;
    std::vector<std::string> events;
    int running = 0;
    int maxRunning = 0;

    bool WaitStarted(size_t count)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, kPatience, [&] { return started.size() >= count; });
    }
};

void LimitedTask(uint64_t taskId, void* param)
{
    auto* probe = static_cast<LimitProbe*>(param);
    {
        std::lock_guard<std::mutex> lock(probe->mutex);
        probe->started.push_back(taskId);
        probe->events.push_back("start " + std::to_string(taskId));
        probe->maxRunning = std::max(probe->maxRunning, ++probe->running);
        probe->changed.notify_all();
    }
    RunBaseLoop(nullptr);
    std::lock_guard<std::mutex> lock(probe->mutex);
    --probe->running;
    probe->events.push_back("end " + std::to_string(taskId));
}

void OnPing(uint64_t from, unsigned, IXData*, unsigned, void*)
{
    PostMsg(from, 2, nullptr, 0, nullptr);
}

void OnPong(uint64_t, unsigned, IXData*, unsigned, void*)
{
    SetExitLoop(1);
}

void PingableTask(uint64_t taskId, void* param)
{
    RegMsgSink(1, OnPing, nullptr);
    LimitedTask(taskId, param);
}

TEST_F(ThreadPoolTest, ClassLimitMakesTasksWaitForAFreeSlot)
{
    ASSERT_EQ(SetManagedClsAttri(L"limited", 2, 0), TaskOk);
    LimitProbe probe;
    uint64_t first = 0, second = 0, third = 0, fourth = 0;
    ASSERT_EQ(AddManagedTask(L"limited", L"1", &probe, PingableTask, &first), TaskOk);
    ASSERT_EQ(AddManagedTask(L"limited", L"2", &probe, LimitedTask, &second), TaskOk);
    ASSERT_TRUE(probe.WaitStarted(2));
    ASSERT_EQ(AddManagedTask(L"limited", L"3", &probe, LimitedTask, &third), TaskOk);
    ASSERT_EQ(AddManagedTask(L"limited", L"4", &probe, LimitedTask, &fourth), TaskOk);
    // A round trip through a running task gives a third thread every chance
    // to show up if the limit were not kept.
    ASSERT_EQ(RegMsgSink(2, OnPong, nullptr), TaskOk);
    ASSERT_EQ(PostMsg(first, 1, nullptr, 0, nullptr), TaskOk);
    {
        const TestSupport::LoopWatchdog watchdog(GetCurrentTaskId(), kPatience);
        ASSERT_EQ(RunBaseLoop(nullptr), TaskOk);
    }
    // A waiting task can be removed before it ever runs.
    EXPECT_EQ(DelManagedTaskCalledByMainThread(fourth), TaskOk);
    EXPECT_EQ(DelManagedTaskCalledByMainThread(fourth), TaskNotFound);

    ASSERT_EQ(SetExitLoopOf(first), TaskOk);
    ASSERT_TRUE(probe.WaitStarted(3));
    ASSERT_EQ(SetExitLoopOf(second), TaskOk);
    ASSERT_EQ(SetExitLoopOf(third), TaskOk);
    Shutdown();

    std::lock_guard<std::mutex> lock(probe.mutex);
    EXPECT_EQ(probe.maxRunning, 2);
    // The first two start in either order; the third only after them.
    ASSERT_EQ(probe.started.size(), 3u);
    EXPECT_EQ(std::min(probe.started[0], probe.started[1]), first);
    EXPECT_EQ(std::max(probe.started[0], probe.started[1]), second);
    EXPECT_EQ(probe.started[2], third);
    const auto endFirst = std::find(probe.events.begin(), probe.events.end(), "end " + std::to_string(first));
    const auto startThird = std::find(probe.events.begin(), probe.events.end(), "start " + std::to_string(third));
    EXPECT_LT(endFirst, startThird);
}

// ---- Removing a task with queued messages ----

struct Gate {
    std::promise<void> entered;
    std::shared_future<void> released;
    bool releasedInTime = false;
};

void OnBlocking(uint64_t, unsigned, IXData*, unsigned, void* userData)
{
    auto* gate = static_cast<Gate*>(userData);
    gate->entered.set_value();
    gate->releasedInTime = gate->released.wait_for(kPatience) == std::future_status::ready;
}

void BlockingTask(uint64_t, void* param)
{
    RegMsgSink(1, OnBlocking, param);
    RunBaseLoop(nullptr);
}

TEST_F(ThreadPoolTest, DeletingATaskDropsItsQueueWithoutWaitingForIt)
{
    std::promise<void> release;
    Gate gate;
    gate.released = release.get_future().share();
    std::future<void> entered = gate.entered.get_future();
    uint64_t taskId = 0;
    ASSERT_EQ(AddManagedTask(L"worker", L"blocking", &gate, BlockingTask, &taskId), TaskOk);
    CountingData busy;
    CountingData queued;
    ASSERT_EQ(PostMsg(taskId, 1, &busy, 100, Completions::Record), TaskOk);
    ASSERT_EQ(entered.wait_for(kPatience), std::future_status::ready);
    ASSERT_EQ(PostMsg(taskId, 1, &queued, 101, Completions::Record), TaskOk);
    ASSERT_EQ(PostMsg(taskId, 1, &queued, 102, Completions::Record), TaskOk);
    EXPECT_EQ(queued.Refs(), 3);

    // Returns while the task is still inside its sink.
    EXPECT_EQ(DelManagedTaskCalledByMainThread(taskId), TaskOk);
    Completions& done = Completions::Get();
    EXPECT_EQ(done.Of(101), (std::vector<TaskErrorCode>{TaskNotFound}));
    EXPECT_EQ(done.Of(102), (std::vector<TaskErrorCode>{TaskNotFound}));
    EXPECT_EQ(queued.Refs(), 1);
    EXPECT_EQ(PostMsg(taskId, 1, &queued, 103, Completions::Record), TaskNotFound);
    EXPECT_EQ(done.Of(103), (std::vector<TaskErrorCode>{TaskNotFound}));
    EXPECT_EQ(queued.Refs(), 1);

    release.set_value();
    ASSERT_TRUE(done.WaitFor(100));
    Shutdown();
    EXPECT_TRUE(gate.releasedInTime);
    EXPECT_EQ(done.Of(100), (std::vector<TaskErrorCode>{TaskOk}));
    EXPECT_EQ(busy.Refs(), 1);
}

// ---- Messages that cannot be handled ----

void QuitOnMessage(uint64_t, unsigned, IXData*, unsigned, void*)
{
    SetExitLoop(1);
}

TEST_F(ThreadPoolTest, MessagesWithoutSinkOrTargetAreDroppedOnce)
{
    CountingData record;
    EXPECT_EQ(PostMsg(987654321, 1, &record, 1, Completions::Record), TaskNotFound);
    EXPECT_EQ(Completions::Get().Of(1), (std::vector<TaskErrorCode>{TaskNotFound}));

    // To the main thread itself: 5 has no sink, 6 ends the loop.
    ASSERT_EQ(RegMsgSink(6, QuitOnMessage, nullptr), TaskOk);
    const uint64_t self = GetCurrentTaskId();
    ASSERT_EQ(PostMsg(self, 5, &record, 2, Completions::Record), TaskOk);
    ASSERT_EQ(PostMsg(self, 6, &record, 3, Completions::Record), TaskOk);
    EXPECT_EQ(record.Refs(), 3);
    {
        const TestSupport::LoopWatchdog watchdog(self, kPatience);
        EXPECT_EQ(RunBaseLoop(nullptr), TaskOk);
    }
    EXPECT_EQ(Completions::Get().Of(2), (std::vector<TaskErrorCode>{TaskNoSink}));
    EXPECT_EQ(Completions::Get().Of(3), (std::vector<TaskErrorCode>{TaskOk}));
    EXPECT_EQ(record.Refs(), 1);
    EXPECT_EQ(RegMsgSink(7, nullptr, nullptr), TaskInvalidArgument);
    EXPECT_EQ(AddManagedTask(L"x", L"", nullptr, nullptr, nullptr), TaskInvalidArgument);
    EXPECT_EQ(DelManagedTaskCalledByMainThread(self), TaskInvalidArgument);
}

// ---- A task that never runs a loop ----

void ReturningTask(uint64_t, void* param)
{
    static_cast<std::promise<void>*>(param)->set_value();
}

TEST_F(ThreadPoolTest, TaskReturningWithoutLoopEndsAndDropsItsMessages)
{
    ASSERT_EQ(SetManagedClsAttri(L"single", 1, 0), TaskOk);
    std::promise<void> release;
    Gate gate;
    gate.released = release.get_future().share();
    std::future<void> entered = gate.entered.get_future();
    uint64_t blocker = 0;
    ASSERT_EQ(AddManagedTask(L"single", L"", &gate, BlockingTask, &blocker), TaskOk);
    ASSERT_EQ(PostMsg(blocker, 1, nullptr, 0, nullptr), TaskOk);
    ASSERT_EQ(entered.wait_for(kPatience), std::future_status::ready);

    // Waits behind the blocker, so the message is queued before it starts.
    std::promise<void> ran;
    std::future<void> ranFuture = ran.get_future();
    uint64_t brief = 0;
    ASSERT_EQ(AddManagedTask(L"single", L"", &ran, ReturningTask, &brief), TaskOk);
    CountingData record;
    ASSERT_EQ(PostMsg(brief, 1, &record, 7, Completions::Record), TaskOk);
    release.set_value();
    ASSERT_EQ(SetExitLoopOf(blocker), TaskOk);
    EXPECT_EQ(ranFuture.wait_for(kPatience), std::future_status::ready);
    ASSERT_TRUE(Completions::Get().WaitFor(7));
    EXPECT_EQ(Completions::Get().Of(7), (std::vector<TaskErrorCode>{TaskNotFound}));
    // The reference goes right after the completion returns; the join makes
    // sure it has gone.
    Shutdown();
    EXPECT_EQ(record.Refs(), 1);
}

// ---- Idle function and shutdown ----

std::atomic<int> g_idleCalls{0};

void IdleThenQuit()
{
    ++g_idleCalls;
    SetExitLoop(1);
}

TEST_F(ThreadPoolTest, IdleFunctionRunsWhenTheQueueIsEmpty)
{
    g_idleCalls = 0;
    const TestSupport::LoopWatchdog watchdog(GetCurrentTaskId(), kPatience);
    EXPECT_EQ(RunBaseLoop(IdleThenQuit), TaskOk);
    EXPECT_EQ(g_idleCalls, 1);
}

std::promise<void>* g_inLoop = nullptr;

void SignalInLoop()
{
    if (g_inLoop != nullptr)
        std::exchange(g_inLoop, nullptr)->set_value();
}

TEST_F(ThreadPoolTest, ShutdownEndsLoopsAndThePoolStartsAnew)
{
    // A loop on a plain thread ends when the pool shuts down.
    std::promise<void> inLoop;
    std::future<void> inLoopFuture = inLoop.get_future();
    g_inLoop = &inLoop;
    std::promise<uint64_t> loopId;
    std::future<uint64_t> loopIdFuture = loopId.get_future();
    std::promise<TaskErrorCode> loopResult;
    std::future<TaskErrorCode> loopResultFuture = loopResult.get_future();
    std::thread plain([&] {
        loopId.set_value(GetCurrentTaskId());
        loopResult.set_value(RunBaseLoop(SignalInLoop));
    });
    ASSERT_EQ(inLoopFuture.wait_for(kPatience), std::future_status::ready);
    uint64_t taskId = 0;
    ASSERT_EQ(AddManagedTask(L"worker", L"", nullptr, ConversionTask, &taskId), TaskOk);
    CountingData record;
    ASSERT_EQ(PostMsg(loopIdFuture.get(), 99, &record, 8, Completions::Record), TaskOk);
    Shutdown();
    ASSERT_EQ(loopResultFuture.wait_for(kPatience), std::future_status::ready);
    EXPECT_EQ(loopResultFuture.get(), TaskShutDown);
    plain.join();
    EXPECT_EQ(Completions::Get().Of(8).size(), 1u);
    EXPECT_EQ(record.Refs(), 1);
    EXPECT_EQ(PostMsg(taskId, kRequest, nullptr, 0, nullptr), TaskNotFound);

    // The same round trip works after the shutdown.
    ReplySeen seen;
    ASSERT_EQ(RegMsgSink(kReply, OnReply, &seen), TaskOk);
    ASSERT_EQ(AddManagedTask(L"imgconv", L"", nullptr, ConversionTask, &taskId), TaskOk);
    XDataPtr<IXData> request;
    CreateIXData(request.Receive(), 0);
    request->SetIXDataStr(L"src_file", L"abc");
    ASSERT_EQ(PostMsg(taskId, kRequest, request.get(), 0, nullptr), TaskOk);
    {
        const TestSupport::LoopWatchdog watchdog(GetCurrentTaskId(), kPatience);
        EXPECT_EQ(RunBaseLoop(nullptr), TaskOk);
    }
    EXPECT_EQ(seen.from, taskId);
    EXPECT_EQ(seen.result, 3u);
}

}  // namespace
