// A program that returns from main while the library's threads are busy: a
// periodic timer firing and a pool task waiting in its loop. Its process
// must end; corekit_timer_test runs it and waits for that.
#include <atomic>
#include <chrono>
#include <thread>

#include "pelbo/corekit/ThreadPool.h"
#include "pelbo/corekit/Timer.h"

namespace {

struct Ticks {
    Util::LivenessMarker marker{this};
    std::atomic<int> count{0};
    void OnTimer() { ++count; }
};

std::atomic<bool> g_looping{false};

void LoopingTask(uint64_t, void*)
{
    g_looping = true;
    ThreadPoolV4::RunBaseLoop(nullptr);
}

}  // namespace

int main()
{
    // Left to the process's end on purpose: nothing is stopped or freed.
    static Ticks* ticks = new Ticks;
    static Util::Timer::CTimerSink* timer = new Util::Timer::CTimerSink;
    timer->evtOnTimer.Subscribe(ticks, &Ticks::OnTimer, &ticks->marker);
    if (timer->Start(1) == 0)
        return 2;
    uint64_t task = 0;
    if (ThreadPoolV4::AddManagedTask(L"exit", L"looper", nullptr, &LoopingTask, &task) != ThreadPoolV4::TaskOk)
        return 3;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while ((ticks->count.load() < 3 || !g_looping) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return ticks->count.load() >= 3 && g_looping ? 0 : 4;
}
