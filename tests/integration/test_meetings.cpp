// MeetingApi through libService against the local server over HTTPS: every
// operation end to end, paging, the time windows, tokens and refusals.

#include <functional>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "RestIntegration.h"

#include "pelbo/compat/TextConvert.h"
#include "pelbo/core/CoreApi.h"
#include "pelbo/core/RequestKind.h"
#include "pelbo/corekit/HttpSettings.h"
#include "pelbo/corekit/Path.h"
#include "devserver/RoomBook.h"
#include "devserver/Routes.h"
#include "devserver/State.h"
#include "pelbo/meetings/MeetingApi.h"
#include "meetings/RecordDump.h"
#include "pelbo/netcall/HttpsRequest.h"
#include "support/TempDir.h"
#include "support/TestServer.h"

namespace {

using Values = RecordDump::Values;

std::wstring Wide(const std::string& text) { return ToWide(text.c_str(), CP_UTF8); }

std::wstring Strip(const std::wstring& typed) { return typed.size() > 2 ? typed.substr(2) : std::wstring(); }

class MeetingsIntegration : public RestIntegration {
protected:

    static XDataPtr<IXData> Meeting(const wchar_t* name, const std::string& start, uint32_t type = 1)
    {
        XDataPtr<IXData> record;
        CreateIXData(record.Receive(), 0);
        record->SetIXDataU32(L"CorpID", 501);
        record->SetIXDataStr(L"MeetingName", name);
        record->SetIXDataStr(L"StartTime", Wide(start).c_str());
        record->SetIXDataU32(L"Duration", 30);
        record->SetIXDataBool(L"CloseMemberVideo", true);
        record->SetIXDataU32(L"Type", type);
        return record;
    }

