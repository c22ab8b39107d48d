// Session family: the websocket command session logs in, the meeting made
// over REST is joined and its state refreshed with the room commands, and
// the session says goodbye.

#include "DemoSession.h"

#include <string>

#include "DemoSteps.h"
#include "pelbo/account/UserCache.h"
#include "pelbo/compat/TextConvert.h"
#include "pelbo/core/RequestKind.h"
#include "pelbo/corekit/HttpSettings.h"
#include "pelbo/corekit/MeetingCenter.h"
#include "devserver/DevServer.h"
#include "pelbo/meetings/MeetingApi.h"
#include "pelbo/session/WebsocketApi.h"

namespace Demo {

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

namespace {

constexpr unsigned kLocalCorp = 501;

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

// Creates a meeting over REST, joins it and refreshes its state with the
// room commands; the meeting is deleted again.
bool JoinAMeeting(Context& context, SessionSignals& signals)
{
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

    const bool ok = StepJoin(context, signals, code) && StepRefresh(context, signals);
    CallRest(context, RequestKind::kDeleteMeeting, [&] { return MeetingApi::DeleteMeeting(token.c_str(), code); });
    return ok;
}


}  // namespace

bool StepOpenSession(Context& context, SessionSignals& signals)
{
    const bool signedIn = EnsureSignedIn(context);
    BeginStep(context, ("open the session at " + ToUtf8(Http::GetWSSUrl())).c_str());
    if (!signedIn) {
        Fail("nobody is signed in");
        return false;
    }
    const int init = WebsocketApi::Init();
    const int start = WebsocketApi::StartConn(0, 0);
    Ok("Init %d, StartConn %d, GUID %s", init, start, WebsocketApi::GetGUID().c_str());
    // 0 also when the transport is still logged in from an earlier session:
    // then "connect" went out on that connection, and its answer follows.
    if (!signals.Wait(context.options.timeoutSeconds, [&] { return !signals.connectCodes.empty(); })) {
        Fail(start == 0 ? "the transport did not take the address" : "no ConnectResult");
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

bool RunSessionSteps(Context& context)
{
    SessionSignals signals;
    if (!StepOpenSession(context, signals))
        return false;

    const bool ok = JoinAMeeting(context, signals);
    return StepDisconnect(context, signals) && ok;
}

}  // namespace Demo
