// CWebsocketMgr against a recording transport: log-in with "connect" and
// "reconnect" and every ConnectResult code, the transport states, the
// keep-alive, the message sequence rule, the GUID, and teardown while a
// reply is being handled.

#include <gtest/gtest.h>

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

#include <atomic>
#include <chrono>
#include <cwctype>
#include <future>
#include <thread>

#include "FakeTransport.h"
#include "SessionRecorder.h"
#include "pelbo/account/UserCache.h"
#include "pelbo/account/UserConfig.h"
#include "pelbo/compat/IniFile.h"
#include "pelbo/compat/TextConvert.h"
#include "pelbo/corekit/HttpSettings.h"
#include "pelbo/corekit/Path.h"
#include "pelbo/drawhub/RecordTimeMeter.h"
#include "service/LogCapture.h"
#include "pelbo/session/AuxNetMon.h"
#include "pelbo/session/WebsocketApi.h"
#include "pelbo/session/WebsocketMgr.h"

namespace {

// Holds the exclusive lock another process would hold on a lock file.
class HeldFileLock {
public:
    explicit HeldFileLock(const std::wstring& path)
    {
#if defined(_WIN32)
        m_handle = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
        OVERLAPPED whole{};
        m_held = m_handle != INVALID_HANDLE_VALUE && ::LockFileEx(m_handle, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &whole);
#else
        m_fd = ::open(ToMultiByte(path.c_str(), CP_UTF8).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        m_held = m_fd >= 0 && ::flock(m_fd, LOCK_EX) == 0;
#endif
    }
    ~HeldFileLock() { Release(); }
    HeldFileLock(const HeldFileLock&) = delete;
    HeldFileLock& operator=(const HeldFileLock&) = delete;

    bool Held() const { return m_held; }
    void Release()
    {
#if defined(_WIN32)
        if (m_handle != INVALID_HANDLE_VALUE)
            ::CloseHandle(m_handle);
        m_handle = INVALID_HANDLE_VALUE;
#else
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
#endif
        m_held = false;
    }

private:
#if defined(_WIN32)
    HANDLE m_handle = INVALID_HANDLE_VALUE;
#else
    int m_fd = -1;
#endif
    bool m_held = false;
};

using namespace std::chrono_literals;

constexpr unsigned kUser = 4711;

class WebsocketMgrTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        LogCapture::UseTemporaryRoot();
        // A guest's token lives in memory, no login item needed.
        Aux::UserCache::SetUserID(kUser, 1);
        Aux::UserCache::SetToken(L"tok-4711");
        Aux::UserConfig::SetLastMsgID(0);
        Http::SetWSSUrl(L"ws://127.0.0.1:9/ws");
    }
    void TearDown() override
    {
        Aux::UserCache::DoExit();
        Http::ResetSettings();
    }

    static std::wstring ConfigFile() { return Util::Path::GetDataFolder(0).str() + L"/GloabConfig.ini"; }
    // "LastMsgID" as the file holds it, past what the process keeps in memory.
    static std::wstring StoredLastMsgId()
    {
        wchar_t text[64] = {};
        Compat::ReadIniString(L"Tarsel_Global_Data", L"LastMsgID", L"", text, 64, ConfigFile().c_str());
        return text;
    }

    static int64_t I64(const FakeTransport::Sent& sent, const wchar_t* key)
    {
        int64_t value = -99;
        sent.command->GetIXDataI64(key, value);
        return value;
    }

    FakeTransport transport;
    SessionRecorder events;
};

TEST_F(WebsocketMgrTest, GuidIsMadeOnceStoredAndReused)
{
    Aux::UserConfig::SetLocalGUID(L"");
    std::string first;
    {
        CWebsocketMgr mgr(transport, 1000);
        first = mgr.GetGUID();
    }
    ASSERT_EQ(first.size(), 36u);
    EXPECT_EQ(first.substr(32), "guid");
    for (size_t i = 0; i < 32; ++i)
        EXPECT_TRUE(std::isxdigit(static_cast<unsigned char>(first[i])) && !std::isupper(static_cast<unsigned char>(first[i])))
            << first;
    EXPECT_EQ(Aux::UserConfig::GetLocalGUID(), CStringW(std::wstring(first.begin(), first.end())));

    CWebsocketMgr again(transport, 1000);
    EXPECT_EQ(again.GetGUID(), first);

    Aux::UserConfig::SetLocalGUID(L"0123456789abcdef0123456789abcdefguid");
    CWebsocketMgr stored(transport, 1000);
    EXPECT_EQ(stored.GetGUID(), "0123456789abcdef0123456789abcdefguid");
    EXPECT_NE(CWebsocketMgr::NewGuidText(), CWebsocketMgr::NewGuidText());
}

