// The shutdown matrix of the REST families (sign-in, meetings, materials)
// and the version check against the local server over HTTPS: each family's
// operations for a few rounds while a second thread and the receivers of
// HttpsServiceEvent (and of the material and version signals) end the
// family, or everything through Aux::Core::DoExit, at random points.

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "ShutdownMatrix.h"
#include "pelbo/account/LoginApi.h"
#include "pelbo/compat/TextConvert.h"
#include "pelbo/core/CoreApi.h"
#include "pelbo/core/RequestKind.h"
#include "pelbo/core/ServiceEvent.h"
#include "pelbo/corekit/HttpSettings.h"
#include "pelbo/corekit/XData.h"
#include "devserver/State.h"
#include "pelbo/meetings/MaterApi.h"
#include "pelbo/meetings/MeetingApi.h"
#include "pelbo/netcall/HttpsRequest.h"
#include "support/HangWatchdog.h"
#include "support/TestServer.h"
#include "pelbo/version/VersionApi.h"

namespace {

const char kSignIn[] = "sign-in";
const char kMeetings[] = "meetings";
const char kMaterials[] = "materials";
const char kVersion[] = "version";

constexpr int kRounds = 8;
// Out of a hundred: how often a receiver ends a family when it is told.
constexpr unsigned kReceiverStops = 15;

std::wstring W(const std::string& text) { return ToWide(text.c_str(), CP_UTF8); }
std::string N(const CStringW& text) { return ToMultiByte(text.GetString(), CP_UTF8); }

std::string Text(IXData* record, const wchar_t* key)
{
    CStringW value;
    if (record != nullptr && record->GetIXDataStr(key, value))
        return N(value);
    return std::string();
}

std::string Number(IXData* record, const wchar_t* key)
{
    uint32_t u32 = 0;
    int64_t i64 = 0;
    if (record == nullptr)
        return std::string();
    if (record->GetType(key) == XDATA_U32 && record->GetIXDataU32(key, u32))
        return std::to_string(u32);
    if (record->GetType(key) == XDATA_I64 && record->GetIXDataI64(key, i64))
        return std::to_string(i64);
    return std::string();
}

// Which family a request kind belongs to, and what tells its requests
// apart in the result record (nothing for a kind counted as a whole).
struct KindInfo {
    const char* family;
    std::string tag;
};

KindInfo Classify(unsigned kind, IXData* record)
{
    switch (kind) {
    case RequestKind::kAccountLogin:
    case RequestKind::kScodeLogin:
    case RequestKind::kRegisterNow:
        return {kSignIn, Text(record, L"Phone")};
    case RequestKind::kGuestLogin:
    case RequestKind::kModifyUserProfile:
        return {kSignIn, Text(record, L"UserName")};
    case RequestKind::kGetAccScode:
        return {kSignIn, Number(record, L"ReqType")};
    case RequestKind::kGetCorpList:
    case RequestKind::kRefreshToken:
    case RequestKind::kCorpCreate:
    case RequestKind::kChangePhone:
    case RequestKind::kModifyPassword:
    case RequestKind::kWeChatUnBind:
    case RequestKind::kWeChatBind:
        return {kSignIn, std::string()};
    case RequestKind::kCreateMeeting:
        return {kMeetings, Text(record, L"RoomName")};
    case RequestKind::kDeleteMeeting:
        return {kMeetings, Text(record, L"RoomCode")};
    case RequestKind::kMeetingList:
    case RequestKind::kHistoryList:
    case RequestKind::kRecentList:
    case RequestKind::kMeetingInfo:
    case RequestKind::kMeetingSummary:
    case RequestKind::kModifyMeeting:
        return {kMeetings, std::string()};
    case RequestKind::kMaterAdd:
        return {kMaterials, Text(record, L"FilePath")};
    case RequestKind::kMaterDel:
    case RequestKind::kMaterDetail:
    case RequestKind::kMaterEdit:
        return {kMaterials, Number(record, L"MaterID")};
    case RequestKind::kMaterList:
        return {kMaterials, std::string()};
    default:
        return {"unknown", std::to_string(kind)};
    }
}

class RestMatrix : public ::testing::TestWithParam<uint32_t> {
protected:
    static void TearDownTestSuite() { Util::HttpsRequest::Shutdown(); }

