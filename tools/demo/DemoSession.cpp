// Session family: the websocket command session logs in, the meeting made
// over REST is joined and its state refreshed over the session, the network
// monitor shows the three channel states, and the session says goodbye.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>

#include "DemoSteps.h"
#include "account/UserCache.h"
#include "compat/TextConvert.h"
#include "core/RequestKind.h"
#include "corekit/HttpSettings.h"
#include "corekit/MeetingCenter.h"
#include "devserver/DevServer.h"
#include "devserver/State.h"
#include "keepsafe/Profile.h"
#include "meetings/MeetingApi.h"
#include "session/AuxNetMon.h"
#include "session/WebsocketApi.h"

namespace Demo {

namespace {

constexpr unsigned kLocalCorp = 501;

// The session signals, kept until a step reads them.
class SessionSignals {
public:
    SessionSignals()
        : m_connect(ServiceEvent::ConnectResult().connect([this](int code) { Note([&] { connectCodes.push_back(code); }); })),
          m_disconnect(ServiceEvent::DisConnect().connect([this] { Note([&] { ++disconnects; }); })),
          m_enter(ServiceEvent::EnterMeeting().connect([this](int code, const wchar_t*, IXData* reply) {
              Note([&] {
                  enterCodes.push_back(code);
                  CStringW name;
                  if (reply != nullptr && reply->GetIXDataStr(L"JoinUserName", name))
                      joinUserName = ToUtf8(name);
              });
          })),
          m_status(ServiceEvent::RoomStatusGet().connect(
              [this](int code, IXData*) { Note([&] { statusCodes.push_back(code); }); }))
    {
    }

    // Waits until done() holds (read under the lock); false after seconds.
    bool Wait(int seconds, const std::function<bool()>& done)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(seconds), done);
    }
    template <typename T>
    T Read(const std::function<T()>& read)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return read();
    }

    std::vector<int> connectCodes;
    int disconnects = 0;
    std::vector<int> enterCodes;
    std::string joinUserName;
    std::vector<int> statusCodes;

private:
    void Note(const std::function<void()>& change)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        change();
        m_changed.notify_all();
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    event::scoped_connection m_connect;
    event::scoped_connection m_disconnect;
    event::scoped_connection m_enter;
    event::scoped_connection m_status;
};

const char* ConnectMeaning(int code)
{
    switch (code) {
    case 0:
        return "logged in";
    case 1004:
        return "signed in elsewhere";
    case 10000000:
        return "\"connect\" timed out";
    case 10000001:
        return "\"connect\" refused";
    case 10000002:
        return "\"reconnect\" refused";
    case 10000003:
        return "logged in again";
    case 10000004:
        return "\"reconnect\" timed out";
    case 10000005:
        return "connection lost";
    case 10000006:
        return "could not connect";
    default:
        return "unknown";
    }
}

const char* ChannelMeaning(int state)
{
    switch (state) {
    case 0:
        return "nothing reported";
    case 1:
        return "reconnecting";
    case 2:
        return "broken";
    case 3:
        return "connected";
    case 4:
        return "connected, good network";
    default:
        return "?";
    }
}

const char* ShareMeaning(E_SHARE_MODE mode)
{
    return mode == SHARE_MODE_BOARD ? "board" : mode == SHARE_MODE_SCREEN ? "screen" : "nothing";
}

void PrintRoomState()
{
    const T_AUDIOVIDEO_ROLE role = MeetingCenterApi::GetAudioVideoRole();
    Ok("room \"%s\" (%s), host %lld, muted %d, locked %d, sharing %s (operator %lld)",
       ToUtf8(MeetingCenterApi::GetRoomName()).c_str(), ToUtf8(MeetingCenterApi::GetRoomCode()).c_str(),
       static_cast<long long>(MeetingCenterApi::GetHostID()), MeetingCenterApi::GetRoomMuted(),
       MeetingCenterApi::GetRoomLocked(), ShareMeaning(MeetingCenterApi::GetShareMode()),
       static_cast<long long>(MeetingCenterApi::GetOperatorID()));
    Ok("active since %s; close host video %d, member video %d, member audio %d",
       ToUtf8(MeetingCenterApi::GetActivateTime()).c_str(), role.nCloseHostVideo, role.nCloseMemberVideo,
       role.nCloseMemberAudio);
}