TEST_F(WebsocketMgrTest, InitSetsTheTransportUpOnce)
{
    CWebsocketMgr mgr(transport, 1000);
    EXPECT_EQ(mgr.Init(), 7);
    EXPECT_EQ(mgr.Init(), 0);
    EXPECT_EQ(transport.initCalls, 1);
    EXPECT_EQ(transport.initUser, kUser);
    const std::string guid = mgr.GetGUID();
    EXPECT_EQ(transport.initGuid, std::wstring(guid.begin(), guid.end()));
    ASSERT_NE(transport.initLog, nullptr);
    LogCapture log;
    transport.initLog("transport says hello");
    EXPECT_EQ(log.Count("[Fn]"), 1u);
    EXPECT_EQ(log.Count("transport says hello"), 1u);
}

TEST_F(WebsocketMgrTest, ConnectSuccessResetsTheSequencePingsAndStartsTheKeepAlive)
{
    Aux::UserConfig::SetLastMsgID(41);
    CWebsocketMgr mgr(transport, 60000);
    EXPECT_EQ(mgr.StartConn(123, 1), 5);
    EXPECT_EQ(transport.startUrl, L"ws://127.0.0.1:9/ws");
    EXPECT_EQ(transport.startSink, &mgr);

    mgr.OnConnectState(0);
    ASSERT_EQ(transport.Names(), std::vector<std::wstring>{L"connect"});
    const FakeTransport::Sent connect = transport.Last();
    CStringW token;
    bool force = false;
    EXPECT_TRUE(connect.command->GetIXDataStr(L"Token", token));
    EXPECT_EQ(token.str(), L"tok-4711");
    EXPECT_TRUE(connect.command->GetIXDataBool(L"Force", force));
    EXPECT_TRUE(force);

    FakeTransport::Reply(connect, 0);
    EXPECT_EQ(events.ConnectResults(), std::vector<int>{0});
    EXPECT_EQ(mgr.GetConnState(), 1);
    EXPECT_EQ(Aux::UserConfig::GetLastMsgID(), 0);
    ASSERT_EQ(transport.Names(), (std::vector<std::wstring>{L"connect", L"ping"}));
    EXPECT_EQ(I64(transport.Last(), L"LastMsgSeq"), 0);
    EXPECT_TRUE(mgr.KeepAliveRunning());
}

TEST_F(WebsocketMgrTest, ConnectFailuresAndTimeout)
{
    CWebsocketMgr mgr(transport, 60000);
    struct Case {
        bool hasResult;
        int result;
        int expected;
    };
    for (const Case& c : {Case{true, 1004, 1004}, Case{true, 1002, 10000001}, Case{false, 0, 10000001}}) {
        events.Clear();
        transport.Clear();
        EXPECT_EQ(mgr.Connect(0), 1);
        FakeTransport::Reply(transport.Last(), c.hasResult ? &c.result : nullptr, [](IXData*) {});
        EXPECT_EQ(events.ConnectResults(), std::vector<int>{c.expected}) << c.result;
        EXPECT_EQ(mgr.GetConnState(), 0);
        EXPECT_EQ(transport.Names(), std::vector<std::wstring>{L"connect"}) << "no ping after a failure";
    }
    events.Clear();
    mgr.Connect(0);
    FakeTransport::Timeout(transport.Last());
    EXPECT_EQ(events.ConnectResults(), std::vector<int>{10000000});
    EXPECT_FALSE(mgr.KeepAliveRunning());
}

