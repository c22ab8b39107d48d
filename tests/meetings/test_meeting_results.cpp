// How CMeetingMgr reports each kind of result: the records (keys and value
// types), each kind's rule for the code, odd and hostile answers, and the
// results it must drop.

#include <string>

#include <gtest/gtest.h>

#include "RecordDump.h"
#include "pelbo/core/RequestKind.h"
#include "pelbo/corekit/HttpSettings.h"
#include "pelbo/meetings/MeetingApi.h"
#include "pelbo/meetings/MeetingMgr.h"
#include "service/FakeHttpsService.h"
#include "service/LogCapture.h"

namespace {

using Values = RecordDump::Values;

const wchar_t kRoom[] =
    L"{\"code\":0,\"room_code\":\"123456789\",\"corp_id\":501,\"type\":3,\"title\":\"Weekly\","
    L"\"start_time\":\"2026-12-10 09:00:00\",\"duration\":45,\"is_close_host_video\":true,"
    L"\"is_close_member_video\":\"1\",\"is_close_member_audio\":0,\"creator_id\":4294967301,"
    L"\"room_url\":\"https://m.test/123456789\",\"creator_nick\":\"Ann\"}";

class MeetingResultTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        LogCapture::UseTemporaryRoot();
        Http::SetHttpUrlHead(L"https://rest.example.test");
    }
    void TearDown() override
    {
        MeetingApi::DoExit();
        Http::ResetSettings();
    }

    RecordDump::Result Single()
    {
        const auto results = events.Results();
        EXPECT_EQ(results.size(), 1u);
        return results.empty() ? RecordDump::Result() : results.front();
    }

    FakeHttpsService service;
    RecordDump events;
};

TEST_F(MeetingResultTest, CreateReportsTheRoomWithTheTypeThatWasSent)
{
    LogCapture log;
    XDataPtr<IXData> meeting;
    CreateIXData(meeting.Receive(), 0);
    meeting->SetIXDataU32(L"Type", 6);
    ASSERT_EQ(MeetingApi::CreateMeeting(L"tok", meeting.get()), 1);
    ASSERT_TRUE(service.Deliver(0, kRoom, 1));
    const auto r = Single();
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.kind, RequestKind::kCreateMeeting);
    EXPECT_EQ(r.values, (Values{{L"RoomCode", L"s:123456789"},
                                {L"CorpID", L"u:501"},
                                {L"ReqType", L"u:6"},
                                {L"RoomName", L"s:Weekly"},
                                {L"StartTime", L"s:2026-12-10 09:00:00"},
                                {L"Duration", L"u:45"},
                                {L"CreatorID", L"i:4294967301"},
                                {L"RoomURL", L"s:https://m.test/123456789"}}));
    EXPECT_EQ(log.Count("OnHttpsReqResult:CreateMeetingKey=101,Code=0"), 1u) << log.Text();
}

TEST_F(MeetingResultTest, CreateCodeRules)
{
    // Failed exchange with a readable body: -1, record kept.
    ASSERT_EQ(MeetingApi::CreateMeeting(L"tok", nullptr), 1);
    ASSERT_TRUE(service.Deliver(0, L"{\"code\":1002,\"room_code\":\"1\"}", 0));
    // Not JSON: -1 and no record.
    ASSERT_EQ(MeetingApi::CreateMeeting(L"tok", nullptr), 1);
    ASSERT_TRUE(service.Deliver(1, L"<html>", 1));
    // "code" missing: 0.
    ASSERT_EQ(MeetingApi::CreateMeeting(L"tok", nullptr), 1);
    ASSERT_TRUE(service.Deliver(2, L"{}", 1));
    const auto results = events.Results();
    ASSERT_EQ(results.size(), 3u);
    EXPECT_EQ(results[0].code, -1);
    EXPECT_TRUE(results[0].hasRecord);
    EXPECT_EQ(results[0].values.at(L"RoomCode"), L"s:1");
    EXPECT_EQ(results[1].code, -1);
    EXPECT_FALSE(results[1].hasRecord);
    EXPECT_EQ(results[2].code, 0);
    EXPECT_EQ(results[2].values.at(L"CreatorID"), L"i:0");
}

TEST_F(MeetingResultTest, CreateWhoseSentBodyIsNotJsonIsDropped)
{
    ASSERT_EQ(MeetingApi::CreateMeeting(L"tok", nullptr), 1);
    auto sent = service.SentRequests().at(0);
    int completed = 1;
    sent.sink->OnHttpsReqResult(sent.id, L"not json", kRoom, completed);
    EXPECT_TRUE(events.Results().empty());
}

