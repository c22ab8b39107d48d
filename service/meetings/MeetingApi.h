#pragma once
// MeetingApi: meeting rooms on the REST service. Each request function sends
// one request and returns non-zero when the HTTPS service accepted it; the
// outcome arrives later through ServiceEvent::HttpsServiceEvent with the
// operation's request kind (core/RequestKind.h). Only the latest request of
// each operation is answered: a newer one supersedes an older one still out.
// Text arguments are zero-terminated wide text; a null pointer counts as
// empty text. The result records are described in docs/api-meetings.md.

#include "pelbo/core/ServiceExport.h"

struct IXData;

namespace MeetingApi {

// Reads "CorpID", "MeetingName", "StartTime", "Duration", "CloseMemberVideo",
// "CloseMemberAudio", "CloseHostVideo" and "Type" from the caller's record
// (missing keys count as 0 or empty; a null record as all missing). Kind 9.
SERVICE_API int CreateMeeting(const wchar_t* token, IXData* meeting);

// The corporation's rooms from a start time on, one page. Kind 10; remembers
// the page (GetMeetingListCurPage) and the answer's total pages.
SERVICE_API int GetMeetingList(const wchar_t* token, unsigned corpId, unsigned page, unsigned limit,
                               const wchar_t* fromTime);

// Rooms of the last `days` days. Kind 22; page 1 resets the known total.
SERVICE_API int GetHistoryList(const wchar_t* token, unsigned corpId, unsigned days, unsigned page,
                               unsigned limit);

// Rooms arranged for the coming `days` days, examples included. Kind 23;
// its total pages become the meeting list's.
SERVICE_API int GetRecentList(const wchar_t* token, unsigned corpId, unsigned days, unsigned page,
                              unsigned limit);

// Kind 11.
SERVICE_API int GetMeetingInfo(const wchar_t* token, const wchar_t* roomCode);

// What anyone with the room code may see; sent without a token. Kind 26.
SERVICE_API int GetMeetingSummary(const wchar_t* roomCode);

// Reads "MeetingName", "StartTime", "Duration", "CloseMemberVideo",
// "CloseMemberAudio", "CloseHostVideo" and "RoomCode" from the record. Kind 13.
SERVICE_API int ModifyMeeting(const wchar_t* token, const wchar_t* roomCode, IXData* meeting);

// Kind 12, record with "RoomCode" as sent.
SERVICE_API int DeleteMeeting(const wchar_t* token, const wchar_t* roomCode);

// Enters a room over the websocket session ("room.join"). 0 when the room
// code is empty or nothing could be sent; otherwise the command sink's Send
// result. The answer arrives as ServiceEvent::EnterMeeting(code, room code,
// reply or null): code 0 with the reply (which also carries "JoinUserName",
// the name sent), the server's "Result" (-1 when missing) or -1 on time-out.
// On success the room's state is stored in MeetingCenterApi.
SERVICE_API int JoinMeeting(const wchar_t* name, const wchar_t* roomCode, const wchar_t* avatarUrl);

// Refreshes the joined room's state ("room.status.get"); the answer arrives
// as ServiceEvent::RoomStatusGet(code, reply or null).
SERVICE_API int RoomStatusGet();

// Kept for the client's sake; does nothing and returns 0.
SERVICE_API int GetMeetingConfig(const wchar_t* text);

SERVICE_API unsigned GetMeetingListCurPage();
SERVICE_API unsigned GetMeetingListTotalPage();
SERVICE_API unsigned GetHistoryListCurPage();
SERVICE_API unsigned GetHistoryListTotalPage();

// Destroys the family's manager; the next call creates a fresh one with all
// pages at 0. Outstanding requests are not cancelled, their results dropped.
SERVICE_API void DoExit();

}  // namespace MeetingApi
