// CNetMonitor with a hand-moved clock and hand-fired timers: the three
// channel state machines, the reconnect timing, the summary pass with
// interactions coming and going during it, and the waits that keep removed
// objects from being called.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

#include "pelbo/drawhub/RecordTimeMeter.h"
#include "service/LogCapture.h"
#include "pelbo/session/NetMonitor.h"
#include "support/HangWatchdog.h"

namespace {

using namespace std::chrono_literals;

class ManualTimer : public CNetMonitor::ITimer {
public:
    void SetCallBack(std::function<void()> callback) override { m_callback = std::move(callback); }
    int Start(unsigned periodMs, int immediate) override
    {
        active = true;
        ++starts;
        period = periodMs;
        startImmediate = immediate;
        return 1;
    }
    void Stop() override { active = false; }
    // A tick of the running timer.
    void Tick()
    {
        if (active)
            m_callback();
    }
    // A tick that was already on its way when the timer stopped.
    void StaleTick() { m_callback(); }

    bool active = false;
    int starts = 0;
    unsigned period = 0;
    int startImmediate = -1;

private:
    std::function<void()> m_callback;
};

class CountingControl : public CWSNetControl {
public:
    int ReConn() override
    {
        ++reconns;
        if (onReConn)
            onReConn();
        return 1;
    }
    void StopConn() override {}
    std::atomic<int> reconns{0};
    std::function<void()> onReConn;
};

class TimControl : public CTIMNetControl {
public:
    void ReConn() override { ++reconns; }
    void Logout() override {}
    std::atomic<int> reconns{0};
};

class Window : public CInteractionControl {
public:
    void OnNetSummary(int* tim, int* ws, int* trtc) override
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            seen.push_back({*tim, *ws, *trtc});
        }
        if (onSummary)
            onSummary();
    }
    size_t Calls()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return seen.size();
    }
    std::vector<int> LastSeen()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return seen.empty() ? std::vector<int>() : seen.back();
    }
    std::mutex mutex;
    std::vector<std::vector<int>> seen;
    std::function<void()> onSummary;
};

class NetMonitorTest : public ::testing::Test {
protected:
    NetMonitorTest()
        : monitor([this] { return now.load(); },
                  [this] {
                      auto timer = std::make_unique<ManualTimer>();
                      timers.push_back(timer.get());
                      return std::unique_ptr<CNetMonitor::ITimer>(std::move(timer));
                  })
    {
        LogCapture::UseTemporaryRoot();
    }
    ~NetMonitorTest() override
    {
        monitor.SetTimCtrl(nullptr);
        monitor.SetWsCtrl(nullptr);
        monitor.SetTrtcCtrl(nullptr);
    }

    ManualTimer& Tim() { return *timers[0]; }
    ManualTimer& Ws() { return *timers[1]; }
    ManualTimer& Trtc() { return *timers[2]; }
    std::vector<int> States()
    {
        int tim = -1, ws = -1, trtc = -1;
        monitor.GetNetStates(&tim, &ws, &trtc);
        return {tim, ws, trtc};
    }

    std::atomic<int64_t> now{0};
    std::vector<ManualTimer*> timers;
    CNetMonitor monitor;
};