// The local server's token names its user; elsewhere the user cache must
// already hold the signed-in user (the account steps put it there).
bool SignedInUser(Context& context)
{
    if (context.localServer != nullptr) {
        const auto user = context.localServer->GetState().UserOfToken(context.token);
        if (!user) {
            Fail("the local server does not know the sign-in token");
            return false;
        }
        const CStringW token(ToWide(context.token.c_str(), CP_UTF8));
        if (Aux::UserCache::GetUserID() != *user || Aux::UserCache::GetToken() != token) {
            // Run on its own, the family signs the token's user in the way
            // the client does: the login item holds the token.
            XDataPtr<IXData> item;
            if (CreateIXData(item.Receive(), 0) == 0 || !item) {
                Fail("no record for the login item");
                return false;
            }
            item->SetIXDataStr(L"token", token);
            Aux::Profile::Global::SaveLoginItem(*user, item.get());
            Aux::UserCache::SetUserID(*user, 0);
        }
        const std::string ws = "wss" + context.localServer->BaseUrl().substr(5) + "/ws";
        Http::SetWSSUrl(ToWide(ws.c_str(), CP_UTF8).c_str());
    }
    if (Aux::UserCache::GetUserID() == 0) {
        Fail("no signed-in user for the session");
        return false;
    }
    return true;
}

bool StepOpenSession(Context& context, SessionSignals& signals)
{
    BeginStep(context, ("open the session at " + ToUtf8(Http::GetWSSUrl())).c_str());
    if (!SignedInUser(context))
        return false;
    const int init = WebsocketApi::Init();
    const int start = WebsocketApi::StartConn(0, 0);
    Ok("Init %d, StartConn %d, GUID %s", init, start, WebsocketApi::GetGUID().c_str());
    if (start == 0) {
        Fail("the transport did not take the address");
        return false;
    }
    if (!signals.Wait(context.options.timeoutSeconds, [&] { return !signals.connectCodes.empty(); })) {
        Fail("no ConnectResult");
        return false;
    }
    const int code = signals.Read<int>([&] { return signals.connectCodes.front(); });
    if (code != 0) {
        Fail("ConnectResult %d (%s)", code, ConnectMeaning(code));
        return false;
    }
    Ok("ConnectResult %d (%s), connection state %d", code, ConnectMeaning(code), WebsocketApi::GetConnSate());
    return true;
}

bool StepJoin(Context& context, SessionSignals& signals, const CStringW& code)
{
    BeginStep(context, ("join meeting " + ToUtf8(code)).c_str());
    const CStringW name = Aux::UserCache::GetUserNameW().IsEmpty() ? CStringW(L"Demo Ann") : Aux::UserCache::GetUserNameW();
    const int sent = MeetingApi::JoinMeeting(name, code, Aux::UserCache::GetUserHeadURL());
    if (sent == 0) {
        Fail("\"room.join\" was not sent");
        return false;
    }
    if (!signals.Wait(context.options.timeoutSeconds, [&] { return !signals.enterCodes.empty(); })) {
        Fail("no EnterMeeting");
        return false;
    }
    const int result = signals.Read<int>([&] { return signals.enterCodes.front(); });
    if (result != 0) {
        Fail("EnterMeeting %d", result);
        return false;
    }
    const T_TENCENT_LOGIN_INFO login = MeetingCenterApi::GetTencentLoginInfo();
    Ok("EnterMeeting 0 as \"%s\", chairman %d, may preview materials %d",
       signals.Read<std::string>([&] { return signals.joinUserName; }).c_str(),
       MeetingCenterApi::IsChairmain(Aux::UserCache::GetUserID()), MeetingCenterApi::GetCanPreviewMater());
    Ok("room address %s; audio/video room %s, app %s, user %s", ToUtf8(MeetingCenterApi::GetRoomURL()).c_str(),
       ToUtf8(login.strRoomID).c_str(), ToUtf8(login.strSdkAppID).c_str(), ToUtf8(login.strUserID).c_str());
    PrintRoomState();
    return true;
}

