// The result handlers of the account, meeting and material families. The
// first byte picks the operation (and, in its top bit, an exchange that did
// not complete); the manager sends its real request, and the rest of the
// input arrives as the answer to it, with the request's own identifier.
// Every handler must report at most one result, of its own kind.

#include <cstddef>
#include <cstdint>
#include <functional>

#include "FuzzSupport.h"
#include "RecordWalk.h"
#include "pelbo/account/LoginMgr.h"
#include "pelbo/core/RequestKind.h"
#include "pelbo/core/ServiceEvent.h"
#include "pelbo/corekit/HttpSettings.h"
#include "pelbo/meetings/MaterMgr.h"
#include "pelbo/meetings/MeetingMgr.h"

namespace {

struct Operation {
    unsigned kind;
    std::function<int()> send;
};

CLoginMgr& Login() { return *CLoginMgr::Instance().Get(); }
CMeetingMgr& Meetings() { return *CMeetingMgr::Instance().Get(); }
CMaterMgr& Materials() { return *CMaterMgr::Instance().Get(); }

XDataPtr<IXData> MeetingRecord()
{
    XDataPtr<IXData> meeting;
    if (CreateIXData(meeting.Receive(), 0) == 0 || !meeting)
        Fuzz::Fail("no record");
    meeting->SetIXDataU32(L"CorpID", 501);
    meeting->SetIXDataStr(L"MeetingName", L"Weekly");
    meeting->SetIXDataStr(L"StartTime", L"2026-12-10 09:00:00");
    meeting->SetIXDataU32(L"Duration", 45);
    meeting->SetIXDataU32(L"Type", 3);
    meeting->SetIXDataStr(L"RoomCode", L"123456789");
    return meeting;
}

const std::vector<Operation>& Operations()
{
    namespace K = RequestKind;
    static const std::vector<Operation> operations = {
        {K::kAccountLogin, [] { return Login().AccountLogin(L"13800000001", L"pw"); }},
        {K::kScodeLogin, [] { return Login().ScodeLogin(L"13800000002", L"123456", nullptr); }},
        {K::kGetAccScode, [] { return Login().GetAccScode(L"13800000003", 1); }},
        {K::kRegisterNow,
         [] { return Login().RegisterNow(L"13800000004", L"pw", L"123456", L"Ann", L"Acme", nullptr); }},
        {K::kGetCorpList, [] { return Login().GetCorpList(L"tok"); }},
        {K::kRefreshToken, [] { return Login().RefreshToken(L"tok"); }},
        {K::kGuestLogin, [] { return Login().GuestLogin(L"5f0c2d1e-guest", L"Guest"); }},
        {K::kCorpCreate, [] { return Login().CorpCreate(L"tok", L"Acme"); }},
        {K::kModifyUserProfile, [] { return Login().ModifyUserProfile(L"tok", L"Ann", 42); }},
        {K::kChangePhone, [] { return Login().ChangePhone(L"tok", L"13800000005", L"123456", L"sec", 2); }},
        {K::kModifyPassword, [] { return Login().ModifyPassword(L"tok", L"13800000006", L"123456", L"pw2"); }},
        {K::kWeChatUnBind, [] { return Login().WeChatUnBind(L"tok"); }},
        {K::kWeChatBind, [] { return Login().WeChatBind(L"tok", L"wx-access"); }},
        {K::kCreateMeeting, [] { return Meetings().CreateMeeting(L"tok", MeetingRecord().get()); }},
        {K::kMeetingList, [] { return Meetings().GetMeetingList(L"tok", 501, 1, 20, L"2026-12-10 00:00:00"); }},
        {K::kHistoryList, [] { return Meetings().GetHistoryList(L"tok", 501, 30, 1, 20); }},
        {K::kRecentList, [] { return Meetings().GetRecentList(L"tok", 501, 7, 1, 20); }},
        {K::kMeetingInfo, [] { return Meetings().GetMeetingInfo(L"tok", L"123456789"); }},
        {K::kMeetingSummary, [] { return Meetings().GetMeetingSummary(L"123456789"); }},
        {K::kModifyMeeting, [] { return Meetings().ModifyMeeting(L"tok", L"123456789", MeetingRecord().get()); }},
        {K::kDeleteMeeting, [] { return Meetings().DeleteMeeting(L"tok", L"123456789"); }},
        {K::kMaterList, [] { return Materials().GetMaterList(501, L"tok", 1, 20); }},
        {K::kMaterAdd, [] { return Materials().MaterAdd(501, L"tok", 9, L"C:\\Docs\\Plan.pdf", 1, L"123456789"); }},
        {K::kMaterDel, [] { return Materials().MaterDel(77, L"tok"); }},
        {K::kMaterDetail, [] { return Materials().MaterDetail(77, L"tok", 1); }},
        {K::kMaterEdit, [] { return Materials().MaterEdit(77, L"tok", L"Plan v2"); }},
    };
    return operations;
}

struct Heard {
    unsigned count = 0;
    unsigned kind = 0;
};

Heard& Results()
{
    static Heard heard;
    return heard;
}

Fuzz::HttpsService& Service()
{
    static Fuzz::HttpsService service;
    return service;
}

void SetUp()
{
    static bool done = false;
    if (done)
        return;
    done = true;
    Fuzz::PrivateRoot();
    Http::SetHttpUrlHead(L"https://rest.example.test");
    Service();
    // Kept for the life of the program: the receiver stays connected.
    [[maybe_unused]] static event::connection heard =
        ServiceEvent::HttpsServiceEvent().connect([](int, unsigned kind, IXData* record) {
            ++Results().count;
            Results().kind = kind;
            Fuzz::WalkRecord(record);
        });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    SetUp();
    const Operation& operation = Operations()[(data[0] & 0x7F) % Operations().size()];
    const int completed = (data[0] & 0x80) != 0 ? 0 : 1;
    const unsigned before = Service().SentCount();
    operation.send();
    // Every operation's earlier request has had its answer, so each one
    // sends again.
    Fuzz::Check(Service().SentCount() == before + 1, "the operation sent its request");
    Results() = Heard();
    Fuzz::Check(Service().Deliver(Fuzz::Text(data + 1, size - 1), completed), "the answer reached the manager");
    Fuzz::Check(Results().count <= 1, "one answer, at most one result");
    Fuzz::Check(Results().count == 0 || Results().kind == operation.kind, "the result is of the request's kind");
    return 0;
}