TEST_F(WebsocketMgrTest, ReconnectKeepsTheSequenceAndHandlesEachReply)
{
    Aux::UserConfig::SetLastMsgID(41);
    CWebsocketMgr mgr(transport, 60000);
    mgr.SetLoginPre(0);
    mgr.StartConn(0, 0);
    mgr.OnConnectState(0);
    ASSERT_EQ(transport.Names(), std::vector<std::wstring>{L"reconnect"});
    uint32_t user = 0;
    EXPECT_TRUE(transport.Last().command->GetIXDataU32(L"UserID", user));
    EXPECT_EQ(user, kUser);

    FakeTransport::Reply(transport.Last(), 0);
    EXPECT_EQ(events.ConnectResults(), std::vector<int>{10000003});
    EXPECT_EQ(mgr.GetConnState(), 1);
    EXPECT_EQ(transport.Last().name, L"ping");
    EXPECT_EQ(I64(transport.Last(), L"LastMsgSeq"), 41);
    EXPECT_EQ(Aux::UserConfig::GetLastMsgID(), 41);

    // 1005: the server forgot the session; log in afresh without force and
    // report nothing yet.
    events.Clear();
    mgr.OnConnectState(0);
    FakeTransport::Reply(transport.Last(), 1005);
    EXPECT_TRUE(events.ConnectResults().empty());
    EXPECT_EQ(mgr.GetConnState(), 0);
    ASSERT_EQ(transport.Last().name, L"connect");
    bool force = true;
    transport.Last().command->GetIXDataBool(L"Force", force);
    EXPECT_FALSE(force);

    for (const auto& c : {std::make_pair(1004, 1004), std::make_pair(7, 10000002)}) {
        events.Clear();
        mgr.OnConnectState(0);
        FakeTransport::Reply(transport.Last(), c.first);
        EXPECT_EQ(events.ConnectResults(), std::vector<int>{c.second});
    }
    events.Clear();
    mgr.OnConnectState(0);
    FakeTransport::Timeout(transport.Last());
    EXPECT_EQ(events.ConnectResults(), std::vector<int>{10000004});
}

TEST_F(WebsocketMgrTest, TransportStatesReachTheResultAndTheMonitor)
{
    CWebsocketMgr mgr(transport, 60000);
    INetMon* monitor = Aux::AuxNetMon::GetNetMon();
    ASSERT_NE(monitor, nullptr);

    mgr.StartConn(0, 0);
    mgr.OnConnectState(0);
    FakeTransport::Reply(transport.Last(), 0);
    int tim = -1, ws = -1, trtc = -1;
    monitor->GetNetStates(&tim, &ws, &trtc);
    EXPECT_EQ(ws, 3);

    events.Clear();
    mgr.OnConnectState(3);  // login-pre 1: the transport comes back by itself
    EXPECT_TRUE(events.ConnectResults().empty());
    EXPECT_EQ(mgr.GetConnState(), 0);
    monitor->GetNetStates(&tim, &ws, &trtc);
    EXPECT_EQ(ws, 1) << "login-pre at start 1 means an inner reconnect";

    mgr.SetLoginPre(0);
    mgr.OnConnectState(3);
    mgr.OnConnectState(2);
    mgr.OnConnectState(9);
    EXPECT_EQ(events.ConnectResults(), (std::vector<int>{10000005, 10000006, 10000001}));
    monitor->GetNetStates(&tim, &ws, &trtc);
    EXPECT_EQ(ws, 2) << "login-pre at start 0: the monitor's timer takes over";
    mgr.OnConnectState(0);
    monitor->GetNetStates(&tim, &ws, &trtc);
    EXPECT_EQ(ws, 3);
}

TEST_F(WebsocketMgrTest, StartConnWhileLoggedInSendsConnectAtOnce)
{
    CWebsocketMgr mgr(transport, 60000);
    transport.SetLogined(1);
    EXPECT_EQ(mgr.StartConn(0, 1), 0);
    EXPECT_EQ(transport.startCalls, 0);
    ASSERT_EQ(transport.Names(), std::vector<std::wstring>{L"connect"});
}