TEST_F(NetMonitorTest, BrokenWebsocketIsAskedToReconnectOnTheFirstTickAfterThreeSeconds)
{
    CountingControl ws;
    monitor.SetWsCtrl(&ws);
    Window ui;
    monitor.InsertInteraction(&ui, 0);

    LogCapture log;
    now = 10000;
    monitor.GetWsEvent()->OnWsDisconnect(0);
    EXPECT_EQ(States(), (std::vector<int>{0, 2, 0}));
    EXPECT_TRUE(Ws().active);
    EXPECT_EQ(Ws().period, 1000u);
    EXPECT_EQ(Ws().startImmediate, 0);
    EXPECT_EQ(ui.Calls(), 1u);

    now = 11000;
    Ws().Tick();
    now = 12000;
    Ws().Tick();
    now = 12999;
    Ws().Tick();
    EXPECT_EQ(ws.reconns.load(), 0);
    EXPECT_EQ(States()[1], 2);
    EXPECT_EQ(ui.Calls(), 1u);

    now = 13000;
    Ws().Tick();
    EXPECT_EQ(ws.reconns.load(), 1);
    EXPECT_EQ(States()[1], 1);
    EXPECT_FALSE(Ws().active);
    EXPECT_EQ(ui.LastSeen(), (std::vector<int>{0, 1, 0}));
    now = 20000;
    Ws().StaleTick();
    EXPECT_EQ(ws.reconns.load(), 1) << "only once per break";

    EXPECT_EQ(log.Count("OnWsDisconnect, _ws_state: 0, now: 10000, _ws_timer.IsActive: 0, inner_auto_reconnect: 0"),
              1u);
    EXPECT_EQ(log.Count("OnWsReConTimer, _ws_state: 2, now: 13000, _ws_broken_tick: 10000"), 1u);
    EXPECT_EQ(log.Count("DoSummaryAction, cursor: 0x"), 2u);
    EXPECT_EQ(log.Count("_ws_state: 1, _trtc_state: 0"), 1u);
}

TEST_F(NetMonitorTest, InnerReconnectStopsTheTimerAndNoReConnFollows)
{
    CountingControl ws;
    monitor.SetWsCtrl(&ws);
    now = 10000;
    monitor.OnWsDisconnect(0);
    ASSERT_TRUE(Ws().active);
    monitor.OnWsDisconnect(1);
    EXPECT_EQ(States()[1], 1);
    EXPECT_FALSE(Ws().active);
    now = 14000;
    Ws().StaleTick();
    EXPECT_EQ(ws.reconns.load(), 0);

    monitor.OnWsConnect();
    EXPECT_EQ(States()[1], 3);
}

TEST_F(NetMonitorTest, RepeatedReportsChangeNothingAndNotifyNoOne)
{
    TimControl tim;
    monitor.SetTimCtrl(&tim);
    Window ui;
    monitor.InsertInteraction(&ui, 0);

    monitor.OnTimConnect();
    monitor.OnTimConnect();
    EXPECT_EQ(ui.Calls(), 1u);

    now = 10000;
    monitor.OnTimDisconnect(0);
    now = 12000;
    monitor.OnTimDisconnect(0);
    EXPECT_EQ(ui.Calls(), 2u);
    EXPECT_EQ(Tim().starts, 1);
    now = 13000;
    Tim().Tick();
    EXPECT_EQ(tim.reconns.load(), 1) << "the broken tick stayed at the first report";

    monitor.OnTimDisconnect(1);
    EXPECT_EQ(ui.Calls(), 3u) << "the tick moved the state to 1 and notified once";
    monitor.OnTimDisconnect(1);
    EXPECT_EQ(ui.Calls(), 3u);
}

// The session sets the clock to the server's time; an answer without a time
// stamp sets it to 0. A break noted before that is still retried.
TEST_F(NetMonitorTest, ClockSetBackRestartsTheWaitInsteadOfStalling)
{
    TimControl tim;
    monitor.SetTimCtrl(&tim);
    now = 1700000000000;
    monitor.OnTimDisconnect(0);
    now = 500;
    Tim().Tick();
    now = 3499;
    Tim().Tick();
    EXPECT_EQ(tim.reconns.load(), 0);
    now = 3500;
    Tim().Tick();
    EXPECT_EQ(tim.reconns.load(), 1);
    EXPECT_EQ(States()[0], 1);
}

TEST_F(NetMonitorTest, ChannelWithoutControlStillMovesToReconnecting)
{
    now = 500;
    monitor.OnTrtcDisconnect(0);
    now = 3500;
    Trtc().Tick();
    EXPECT_EQ(States(), (std::vector<int>{0, 0, 1}));
    EXPECT_FALSE(Trtc().active);
}

