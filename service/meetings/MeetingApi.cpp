#include "pelbo/meetings/MeetingApi.h"

#include "pelbo/core/ExportGuard.h"
#include "pelbo/meetings/MeetingMgr.h"

namespace MeetingApi {
namespace {

// Runs one operation on the family's manager (created on first use); the
// failure value when no manager could be made or anything went wrong.
template <typename R, typename F>
R WithManager(const wchar_t* function, R failure, F&& call)
{
    return Frame::GuardExport(function, failure, [&call, &failure] {
        const auto mgr = CMeetingMgr::Instance().Get();
        return mgr != nullptr ? call(*mgr) : failure;
    });
}

}  // namespace

int CreateMeeting(const wchar_t* token, IXData* meeting)
{
    return WithManager(L"MeetingApi::CreateMeeting", 0,
                       [&](CMeetingMgr& mgr) { return mgr.CreateMeeting(token, meeting); });
}

int GetMeetingList(const wchar_t* token, unsigned corpId, unsigned page, unsigned limit, const wchar_t* fromTime)
{
    return WithManager(L"MeetingApi::GetMeetingList", 0, [&](CMeetingMgr& mgr) {
        return mgr.GetMeetingList(token, corpId, page, limit, fromTime);
    });
}

int GetHistoryList(const wchar_t* token, unsigned corpId, unsigned days, unsigned page, unsigned limit)
{
    return WithManager(L"MeetingApi::GetHistoryList", 0,
                       [&](CMeetingMgr& mgr) { return mgr.GetHistoryList(token, corpId, days, page, limit); });
}

int GetRecentList(const wchar_t* token, unsigned corpId, unsigned days, unsigned page, unsigned limit)
{
    return WithManager(L"MeetingApi::GetRecentList", 0,
                       [&](CMeetingMgr& mgr) { return mgr.GetRecentList(token, corpId, days, page, limit); });
}

int GetMeetingInfo(const wchar_t* token, const wchar_t* roomCode)
{
    return WithManager(L"MeetingApi::GetMeetingInfo", 0,
                       [&](CMeetingMgr& mgr) { return mgr.GetMeetingInfo(token, roomCode); });
}

int GetMeetingSummary(const wchar_t* roomCode)
{
    return WithManager(L"MeetingApi::GetMeetingSummary", 0,
                       [&](CMeetingMgr& mgr) { return mgr.GetMeetingSummary(roomCode); });
}

int ModifyMeeting(const wchar_t* token, const wchar_t* roomCode, IXData* meeting)
{
    return WithManager(L"MeetingApi::ModifyMeeting", 0,
                       [&](CMeetingMgr& mgr) { return mgr.ModifyMeeting(token, roomCode, meeting); });
}

int DeleteMeeting(const wchar_t* token, const wchar_t* roomCode)
{
    return WithManager(L"MeetingApi::DeleteMeeting", 0,
                       [&](CMeetingMgr& mgr) { return mgr.DeleteMeeting(token, roomCode); });
}

int JoinMeeting(const wchar_t* name, const wchar_t* roomCode, const wchar_t* avatarUrl)
{
    return WithManager(L"MeetingApi::JoinMeeting", 0,
                       [&](CMeetingMgr& mgr) { return mgr.JoinMeeting(name, roomCode, avatarUrl); });
}

int RoomStatusGet()
{
    return WithManager(L"MeetingApi::RoomStatusGet", 0, [](CMeetingMgr& mgr) { return mgr.RoomStatusGet(); });
}

int GetMeetingConfig(const wchar_t*)
{
    return WithManager(L"MeetingApi::GetMeetingConfig", 0, [](CMeetingMgr&) { return 0; });
}

unsigned GetMeetingListCurPage()
{
    return WithManager(L"MeetingApi::GetMeetingListCurPage", 0u,
                       [](CMeetingMgr& mgr) { return mgr.ListCurPage(); });
}

unsigned GetMeetingListTotalPage()
{
    return WithManager(L"MeetingApi::GetMeetingListTotalPage", 0u,
                       [](CMeetingMgr& mgr) { return mgr.ListTotalPage(); });
}

unsigned GetHistoryListCurPage()
{
    return WithManager(L"MeetingApi::GetHistoryListCurPage", 0u,
                       [](CMeetingMgr& mgr) { return mgr.HistoryCurPage(); });
}

unsigned GetHistoryListTotalPage()
{
    return WithManager(L"MeetingApi::GetHistoryListTotalPage", 0u,
                       [](CMeetingMgr& mgr) { return mgr.HistoryTotalPage(); });
}

void DoExit()
{
    Frame::GuardExport(L"MeetingApi::DoExit", [] { CMeetingMgr::Instance().Exit(); });
}

}  // namespace MeetingApi
