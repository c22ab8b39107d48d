#include <gtest/gtest.h>

#if defined(_WIN32)
#include <windows.h>
#include <tlhelp32.h>
#else
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <future>
#include <mutex>
#include <set>
#include <thread>

#include "pelbo/corekit/Event.h"
#include "pelbo/corekit/ThreadPool.h"
#include "pelbo/corekit/Timer.h"

namespace {

using ThreadPoolV4::CTaskTimerHelper;

constexpr auto kPatience = std::chrono::seconds(10);

// Counts callbacks and lets the test wait for a number of them.
class TickCounter {
public:
    void Tick()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_ticks;
        m_changed.notify_all();
    }
    bool WaitFor(int ticks)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, kPatience, [&] { return m_ticks >= ticks; });
    }
    int Ticks()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_ticks;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_ticks = 0;
};

size_t ThreadCount()
{
    size_t count = 0;
#if defined(_WIN32)
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return 0;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == GetCurrentProcessId())
            ++count;
    }
    CloseHandle(snapshot);
#else
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        (void)entry;
        ++count;
    }
#endif
    return count;
}

// Polls a condition that the code under test makes true without telling us.
template <typename Pred>
bool Eventually(Pred pred)
{
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::yield();
    }
    return true;
}

class TimerTest : public ::testing::Test {
protected:
    void TearDown() override { ThreadPoolV4::Shutdown(); }
};

TEST_F(TimerTest, FiresRepeatedlyUntilStopped)
{
    TickCounter counter;
    CTaskTimerHelper timer;
    timer.SetCallBack([&] { counter.Tick(); });
    EXPECT_FALSE(timer.IsActive());
    ASSERT_NE(timer.Start(2, 0), 0);
    EXPECT_TRUE(timer.IsActive());
    EXPECT_TRUE(counter.WaitFor(3));
    timer.Stop();
    EXPECT_FALSE(timer.IsActive());
    // Stop waited for any running callback; none starts afterwards.
    const int ticks = counter.Ticks();
    CTaskTimerHelper probe;
    TickCounter probeTicks;
    probe.SetCallBack([&] { probeTicks.Tick(); });
    probe.Start(1, 0);
    EXPECT_TRUE(probeTicks.WaitFor(5));
    EXPECT_EQ(counter.Ticks(), ticks);
}

TEST_F(TimerTest, ImmediateStartAndRestart)
{
    TickCounter counter;
    CTaskTimerHelper timer;
    timer.SetCallBack([&] { counter.Tick(); });
    // An hour-long period: only the immediate tick can arrive.
    ASSERT_NE(timer.Start(3600 * 1000, 1), 0);
    EXPECT_TRUE(counter.WaitFor(1));
    // Restarting with a short period takes over from the long one.
    ASSERT_NE(timer.Start(1, 0), 0);
    EXPECT_TRUE(counter.WaitFor(3));
    EXPECT_EQ(timer.Start(0, 0), 0);
}

TEST_F(TimerTest, AllTimersShareOneThreadThatLeavesWhenIdle)
{
    // Counted while the timers run: a sanitizer runtime may add a thread of
    // its own when the first thread starts.
    size_t running = 0;
    std::mutex mutex;
    std::set<std::thread::id> threads;
    TickCounter a;
    TickCounter b;
    {
        CTaskTimerHelper first;
        Util::Timer::CTimerSink second;
        first.SetCallBack([&] {
            std::lock_guard<std::mutex> lock(mutex);
            threads.insert(std::this_thread::get_id());
            a.Tick();
        });
        struct Listener {
            void OnTimer()
            {
                {
                    std::lock_guard<std::mutex> lock(*mutex);
                    threads->insert(std::this_thread::get_id());
                }
                counter->Tick();
            }
            std::mutex* mutex;
            std::set<std::thread::id>* threads;
            TickCounter* counter;
        } listener{&mutex, &threads, &b};
        Util::LivenessMarker marker(&listener);
        second.evtOnTimer.Subscribe(&listener, &Listener::OnTimer, &marker);
        first.Start(1, 0);
        ASSERT_NE(second.Start(1), 0);
        EXPECT_NE(second.IsWork(), 0);
        EXPECT_TRUE(a.WaitFor(3));
        EXPECT_TRUE(b.WaitFor(3));
        running = ThreadCount();
        first.Stop();
        second.Stop();
        EXPECT_EQ(second.IsWork(), 0);
        second.evtOnTimer.Unsubscribe(&listener, &Listener::OnTimer);
    }
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(threads.size(), 1u);
    EXPECT_EQ(ThreadCount(), running - 1);
}

TEST_F(TimerTest, StopFromInsideTheCallbackDoesNotWait)
{
    TickCounter counter;
    CTaskTimerHelper timer;
    timer.SetCallBack([&] {
        timer.Stop();
        counter.Tick();
    });
    timer.Start(1, 1);
    ASSERT_TRUE(counter.WaitFor(1));
    EXPECT_FALSE(timer.IsActive());
    // From outside, Stop now waits for the callback that is finishing.
    timer.Stop();
    EXPECT_EQ(counter.Ticks(), 1);
}

TEST_F(TimerTest, TimerDestroyedInsideItsOwnCallback)
{
    std::promise<void> done;
    auto* timer = new CTaskTimerHelper;
    timer->SetCallBack([timer, &done] {
        delete timer;
        done.set_value();
    });
    timer->Start(1, 1);
    EXPECT_EQ(done.get_future().wait_for(kPatience), std::future_status::ready);
}

