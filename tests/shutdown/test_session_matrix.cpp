// The shutdown matrix of the websocket session and the room commands that
// travel over it, against the local server: "connect" and "disconnect" of
// WebsocketApi, JoinMeeting and RoomStatusGet of MeetingApi, while a second
// thread and the receivers of ConnectResult, DisConnect, EnterMeeting and
// RoomStatusGet end the session family, the meeting family, the transport
// (Aux::CSCenter::DoExit) or everything through Aux::Core::DoExit at random
// points. Every command is answered exactly once, by its reply or its
// time-out, also when the transport goes: only the families' exits drop
// the answers still to come.

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "ShutdownMatrix.h"
#include "pelbo/account/UserCache.h"
#include "pelbo/compat/TextConvert.h"
#include "pelbo/core/CoreApi.h"
#include "pelbo/core/ServiceEvent.h"
#include "pelbo/corekit/HttpSettings.h"
#include "pelbo/corekit/MeetingCenter.h"
#include "devserver/State.h"
#include "pelbo/meetings/MeetingApi.h"
#include "pelbo/session/WebsocketApi.h"
#include "support/HangWatchdog.h"
#include "support/TestServer.h"
#include "pelbo/wirelink/CSCenter.h"

namespace {

const char kSession[] = "session";
const char kMeetings[] = "meetings";
const char kConnect[] = "connect";
const char kDisconnect[] = "disconnect";
const char kJoin[] = "join";
const char kStatus[] = "status";

constexpr int kRounds = 12;
constexpr uint32_t kUser = 9001;
constexpr unsigned kReceiverStops = 15;

std::wstring W(const std::string& text) { return ToWide(text.c_str(), CP_UTF8); }
std::string N(const wchar_t* text) { return ToMultiByte(text != nullptr ? text : L"", CP_UTF8); }

class SessionMatrix : public ::testing::TestWithParam<uint32_t> {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server.Started()) << server.Error();
        Http::SetWSSUrl(W("ws" + server.BaseUrl().substr(4) + "/ws").c_str());
        Aux::CSCenter::LWS_SetBackoff(50, 200);
        Aux::CSCenter::LWS_SetReplyTimeout(2000);
    }

    void TearDown() override
    {
        Aux::Core::DoExit();
        MeetingCenterApi::Clear();
        Http::ResetSettings();
        Aux::CSCenter::LWS_SetBackoff(500, 30000);
        Aux::CSCenter::LWS_SetReplyTimeout(10000);
    }

    void StopAtRandom(uint32_t choice)
    {
        switch (choice % 8) {
        case 0: {
            const ShutdownMatrix::Stop stop(*matrix, "Aux::Core::DoExit", ShutdownMatrix::Scope::Everything(), false);
            Aux::Core::DoExit();
            break;
        }
        case 1:
        case 2: {
            const ShutdownMatrix::Stop stop(*matrix, "WebsocketApi::DoExit", ShutdownMatrix::Scope::Family(kSession),
                                            false);
            WebsocketApi::DoExit();
            break;
        }
        case 3:
        case 4: {
            const ShutdownMatrix::Stop stop(*matrix, "MeetingApi::DoExit", ShutdownMatrix::Scope::Family(kMeetings),
                                            false);
            MeetingApi::DoExit();
            break;
        }
        default: {
            // It ends no request: the waiting commands get their time-outs,
            // which are reported as every other answer.
            const ShutdownMatrix::Stop stop(*matrix, "Aux::CSCenter::DoExit",
                                            ShutdownMatrix::Scope::Family("transport"), false);
            Aux::CSCenter::DoExit();
            break;
        }
        }
    }

    void Told(const char* family, const char* kind, const std::string& tag)
    {
        matrix->Report(family, kind, tag);
        if (matrix->Chance(kReceiverStops))
            StopAtRandom(matrix->Draw(1u << 20));
    }

    // Brings the session back when a stop ended it: a fresh manager sets the
    // transport up and logs in. Its ConnectResult may come or not (a stop
    // may end it first), and then the round's commands meet a session that
    // is down and time out at once, which is reported just the same.
    void LogIn()
    {
        Aux::UserCache::SetUserID(kUser, 1);
        Aux::UserCache::SetToken(CStringW(W(server.State().IssueToken(kUser).token)));
        if (Aux::CSCenter::IsLogined() != 0)
            return;
        {
            const ShutdownMatrix::Stop stop(*matrix, "WebsocketApi::DoExit", ShutdownMatrix::Scope::Family(kSession),
                                            false);
            WebsocketApi::DoExit();
        }
        const unsigned stops = matrix->Stops();
        const ShutdownMatrix::Id start = matrix->Issue(kSession, kConnect, "", std::string(), false);
        WebsocketApi::Init();
        if (WebsocketApi::StartConn(0, 1) == 0 && Aux::CSCenter::IsLogined() == 0)
            matrix->Withdraw(start);
        // A stop meanwhile may leave the session down for the round.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        while (Aux::CSCenter::IsLogined() == 0 && matrix->Stops() == stops &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }

    void Ask(const char* family, const char* kind, const std::string& tag, const std::function<int()>& call)
    {
        const ShutdownMatrix::Id id = matrix->Issue(family, kind, tag);
        if (call() == 0)
            matrix->Withdraw(id);
        std::this_thread::sleep_for(std::chrono::milliseconds(matrix->Draw(6)));
    }

    TestSupport::TestServer server;
    std::unique_ptr<ShutdownMatrix> matrix;
    unsigned serial = 0;
};