TEST_F(WebsocketMgrTest, PushedSequencesFollowTheGapRule)
{
    CWebsocketMgr mgr(transport, 60000);
    mgr.OnSerPsuhLastSeq(17);
    EXPECT_EQ(Aux::UserConfig::GetLastMsgID(), 17) << "with 0 stored anything goes";

    Aux::UserConfig::SetLastMsgID(41);
    LogCapture log;
    mgr.OnSerPsuhLastSeq(43);
    mgr.OnSerPsuhLastSeq(41);
    EXPECT_EQ(Aux::UserConfig::GetLastMsgID(), 41);
    EXPECT_EQ(log.Count("OnSerPsuhLastSeq:43"), 1u);
    EXPECT_EQ(log.Count("OnSerPsuhLastSeq:41"), 1u);
    mgr.OnSerPsuhLastSeq(42);
    EXPECT_EQ(Aux::UserConfig::GetLastMsgID(), 42);

    Aux::UserConfig::SetLastMsgID(-1);
    mgr.OnSerPsuhLastSeq(0);
    EXPECT_EQ(Aux::UserConfig::GetLastMsgID(), 0) << "last + 1 in 64-bit arithmetic";
}

// Another process holds the configuration file's lock: the pushes on the
// websocket library's thread, and the reply behind them, go through all the
// same; the sequence reaches the file once the lock is let go.
TEST_F(WebsocketMgrTest, PushesDoNotWaitForTheConfigurationFile)
{
    {
        CWebsocketMgr mgr(transport, 60000);
        mgr.DisConnect();
        const FakeTransport::Sent disconnect = transport.Last();
        HeldFileLock held(ConfigFile() + L".lock");
        ASSERT_TRUE(held.Held());
        std::thread websocket([&] {
            for (uint64_t seq = 1; seq <= 300; ++seq)
                mgr.OnSerPsuhLastSeq(seq);
            FakeTransport::Reply(disconnect, 0);
        });
        const bool answered = events.WaitUntil([](SessionRecorder& r) { return r.disconnects == 1; });
        const int64_t seen = Aux::UserConfig::GetLastMsgID();
        held.Release();
        websocket.join();
        EXPECT_TRUE(answered) << "the reply waited behind the pushes' writes";
        EXPECT_EQ(seen, 300);
    }
    EXPECT_EQ(StoredLastMsgId(), L"300");
}

// The sequence is written at the manager's end at the latest, so a new
// process goes on from it.
TEST_F(WebsocketMgrTest, SequenceIsOnDiskAfterExitAndStop)
{
    {
        CWebsocketMgr mgr(transport, 60000);
        for (uint64_t seq = 1; seq <= 40; ++seq)
            mgr.OnSerPsuhLastSeq(seq);
        mgr.StopConn();
        EXPECT_EQ(StoredLastMsgId(), L"40");
        for (uint64_t seq = 41; seq <= 77; ++seq)
            mgr.OnSerPsuhLastSeq(seq);
        EXPECT_EQ(Aux::UserConfig::GetLastMsgID(), 77) << "read back at once";
    }
    EXPECT_EQ(StoredLastMsgId(), L"77");
    EXPECT_EQ(Aux::UserConfig::GetLastMsgID(), 77);

    // The session's exit writes it also when it never made a manager.
    Aux::UserConfig::SetLastMsgID(78);
    WebsocketApi::DoExit();
    EXPECT_EQ(StoredLastMsgId(), L"78");
}

TEST_F(WebsocketMgrTest, KeepAlivePingsWhileLoggedInOnly)
{
    CWebsocketMgr mgr(transport, 20);
    mgr.Connect(0);
    FakeTransport::Reply(transport.Last(), 0);
    ASSERT_TRUE(mgr.KeepAliveRunning());
    Aux::UserConfig::SetLastMsgID(77);
    transport.Clear();
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(transport.SentCommands().empty()) << "not logged in: the tick sends nothing";

    transport.SetLogined(1);
    ASSERT_TRUE(transport.WaitForSent(2));
    for (const auto& sent : transport.SentCommands()) {
        EXPECT_EQ(sent.name, L"ping");
        EXPECT_EQ(I64(sent, L"LastMsgSeq"), 77);
    }
}

