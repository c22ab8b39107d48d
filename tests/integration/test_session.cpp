// The websocket session end to end against the local server: log-in, a
// join and a status refresh, pushed sequences, a dropped connection that
// comes back and logs in again, refused connections, a forgotten session
// ("reconnect" met with 1005) and the disconnect.

#include <gtest/gtest.h>

#ifdef _WIN32
// The local server's Asio brings winsock2.h, which a full windows.h clashes with.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#endif

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "pelbo/account/UserCache.h"
#include "pelbo/account/UserConfig.h"
#include "pelbo/compat/TextConvert.h"
#include "pelbo/core/ServiceEvent.h"
#include "pelbo/corekit/HttpSettings.h"
#include "pelbo/corekit/MeetingCenter.h"
#include "devserver/State.h"
#include "pelbo/meetings/MeetingApi.h"
#include "service/LogCapture.h"
#include "pelbo/session/AuxNetMon.h"
#include "session/SessionRecorder.h"
#include "pelbo/session/WebsocketApi.h"
#include "support/HangWatchdog.h"
#include "support/TestServer.h"
#include "pelbo/wirelink/CSCenter.h"

namespace {

using namespace std::chrono_literals;

constexpr uint32_t kUser = 9001;

class SessionFlowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        LogCapture::UseTemporaryRoot();
        ASSERT_TRUE(server.Started()) << server.Error();
        const std::string ws = "ws" + server.BaseUrl().substr(4) + "/ws";
        Http::SetWSSUrl(ToWide(ws.c_str(), CP_UTF8).c_str());
        Aux::UserCache::SetUserID(kUser, 1);
        Aux::UserCache::SetToken(ToWide(server.State().IssueToken(kUser).token.c_str(), CP_UTF8).c_str());
        Aux::UserConfig::SetLastMsgID(0);
        Aux::CSCenter::LWS_SetBackoff(50, 200);
        Aux::CSCenter::LWS_SetReplyTimeout(2000);
    }
    void TearDown() override
    {
        WebsocketApi::DoExit();
        MeetingApi::DoExit();
        Aux::CSCenter::DoExit();
        Aux::UserCache::DoExit();
        MeetingCenterApi::Clear();
        Http::ResetSettings();
        Aux::CSCenter::LWS_SetBackoff(500, 30000);
        Aux::CSCenter::LWS_SetReplyTimeout(10000);
    }

    bool WaitForResult(size_t count)
    {
        return events.WaitUntil([count](SessionRecorder& r) { return r.connectResults.size() >= count; });
    }
    int WsState()
    {
        int ws = -1;
        Aux::AuxNetMon::GetNetMon()->GetNetStates(nullptr, &ws, nullptr);
        return ws;
    }
    void LogIn()
    {
        ASSERT_EQ(WebsocketApi::Init(), 1);
        ASSERT_EQ(WebsocketApi::StartConn(0, 0), 1);
        ASSERT_TRUE(WaitForResult(1));
        ASSERT_EQ(events.ConnectResults()[0], 0);
        EXPECT_EQ(WebsocketApi::GetConnSate(), 1);
    }

    TestSupport::TestServer server;
    SessionRecorder events;
};

TEST_F(SessionFlowTest, LogInJoinRefreshAndDisconnect)
{
    LogIn();
    EXPECT_EQ(server.State().ws.LoggedInCount(), 1u);
    EXPECT_EQ(WsState(), 3);

    DevServer::WsRoom room;
    room.name = "Weekly";
    room.url = "https://meet.test/r/246810";
    room.hostId = kUser;
    room.activateTime = "2026-12-09 10:00:00";
    server.State().ws.PutRoom("246810", room);

    // A code nobody booked is refused with the server's own code.
    EXPECT_EQ(MeetingApi::JoinMeeting(L"Ann", L"999", L""), 1);
    ASSERT_TRUE(events.WaitUntil([](SessionRecorder& r) { return !r.entered.empty(); }));
    EXPECT_EQ(events.Entered()[0].code, 2001);
    EXPECT_FALSE(events.Entered()[0].hasRecord);
    events.Clear();

    EXPECT_EQ(MeetingApi::JoinMeeting(L"Ann", L"246810", L"https://a.test/ann.png"), 1);
    ASSERT_TRUE(events.WaitUntil([](SessionRecorder& r) { return !r.entered.empty(); }));
    const auto entered = events.Entered();
    EXPECT_EQ(entered[0].code, 0);
    EXPECT_EQ(entered[0].roomCode, L"246810");
    EXPECT_EQ(entered[0].joinUserName, L"Ann");
    EXPECT_EQ(MeetingCenterApi::GetRoomCode(), L"246810");
    EXPECT_EQ(MeetingCenterApi::GetRoomName(), L"Weekly");
    EXPECT_EQ(MeetingCenterApi::GetRoomURL(), L"https://meet.test/r/246810");
    EXPECT_EQ(MeetingCenterApi::GetActivateTime(), L"2026-12-09 10:00:00");
    EXPECT_EQ(MeetingCenterApi::GetTencentLoginInfo().strRoomID, L"246810");
    EXPECT_EQ(MeetingCenterApi::IsChairmain(kUser), 1);

    room.name = "Renamed";
    room.screenStarted = true;
    room.screenOperatorId = 77;
    server.State().ws.PutRoom("246810", room);
    EXPECT_EQ(MeetingApi::RoomStatusGet(), 1);
    ASSERT_TRUE(events.WaitUntil([](SessionRecorder& r) { return !r.statuses.empty(); }));
    EXPECT_EQ(events.Statuses()[0].code, 0);
    EXPECT_EQ(MeetingCenterApi::GetRoomName(), L"Renamed");
    EXPECT_EQ(MeetingCenterApi::GetShareMode(), SHARE_MODE_SCREEN);
    EXPECT_EQ(MeetingCenterApi::GetOperatorID(), 77);

    EXPECT_EQ(WebsocketApi::DisConnect(), 1);
    ASSERT_TRUE(events.WaitUntil([](SessionRecorder& r) { return r.disconnects == 1; }));
}