TEST_P(SessionMatrix, CommandsAndRooms)
{
    matrix = std::make_unique<ShutdownMatrix>("session and rooms", GetParam());
    event::scoped_connection connects(ServiceEvent::ConnectResult().connect(
        [this](int) { Told(kSession, kConnect, std::string()); }));
    event::scoped_connection disconnects(
        ServiceEvent::DisConnect().connect([this] { Told(kSession, kDisconnect, std::string()); }));
    event::scoped_connection entered(ServiceEvent::EnterMeeting().connect(
        [this](int, const wchar_t* roomCode, IXData*) { Told(kMeetings, kJoin, N(roomCode)); }));
    event::scoped_connection statuses(
        ServiceEvent::RoomStatusGet().connect([this](int, IXData*) { Told(kMeetings, kStatus, std::string()); }));
    std::mt19937 random = matrix->Stream(1u << 21);
    matrix->RunRounds(
        kRounds,
        [&](int) {
            LogIn();
            const uint32_t count = 3 + random() % 4;
            for (uint32_t i = 0; i < count; ++i) {
                switch (random() % 5) {
                case 0:
                    Ask(kSession, kConnect, "", [] { return WebsocketApi::Connect(1); });
                    break;
                case 1:
                    Ask(kSession, kDisconnect, "", [] { return WebsocketApi::DisConnect(); });
                    break;
                case 2:
                    Ask(kMeetings, kStatus, "", [] { return MeetingApi::RoomStatusGet(); });
                    break;
                default: {
                    // A room of its own, which the server knows or not: the
                    // code tells the answer apart.
                    const std::string code = std::to_string(700000 + ++serial);
                    if (random() % 2 == 0)
                        server.State().ws.PutRoom(code, DevServer::WsRoom());
                    Ask(kMeetings, kJoin, code,
                        [&code] { return MeetingApi::JoinMeeting(L"Ann", W(code).c_str(), L""); });
                    break;
                }
                }
            }
        },
        [this](std::mt19937& stopper) { StopAtRandom(stopper()); });
    {
        const TestSupport::HangWatchdog watchdog(matrix->Where() + " final exit");
        const ShutdownMatrix::Stop stop(*matrix, "the final exits", ShutdownMatrix::Scope::Everything(), false);
        WebsocketApi::DoExit();
        MeetingApi::DoExit();
        Aux::Core::DoExit();
        connects.disconnect();
        disconnects.disconnect();
        entered.disconnect();
        statuses.disconnect();
    }
    matrix->Check();
}

INSTANTIATE_TEST_SUITE_P(Shutdown, SessionMatrix, ::testing::Values(101u, 202u, 303u),
                         [](const ::testing::TestParamInfo<uint32_t>& info) {
                             return "seed_" + std::to_string(info.param);
                         });

}  // namespace