TEST_F(NetMonitorTest, TrtcConnectAndQuality)
{
    Window ui;
    monitor.InsertInteraction(&ui, 0);
    // Quality reports before a connect, while reconnecting and while broken
    // change nothing.
    monitor.OnTrtcQuality(1);
    monitor.OnTrtcDisconnect(1);
    monitor.OnTrtcQuality(0);
    now = 100;
    monitor.OnTrtcDisconnect(0);
    monitor.OnTrtcQuality(1);
    EXPECT_EQ(States()[2], 2);
    EXPECT_EQ(ui.Calls(), 2u);

    monitor.OnTrtcConnect(1);
    EXPECT_EQ(States()[2], 3);
    EXPECT_FALSE(Trtc().active);
    monitor.OnTrtcQuality(0);
    EXPECT_EQ(States()[2], 4);
    monitor.OnTrtcQuality(0);
    EXPECT_EQ(States()[2], 4);
    EXPECT_EQ(ui.Calls(), 5u) << "a quality report while connected always notifies";
    monitor.OnTrtcConnect(1);
    EXPECT_EQ(States()[2], 4) << "connect while connected changes nothing";
    EXPECT_EQ(ui.Calls(), 5u);

    monitor.OnTrtcDisconnect(1);
    monitor.OnTrtcConnect(0);
    EXPECT_EQ(States()[2], 4);
}

TEST_F(NetMonitorTest, InsertWithTriggleCallsAtOnceAndRemoveCounts)
{
    monitor.OnWsConnect();
    Window ui;
    monitor.InsertInteraction(&ui, 0);
    EXPECT_EQ(ui.Calls(), 0u);
    monitor.InsertInteraction(&ui, 1);
    ASSERT_EQ(ui.Calls(), 1u);
    EXPECT_EQ(ui.LastSeen(), (std::vector<int>{0, 3, 0}));
    monitor.InsertInteraction(nullptr, 1);

    EXPECT_EQ(monitor.RemoveInteraction(&ui), 1);
    EXPECT_EQ(monitor.RemoveInteraction(&ui), 0);
    monitor.OnTimConnect();
    EXPECT_EQ(ui.Calls(), 1u);

    int ws = -1;
    monitor.GetNetStates(nullptr, &ws, nullptr);
    EXPECT_EQ(ws, 3);
}

