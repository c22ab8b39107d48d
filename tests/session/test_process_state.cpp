// Process-wide state that cannot be undone, hence a program of its own: a
// websocket manager used before anyone signed in, and the monitor family's
// lifetime (one monitor from the first GetNetMon, none after Exit; a
// window's destructor removes it from the monitor).

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "FakeTransport.h"
#include "pelbo/account/UserCache.h"
#include "service/LogCapture.h"
#include "pelbo/session/AuxNetMon.h"
#include "pelbo/session/WebsocketMgr.h"

namespace {

// Runs first: an exit before any monitor exists has nothing to end and
// leaves the family open.
TEST(ProcessState, ExitBeforeTheFirstMonitorLeavesTheFamilyOpen)
{
    LogCapture::UseTemporaryRoot();
    Aux::AuxNetMon::Exit();
    EXPECT_NE(Aux::AuxNetMon::GetNetMon(), nullptr);
}

// The user id stays for the life of the library once set, so this runs
// before anything signs in.
TEST(ProcessState, InitWithoutUserMarksTheManagerInitialisedForGood)
{
    LogCapture::UseTemporaryRoot();
    ASSERT_EQ(Aux::UserCache::GetUserID(), 0u);
    FakeTransport transport;
    {
        CWebsocketMgr mgr(transport, 1000);
        EXPECT_EQ(mgr.Init(), 0);
        Aux::UserCache::SetUserID(31, 0);
        EXPECT_EQ(mgr.Init(), 0);
        EXPECT_EQ(transport.initCalls, 0);
    }
    CWebsocketMgr mgr(transport, 1000);
    EXPECT_EQ(mgr.Init(), 7);
    EXPECT_EQ(transport.initUser, 31u);
}

class Window : public CInteractionControl {
public:
    void OnNetSummary(int*, int* ws, int*) override
    {
        ++calls;
        lastWs = *ws;
    }
    int calls = 0;
    int lastWs = -1;
};

// Tells the test when its first call has begun and returns from it when
// released.
class BlockingWindow : public CInteractionControl {
public:
    void OnNetSummary(int*, int*, int*) override
    {
        if (calls++ == 0) {
            entered.set_value();
            release.get_future().wait();
        }
    }
    std::atomic<int> calls{0};
    std::promise<void> entered;
    std::promise<void> release;
};

TEST(ProcessState, OneMonitorUntilExitThenNone)
{
    LogCapture::UseTemporaryRoot();
    INetMon* monitor = Aux::AuxNetMon::GetNetMon();
    ASSERT_NE(monitor, nullptr);
    EXPECT_EQ(Aux::AuxNetMon::GetNetMon(), monitor);

    Window kept;
    monitor->InsertInteraction(&kept, 0);
    {
        Window gone;
        monitor->InsertInteraction(&gone, 0);
    }
    monitor->GetWsEvent()->OnWsConnect();
    EXPECT_EQ(kept.calls, 1);
    EXPECT_EQ(kept.lastWs, 3);
    EXPECT_EQ(monitor->RemoveInteraction(&kept), 1);

    // Exit on another thread while a window is told on a third: the exit
    // waits for the call, and the monitor stays whole for it and for the
    // pointer the client kept.
    BlockingWindow told;
    monitor->InsertInteraction(&told, 0);
    std::thread reporter([monitor] { monitor->GetWsEvent()->OnWsDisconnect(1); });
    told.entered.get_future().wait();
    std::atomic<bool> exited{false};
    std::thread exiting([&exited] {
        Aux::AuxNetMon::Exit();
        exited = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(exited.load()) << "Exit returned while a window was being told";
    told.release.set_value();
    reporter.join();
    exiting.join();
    EXPECT_EQ(Aux::AuxNetMon::GetNetMon(), nullptr);
    Aux::AuxNetMon::Exit();
    EXPECT_EQ(Aux::AuxNetMon::GetNetMon(), nullptr);

    // The kept pointer reaches a closed monitor: it keeps the states and
    // calls nobody.
    Window late;
    monitor->InsertInteraction(&late, 1);
    monitor->GetWsEvent()->OnWsConnect();
    EXPECT_EQ(late.calls, 0);
    int ws = -1;
    monitor->GetNetStates(nullptr, &ws, nullptr);
    EXPECT_EQ(ws, 3);
    EXPECT_EQ(monitor->RemoveInteraction(&late), 1);
    EXPECT_EQ(monitor->RemoveInteraction(&told), 1);
}

}  // namespace