    std::wstring CreateRoom(const wchar_t* name, const std::string& start)
    {
        const auto r = Call(RequestKind::kCreateMeeting, [&] { return MeetingApi::CreateMeeting(token.c_str(), Meeting(name, start).get()); });
        EXPECT_EQ(r.code, 0);
        return r.values.count(L"RoomCode") != 0 ? Strip(r.values.at(L"RoomCode")) : std::wstring();
    }

};


TEST_F(MeetingsIntegration, CreateInspectModifyAndDeleteARoom)
{
    const auto created = Call(RequestKind::kCreateMeeting,
                              [&] { return MeetingApi::CreateMeeting(token.c_str(), Meeting(L"Board \u00e9", "2031-05-01 10:00:00", 4).get()); });
    ASSERT_EQ(created.code, 0);
    const std::wstring code = Strip(created.values.at(L"RoomCode"));
    ASSERT_EQ(code.size(), 9u);
    EXPECT_EQ(created.values.at(L"ReqType"), L"u:4");
    EXPECT_EQ(created.values.at(L"CorpID"), L"u:501");
    EXPECT_EQ(created.values.at(L"RoomName"), L"s:Board \u00e9");
    EXPECT_EQ(created.values.at(L"CreatorID"), L"i:42");
    EXPECT_EQ(created.values.at(L"RoomURL"), L"s:" + Wide(server.BaseUrl()) + L"/room/" + code);

    const auto info = Call(RequestKind::kMeetingInfo, [&] { return MeetingApi::GetMeetingInfo(token.c_str(), code.c_str()); });
    EXPECT_EQ(info.code, 0);
    EXPECT_EQ(info.values.at(L"CloseMemVideo"), L"u:1");
    EXPECT_EQ(info.values.at(L"CloseMemAudio"), L"u:0");
    EXPECT_EQ(info.values.at(L"ReqType"), L"u:4");
    EXPECT_EQ(info.values.at(L"StartTime"), L"s:2031-05-01 10:00:00");

    XDataPtr<IXData> change = Meeting(L"Board, moved", "2031-05-02 11:00:00");
    change->SetIXDataStr(L"RoomCode", code.c_str());
    change->SetIXDataBool(L"CloseMemberAudio", true);
    const auto modified =
        Call(RequestKind::kModifyMeeting, [&] { return MeetingApi::ModifyMeeting(token.c_str(), code.c_str(), change.get()); });
    EXPECT_EQ(modified.code, 0);
    EXPECT_EQ(modified.values.at(L"RoomName"), L"s:Board, moved");
    EXPECT_EQ(modified.values.at(L"CloseMemAudio"), L"u:1");

    const auto summary = Call(RequestKind::kMeetingSummary, [&] { return MeetingApi::GetMeetingSummary(code.c_str()); });
    EXPECT_EQ(summary.code, 0);
    EXPECT_EQ(summary.values, (Values{{L"RoomCode", L"s:" + code},
                                      {L"RoomName", L"s:Board, moved"},
                                      {L"StartTime", L"s:2031-05-02 11:00:00"},
                                      {L"Duration", L"u:30"},
                                      {L"RoomURL", created.values.at(L"RoomURL")},
                                      {L"CreatorNick", L"s:user 42"}}));

    const auto deleted = Call(RequestKind::kDeleteMeeting, [&] { return MeetingApi::DeleteMeeting(token.c_str(), code.c_str()); });
    EXPECT_EQ(deleted.code, 0);
    EXPECT_EQ(deleted.values, (Values{{L"RoomCode", L"s:" + code}}));

    const auto gone = Call(RequestKind::kMeetingInfo, [&] { return MeetingApi::GetMeetingInfo(token.c_str(), code.c_str()); });
    EXPECT_EQ(gone.code, DevServer::ResultCode::RoomNotFound);
    const auto again = Call(RequestKind::kDeleteMeeting, [&] { return MeetingApi::DeleteMeeting(token.c_str(), code.c_str()); });
    EXPECT_EQ(again.code, DevServer::ResultCode::RoomNotFound) << "a refused delete is not reported as done";
}

TEST_F(MeetingsIntegration, ListPagesFromAStartTime)
{
    CreateRoom(L"a", "2032-01-01 09:00:00");
    CreateRoom(L"b", "2032-01-03 09:00:00");
    CreateRoom(L"c", "2032-01-02 09:00:00");
    const auto first =
        Call(RequestKind::kMeetingList, [&] { return MeetingApi::GetMeetingList(token.c_str(), 501, 1, 1, L"2032-01-02 00:00:00"); });
    EXPECT_EQ(first.code, 0);
    ASSERT_EQ(first.list.size(), 1u);
    EXPECT_EQ(first.list[0].at(L"RoomName"), L"s:c");
    EXPECT_EQ(MeetingApi::GetMeetingListCurPage(), 1u);
    EXPECT_EQ(MeetingApi::GetMeetingListTotalPage(), 2u);
    const auto second =
        Call(RequestKind::kMeetingList, [&] { return MeetingApi::GetMeetingList(token.c_str(), 501, 2, 1, L"2032-01-02 00:00:00"); });
    ASSERT_EQ(second.list.size(), 1u);
    EXPECT_EQ(second.list[0].at(L"RoomName"), L"s:b");
    EXPECT_EQ(second.list[0].at(L"CreatorID"), L"i:42");
    const auto other = Call(RequestKind::kMeetingList, [&] { return MeetingApi::GetMeetingList(token.c_str(), 502, 1, 10, L""); });
    EXPECT_TRUE(other.hasList);
    EXPECT_TRUE(other.list.empty()) << "another corporation's rooms stay apart";
}

TEST_F(MeetingsIntegration, HistoryAndArrangementCoverTheirDays)
{
    CreateRoom(L"past", DevServer::RoomBook::TimeText(-7200));
    CreateRoom(L"soon", DevServer::RoomBook::TimeText(7200));
    CreateRoom(L"far", DevServer::RoomBook::TimeText(10 * 86400));

    const auto history = Call(RequestKind::kHistoryList, [&] { return MeetingApi::GetHistoryList(token.c_str(), 501, 1, 1, 10); });
    EXPECT_EQ(history.code, 0);
    ASSERT_EQ(history.list.size(), 1u);
    EXPECT_EQ(history.list[0].at(L"RoomName"), L"s:past");
    EXPECT_EQ(MeetingApi::GetHistoryListCurPage(), 1u);
    EXPECT_EQ(MeetingApi::GetHistoryListTotalPage(), 1u);

    const auto recent = Call(RequestKind::kRecentList, [&] { return MeetingApi::GetRecentList(token.c_str(), 501, 2, 1, 10); });
    EXPECT_EQ(recent.code, 0);
    ASSERT_EQ(recent.list.size(), 2u);
    EXPECT_EQ(recent.list[0].at(L"IsExample"), L"b:1");
    EXPECT_EQ(recent.list[1].at(L"RoomName"), L"s:soon");
    EXPECT_EQ(recent.list[1].at(L"IsExample"), L"b:0");
    EXPECT_EQ(MeetingApi::GetMeetingListTotalPage(), 1u);

    // The example room is a room like any other for reading.
    const auto example = Call(RequestKind::kMeetingSummary,
                              [&] { return MeetingApi::GetMeetingSummary(Strip(recent.list[0].at(L"RoomCode")).c_str()); });
    EXPECT_EQ(example.code, 0);
}

TEST_F(MeetingsIntegration, RefusalsArriveAsTheServersCodes)
{
    const std::wstring code = CreateRoom(L"mine", "2033-01-01 09:00:00");
    const std::wstring stranger = Wide(server.State().IssueToken(43).token);

    const auto badToken = Call(RequestKind::kMeetingList, [&] { return MeetingApi::GetMeetingList(L"nope", 501, 1, 10, L""); });
    EXPECT_EQ(badToken.code, DevServer::ResultCode::TokenInvalid);
    const auto notMine = Call(RequestKind::kModifyMeeting,
                              [&] { return MeetingApi::ModifyMeeting(stranger.c_str(), code.c_str(), Meeting(L"x", "2033").get()); });
    EXPECT_EQ(notMine.code, DevServer::ResultCode::NotRoomCreator);
    const auto notMineDelete =
        Call(RequestKind::kDeleteMeeting, [&] { return MeetingApi::DeleteMeeting(stranger.c_str(), code.c_str()); });
    EXPECT_EQ(notMineDelete.code, DevServer::ResultCode::NotRoomCreator);
    // The server answers an unknown address with status 404 and its own
    // answer, code 404: that code is reported, not a failed exchange.
    const auto unknown = Call(RequestKind::kMeetingInfo, [&] { return MeetingApi::GetMeetingInfo(token.c_str(), L"000"); });
    EXPECT_EQ(unknown.code, 404);
    const auto unknownDelete = Call(RequestKind::kDeleteMeeting, [&] { return MeetingApi::DeleteMeeting(token.c_str(), L"000"); });
    EXPECT_EQ(unknownDelete.code, 404);
    // A 404 without the service's answer (a proxy's page) stays a failure.
    DevServer::Fault proxy;
    proxy.httpStatus = 404;
    ASSERT_TRUE(server.Server().SetFault("GET", "/v1/conference/room/" + ToMultiByte(code.c_str(), CP_UTF8), proxy));
    const auto hidden = Call(RequestKind::kMeetingInfo, [&] { return MeetingApi::GetMeetingInfo(token.c_str(), code.c_str()); });
    EXPECT_EQ(hidden.code, -1);
}

TEST_F(MeetingsIntegration, EmptyModifyAnswerCountsAsDoneAndGarbageInfoAsFailed)
{
    const std::wstring code = CreateRoom(L"r", "2033-02-01 09:00:00");
    const std::string path = "/v1/conference/room/" + ToMultiByte(code.c_str(), CP_UTF8);
    DevServer::Fault empty;
    empty.emptyBody = true;
    ASSERT_TRUE(server.Server().SetFault("PUT", path, empty));
    DevServer::Fault garbage;
    garbage.garbageBody = true;
    ASSERT_TRUE(server.Server().SetFault("GET", path, garbage));

    const auto modified = Call(RequestKind::kModifyMeeting,
                               [&] { return MeetingApi::ModifyMeeting(token.c_str(), code.c_str(), Meeting(L"r2", "2033").get()); });
    EXPECT_EQ(modified.code, 0);
    EXPECT_FALSE(modified.hasRecord);
    const auto info = Call(RequestKind::kMeetingInfo, [&] { return MeetingApi::GetMeetingInfo(token.c_str(), code.c_str()); });
    EXPECT_EQ(info.code, -1);
    EXPECT_FALSE(info.hasRecord);
}

}  // namespace
