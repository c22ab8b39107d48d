// What CMeetingMgr sends for each MeetingApi operation: address, method,
// option integer, headers, body or query, and the page state the requests
// themselves change.

#include <string>

#include <gtest/gtest.h>

#include "pelbo/core/JsonBridge.h"
#include "pelbo/corekit/HttpSettings.h"
#include "pelbo/corekit/XData.h"
#include "pelbo/meetings/MeetingApi.h"
#include "pelbo/meetings/MeetingMgr.h"
#include "service/FakeHttpsService.h"
#include "service/LogCapture.h"

namespace {

const wchar_t kBase[] = L"https://rest.example.test";

class MeetingRequestTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        LogCapture::UseTemporaryRoot();
        Http::SetHttpUrlHead(kBase);
    }
    void TearDown() override
    {
        MeetingApi::DoExit();
        Http::ResetSettings();
    }

    ST_HttpsReqInfo Only()
    {
        const auto sent = service.SentRequests();
        EXPECT_EQ(sent.size(), 1u);
        return sent.empty() ? ST_HttpsReqInfo() : sent.back().info;
    }

    static XDataPtr<IXData> Meeting()
    {
        XDataPtr<IXData> record;
        CreateIXData(record.Receive(), 0);
        record->SetIXDataU32(L"CorpID", 501);
        record->SetIXDataStr(L"MeetingName", L"Weekly \u00e9");
        record->SetIXDataStr(L"StartTime", L"2026-12-10 09:00:00");
        record->SetIXDataU32(L"Duration", 45);
        record->SetIXDataBool(L"CloseMemberVideo", true);
        record->SetIXDataBool(L"CloseMemberAudio", false);
        record->SetIXDataBool(L"CloseHostVideo", true);
        record->SetIXDataU32(L"Type", 2);
        record->SetIXDataStr(L"RoomCode", L"123456789");
        return record;
    }

    FakeHttpsService service;
};

TEST_F(MeetingRequestTest, CreatePostsTheMeetingWithTypeZeroAndTheClientsTypeAsPcType)
{
    LogCapture log;
    ASSERT_EQ(MeetingApi::CreateMeeting(L"tok", Meeting().get()), 1);
    const ST_HttpsReqInfo info = Only();
    EXPECT_EQ(info.strUrl, std::wstring(kBase) + L"/v1/conference/room");
    EXPECT_EQ(info.nMethod, 1);
    EXPECT_EQ(info.nOption1, 3);
    EXPECT_EQ(info.mapHeaders, (std::map<std::string, std::string>{{"token", "tok"}}));
    EXPECT_EQ(info.strContent, L"{\n"
                               L"   \"corp_id\" : 501,\n"
                               L"   \"duration\" : 45,\n"
                               L"   \"is_close_host_video\" : true,\n"
                               L"   \"is_close_member_audio\" : false,\n"
                               L"   \"is_close_member_video\" : true,\n"
                               L"   \"pc_type\" : 2,\n"
                               L"   \"start_time\" : \"2026-12-10 09:00:00\",\n"
                               L"   \"title\" : \"Weekly \\u00e9\",\n"
                               L"   \"type\" : 0\n"
                               L"}\n");
    EXPECT_EQ(log.Count("CreateMeeting:CreateMeetingKey=101,MeetingName=Weekly \xc3\xa9,Type=2"), 1u) << log.Text();
}

TEST_F(MeetingRequestTest, CreateWithoutARecordSendsZerosAndEmptyTexts)
{
    ASSERT_EQ(MeetingApi::CreateMeeting(nullptr, nullptr), 1);
    Json::Value body;
    ASSERT_TRUE(JsonParse(CStringW(Only().strContent), body));
    EXPECT_EQ(body["corp_id"].asUInt(), 0u);
    EXPECT_EQ(body["title"].asString(), "");
    EXPECT_EQ(body["is_close_host_video"].asBool(), false);
    EXPECT_EQ(Only().mapHeaders.at("token"), "");
}

