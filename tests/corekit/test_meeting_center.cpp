#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "pelbo/corekit/MeetingCenter.h"

namespace {

TEST(MeetingCenter, StoresEveryValueAndClearForgetsThem)
{
    MeetingCenterApi::SetRoomCode(L"123456");
    MeetingCenterApi::SetRoomName(L"\u5468\u4f1a");
    MeetingCenterApi::SetRoomURL(L"https://m.example.test/r/1");
    MeetingCenterApi::SetActivateTime(L"2024-05-06 07:08:09");
    MeetingCenterApi::SetHostID(INT64_C(9000000000));
    MeetingCenterApi::SetOperatorID(-2);
    MeetingCenterApi::SetRoomMuted(1);
    MeetingCenterApi::SetRoomLocked(1);
    MeetingCenterApi::SetCanPreviewMater(1);
    MeetingCenterApi::SetChairmain(42, 1);
    MeetingCenterApi::SetChairmain(43, 1);
    MeetingCenterApi::SetChairmain(43, 0);
    MeetingCenterApi::SetShareMode(SHARE_MODE_SCREEN);
    T_AUDIOVIDEO_ROLE role;
    role.nCloseHostVideo = 1;
    role.nCloseMemberAudio = 1;
    MeetingCenterApi::SetAudioVideoRole(role);
    T_TENCENT_LOGIN_INFO info;
    info.strUserID = L"u1";
    info.strUserSig = L"sig";
    info.strSdkAppID = L"1400";
    info.strAccountType = L"36862";
    info.strRoomID = L"777";
    MeetingCenterApi::SetTencentLoginInfo(info);

    EXPECT_EQ(MeetingCenterApi::GetRoomCode(), L"123456");
    EXPECT_EQ(MeetingCenterApi::GetRoomName(), L"\u5468\u4f1a");
    EXPECT_EQ(MeetingCenterApi::GetRoomURL(), L"https://m.example.test/r/1");
    EXPECT_EQ(MeetingCenterApi::GetActivateTime(), L"2024-05-06 07:08:09");
    EXPECT_EQ(MeetingCenterApi::GetHostID(), INT64_C(9000000000));
    EXPECT_EQ(MeetingCenterApi::GetOperatorID(), -2);
    EXPECT_EQ(MeetingCenterApi::GetRoomMuted(), 1);
    EXPECT_EQ(MeetingCenterApi::GetRoomLocked(), 1);
    EXPECT_EQ(MeetingCenterApi::GetCanPreviewMater(), 1);
    EXPECT_NE(MeetingCenterApi::IsChairmain(42), 0);
    EXPECT_EQ(MeetingCenterApi::IsChairmain(43), 0);
    EXPECT_EQ(MeetingCenterApi::IsChairmain(44), 0);
    EXPECT_EQ(MeetingCenterApi::GetShareMode(), SHARE_MODE_SCREEN);
    EXPECT_EQ(MeetingCenterApi::GetAudioVideoRole().nCloseHostVideo, 1);
    EXPECT_EQ(MeetingCenterApi::GetAudioVideoRole().nCloseMemberVideo, 0);
    EXPECT_EQ(MeetingCenterApi::GetAudioVideoRole().nCloseMemberAudio, 1);
    const T_TENCENT_LOGIN_INFO got = MeetingCenterApi::GetTencentLoginInfo();
    EXPECT_EQ(got.strUserID, L"u1");
    EXPECT_EQ(got.strUserSig, L"sig");
    EXPECT_EQ(got.strSdkAppID, L"1400");
    EXPECT_EQ(got.strAccountType, L"36862");
    EXPECT_EQ(got.strRoomID, L"777");

    MeetingCenterApi::SetRoomCode(nullptr);
    EXPECT_EQ(MeetingCenterApi::GetRoomCode(), L"");

    MeetingCenterApi::Clear();
    EXPECT_EQ(MeetingCenterApi::GetRoomName(), L"");
    EXPECT_EQ(MeetingCenterApi::GetHostID(), 0);
    EXPECT_EQ(MeetingCenterApi::GetRoomMuted(), 0);
    EXPECT_EQ(MeetingCenterApi::IsChairmain(42), 0);
    EXPECT_EQ(MeetingCenterApi::GetShareMode(), SHARE_MODE_NONE);
    EXPECT_EQ(MeetingCenterApi::GetAudioVideoRole().nCloseHostVideo, 0);
    EXPECT_EQ(MeetingCenterApi::GetTencentLoginInfo().strUserSig, L"");
}

// The room state is written by the session's threads and read by the
// client's: a reader sees either the old or the new text, never a torn one.
TEST(MeetingCenterThreaded, WritersAndReadersShareTheState)
{
    const wchar_t* names[] = {L"first room", L"a second room with a longer name"};
    std::atomic<int> odd{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 300; ++i) {
                if (t < 2) {
                    MeetingCenterApi::SetRoomName(names[(i + t) % 2]);
                    MeetingCenterApi::SetHostID(i);
                    MeetingCenterApi::SetChairmain(static_cast<unsigned>(i % 7), i % 2);
                } else {
                    const CStringW name = MeetingCenterApi::GetRoomName();
                    if (!name.IsEmpty() && name != names[0] && name != names[1])
                        odd.fetch_add(1);
                    MeetingCenterApi::GetHostID();
                    MeetingCenterApi::IsChairmain(static_cast<unsigned>(i % 7));
                    if (i % 100 == 0)
                        MeetingCenterApi::Clear();
                }
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(odd.load(), 0);
    MeetingCenterApi::Clear();
}

}  // namespace
