#pragma once
// MeetingCenterApi: the client-wide state of the joined meeting room, shared
// by Service, the client and its windows. Internally locked.

#include <cstdint>

#include "pelbo/compat/StringW.h"
#include "pelbo/corekit/CorekitExport.h"

enum E_SHARE_MODE : int {
    SHARE_MODE_NONE = 0,
    SHARE_MODE_BOARD = 1,
    SHARE_MODE_SCREEN = 2,
};

struct T_TENCENT_LOGIN_INFO {
    CStringW strUserID;
    CStringW strUserSig;
    CStringW strSdkAppID;
    CStringW strAccountType;
    CStringW strRoomID;
};

struct T_AUDIOVIDEO_ROLE {
    int nCloseHostVideo = 0;
    int nCloseMemberVideo = 0;
    int nCloseMemberAudio = 0;
};

namespace MeetingCenterApi {

COREKIT_API void SetRoomCode(const wchar_t* code);
COREKIT_API CStringW GetRoomCode();
COREKIT_API void SetRoomName(const wchar_t* name);
COREKIT_API CStringW GetRoomName();
COREKIT_API void SetRoomURL(const wchar_t* url);
COREKIT_API CStringW GetRoomURL();
COREKIT_API void SetActivateTime(const wchar_t* time);
COREKIT_API CStringW GetActivateTime();
COREKIT_API void SetHostID(int64_t id);
COREKIT_API int64_t GetHostID();
COREKIT_API void SetOperatorID(int64_t id);
COREKIT_API int64_t GetOperatorID();
COREKIT_API void SetRoomMuted(int muted);
COREKIT_API int GetRoomMuted();
COREKIT_API void SetRoomLocked(int locked);
COREKIT_API int GetRoomLocked();
COREKIT_API void SetCanPreviewMater(int can);
COREKIT_API int GetCanPreviewMater();
COREKIT_API void SetChairmain(unsigned userId, int isChairman);
// Non-zero when the user was last set as chairman.
COREKIT_API int IsChairmain(unsigned userId);
COREKIT_API void SetShareMode(E_SHARE_MODE mode);
COREKIT_API E_SHARE_MODE GetShareMode();
COREKIT_API void SetAudioVideoRole(T_AUDIOVIDEO_ROLE role);
COREKIT_API T_AUDIOVIDEO_ROLE GetAudioVideoRole();
COREKIT_API void SetTencentLoginInfo(T_TENCENT_LOGIN_INFO info);
COREKIT_API T_TENCENT_LOGIN_INFO GetTencentLoginInfo();
// Forgets the room (all values back to empty / 0).
COREKIT_API void Clear();

}  // namespace MeetingCenterApi