    void SetUp() override
    {
        ASSERT_TRUE(server.Started()) << server.Error();
        Http::SetCaBundle(W(server.CaFile()).c_str());
        Http::SetHttpUrlHead(W(server.BaseUrl()).c_str());
        Http::SetManifestUrl(W(server.Url("/upgrade/pelbo-version.json")).c_str());
        token = W(server.State().IssueToken(42).token);
    }

    void TearDown() override
    {
        Aux::Core::DoExit();
        Http::ResetSettings();
    }

    // Runs the family's rounds; the receivers are connected for the run and
    // let go after the final exit, from this thread, outside any callback.
    void Run(const char* family, const std::function<void(int)>& drive, const std::function<void()>& exit)
    {
        matrix = std::make_unique<ShutdownMatrix>(family, GetParam());
        exitFamily = exit;
        event::scoped_connection results(ServiceEvent::HttpsServiceEvent().connect(
            [this](int, unsigned kind, IXData* record) { OnResult(kind, record); }));
        event::scoped_connection counts(
            ServiceEvent::UpdateMaterCount().connect([this](unsigned) { MaybeStop(); }));
        event::scoped_connection added(ServiceEvent::AddMaterItem().connect([this](IXData*) { MaybeStop(); }));
        event::scoped_connection versions(ServiceEvent::UpdatePelboVersion().connect(
            [this](CStringW version, CStringW, CStringW) { OnVersion(version); }));
        matrix->RunRounds(kRounds, drive, [this](std::mt19937& random) { StopAtRandom(random()); });
        {
            const TestSupport::HangWatchdog watchdog(matrix->Where() + " final exit");
            StopAtRandom(0);
            StopAtRandom(1);
            results.disconnect();
            counts.disconnect();
            added.disconnect();
            versions.disconnect();
        }
        matrix->Check();
    }

    // choice picks the family's exit (most often) or Aux::Core::DoExit.
    void StopAtRandom(uint32_t choice)
    {
        if (choice % 5 == 1) {
            const ShutdownMatrix::Stop stop(*matrix, "Aux::Core::DoExit", ShutdownMatrix::Scope::Everything(), false);
            Aux::Core::DoExit();
            return;
        }
        const ShutdownMatrix::Stop stop(*matrix, "the family's exit", ShutdownMatrix::Scope::Everything(), false);
        exitFamily();
    }

    void MaybeStop()
    {
        if (matrix->Chance(kReceiverStops))
            StopAtRandom(matrix->Draw(1000));
    }

    void OnResult(unsigned kind, IXData* record)
    {
        const KindInfo info = Classify(kind, record);
        matrix->Report(info.family, std::to_string(kind), info.tag);
        MaybeStop();
    }

    void OnVersion(const CStringW& version)
    {
        matrix->Report(kVersion, "manifest", N(version));
        MaybeStop();
    }

    // Enters the request, makes it and withdraws it when refused.
    void Ask(const char* family, unsigned kind, const std::string& tag, const std::function<int()>& call)
    {
        const ShutdownMatrix::Id id = matrix->Issue(family, std::to_string(kind), tag);
        if (call() == 0)
            matrix->Withdraw(id);
        std::this_thread::sleep_for(std::chrono::milliseconds(matrix->Draw(4)));
    }

    // Text no other request of the run uses.
    std::string Fresh(const char* prefix) { return prefix + std::to_string(++serial); }

