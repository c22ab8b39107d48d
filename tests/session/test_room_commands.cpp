// The room commands of CMeetingMgr: replies copied into the meeting state,
// share mode, the reported records, failures and time-outs, and the send
// path through the websocket library.

#include <gtest/gtest.h>

#include "SessionRecorder.h"
#include "pelbo/account/UserCache.h"
#include "pelbo/corekit/MeetingCenter.h"
#include "pelbo/meetings/MeetingApi.h"
#include "pelbo/meetings/MeetingMgr.h"
#include "service/LogCapture.h"
#include "pelbo/wirelink/CSCenter.h"

namespace {

constexpr unsigned kUser = 808;

XDataPtr<IXData> Record()
{
    XDataPtr<IXData> r;
    CreateIXData(r.Receive(), 0);
    return r;
}

XDataPtr<IXData> JoinCommand(const wchar_t* name, const wchar_t* code)
{
    XDataPtr<IXData> c = Record();
    c->SetIXDataStr(L"CMDNO", L"room.join");
    c->SetIXDataStr(L"Name", name);
    c->SetIXDataStr(L"RoomCode", code);
    c->SetIXDataStr(L"AvatarUrl", L"https://a.test/ann.png");
    return c;
}

XDataPtr<IXData> FullJoinReply()
{
    XDataPtr<IXData> r = Record();
    r->SetIXDataI32(L"Result", 0);
    r->SetIXDataStr(L"RoomName", L"Weekly");
    r->SetIXDataStr(L"RoomURL", L"https://m.test/r/123");
    r->SetIXDataI64(L"HostID", 5000000000LL);
    r->SetIXDataBool(L"Muted", true);
    r->SetIXDataBool(L"Locked", false);
    r->SetIXDataBool(L"BoardStarted", true);
    r->SetIXDataBool(L"ScreenStarted", true);
    r->SetIXDataI64(L"BoardOperatorID", 11);
    r->SetIXDataI64(L"ScreenOperatorID", 22);
    r->SetIXDataStr(L"UserID", L"808");
    r->SetIXDataStr(L"UserSig", L"sig");
    r->SetIXDataStr(L"SdkAppID", L"1400");
    r->SetIXDataStr(L"AccountType", L"36862");
    r->SetIXDataStr(L"RoomID", L"123");
    r->SetIXDataStr(L"ActivateTime", L"2026-12-09 10:00:00");
    r->SetIXDataBool(L"CloseHostVideo", true);
    r->SetIXDataBool(L"CloseMemberVideo", false);
    r->SetIXDataBool(L"CloseMemberAudio", true);
    r->SetIXDataBool(L"IsChairman", true);
    r->SetIXDataBool(L"OpenBoardPreview", true);
    return r;
}

class RoomCommandTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        LogCapture::UseTemporaryRoot();
        Aux::UserCache::SetUserID(kUser, 0);
        MeetingCenterApi::Clear();
    }
    void TearDown() override
    {
        Aux::UserCache::DoExit();
        MeetingCenterApi::Clear();
    }

    CMeetingMgr mgr;
    SessionRecorder events;
};