TEST_F(WebsocketMgrTest, PingReplySetsTheRenderClock)
{
    CWebsocketMgr mgr(transport, 60000);
    AuxRenderOverall::RecordTimeMeter::Reset(5);
    mgr.Connect(0);
    FakeTransport::Reply(transport.Last(), 0);
    const FakeTransport::Sent ping = transport.Last();
    ASSERT_EQ(ping.name, L"ping");
    const int refused = 3;
    FakeTransport::Reply(ping, &refused, [](IXData* r) { r->SetIXDataI64(L"TimeStamp", 900000); });
    EXPECT_LT(AuxRenderOverall::RecordTimeMeter::GetCurrentClock(), 900000);
    FakeTransport::Timeout(ping);
    const int ok = 0;
    FakeTransport::Reply(ping, &ok, [](IXData* r) { r->SetIXDataI64(L"TimeStamp", 900000); });
    EXPECT_GE(AuxRenderOverall::RecordTimeMeter::GetCurrentClock(), 900000);
    EXPECT_TRUE(AuxRenderOverall::RecordTimeMeter::IsRunning());
}

TEST_F(WebsocketMgrTest, StartConnLetsTheRenderClockRun)
{
    CWebsocketMgr mgr(transport, 60000);
    AuxRenderOverall::RecordTimeMeter::Reset(0);
    ASSERT_FALSE(AuxRenderOverall::RecordTimeMeter::IsRunning());
    mgr.StartConn(0, 0);
    EXPECT_TRUE(AuxRenderOverall::RecordTimeMeter::IsRunning());
}

// A stop asked for by the client ends the session without a failure report,
// and the monitor, which would bring back a broken session logged in with
// "reconnect", leaves it stopped.
TEST_F(WebsocketMgrTest, StopEndsTheSessionWithoutAReportOrAReconnect)
{
    CWebsocketMgr mgr(transport, 60000);
    INetMon* monitor = Aux::AuxNetMon::GetNetMon();
    ASSERT_NE(monitor, nullptr);
    mgr.SetLoginPre(0);
    mgr.StartConn(0, 0);
    mgr.OnConnectState(Aux::CSCenter::CONN_STATE_CONNECTED);
    FakeTransport::Reply(transport.Last(), 0);
    ASSERT_EQ(mgr.GetConnState(), 1);
    events.Clear();

    mgr.OnConnectState(Aux::CSCenter::CONN_STATE_STOPPED);
    EXPECT_EQ(mgr.GetConnState(), 0);
    EXPECT_TRUE(events.ConnectResults().empty());
    int ws = -1;
    monitor->GetNetStates(nullptr, &ws, nullptr);
    EXPECT_EQ(ws, 1);
}

TEST_F(WebsocketMgrTest, DisconnectReplyAndTimeoutBothSignal)
{
    CWebsocketMgr mgr(transport, 60000);
    EXPECT_EQ(mgr.DisConnect(), 1);
    const FakeTransport::Sent sent = transport.Last();
    EXPECT_EQ(sent.name, L"disconnect");
    EXPECT_EQ(sent.command->GetCount(), 1u);
    FakeTransport::Reply(sent, 0);
    FakeTransport::Timeout(sent);
    EXPECT_EQ(events.Disconnects(), 2);
}

TEST_F(WebsocketMgrTest, ControlCallsReachTheTransport)
{
    CWebsocketMgr mgr(transport, 60000);
    EXPECT_EQ(mgr.ReConn(), 1);
    mgr.StopConn();
    EXPECT_EQ(transport.reconnCalls, 1);
    EXPECT_EQ(transport.stopCalls, 1);
}

// Destroying the manager while one of its reply handlers runs on another
// thread waits for that handler; afterwards the handler is gone.
TEST_F(WebsocketMgrTest, TeardownWaitsForAReplyBeingHandled)
{
    auto* mgr = new CWebsocketMgr(transport, 60000);
    mgr->Connect(0);
    const FakeTransport::Sent connect = transport.Last();

    std::promise<void> entered;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> once{false};
    event::scoped_connection blocker = ServiceEvent::ConnectResult().connect([&](int) {
        if (!once.exchange(true)) {
            entered.set_value();
            released.wait();
        }
    });
    std::thread replier([&] { FakeTransport::Reply(connect, 1002); });
    entered.get_future().wait();

    std::atomic<bool> destroyed{false};
    std::thread exiter([&] {
        delete mgr;
        destroyed = true;
    });
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(destroyed.load());
    release.set_value();
    replier.join();
    exiter.join();
    EXPECT_TRUE(destroyed.load());
}

}  // namespace