// A window that throws from its first summary: the insertion still returns
// normally, and a removal from another thread does not wait for a call that
// ended with the exception.
TEST_F(NetMonitorTest, WindowThrowingOnInsertionLeavesNoCallOpen)
{
    LogCapture log;
    Window ui;
    ui.onSummary = [] { throw std::runtime_error("window gone"); };
    EXPECT_NO_THROW(monitor.InsertInteraction(&ui, 1));
    EXPECT_EQ(ui.Calls(), 1u);
    EXPECT_EQ(log.Count("InsertInteraction: the interaction threw"), 1u);

    auto removal = std::async(std::launch::async, [&] { return monitor.RemoveInteraction(&ui); });
    ASSERT_EQ(removal.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(removal.get(), 1);
}

// The pass visits interactions in ascending address order. One that removes
// itself and inserts another during its call: the pass goes on with the next
// address, skips the newcomer, and never visits one removed meanwhile.
TEST_F(NetMonitorTest, SummaryPassSurvivesInsertionsAndRemovals)
{
    Window ui[6];
    std::vector<int> order;
    for (int i = 0; i < 6; ++i)
        ui[i].onSummary = [&order, i] { order.push_back(i); };
    ui[2].onSummary = [&] {
        order.push_back(2);
        monitor.RemoveInteraction(&ui[2]);
        monitor.InsertInteraction(&ui[3], 0);
    };
    ui[0].onSummary = [&] {
        order.push_back(0);
        monitor.RemoveInteraction(&ui[5]);
    };
    monitor.InsertInteraction(&ui[4], 0);
    monitor.InsertInteraction(&ui[0], 0);
    monitor.InsertInteraction(&ui[5], 0);
    monitor.InsertInteraction(&ui[2], 0);

    monitor.OnWsConnect();
    EXPECT_EQ(order, (std::vector<int>{0, 2, 4}));

    order.clear();
    monitor.OnTimConnect();
    EXPECT_EQ(order, (std::vector<int>{0, 3, 4}));
}

TEST_F(NetMonitorTest, ControlSetterLogsAndReplaces)
{
    LogCapture log;
    CountingControl first;
    CountingControl second;
    monitor.SetWsCtrl(&first);
    monitor.SetWsCtrl(&second);
    now = 0;
    monitor.OnWsDisconnect(0);
    now = 3000;
    Ws().Tick();
    EXPECT_EQ(first.reconns.load(), 0);
    EXPECT_EQ(second.reconns.load(), 1);
    EXPECT_EQ(log.Count("SetWsCtrl, ws: 0x"), 2u);
}

// Threads: removing an interaction waits for its call on another thread, and
// replacing a control waits for its ReConn running in a timer tick.
TEST_F(NetMonitorTest, RemovalWaitsForACallOnAnotherThread)
{
    Window ui;
    std::promise<void> entered;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> once{false};
    ui.onSummary = [&] {
        if (!once.exchange(true)) {
            entered.set_value();
            released.wait();
        }
    };
    monitor.InsertInteraction(&ui, 0);
    std::thread reporter([&] { monitor.OnTimConnect(); });
    entered.get_future().wait();

    std::atomic<bool> removed{false};
    std::thread remover([&] {
        monitor.RemoveInteraction(&ui);
        removed = true;
    });
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(removed.load());
    // The monitor stays usable meanwhile: its lock is not held during calls.
    EXPECT_EQ(States()[0], 3);
    release.set_value();
    reporter.join();
    remover.join();
    EXPECT_TRUE(removed.load());
}

// Two windows, each told on a thread of its own, remove each other: a
// removal that waited for the other's call would wait for ever, since that
// call waits for this one.
TEST_F(NetMonitorTest, WindowsRemovingEachOtherFromTheirCallsDoNotWaitForEachOther)
{
    Window first;
    Window second;
    std::promise<void> firstIn;
    std::promise<void> secondIn;
    std::shared_future<void> firstInside = firstIn.get_future().share();
    std::shared_future<void> secondInside = secondIn.get_future().share();
    std::atomic<int> removed{0};
    first.onSummary = [&] {
        firstIn.set_value();
        secondInside.wait();
        removed += monitor.RemoveInteraction(&second);
    };
    second.onSummary = [&] {
        secondIn.set_value();
        firstInside.wait();
        removed += monitor.RemoveInteraction(&first);
    };
    const TestSupport::HangWatchdog watchdog("two windows removing each other");
    std::thread one([&] { monitor.InsertInteraction(&first, 1); });
    std::thread two([&] { monitor.InsertInteraction(&second, 1); });
    one.join();
    two.join();
    EXPECT_EQ(removed.load(), 2);
    EXPECT_EQ(monitor.RemoveInteraction(&first), 0);
    EXPECT_EQ(monitor.RemoveInteraction(&second), 0);
}

#ifdef _WIN32
// The ordinary case on Windows: a window told on another thread hands its
// update to the user-interface thread with SendMessage while that thread
// removes the window. The removal waits for the call and dispatches the
// message it waits on.
TEST_F(NetMonitorTest, RemovalOnTheWindowThreadDispatchesWhatTheCallSendsIt)
{
    HWND target = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    ASSERT_NE(target, nullptr);
    Window ui;
    std::promise<void> entered;
    std::atomic<bool> delivered{false};
    ui.onSummary = [&] {
        entered.set_value();
        SendMessageW(target, WM_NULL, 0, 0);
        delivered = true;
    };
    monitor.InsertInteraction(&ui, 0);
    const TestSupport::HangWatchdog watchdog("a removal while the call sends to the removing thread");
    std::thread reporter([&] { monitor.OnTimConnect(); });
    entered.get_future().wait();
    EXPECT_EQ(monitor.RemoveInteraction(&ui), 1);
    EXPECT_TRUE(delivered.load()) << "the removal returned before the call it waited for";
    reporter.join();
    DestroyWindow(target);
}
#endif

TEST_F(NetMonitorTest, ReplacingAControlWaitsForItsReConn)
{
    CountingControl ws;
    std::promise<void> entered;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    ws.onReConn = [&] {
        entered.set_value();
        released.wait();
    };
    monitor.SetWsCtrl(&ws);
    monitor.OnWsDisconnect(0);
    now = 3000;
    std::thread ticker([&] { Ws().Tick(); });
    entered.get_future().wait();
    std::atomic<bool> replaced{false};
    std::thread setter([&] {
        monitor.SetWsCtrl(nullptr);
        replaced = true;
    });
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(replaced.load());
    release.set_value();
    ticker.join();
    setter.join();
    EXPECT_TRUE(replaced.load());
}

std::atomic<int64_t> g_handClock{0};

int64_t HandClock() { return g_handClock.load(); }

// The production monitor before any session has set the render clock (held
// at 0, as at start): a TIM break is retried once the clock has moved on by
// the delay.
TEST(NetMonitorThreads, BreakBeforeTheSessionSetsTheClockIsRetried)
{
    LogCapture::UseTemporaryRoot();
    g_handClock = 0;
    AuxRenderOverall::RecordTimeMeter::SetClockSource(&HandClock);
    AuxRenderOverall::RecordTimeMeter::Reset(0);
    {
        CNetMonitor monitor;
        TimControl tim;
        monitor.SetTimCtrl(&tim);
        monitor.OnTimDisconnect(0);
        g_handClock = CNetMonitor::kReconnectDelayMs;
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (tim.reconns.load() == 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(20ms);
        EXPECT_EQ(tim.reconns.load(), 1);
        monitor.SetTimCtrl(nullptr);
    }
    AuxRenderOverall::RecordTimeMeter::SetClockSource(nullptr);
}

// The production monitor: thread-pool timers on the render engine's clock,
// reports from several threads while windows come and go.
TEST(NetMonitorThreads, RealTimersAndConcurrentReports)
{
    LogCapture::UseTemporaryRoot();
    CNetMonitor monitor;
    // The monitor lets the clock run; held here, it moves only by hand.
    AuxRenderOverall::RecordTimeMeter::Reset(100000);
    CountingControl ws;
    monitor.SetWsCtrl(&ws);
    monitor.OnWsDisconnect(0);
    AuxRenderOverall::RecordTimeMeter::Reset(103000);
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (ws.reconns.load() == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    EXPECT_EQ(ws.reconns.load(), 1);

    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 300; ++i) {
                switch ((i + t) % 4) {
                case 0:
                    monitor.OnTimDisconnect(i % 2);
                    break;
                case 1:
                    monitor.OnWsConnect();
                    break;
                case 2:
                    monitor.OnTrtcQuality(i % 2);
                    break;
                default:
                    monitor.OnWsDisconnect(0);
                    break;
                }
            }
        });
    }
    std::thread windows([&] {
        while (!stop.load()) {
            // Removing itself from inside its own call cannot wait for
            // calls on other threads; the removal outside any call does.
            Window w;
            w.onSummary = [&] { monitor.RemoveInteraction(&w); };
            monitor.InsertInteraction(&w, 1);
            monitor.RemoveInteraction(&w);
            Window other;
            monitor.InsertInteraction(&other, 0);
            monitor.RemoveInteraction(&other);
        }
    });
    for (auto& t : threads)
        t.join();
    stop = true;
    windows.join();
    monitor.SetWsCtrl(nullptr);
}

}  // namespace