TEST_F(MeetingRequestTest, ListEscapesEveryByteOfTheStartTimeAndRemembersThePage)
{
    ASSERT_EQ(MeetingApi::GetMeetingList(L"tok", 501, 3, 20, L"2020-01-01"), 1);
    const ST_HttpsReqInfo info = Only();
    EXPECT_EQ(info.strUrl, std::wstring(kBase) + L"/v1/conference/room");
    EXPECT_EQ(info.nMethod, 2);
    EXPECT_EQ(info.nOption1, 7);
    EXPECT_EQ(info.mapHeaders.at("token"), "tok");
    EXPECT_EQ(info.strContent, L"corp_id=501&page=3&limit=20&from_time=%32%30%32%30%2d%30%31%2d%30%31");
    EXPECT_EQ(MeetingApi::GetMeetingListCurPage(), 3u);
    EXPECT_EQ(MeetingApi::GetMeetingListTotalPage(), 0u);
}

TEST_F(MeetingRequestTest, StartTimeEscapingCoversSpacesAndNonAsciiText)
{
    EXPECT_EQ(CMeetingMgr::EscapeEveryByte(L"a b"), L"%61%20%62");
    EXPECT_EQ(CMeetingMgr::EscapeEveryByte(L"\u00e9&"), L"%c3%a9%26");
    EXPECT_EQ(CMeetingMgr::EscapeEveryByte(L""), L"");
    EXPECT_EQ(CMeetingMgr::EscapeEveryByte(nullptr), L"");
}

TEST_F(MeetingRequestTest, HistoryFirstPageForgetsTheTotalAndLaterPagesKeepIt)
{
    ASSERT_EQ(MeetingApi::GetHistoryList(L"tok", 7, 30, 1, 10), 1);
    const ST_HttpsReqInfo info = Only();
    EXPECT_EQ(info.strUrl, std::wstring(kBase) + L"/v1/conference/room/history");
    EXPECT_EQ(info.nMethod, 2);
    EXPECT_EQ(info.nOption1, 7);
    EXPECT_EQ(info.strContent, L"corp_id=7&days=30&page=1&limit=10");
    ASSERT_TRUE(service.Deliver(0, L"{\"code\":0,\"total_page\":4}", 1));
    EXPECT_EQ(MeetingApi::GetHistoryListTotalPage(), 4u);

    ASSERT_EQ(MeetingApi::GetHistoryList(L"tok", 7, 30, 2, 10), 1);
    EXPECT_EQ(MeetingApi::GetHistoryListCurPage(), 2u);
    EXPECT_EQ(MeetingApi::GetHistoryListTotalPage(), 4u) << "page 2 keeps the known total";

    ASSERT_EQ(MeetingApi::GetHistoryList(L"tok", 7, 30, 1, 10), 1);
    EXPECT_EQ(MeetingApi::GetHistoryListTotalPage(), 0u) << "until the first page's answer comes";
}

TEST_F(MeetingRequestTest, RecentListUsesTheHistoryQueryAndTouchesNoPageState)
{
    ASSERT_EQ(MeetingApi::GetRecentList(L"tok", 7, 3, 2, 5), 1);
    const ST_HttpsReqInfo info = Only();
    EXPECT_EQ(info.strUrl, std::wstring(kBase) + L"/v1/conference/room/arrangement");
    EXPECT_EQ(info.nMethod, 2);
    EXPECT_EQ(info.strContent, L"corp_id=7&days=3&page=2&limit=5");
    EXPECT_EQ(MeetingApi::GetMeetingListCurPage(), 0u);
    EXPECT_EQ(MeetingApi::GetHistoryListCurPage(), 0u);
}

TEST_F(MeetingRequestTest, InfoAndSummaryAreBodilessGetsAndOnlyInfoCarriesTheToken)
{
    ASSERT_EQ(MeetingApi::GetMeetingInfo(L"tok", L"123456789"), 1);
    ASSERT_EQ(MeetingApi::GetMeetingSummary(L"123456789"), 1);
    const auto sent = service.SentRequests();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].info.strUrl, std::wstring(kBase) + L"/v1/conference/room/123456789");
    EXPECT_EQ(sent[0].info.nMethod, 2);
    EXPECT_EQ(sent[0].info.nOption1, 7);
    EXPECT_EQ(sent[0].info.strContent, L"");
    EXPECT_EQ(sent[0].info.mapHeaders.at("token"), "tok");
    EXPECT_EQ(sent[1].info.strUrl, std::wstring(kBase) + L"/v1/conference/room/123456789/summary");
    EXPECT_EQ(sent[1].info.nMethod, 2);
    EXPECT_EQ(sent[1].info.nOption1, 7);
    EXPECT_EQ(sent[1].info.strContent, L"");
    EXPECT_TRUE(sent[1].info.mapHeaders.empty());
}