TEST_F(MeetingResultTest, ListReportsEveryRoomAndItsTotalPages)
{
    LogCapture log;
    ASSERT_EQ(MeetingApi::GetMeetingList(L"tok", 501, 1, 10, L"2026"), 1);
    ASSERT_TRUE(service.Deliver(
        0,
        L"{\"code\":0,\"total_page\":\"7\",\"room_list\":[" + std::wstring(kRoom) +
            L",{\"room_code\":55,\"corp_id\":\"12\",\"type\":true,\"duration\":\"x\",\"creator_id\":\"-3\","
            L"\"is_example\":true},17]}",
        1));
    const auto r = Single();
    EXPECT_EQ(r.kind, RequestKind::kMeetingList);
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.values, (Values{{L"ElementList", L"list"}}));
    ASSERT_EQ(r.list.size(), 3u);
    EXPECT_EQ(r.list[0], (Values{{L"RoomCode", L"s:123456789"},
                                 {L"CorpID", L"u:501"},
                                 {L"ReqType", L"u:3"},
                                 {L"RoomName", L"s:Weekly"},
                                 {L"StartTime", L"s:2026-12-10 09:00:00"},
                                 {L"Duration", L"u:45"},
                                 {L"CreatorID", L"i:4294967301"},
                                 {L"RoomURL", L"s:https://m.test/123456789"}}));
    // Numbers as strings and booleans are read alike; no "IsExample" outside
    // the arrangement.
    EXPECT_EQ(r.list[1], (Values{{L"RoomCode", L"s:55"},
                                 {L"CorpID", L"u:12"},
                                 {L"ReqType", L"u:1"},
                                 {L"RoomName", L"s:"},
                                 {L"StartTime", L"s:"},
                                 {L"Duration", L"u:0"},
                                 {L"CreatorID", L"i:-3"},
                                 {L"RoomURL", L"s:"}}));
    EXPECT_EQ(r.list[2].at(L"RoomCode"), L"s:") << "an element that is no object reads as empty";
    EXPECT_EQ(MeetingApi::GetMeetingListTotalPage(), 7u);
    EXPECT_EQ(log.Count("MeetingList:{\"code\":0,\"total_page\""), 1u) << log.Text();
}

TEST_F(MeetingResultTest, RoomListMissingNullOrAnObjectGivesAnEmptyList)
{
    const wchar_t* answers[] = {L"{\"code\":0}", L"{\"code\":0,\"room_list\":null}",
                                L"{\"code\":0,\"room_list\":{\"room_code\":\"1\"}}", L"{\"room_list\":\"[]\"}"};
    for (size_t i = 0; i < 4; ++i) {
        ASSERT_EQ(MeetingApi::GetMeetingList(L"tok", 1, 1, 10, L"t"), 1);
        ASSERT_TRUE(service.Deliver(i, answers[i], 1));
    }
    const auto results = events.Results();
    ASSERT_EQ(results.size(), 4u);
    for (const auto& r : results) {
        EXPECT_EQ(r.code, 0);
        EXPECT_TRUE(r.hasList);
        EXPECT_TRUE(r.list.empty());
    }
}

TEST_F(MeetingResultTest, ListsIgnoreTheCompletionFlagAndDropAnswersThatAreNotJson)
{
    ASSERT_EQ(MeetingApi::GetHistoryList(L"tok", 1, 7, 1, 10), 1);
    ASSERT_TRUE(service.Deliver(0, L"{\"code\":500,\"total_page\":2}", 0));
    ASSERT_EQ(MeetingApi::GetRecentList(L"tok", 1, 7, 1, 10), 1);
    ASSERT_TRUE(service.Deliver(1, L"", 1));
    ASSERT_EQ(MeetingApi::GetMeetingList(L"tok", 1, 1, 10, L"t"), 1);
    ASSERT_TRUE(service.Deliver(2, L"garbage", 0));
    const auto r = Single();
    EXPECT_EQ(r.kind, RequestKind::kHistoryList);
    EXPECT_EQ(r.code, 500);
    EXPECT_EQ(MeetingApi::GetHistoryListTotalPage(), 2u);
}