    TestSupport::TestServer server{TestSupport::TestServer::Https()};
    std::wstring token;
    std::unique_ptr<ShutdownMatrix> matrix;
    std::function<void()> exitFamily;
    unsigned serial = 0;
};

TEST_P(RestMatrix, SignIn)
{
    Run(
        kSignIn,
        [this](int) {
            const std::string phone = "1390" + std::to_string(1000000 + ++serial);
            Ask(kSignIn, RequestKind::kAccountLogin, phone,
                [&] { return LoginApi::AccountLogin(W(phone).c_str(), L"secret"); });
            const std::string scodePhone = "1391" + std::to_string(1000000 + ++serial);
            Ask(kSignIn, RequestKind::kScodeLogin, scodePhone,
                [&] { return LoginApi::ScodeLogin(W(scodePhone).c_str(), L"123456", L""); });
            const std::string guest = Fresh("guest-");
            Ask(kSignIn, RequestKind::kGuestLogin, guest,
                [&] { return LoginApi::GuestLogin(W("{" + guest + "}").c_str(), W(guest).c_str()); });
            const std::string nick = Fresh("nick-");
            Ask(kSignIn, RequestKind::kModifyUserProfile, nick,
                [&] { return LoginApi::ModifyUserProfile(token.c_str(), W(nick).c_str(), 0); });
            // The type is echoed from the request, so a number of its own
            // tells this request's result apart.
            const int type = static_cast<int>(1000 + ++serial);
            Ask(kSignIn, RequestKind::kGetAccScode, std::to_string(type),
                [&] { return LoginApi::GetAccScode(L"13900000000", type); });
            Ask(kSignIn, RequestKind::kGetCorpList, "", [&] { return LoginApi::GetCorpList(token.c_str()); });
            const std::wstring refreshed = W(server.State().IssueToken(43).token);
            Ask(kSignIn, RequestKind::kRefreshToken, "", [&] { return LoginApi::RefreshToken(refreshed.c_str()); });
            // One registration a round: the next one waits for its result,
            // and every round ends with all results heard.
            const std::string newcomer = "1392" + std::to_string(1000000 + ++serial);
            Ask(kSignIn, RequestKind::kRegisterNow, newcomer, [&] {
                return LoginApi::RegisterNow(W(newcomer).c_str(), L"secret", L"123456", L"Newcomer", L"", L"");
            });
            Ask(kSignIn, RequestKind::kCorpCreate, "",
                [&] { return LoginApi::CorpCreate(token.c_str(), W(Fresh("corp-")).c_str()); });
            Ask(kSignIn, RequestKind::kChangePhone, "",
                [&] { return LoginApi::ChangePhone(token.c_str(), L"13900000000", L"123456", L"", 1); });
            Ask(kSignIn, RequestKind::kModifyPassword, "", [&] {
                return LoginApi::ModifyPassword(token.c_str(), L"13900000000", L"123456", L"secret");
            });
            Ask(kSignIn, RequestKind::kWeChatBind, "",
                [&] { return LoginApi::WeChatBind(token.c_str(), L"wechat-access"); });
            Ask(kSignIn, RequestKind::kWeChatUnBind, "", [&] { return LoginApi::WeChatUnBind(token.c_str()); });
        },
        [] { LoginApi::DoExit(); });
}

TEST_P(RestMatrix, Meetings)
{
    Run(
        kMeetings,
        [this](int) {
            const std::string title = Fresh("room-");
            XDataPtr<IXData> meeting;
            ASSERT_NE(CreateIXData(meeting.Receive(), 0), 0);
            meeting->SetIXDataU32(L"CorpID", 501);
            meeting->SetIXDataStr(L"MeetingName", W(title).c_str());
            meeting->SetIXDataStr(L"StartTime", L"2031-05-01 10:00:00");
            meeting->SetIXDataU32(L"Duration", 30);
            Ask(kMeetings, RequestKind::kCreateMeeting, title,
                [&] { return MeetingApi::CreateMeeting(token.c_str(), meeting.get()); });
            const std::string gone = Fresh("9");
            Ask(kMeetings, RequestKind::kDeleteMeeting, gone,
                [&] { return MeetingApi::DeleteMeeting(token.c_str(), W(gone).c_str()); });
            Ask(kMeetings, RequestKind::kMeetingList, "", [&] {
                return MeetingApi::GetMeetingList(token.c_str(), 501, 1, 20, L"2020-01-01 00:00:00");
            });
            Ask(kMeetings, RequestKind::kHistoryList, "",
                [&] { return MeetingApi::GetHistoryList(token.c_str(), 501, 7, 1, 20); });
            Ask(kMeetings, RequestKind::kRecentList, "",
                [&] { return MeetingApi::GetRecentList(token.c_str(), 501, 7, 1, 20); });
            Ask(kMeetings, RequestKind::kMeetingInfo, "",
                [&] { return MeetingApi::GetMeetingInfo(token.c_str(), L"123456789"); });
            Ask(kMeetings, RequestKind::kMeetingSummary, "",
                [&] { return MeetingApi::GetMeetingSummary(L"123456789"); });
            Ask(kMeetings, RequestKind::kModifyMeeting, "",
                [&] { return MeetingApi::ModifyMeeting(token.c_str(), L"123456789", meeting.get()); });
        },
        [] { MeetingApi::DoExit(); });
}

// Every material request is answered, also several of one kind at once.
TEST_P(RestMatrix, Materials)
{
    Run(
        kMaterials,
        [this](int) {
            const int each = 1 + static_cast<int>(matrix->Draw(3));
            for (int i = 0; i < each; ++i) {
                const std::string path = Fresh("C:\\docs\\minutes-") + ".pdf";
                Ask(kMaterials, RequestKind::kMaterAdd, path,
                    [&] { return MaterApi::MaterAdd(501, token.c_str(), 7, W(path).c_str(), 0, L""); });
                const int64_t deleted = 900000 + ++serial;
                Ask(kMaterials, RequestKind::kMaterDel, std::to_string(deleted),
                    [&] { return MaterApi::MaterDel(deleted, token.c_str()); });
                const int64_t detailed = 900000 + ++serial;
                Ask(kMaterials, RequestKind::kMaterDetail, std::to_string(detailed),
                    [&] { return MaterApi::MaterDetail(detailed, token.c_str(), 0); });
                const int64_t renamed = 900000 + ++serial;
                Ask(kMaterials, RequestKind::kMaterEdit, std::to_string(renamed),
                    [&] { return MaterApi::MaterEdit(renamed, token.c_str(), L"renamed"); });
                Ask(kMaterials, RequestKind::kMaterList, "",
                    [&] { return MaterApi::GetMaterList(501, token.c_str(), 1, 20); });
            }
        },
        [] { MaterApi::DoExit(); });
}

// One check a round (a newer one supersedes the one still out); each
// round's manifest names a version of its own, which tells its
// announcement apart.
TEST_P(RestMatrix, VersionCheck)
{
    Run(
        kVersion,
        [this](int round) {
            const std::string version = "2." + std::to_string(GetParam() % 1000) + "." + std::to_string(round) + ".0";
            const std::string manifest = "{\"version\":\"" + version + "\",\"downloadUrl\":\"" +
                                         server.Url("/download/installer") +
                                         "\",\"md5\":\"0123456789abcdef0123456789abcdef\",\"size\":64,\"sha256\":\"" +
                                         std::string(64, 'a') + "\",\"expires\":\"2099-01-01T00:00:00Z\"}";
            server.State().downloads.Put("pelbo-version.json", manifest);
            matrix->Issue(kVersion, "manifest", version);
            if (matrix->Chance(50))
                Aux::Version::CheckVersion();
            else
                EXPECT_EQ(Aux::Version::StartPelboUpdate(), 0);
        },
        [] { Aux::Version::DoExit(); });
}

INSTANTIATE_TEST_SUITE_P(Shutdown, RestMatrix, ::testing::Values(101u, 202u, 303u),
                         [](const ::testing::TestParamInfo<uint32_t>& info) {
                             return "seed_" + std::to_string(info.param);
                         });

}  // namespace
