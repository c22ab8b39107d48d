// The room commands of CMeetingMgr: "room.join" and "room.status.get" over
// the websocket session, their replies copied into the client-wide meeting
// state (MeetingCenterApi) and reported through EnterMeeting and
// RoomStatusGet.

#include "pelbo/meetings/MeetingMgr.h"

#include "pelbo/account/UserCache.h"
#include "pelbo/core/ServiceEvent.h"
#include "pelbo/corekit/MeetingCenter.h"
#include "pelbo/corekit/XData.h"

namespace {

// Missing keys read as empty text, 0 or false; a missing "Result" as -1.
int Result(IXData* reply)
{
    int32_t value = -1;
    if (reply != nullptr)
        reply->GetIXDataI32(L"Result", value);
    return value;
}

CStringW Str(IXData* record, const wchar_t* key)
{
    CStringW value;
    if (record != nullptr)
        record->GetIXDataStr(key, value);
    return value;
}

int64_t I64(IXData* record, const wchar_t* key)
{
    int64_t value = 0;
    if (record != nullptr)
        record->GetIXDataI64(key, value);
    return value;
}

int Flag(IXData* record, const wchar_t* key)
{
    bool value = false;
    if (record != nullptr)
        record->GetIXDataBool(key, value);
    return value ? 1 : 0;
}

// The board wins when both are shared.
void ApplyShareMode(IXData* reply)
{
    if (Flag(reply, L"BoardStarted") != 0) {
        MeetingCenterApi::SetShareMode(SHARE_MODE_BOARD);
        MeetingCenterApi::SetOperatorID(I64(reply, L"BoardOperatorID"));
    } else if (Flag(reply, L"ScreenStarted") != 0) {
        MeetingCenterApi::SetShareMode(SHARE_MODE_SCREEN);
        MeetingCenterApi::SetOperatorID(I64(reply, L"ScreenOperatorID"));
    } else {
        MeetingCenterApi::SetShareMode(SHARE_MODE_NONE);
        MeetingCenterApi::SetOperatorID(0);
    }
}

void ApplyAudioVideoRole(IXData* reply)
{
    T_AUDIOVIDEO_ROLE role;
    role.nCloseHostVideo = Flag(reply, L"CloseHostVideo");
    role.nCloseMemberVideo = Flag(reply, L"CloseMemberVideo");
    role.nCloseMemberAudio = Flag(reply, L"CloseMemberAudio");
    MeetingCenterApi::SetAudioVideoRole(role);
}

}  // namespace

CMeetingMgr::CMeetingMgr()
{
    m_joinSink.evtRecvReply.Subscribe(this, &CMeetingMgr::OnJoinReply, &m_roomMarker);
    m_joinSink.evtTimeout.Subscribe(this, &CMeetingMgr::OnJoinTimeout, &m_roomMarker);
    m_statusSink.evtRecvReply.Subscribe(this, &CMeetingMgr::OnStatusReply, &m_roomMarker);
    m_statusSink.evtTimeout.Subscribe(this, &CMeetingMgr::OnStatusTimeout, &m_roomMarker);
}

void CMeetingMgr::DetachRoomCommands()
{
    // Each unsubscription waits for a reply being handled on the websocket
    // library's thread; afterwards no reply reaches this manager.
    m_joinSink.evtRecvReply.Unsubscribe(this, &CMeetingMgr::OnJoinReply);
    m_joinSink.evtTimeout.Unsubscribe(this, &CMeetingMgr::OnJoinTimeout);
    m_statusSink.evtRecvReply.Unsubscribe(this, &CMeetingMgr::OnStatusReply);
    m_statusSink.evtTimeout.Unsubscribe(this, &CMeetingMgr::OnStatusTimeout);
    m_joinSink.Detach();
    m_statusSink.Detach();
}