TEST_F(MeetingRequestTest, ModifyPutsTheRoomWithoutCorporationOrType)
{
    LogCapture log;
    ASSERT_EQ(MeetingApi::ModifyMeeting(L"tok", L"987654321", Meeting().get()), 1);
    const ST_HttpsReqInfo info = Only();
    EXPECT_EQ(info.strUrl, std::wstring(kBase) + L"/v1/conference/room/987654321");
    EXPECT_EQ(info.nMethod, 3);
    EXPECT_EQ(info.nOption1, 3);
    EXPECT_EQ(info.mapHeaders.at("token"), "tok");
    EXPECT_EQ(info.strContent, L"{\n"
                               L"   \"duration\" : 45,\n"
                               L"   \"is_close_host_video\" : true,\n"
                               L"   \"is_close_member_audio\" : false,\n"
                               L"   \"is_close_member_video\" : true,\n"
                               L"   \"room_code\" : \"123456789\",\n"
                               L"   \"start_time\" : \"2026-12-10 09:00:00\",\n"
                               L"   \"title\" : \"Weekly \\u00e9\"\n"
                               L"}\n");
    EXPECT_EQ(log.Count("ModifyMeeting:ModifyMeeting=101,RoomCode=987654321"), 1u) << log.Text();
}

TEST_F(MeetingRequestTest, DeleteSendsTheRoomCodeAsItsBody)
{
    ASSERT_EQ(MeetingApi::DeleteMeeting(L"tok", L"123456789"), 1);
    const ST_HttpsReqInfo info = Only();
    EXPECT_EQ(info.strUrl, std::wstring(kBase) + L"/v1/conference/room/123456789");
    EXPECT_EQ(info.nMethod, 4);
    EXPECT_EQ(info.nOption1, 7);
    EXPECT_EQ(info.mapHeaders.at("token"), "tok");
    EXPECT_EQ(info.strContent, L"{\n   \"room_code\" : \"123456789\"\n}\n");
}

TEST_F(MeetingRequestTest, RoomCodeCannotLeaveItsPathSegment)
{
    ASSERT_EQ(MeetingApi::GetMeetingInfo(L"tok", L"../account/x?y#z"), 1);
    EXPECT_EQ(Only().strUrl, std::wstring(kBase) + L"/v1/conference/room/..%2faccount%2fx%3fy%23z");
}

TEST_F(MeetingRequestTest, RefusedRequestReturnsZeroAndLeavesTheSlotEmpty)
{
    service.accept = false;
    EXPECT_EQ(MeetingApi::GetMeetingInfo(L"tok", L"1"), 0);
    EXPECT_EQ(CMeetingMgr::Instance().Peek()->SlotId(CMeetingMgr::SLOT_INFO), 0u);
}

TEST_F(MeetingRequestTest, ConfigAndPageAccessorsCreateTheManagerAndExitStartsOver)
{
    EXPECT_EQ(CMeetingMgr::Instance().Peek(), nullptr);
    EXPECT_EQ(MeetingApi::GetMeetingConfig(L"anything"), 0);
    EXPECT_NE(CMeetingMgr::Instance().Peek(), nullptr);
    EXPECT_TRUE(service.SentRequests().empty());

    ASSERT_EQ(MeetingApi::GetMeetingList(L"tok", 1, 5, 10, L"x"), 1);
    EXPECT_EQ(MeetingApi::GetMeetingListCurPage(), 5u);
    MeetingApi::DoExit();
    MeetingApi::DoExit();
    EXPECT_EQ(MeetingApi::GetMeetingListCurPage(), 0u);
    EXPECT_EQ(CMeetingMgr::Instance().Peek()->SlotId(CMeetingMgr::SLOT_LIST), 0u);
}

}  // namespace
