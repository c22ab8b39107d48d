// Process-wide state that cannot be undone, hence a program of its own: a
// websocket manager used before anyone signed in, and the monitor family's
// lifetime (one monitor from the first GetNetMon, none after Exit; a
// window's destructor removes it from the monitor).

#include <gtest/gtest.h>

#include "FakeTransport.h"
#include "account/UserCache.h"
#include "service/LogCapture.h"
#include "session/AuxNetMon.h"
#include "session/WebsocketMgr.h"

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

    Aux::AuxNetMon::Exit();
    EXPECT_EQ(Aux::AuxNetMon::GetNetMon(), nullptr);
    Aux::AuxNetMon::Exit();
    EXPECT_EQ(Aux::AuxNetMon::GetNetMon(), nullptr);
}

}  // namespace