TEST_F(TimerTest, StopFromAnotherThreadWaitsForTheRunningCallback)
{
    std::promise<void> entered;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> stopReturned{false};
    std::atomic<bool> stoppedTooEarly{false};
    std::atomic<int> calls{0};
    CTaskTimerHelper timer;
    timer.SetCallBack([&] {
        if (calls++ != 0)
            return;
        entered.set_value();
        released.wait_for(kPatience);
        stoppedTooEarly = stopReturned.load();
    });
    timer.Start(1, 1);
    ASSERT_EQ(entered.get_future().wait_for(kPatience), std::future_status::ready);
    std::thread stopper([&] {
        timer.Stop();
        stopReturned = true;
    });
    // Stop marks the timer inactive before it starts to wait.
    EXPECT_TRUE(Eventually([&] { return !timer.IsActive(); }));
    release.set_value();
    stopper.join();
    EXPECT_FALSE(stoppedTooEarly);
}

// The callback writes into the object that owns the timer; the destructor
// must keep it from doing so after the object's memory is gone.
struct Owner {
    Owner() { timer.SetCallBack([this] { OnTick(); }); }
    void OnTick()
    {
        if (calls++ == 0) {
            entered.set_value();
            released.wait_for(kPatience);
        }
        ++after;
    }
    CTaskTimerHelper timer;
    std::promise<void> entered;
    std::shared_future<void> released;
    int calls = 0;
    int after = 0;
};

TEST_F(TimerTest, DestructorWaitsForTheRunningCallback)
{
    std::promise<void> release;
    auto* owner = new Owner;
    owner->released = release.get_future().share();
    std::future<void> entered = owner->entered.get_future();
    owner->timer.Start(1, 1);
    ASSERT_EQ(entered.wait_for(kPatience), std::future_status::ready);
    std::promise<void> destroyed;
    std::thread destroyer([&] {
        // Members go in reverse order: the timer is destroyed while the rest
        // of the owner is still intact, and the memory freed only afterwards.
        delete owner;
        destroyed.set_value();
    });
    std::future<void> gone = destroyed.get_future();
    EXPECT_NE(gone.wait_for(std::chrono::milliseconds(0)), std::future_status::ready);
    release.set_value();
    EXPECT_EQ(gone.wait_for(kPatience), std::future_status::ready);
    destroyer.join();
}

TEST_F(TimerTest, ShutdownStopsEveryTimer)
{
    TickCounter counter;
    CTaskTimerHelper timer;
    timer.SetCallBack([&] { counter.Tick(); });
    timer.Start(1, 0);
    ASSERT_TRUE(counter.WaitFor(1));
    const size_t running = ThreadCount();
    ThreadPoolV4::Shutdown();
    EXPECT_FALSE(timer.IsActive());
    EXPECT_EQ(ThreadCount(), running - 1);
    // Timers can start again afterwards.
    ASSERT_NE(timer.Start(1, 0), 0);
    EXPECT_TRUE(counter.WaitFor(counter.Ticks() + 2));
}

TEST_F(TimerTest, ThrowingCallbackKeepsTheTimerThreadAlive)
{
    TickCounter counter;
    CTaskTimerHelper thrower;
    CTaskTimerHelper healthy;
    thrower.SetCallBack([] { throw std::runtime_error("tick failed"); });
    healthy.SetCallBack([&] { counter.Tick(); });
    thrower.Start(1, 1);
    healthy.Start(1, 0);
    EXPECT_TRUE(counter.WaitFor(5));
}

// Runs the program beside this one that returns from main with a timer
// firing and a pool task in its loop. Its exit code, or -1 when it could
// not be started or had not ended after half a minute (then it is killed).
int RunExitHelper()
{
    constexpr int kPatienceMs = 30 * 1000;
#if defined(_WIN32)
    wchar_t self[MAX_PATH] = {};
    if (GetModuleFileNameW(nullptr, self, MAX_PATH) == 0)
        return -1;
    std::wstring path = std::filesystem::path(self).parent_path().wstring() + L"\\" EXIT_HELPER_NAME_W;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(path.c_str(), nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return -1;
    CloseHandle(process.hThread);
    int result = -1;
    DWORD code = 0;
    if (WaitForSingleObject(process.hProcess, kPatienceMs) == WAIT_OBJECT_0 && GetExitCodeProcess(process.hProcess, &code))
        result = static_cast<int>(code);
    else
        TerminateProcess(process.hProcess, 1);
    CloseHandle(process.hProcess);
    return result;
#else
    const std::string path = std::filesystem::read_symlink("/proc/self/exe").parent_path().string() + "/" EXIT_HELPER_NAME;
    char* argv[] = {const_cast<char*>(path.c_str()), nullptr};
    pid_t pid = 0;
    if (posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv, environ) != 0)
        return -1;
    int status = 0;
    for (int waited = 0; waited < kPatienceMs; waited += 10) {
        if (waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
#endif
}

// The library's process-wide objects are destroyed after main returns; on
// Windows every other thread has been stopped by then, and a destructor that
// waited for them held the process for ever.
TEST(ProcessEnd, EndsWhileATimerFiresAndATaskLoops)
{
    for (int run = 0; run < 3; ++run)
        EXPECT_EQ(0, RunExitHelper()) << "run " << run;
}

}  // namespace