TEST_F(RoomCommandTest, JoinReplyFillsTheMeetingStateAndReportsTheReply)
{
    XDataPtr<IXData> command = JoinCommand(L"Ann", L"123");
    XDataPtr<IXData> reply = FullJoinReply();
    mgr.JoinSink().OnRecvReply(reply.get(), command.get());

    const auto entered = events.Entered();
    ASSERT_EQ(entered.size(), 1u);
    EXPECT_EQ(entered[0].code, 0);
    EXPECT_EQ(entered[0].roomCode, L"123");
    EXPECT_TRUE(entered[0].hasRecord);
    EXPECT_EQ(entered[0].joinUserName, L"Ann");
    EXPECT_EQ(entered[0].roomName, L"Weekly");

    EXPECT_EQ(MeetingCenterApi::GetRoomCode(), L"123");
    EXPECT_EQ(MeetingCenterApi::GetRoomName(), L"Weekly");
    EXPECT_EQ(MeetingCenterApi::GetRoomURL(), L"https://m.test/r/123");
    EXPECT_EQ(MeetingCenterApi::GetHostID(), 5000000000LL);
    EXPECT_EQ(MeetingCenterApi::GetRoomMuted(), 1);
    EXPECT_EQ(MeetingCenterApi::GetRoomLocked(), 0);
    EXPECT_EQ(MeetingCenterApi::GetShareMode(), SHARE_MODE_BOARD) << "the board wins over the screen";
    EXPECT_EQ(MeetingCenterApi::GetOperatorID(), 11);
    const T_TENCENT_LOGIN_INFO login = MeetingCenterApi::GetTencentLoginInfo();
    EXPECT_EQ(login.strUserID, L"808");
    EXPECT_EQ(login.strUserSig, L"sig");
    EXPECT_EQ(login.strSdkAppID, L"1400");
    EXPECT_EQ(login.strAccountType, L"36862");
    EXPECT_EQ(login.strRoomID, L"123");
    EXPECT_EQ(MeetingCenterApi::GetActivateTime(), L"2026-12-09 10:00:00");
    const T_AUDIOVIDEO_ROLE role = MeetingCenterApi::GetAudioVideoRole();
    EXPECT_EQ(role.nCloseHostVideo, 1);
    EXPECT_EQ(role.nCloseMemberVideo, 0);
    EXPECT_EQ(role.nCloseMemberAudio, 1);
    EXPECT_EQ(MeetingCenterApi::IsChairmain(kUser), 1);
    EXPECT_EQ(MeetingCenterApi::GetCanPreviewMater(), 1);

    CStringW joinUserName;
    EXPECT_TRUE(reply->GetIXDataStr(L"JoinUserName", joinUserName));
    EXPECT_EQ(joinUserName, L"Ann");
}

TEST_F(RoomCommandTest, ShareModeFollowsBoardThenScreen)
{
    XDataPtr<IXData> command = JoinCommand(L"Ann", L"123");
    XDataPtr<IXData> reply = FullJoinReply();
    reply->SetIXDataBool(L"BoardStarted", false);
    mgr.JoinSink().OnRecvReply(reply.get(), command.get());
    EXPECT_EQ(MeetingCenterApi::GetShareMode(), SHARE_MODE_SCREEN);
    EXPECT_EQ(MeetingCenterApi::GetOperatorID(), 22);

    reply->SetIXDataBool(L"ScreenStarted", false);
    mgr.StatusSink().OnRecvReply(reply.get(), command.get());
    EXPECT_EQ(MeetingCenterApi::GetShareMode(), SHARE_MODE_NONE);
    EXPECT_EQ(MeetingCenterApi::GetOperatorID(), 0);
}

TEST_F(RoomCommandTest, FailedJoinsLeaveTheStateAlone)
{
    XDataPtr<IXData> command = JoinCommand(L"Ann", L"777");
    XDataPtr<IXData> noResult = FullJoinReply();
    noResult->RemoveKey(L"Result");
    mgr.JoinSink().OnRecvReply(noResult.get(), command.get());
    XDataPtr<IXData> refused = FullJoinReply();
    refused->SetIXDataI32(L"Result", 1102);
    mgr.JoinSink().OnRecvReply(refused.get(), command.get());
    mgr.JoinSink().OnTimeout(command.get());

    const auto entered = events.Entered();
    ASSERT_EQ(entered.size(), 3u);
    EXPECT_EQ(entered[0].code, -1);
    EXPECT_EQ(entered[1].code, 1102);
    EXPECT_EQ(entered[2].code, -1);
    for (const auto& e : entered) {
        EXPECT_EQ(e.roomCode, L"777");
        EXPECT_FALSE(e.hasRecord);
    }
    EXPECT_EQ(MeetingCenterApi::GetRoomCode(), L"");
    EXPECT_EQ(MeetingCenterApi::GetRoomName(), L"");
    EXPECT_FALSE(noResult->HasKey(L"JoinUserName"));
}