TEST_F(MeetingResultTest, ArrangementMarksExamplesAndSetsTheMeetingListTotal)
{
    LogCapture log;
    ASSERT_EQ(MeetingApi::GetRecentList(L"tok", 1, 7, 1, 10), 1);
    ASSERT_TRUE(service.Deliver(
        0, L"{\"total_page\":3,\"room_list\":[{\"is_example\":true},{\"is_example\":\"0\"},{}]}", 1));
    const auto r = Single();
    EXPECT_EQ(r.kind, RequestKind::kRecentList);
    ASSERT_EQ(r.list.size(), 3u);
    EXPECT_EQ(r.list[0].at(L"IsExample"), L"b:1");
    EXPECT_EQ(r.list[1].at(L"IsExample"), L"b:0");
    EXPECT_EQ(r.list[2].at(L"IsExample"), L"b:0");
    EXPECT_EQ(MeetingApi::GetMeetingListTotalPage(), 3u);
    EXPECT_EQ(MeetingApi::GetHistoryListTotalPage(), 0u);
    EXPECT_EQ(log.Count("RecentListKey:{"), 1u);
}

TEST_F(MeetingResultTest, EmptyTotalPageLeavesTheKnownTotal)
{
    ASSERT_EQ(MeetingApi::GetMeetingList(L"tok", 1, 1, 10, L"t"), 1);
    ASSERT_TRUE(service.Deliver(0, L"{\"total_page\":5}", 1));
    ASSERT_EQ(MeetingApi::GetMeetingList(L"tok", 1, 2, 10, L"t"), 1);
    ASSERT_TRUE(service.Deliver(1, L"{\"total_page\":null}", 1));
    EXPECT_EQ(MeetingApi::GetMeetingListTotalPage(), 5u);
}

TEST_F(MeetingResultTest, OnlyTheLatestListIsAnswered)
{
    ASSERT_EQ(MeetingApi::GetMeetingList(L"tok", 1, 1, 10, L"t"), 1);
    ASSERT_EQ(MeetingApi::GetMeetingList(L"tok", 1, 2, 10, L"t"), 1);
    ASSERT_TRUE(service.Deliver(0, L"{\"code\":0,\"total_page\":9}", 1));
    ASSERT_TRUE(service.Deliver(1, L"{\"code\":0,\"total_page\":4}", 1));
    const auto r = Single();
    EXPECT_EQ(MeetingApi::GetMeetingListTotalPage(), 4u);
    EXPECT_EQ(r.code, 0);
}

TEST_F(MeetingResultTest, InfoAndModifyCarryTheAudioVideoSwitches)
{
    LogCapture log;
    ASSERT_EQ(MeetingApi::GetMeetingInfo(L"tok", L"123456789"), 1);
    ASSERT_EQ(MeetingApi::ModifyMeeting(L"tok", L"123456789", nullptr), 1);
    ASSERT_TRUE(service.Deliver(0, kRoom, 1));
    ASSERT_TRUE(service.Deliver(1, kRoom, 1));
    const auto results = events.Results();
    ASSERT_EQ(results.size(), 2u);
    const Values expected{{L"RoomCode", L"s:123456789"},
                          {L"CorpID", L"u:501"},
                          {L"ReqType", L"u:3"},
                          {L"RoomName", L"s:Weekly"},
                          {L"StartTime", L"s:2026-12-10 09:00:00"},
                          {L"Duration", L"u:45"},
                          {L"CloseHostVideo", L"u:1"},
                          {L"CloseMemVideo", L"u:1"},
                          {L"CloseMemAudio", L"u:0"},
                          {L"CreatorID", L"i:4294967301"},
                          {L"RoomURL", L"s:https://m.test/123456789"}};
    EXPECT_EQ(results[0].kind, RequestKind::kMeetingInfo);
    EXPECT_EQ(results[0].values, expected);
    EXPECT_EQ(results[1].kind, RequestKind::kModifyMeeting);
    EXPECT_EQ(results[1].values, expected);
    EXPECT_EQ(log.Count("OnHttpsReqResult:MeetingInfoKey=101,Code=0"), 1u);
    EXPECT_EQ(log.Count("ModifyMeeting:{\"code\":0"), 1u);
    EXPECT_EQ(log.Count("OnHttpsReqResult:ModifyMeeting=102,Code=0"), 1u);
}

