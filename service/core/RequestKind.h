#pragma once
// Request kinds: the number that HttpsServiceEvent carries to tell which REST
// operation a result belongs to. One number space for the whole library.

namespace RequestKind {

// Account (LoginApi).
constexpr unsigned kAccountLogin = 1;
constexpr unsigned kScodeLogin = 2;
constexpr unsigned kRegisterNow = 3;
constexpr unsigned kGetAccScode = 4;
constexpr unsigned kGetCorpList = 5;
constexpr unsigned kRefreshToken = 6;
constexpr unsigned kGuestLogin = 7;
constexpr unsigned kCorpCreate = 8;
constexpr unsigned kModifyUserProfile = 18;
constexpr unsigned kChangePhone = 19;
constexpr unsigned kModifyPassword = 21;
constexpr unsigned kWeChatUnBind = 24;
constexpr unsigned kWeChatBind = 25;

// Meetings (MeetingApi).
constexpr unsigned kCreateMeeting = 9;
constexpr unsigned kMeetingList = 10;
constexpr unsigned kMeetingInfo = 11;
constexpr unsigned kDeleteMeeting = 12;
constexpr unsigned kModifyMeeting = 13;
constexpr unsigned kHistoryList = 22;
constexpr unsigned kRecentList = 23;
constexpr unsigned kMeetingSummary = 26;

// Materials (MaterApi).
constexpr unsigned kMaterList = 14;
constexpr unsigned kMaterAdd = 15;
constexpr unsigned kMaterDel = 16;
constexpr unsigned kMaterDetail = 17;
constexpr unsigned kMaterEdit = 20;

}  // namespace RequestKind