TEST_F(RoomCommandTest, StatusReplyRefreshesOnlyTheRoomState)
{
    XDataPtr<IXData> join = JoinCommand(L"Ann", L"123");
    XDataPtr<IXData> joined = FullJoinReply();
    mgr.JoinSink().OnRecvReply(joined.get(), join.get());

    XDataPtr<IXData> status = Record();
    status->SetIXDataStr(L"CMDNO", L"room.status.get");
    XDataPtr<IXData> reply = Record();
    reply->SetIXDataI32(L"Result", 0);
    reply->SetIXDataStr(L"RoomName", L"Renamed");
    reply->SetIXDataStr(L"RoomURL", L"https://elsewhere.test");
    reply->SetIXDataStr(L"UserSig", L"other");
    reply->SetIXDataBool(L"IsChairman", false);
    reply->SetIXDataBool(L"OpenBoardPreview", false);
    reply->SetIXDataBool(L"Locked", true);
    reply->SetIXDataBool(L"ScreenStarted", true);
    reply->SetIXDataI64(L"ScreenOperatorID", 33);
    mgr.StatusSink().OnRecvReply(reply.get(), status.get());

    const auto statuses = events.Statuses();
    ASSERT_EQ(statuses.size(), 1u);
    EXPECT_EQ(statuses[0].code, 0);
    EXPECT_EQ(statuses[0].roomName, L"Renamed");
    EXPECT_EQ(MeetingCenterApi::GetRoomName(), L"Renamed");
    EXPECT_EQ(MeetingCenterApi::GetRoomLocked(), 1);
    EXPECT_EQ(MeetingCenterApi::GetRoomMuted(), 0);
    EXPECT_EQ(MeetingCenterApi::GetHostID(), 0) << "a missing HostID reads 0";
    EXPECT_EQ(MeetingCenterApi::GetShareMode(), SHARE_MODE_SCREEN);
    EXPECT_EQ(MeetingCenterApi::GetOperatorID(), 33);
    EXPECT_EQ(MeetingCenterApi::GetActivateTime(), L"");
    // Untouched by a status reply:
    EXPECT_EQ(MeetingCenterApi::GetRoomCode(), L"123");
    EXPECT_EQ(MeetingCenterApi::GetRoomURL(), L"https://m.test/r/123");
    EXPECT_EQ(MeetingCenterApi::GetTencentLoginInfo().strUserSig, L"sig");
    EXPECT_EQ(MeetingCenterApi::IsChairmain(kUser), 1);
    EXPECT_EQ(MeetingCenterApi::GetCanPreviewMater(), 1);

    reply->SetIXDataI32(L"Result", 1102);
    mgr.StatusSink().OnRecvReply(reply.get(), status.get());
    mgr.StatusSink().OnTimeout(status.get());
    const auto after = events.Statuses();
    ASSERT_EQ(after.size(), 3u);
    EXPECT_EQ(after[1].code, 1102);
    EXPECT_FALSE(after[1].hasRecord);
    EXPECT_EQ(after[2].code, -1);
    EXPECT_FALSE(after[2].hasRecord);
    EXPECT_EQ(MeetingCenterApi::GetRoomName(), L"Renamed");
}

// With the websocket library set up but not connected, a command is
// accepted and times out at once: the time-out reaches EnterMeeting.
TEST_F(RoomCommandTest, JoinGoesThroughTheTransport)
{
    ASSERT_EQ(Aux::CSCenter::LWS_Init(1, nullptr, kUser, L"guid", L""), 1);
    EXPECT_EQ(MeetingApi::JoinMeeting(L"Ann", L"", L""), 0);
    EXPECT_EQ(MeetingApi::JoinMeeting(L"Ann", nullptr, L""), 0);
    EXPECT_EQ(MeetingApi::JoinMeeting(L"Ann", L"456", L""), 1);
    ASSERT_TRUE(events.WaitUntil([](SessionRecorder& r) { return r.entered.size() >= 1; }));
    EXPECT_EQ(MeetingApi::RoomStatusGet(), 1);
    ASSERT_TRUE(events.WaitUntil([](SessionRecorder& r) { return r.statuses.size() >= 1; }));
    MeetingApi::DoExit();
    Aux::CSCenter::DoExit();
    const auto entered = events.Entered();
    ASSERT_EQ(entered.size(), 1u);
    EXPECT_EQ(entered[0].code, -1);
    EXPECT_EQ(entered[0].roomCode, L"456");
    EXPECT_EQ(events.Statuses()[0].code, -1);
}

}  // namespace