bool StepRefresh(Context& context, SessionSignals& signals)
{
    BeginStep(context, "refresh the room status");
    if (MeetingApi::RoomStatusGet() == 0) {
        Fail("\"room.status.get\" was not sent");
        return false;
    }
    if (!signals.Wait(context.options.timeoutSeconds, [&] { return !signals.statusCodes.empty(); })) {
        Fail("no RoomStatusGet");
        return false;
    }
    const int result = signals.Read<int>([&] { return signals.statusCodes.front(); });
    if (result != 0) {
        Fail("RoomStatusGet %d", result);
        return false;
    }
    Ok("RoomStatusGet 0");
    PrintRoomState();
    return true;
}

bool StepChannels(Context& context)
{
    BeginStep(context, "the three network channels");
    INetMon* monitor = Aux::AuxNetMon::GetNetMon();
    if (monitor == nullptr) {
        Fail("no network monitor");
        return false;
    }
    int tim = -1, ws = -1, trtc = -1;
    monitor->GetNetStates(&tim, &ws, &trtc);
    Ok("TIM %d (%s), WS %d (%s), TRTC %d (%s)", tim, ChannelMeaning(tim), ws, ChannelMeaning(ws), trtc,
       ChannelMeaning(trtc));
    if (ws != 3) {
        Fail("the websocket channel is not connected");
        return false;
    }
    return true;
}

bool StepDisconnect(Context& context, SessionSignals& signals)
{
    BeginStep(context, "disconnect");
    if (WebsocketApi::DisConnect() == 0) {
        Fail("\"disconnect\" was not sent");
        return false;
    }
    if (!signals.Wait(context.options.timeoutSeconds, [&] { return signals.disconnects > 0; })) {
        Fail("no DisConnect");
        return false;
    }
    Ok("DisConnect");
    WebsocketApi::DoExit();
    return true;
}

}  // namespace

bool RunSessionSteps(Context& context)
{
    SessionSignals signals;
    if (!StepOpenSession(context, signals))
        return false;

    BeginStep(context, "create a meeting to join");
    const std::wstring token = ToWide(context.token.c_str(), CP_UTF8);
    XDataPtr<IXData> meeting;
    if (CreateIXData(meeting.Receive(), 0) == 0 || !meeting) {
        Fail("no record");
        return false;
    }
    meeting->SetIXDataU32(L"CorpID", context.localServer != nullptr ? kLocalCorp : Aux::UserCache::GetCurCorpID());
    meeting->SetIXDataStr(L"MeetingName", L"Pelbo session demo");
    meeting->SetIXDataStr(L"StartTime", L"2031-06-02 09:00:00");
    meeting->SetIXDataU32(L"Duration", 30);
    meeting->SetIXDataU32(L"Type", 1);
    const auto created = CallRest(context, RequestKind::kCreateMeeting,
                                  [&] { return MeetingApi::CreateMeeting(token.c_str(), meeting.get()); });
    CStringW code;
    if (!created || !created->record || !created->record->GetIXDataStr(L"RoomCode", code) || code.IsEmpty()) {
        Fail("no room to join");
        return false;
    }
    Ok("room %s", ToUtf8(code).c_str());

    const bool ok = StepJoin(context, signals, code) && StepRefresh(context, signals) && StepChannels(context) &&
                    StepDisconnect(context, signals);
    CallRest(context, RequestKind::kDeleteMeeting, [&] { return MeetingApi::DeleteMeeting(token.c_str(), code); });
    return ok;
}

}  // namespace Demo