// A client that kept no token (no login item) hears 10000001; the log says
// what was missing and what the service answered.
TEST_F(SessionFlowTest, RefusedSignInSaysWhyInTheLog)
{
    const LogCapture log;
    Aux::UserCache::SetToken(L"");
    ASSERT_EQ(WebsocketApi::Init(), 1);
    ASSERT_EQ(WebsocketApi::StartConn(0, 0), 1);
    ASSERT_TRUE(WaitForResult(1));
    EXPECT_EQ(events.ConnectResults()[0], 10000001);
    const std::string text = log.Text();
    EXPECT_GE(log.Count("CWebsocketMgr: connect: no token to send: user 9001 has no login item"), 1u) << text;
    EXPECT_GE(log.Count("session connect refused: Result 1002, msg \"token unknown or expired\""), 1u) << text;
}

TEST_F(SessionFlowTest, PushedSequencesAreStoredWithoutGaps)
{
    LogIn();
    const uint64_t first = server.State().ws.Push("room.notify");
    ASSERT_NE(first, 0u);
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (Aux::UserConfig::GetLastMsgID() != static_cast<int64_t>(first) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    ASSERT_EQ(Aux::UserConfig::GetLastMsgID(), static_cast<int64_t>(first));

    LogCapture log;
    const uint64_t skipped = server.State().ws.Push("room.notify", DevServer::PushSeq::Skip);
    const uint64_t next = server.State().ws.Push("room.notify");
    ASSERT_EQ(next, skipped + 1);
    // Pushes arrive in order: once the gap is logged, the next one (which
    // follows the skipped one, not the stored one) is logged too.
    const std::string line = "OnSerPsuhLastSeq:" + std::to_string(next);
    while (log.Count(line) == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    EXPECT_EQ(log.Count("OnSerPsuhLastSeq:" + std::to_string(skipped)), 1u);
    EXPECT_EQ(log.Count(line), 1u);
    EXPECT_EQ(Aux::UserConfig::GetLastMsgID(), static_cast<int64_t>(first));
}

TEST_F(SessionFlowTest, DroppedConnectionComesBackAndLogsInAgain)
{
    LogIn();
    ASSERT_GT(server.State().ws.DropAll(), 0u);
    ASSERT_TRUE(WaitForResult(2));
    EXPECT_EQ(events.ConnectResults()[1], 0) << "login-pre 1: a fresh \"connect\" on the new connection";
    EXPECT_EQ(WebsocketApi::GetConnSate(), 1);
    EXPECT_EQ(WsState(), 3);

    // Refused while down: state 2 is reported, and the session returns by
    // itself once the server accepts again.
    server.State().ws.SetRefuseConnections(true);
    server.State().ws.DropAll();
    ASSERT_TRUE(events.WaitUntil([](SessionRecorder& r) {
        for (int code : r.connectResults)
            if (code == 10000006)
                return true;
        return false;
    }));
    EXPECT_EQ(WebsocketApi::GetConnSate(), 0);
    server.State().ws.SetRefuseConnections(false);
    ASSERT_TRUE(events.WaitUntil([](SessionRecorder& r) { return r.connectResults.back() == 0; }));
    EXPECT_EQ(WebsocketApi::GetConnSate(), 1);
}

// The client stops the transport itself: the connection state and the
// monitor show it, and no failure is reported.
TEST_F(SessionFlowTest, StoppedTransportShowsInTheStateAndTheMonitor)
{
    LogIn();
    ASSERT_EQ(WsState(), 3);
    ASSERT_EQ(Aux::CSCenter::LWS_StopConn(), 1);
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while ((WebsocketApi::GetConnSate() != 0 || WsState() != 1) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(WebsocketApi::GetConnSate(), 0);
    EXPECT_EQ(WsState(), 1);
    EXPECT_EQ(events.ConnectResults().size(), 1u) << "a stop asked for is no failure";
}

TEST_F(SessionFlowTest, ForgottenSessionFallsBackToConnect)
{
    LogIn();
    Aux::UserConfig::SetLastMsgID(5);
    WebsocketApi::SetLoginPre(0);
    server.State().ws.ForgetSessions();
    server.State().ws.DropAll();
    // Lost while logging in with "reconnect": 10000005; then "reconnect" is
    // met with 1005 and a plain "connect" logs in.
    ASSERT_TRUE(events.WaitUntil([](SessionRecorder& r) { return r.connectResults.size() >= 3; }));
    const auto results = events.ConnectResults();
    EXPECT_EQ(results[1], 10000005);
    EXPECT_EQ(results[2], 0);
    EXPECT_EQ(WebsocketApi::GetConnSate(), 1);

    // Now the server knows the session again: a drop ends in "reconnect"
    // answered with success, and the stored sequence survives.
    Aux::UserConfig::SetLastMsgID(9);
    server.State().ws.DropAll();
    ASSERT_TRUE(events.WaitUntil([](SessionRecorder& r) { return r.connectResults.back() == 10000003; }));
    EXPECT_EQ(Aux::UserConfig::GetLastMsgID(), 9);
}

// A receiver may end the session family from inside the successful
// ConnectResult: the reply that told it goes on with its ping and
// keep-alive in a whole manager, and the next start makes a fresh one.
TEST_F(SessionFlowTest, ReceiverMayEndTheFamilyFromTheConnectResult)
{
    std::atomic<int> ended{0};
    std::promise<void> exited;
    event::scoped_connection ending(ServiceEvent::ConnectResult().connect([&ended, &exited](int code) {
        if (code == 0 && ended.fetch_add(1) == 0) {
            WebsocketApi::DoExit();
            exited.set_value();
        }
    }));
    ASSERT_EQ(WebsocketApi::Init(), 1);
    ASSERT_EQ(WebsocketApi::StartConn(0, 0), 1);
    ASSERT_EQ(exited.get_future().wait_for(60s), std::future_status::ready);
    ASSERT_TRUE(WaitForResult(1));
    EXPECT_EQ(events.ConnectResults()[0], 0);

    ASSERT_EQ(WebsocketApi::Init(), 1);
    // Logged in or not, the fresh manager logs in on the transport.
    WebsocketApi::StartConn(0, 0);
    ASSERT_TRUE(WaitForResult(2));
    EXPECT_EQ(events.ConnectResults()[1], 0);
    EXPECT_EQ(WebsocketApi::GetConnSate(), 1);
}

#ifdef _WIN32
// The user-interface thread shuts down while a receiver on the websocket
// thread hands it an update with SendMessage: the waits of the disconnect
// (for the running emission) and of the transport's end (for its thread)
// dispatch the message instead of waiting for ever.
class SentToWindowThread {
public:
    SentToWindowThread()
        : m_target(CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr))
    {
    }
    ~SentToWindowThread() { DestroyWindow(m_target); }
    // Called by the receiver on the websocket thread.
    void Send()
    {
        if (m_once.exchange(true))
            return;
        m_entered.set_value();
        SendMessageW(m_target, WM_NULL, 0, 0);
        m_delivered = true;
    }
    bool Ready() const { return m_target != nullptr; }
    void WaitEntered() { m_entered.get_future().wait(); }
    bool Delivered() const { return m_delivered.load(); }

private:
    HWND m_target;
    std::atomic<bool> m_once{false};
    std::promise<void> m_entered;
    std::atomic<bool> m_delivered{false};
};

TEST_F(SessionFlowTest, DisconnectOnTheWindowThreadDispatchesWhatTheReceiverSendsIt)
{
    SentToWindowThread window;
    ASSERT_TRUE(window.Ready());
    event::scoped_connection blocking(ServiceEvent::ConnectResult().connect([&window](int) { window.Send(); }));
    const TestSupport::HangWatchdog watchdog("a disconnect while the receiver sends to the disconnecting thread");
    ASSERT_EQ(WebsocketApi::Init(), 1);
    ASSERT_EQ(WebsocketApi::StartConn(0, 0), 1);
    window.WaitEntered();
    blocking.disconnect();
    EXPECT_TRUE(window.Delivered()) << "the disconnect returned during the emission";
}

TEST_F(SessionFlowTest, TransportEndOnTheWindowThreadDispatchesWhatTheReceiverSendsIt)
{
    SentToWindowThread window;
    ASSERT_TRUE(window.Ready());
    event::scoped_connection blocking(ServiceEvent::ConnectResult().connect([&window](int) { window.Send(); }));
    const TestSupport::HangWatchdog watchdog("the transport's end while a receiver sends to the ending thread");
    ASSERT_EQ(WebsocketApi::Init(), 1);
    ASSERT_EQ(WebsocketApi::StartConn(0, 0), 1);
    window.WaitEntered();
    WebsocketApi::DoExit();
    Aux::CSCenter::DoExit();
    EXPECT_TRUE(window.Delivered()) << "the transport's thread was joined during the emission";
}
#endif

}  // namespace