TEST_F(MeetingResultTest, EmptyAnswerIsAModifysSuccessButAnInfosFailure)
{
    ASSERT_EQ(MeetingApi::ModifyMeeting(L"tok", L"1", nullptr), 1);
    ASSERT_EQ(MeetingApi::GetMeetingInfo(L"tok", L"1"), 1);
    ASSERT_EQ(MeetingApi::GetMeetingSummary(L"1"), 1);
    ASSERT_TRUE(service.Deliver(0, L"", 1));
    ASSERT_TRUE(service.Deliver(1, L"", 1));
    ASSERT_TRUE(service.Deliver(2, L"", 1));
    ASSERT_EQ(MeetingApi::ModifyMeeting(L"tok", L"1", nullptr), 1);
    ASSERT_TRUE(service.Deliver(3, L"", 0));
    const auto results = events.Results();
    ASSERT_EQ(results.size(), 4u);
    EXPECT_EQ(results[0].kind, RequestKind::kModifyMeeting);
    EXPECT_EQ(results[0].code, 0);
    EXPECT_FALSE(results[0].hasRecord);
    EXPECT_EQ(results[1].kind, RequestKind::kMeetingInfo);
    EXPECT_EQ(results[1].code, -1);
    EXPECT_FALSE(results[1].hasRecord);
    EXPECT_EQ(results[2].kind, RequestKind::kMeetingSummary);
    EXPECT_EQ(results[2].code, -1);
    EXPECT_EQ(results[3].code, -1) << "a failed modify exchange";
}

TEST_F(MeetingResultTest, SummaryHoldsOnlyWhatAnyoneMaySee)
{
    LogCapture log;
    ASSERT_EQ(MeetingApi::GetMeetingSummary(L"123456789"), 1);
    ASSERT_TRUE(service.Deliver(0, kRoom, 1));
    const auto r = Single();
    EXPECT_EQ(r.kind, RequestKind::kMeetingSummary);
    EXPECT_EQ(r.values, (Values{{L"RoomCode", L"s:123456789"},
                                {L"RoomName", L"s:Weekly"},
                                {L"StartTime", L"s:2026-12-10 09:00:00"},
                                {L"Duration", L"u:45"},
                                {L"RoomURL", L"s:https://m.test/123456789"},
                                {L"CreatorNick", L"s:Ann"}}));
    EXPECT_EQ(log.Count("OnHttpsReqResult:MeetingSummaryKey=101,Code=0"), 1u);
}

TEST_F(MeetingResultTest, DeleteCodeComesFromTheExchangeUnlessTheServiceRefuses)
{
    LogCapture log;
    const std::pair<const wchar_t*, int> cases[] = {
        {L"", 1}, {L"garbage", 1}, {L"{\"code\":0}", 1}, {L"{\"code\":0}", 0}, {L"{\"code\":1002}", 1}};
    for (size_t i = 0; i < 5; ++i) {
        ASSERT_EQ(MeetingApi::DeleteMeeting(L"tok", L"42"), 1);
        ASSERT_TRUE(service.Deliver(i, cases[i].first, cases[i].second));
    }
    const auto results = events.Results();
    ASSERT_EQ(results.size(), 5u);
    const int expected[] = {0, 0, 0, 1, 1002};
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(results[i].kind, RequestKind::kDeleteMeeting);
        EXPECT_EQ(results[i].code, expected[i]) << i;
        EXPECT_EQ(results[i].values, (Values{{L"RoomCode", L"s:42"}}));
    }
    EXPECT_EQ(log.Count("OnHttpsReqResult:DeleteMeeting=101,Code=0"), 1u);
    EXPECT_EQ(log.Count("OnHttpsReqResult:DeleteMeeting=105,Code=1002"), 1u);
}

TEST_F(MeetingResultTest, ResultsForUnknownOrZeroIdsAreDropped)
{
    ASSERT_EQ(MeetingApi::GetMeetingInfo(L"tok", L"1"), 1);
    ASSERT_TRUE(service.DeliverAs(0, 999, kRoom, 1));
    auto sent = service.SentRequests().at(0);
    unsigned zero = 0;
    int completed = 1;
    sent.sink->OnHttpsReqResult(zero, L"", kRoom, completed);
    EXPECT_TRUE(events.Results().empty());
}

TEST_F(MeetingResultTest, NoResultReachesAManagerAfterExit)
{
    ASSERT_EQ(MeetingApi::GetMeetingInfo(L"tok", L"1"), 1);
    MeetingApi::DoExit();
    EXPECT_FALSE(service.Deliver(0, kRoom, 1));
    EXPECT_TRUE(events.Results().empty());
}

}  // namespace