int CMeetingMgr::JoinMeeting(const wchar_t* name, const wchar_t* roomCode, const wchar_t* avatarUrl)
{
    if (roomCode == nullptr || *roomCode == L'\0')
        return 0;
    XDataPtr<IXData> command;
    if (CreateIXData(command.Receive(), 0) == 0 || !command)
        return 0;
    command->SetIXDataStr(L"CMDNO", L"room.join");
    command->SetIXDataStr(L"Name", name != nullptr ? name : L"");
    command->SetIXDataStr(L"RoomCode", roomCode);
    command->SetIXDataStr(L"AvatarUrl", avatarUrl != nullptr ? avatarUrl : L"");
    return m_joinSink.Send(command.get(), nullptr);
}

int CMeetingMgr::RoomStatusGet()
{
    XDataPtr<IXData> command;
    if (CreateIXData(command.Receive(), 0) == 0 || !command)
        return 0;
    command->SetIXDataStr(L"CMDNO", L"room.status.get");
    return m_statusSink.Send(command.get(), nullptr);
}

void CMeetingMgr::OnJoinReply(IXData* reply, IXData* command)
{
    const Held held = Hold();
    if (!held)
        return;
    const CStringW roomCode = Str(command, L"RoomCode");
    const CStringW name = Str(command, L"Name");
    const int result = Result(reply);
    if (result != 0) {
        ServiceEvent::EnterMeeting().emit(result, roomCode, nullptr);
        return;
    }
    MeetingCenterApi::SetRoomCode(roomCode);
    MeetingCenterApi::SetRoomName(Str(reply, L"RoomName"));
    MeetingCenterApi::SetRoomURL(Str(reply, L"RoomURL"));
    MeetingCenterApi::SetHostID(I64(reply, L"HostID"));
    MeetingCenterApi::SetRoomMuted(Flag(reply, L"Muted"));
    MeetingCenterApi::SetRoomLocked(Flag(reply, L"Locked"));
    ApplyShareMode(reply);

    T_TENCENT_LOGIN_INFO login;
    login.strUserID = Str(reply, L"UserID");
    login.strUserSig = Str(reply, L"UserSig");
    login.strSdkAppID = Str(reply, L"SdkAppID");
    login.strAccountType = Str(reply, L"AccountType");
    login.strRoomID = Str(reply, L"RoomID");
    MeetingCenterApi::SetTencentLoginInfo(login);

    reply->SetIXDataStr(L"JoinUserName", name);
    MeetingCenterApi::SetActivateTime(Str(reply, L"ActivateTime"));
    ApplyAudioVideoRole(reply);
    MeetingCenterApi::SetChairmain(Aux::UserCache::GetUserID(), Flag(reply, L"IsChairman"));
    MeetingCenterApi::SetCanPreviewMater(Flag(reply, L"OpenBoardPreview"));
    ServiceEvent::EnterMeeting().emit(0, roomCode, reply);
}

void CMeetingMgr::OnJoinTimeout(IXData* command)
{
    const Held held = Hold();
    if (!held)
        return;
    ServiceEvent::EnterMeeting().emit(-1, Str(command, L"RoomCode"), nullptr);
}

void CMeetingMgr::OnStatusReply(IXData* reply, IXData*)
{
    const Held held = Hold();
    if (!held)
        return;
    const int result = Result(reply);
    if (result != 0) {
        ServiceEvent::RoomStatusGet().emit(result, nullptr);
        return;
    }
    MeetingCenterApi::SetRoomName(Str(reply, L"RoomName"));
    MeetingCenterApi::SetHostID(I64(reply, L"HostID"));
    MeetingCenterApi::SetRoomMuted(Flag(reply, L"Muted"));
    MeetingCenterApi::SetRoomLocked(Flag(reply, L"Locked"));
    ApplyShareMode(reply);
    MeetingCenterApi::SetActivateTime(Str(reply, L"ActivateTime"));
    ApplyAudioVideoRole(reply);
    ServiceEvent::RoomStatusGet().emit(0, reply);
}

void CMeetingMgr::OnStatusTimeout(IXData*)
{
    const Held held = Hold();
    if (!held)
        return;
    ServiceEvent::RoomStatusGet().emit(-1, nullptr);
}
