// How CLoginMgr reports each kind of result: the record it builds (keys and
// value types), what it echoes from the body it sent, what it drops, and the
// guest sign-in's log line, which must never carry the token.

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "FakeHttpsService.h"
#include "LogCapture.h"
#include "TypedEventRecorder.h"
#include "pelbo/account/LoginApi.h"
#include "pelbo/account/LoginMgr.h"
#include "pelbo/core/RequestKind.h"
#include "pelbo/corekit/HttpSettings.h"

namespace {

using Values = TypedEventRecorder::Values;

const wchar_t kFullUser[] =
    L"{\"code\": 0, \"user_id\": 4242, \"name\": \"Ann\", \"token\": \"tok-0123456789abcdef\","
    L" \"corp_id\": \"77\", \"corp_name\": \"Acme\", \"avatar\": \"https://img.test/a.png\","
    L" \"phone\": \"19999999999\", \"wechat_nick\": \"annw\", \"wechat_union_id\": \"wxu-1\", \"expire\": 7200}";

Values FullUserValues()
{
    return {{L"UserID", L"u:4242"},          {L"UserName", L"s:Ann"},    {L"Token", L"s:tok-0123456789abcdef"},
            {L"CorpID", L"u:77"},            {L"CorpName", L"s:Acme"},   {L"UserHead", L"s:https://img.test/a.png"},
            {L"WeChatNick", L"s:annw"},      {L"WeChatId", L"s:wxu-1"}};
}

class LoginResultTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        LogCapture::UseTemporaryRoot();
        Http::SetHttpUrlHead(L"https://rest.example.test");
    }
    void TearDown() override
    {
        LoginApi::DoExit();
        Http::ResetSettings();
    }

    // Delivers a result with another request text than the one sent.
    void DeliverWithRequest(size_t index, const std::wstring& request, const std::wstring& response, int completed)
    {
        auto sent = service.SentRequests().at(index);
        sent.sink->OnHttpsReqResult(sent.id, request, response, completed);
    }

    CLoginMgr& Mgr() { return *CLoginMgr::Instance().Peek(); }

    FakeHttpsService service;
    TypedEventRecorder events;
};

TEST_F(LoginResultTest, PasswordSignInReportsTheFullUserWithThePhoneThatWasSent)
{
    ASSERT_EQ(LoginApi::AccountLogin(L"13800000001", L"pw"), 1);
    ASSERT_TRUE(service.Deliver(0, kFullUser, 1));
    const auto results = events.Results();
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].code, 0);
    EXPECT_EQ(results[0].kind, RequestKind::kAccountLogin);
    Values expected = FullUserValues();
    expected[L"Phone"] = L"s:13800000001";
    EXPECT_EQ(results[0].values, expected);
}

TEST_F(LoginResultTest, CodeSignInAndRegistrationReportTheSameUserRecord)
{
    ASSERT_EQ(LoginApi::ScodeLogin(L"13800000002", L"1", nullptr), 1);
    ASSERT_EQ(LoginApi::RegisterNow(L"13800000003", L"pw", L"2", L"Ann", L"Acme", nullptr), 1);
    ASSERT_TRUE(service.Deliver(0, kFullUser, 1));
    ASSERT_TRUE(service.Deliver(1, kFullUser, 1));
    const auto results = events.Results();
    ASSERT_EQ(results.size(), 2u);
    Values expected = FullUserValues();
    expected[L"Phone"] = L"s:13800000002";
    EXPECT_EQ(results[0].kind, RequestKind::kScodeLogin);
    EXPECT_EQ(results[0].values, expected);
    expected[L"Phone"] = L"s:13800000003";
    EXPECT_EQ(results[1].kind, RequestKind::kRegisterNow);
    EXPECT_EQ(results[1].values, expected);
}

TEST_F(LoginResultTest, UserWithMissingOrOddMembersReadsAsEmptyTextAndZero)
{
    ASSERT_EQ(LoginApi::AccountLogin(L"138", L"pw"), 1);
    ASSERT_TRUE(service.Deliver(0, L"{\"user_id\": \"abc\", \"corp_id\": 1.5, \"name\": {\"x\": 1}}", 1));
    const auto results = events.Results();
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].code, 0) << "no \"code\" member reads as 0";
    EXPECT_EQ(results[0].values,
              (Values{{L"UserID", L"u:0"}, {L"UserName", L"s:"}, {L"Token", L"s:"}, {L"CorpID", L"u:0"},
                      {L"CorpName", L"s:"}, {L"UserHead", L"s:"}, {L"Phone", L"s:138"}, {L"WeChatNick", L"s:"},
                      {L"WeChatId", L"s:"}}));
}

TEST_F(LoginResultTest, GuestSignInHasNoPhoneAndLogsTheAnswerWithItsTokenMasked)
{
    LogCapture log;
    ASSERT_EQ(LoginApi::GuestLogin(L"{guid}", L"Guest"), 1);
    ASSERT_TRUE(service.Deliver(0, kFullUser, 1));
    const auto results = events.Results();
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].kind, RequestKind::kGuestLogin);
    EXPECT_EQ(results[0].values, FullUserValues());

    EXPECT_EQ(log.Count("OnHttpsReqResult:GuestLogin:ResponceText="), 1u);
    EXPECT_EQ(log.Count("\"name\": \"Ann\""), 1u) << "the rest of the answer is kept";
    EXPECT_EQ(log.Count("0123456789abcdef"), 0u) << log.Text();
}

TEST_F(LoginResultTest, GuestLogLineIsWrittenEvenForAnswersThatAreNotJson)
{
    LogCapture log;
    ASSERT_EQ(LoginApi::GuestLogin(L"{guid}", L"Guest"), 1);
    ASSERT_TRUE(service.Deliver(0, L"token=abcdefghijkl; oops", 1));
    const auto results = events.Results();
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].code, -1);
    EXPECT_FALSE(results[0].hasRecord);
    EXPECT_EQ(log.Count("OnHttpsReqResult:GuestLogin:ResponceText="), 1u);
    EXPECT_EQ(log.Count("abcdefghijkl"), 0u) << log.Text();
}

TEST_F(LoginResultTest, CorporationListSkipsCorporationZeroAndKeepsResponseOrder)
{
    ASSERT_EQ(LoginApi::GetCorpList(L"tok"), 1);
    ASSERT_TRUE(service.Deliver(0,
                                L"{\"code\": 0, \"data\": [{\"corp_id\": 9, \"corp_name\": \"Nine\"},"
                                L" {\"corp_id\": 0, \"corp_name\": \"Zero\"}, 17, [1],"
                                L" {\"corp_id\": \"3\", \"corp_name\": \"Three\"}]}",
                                1));
    const auto results = events.Results();
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].kind, RequestKind::kGetCorpList);
    EXPECT_EQ(results[0].code, 0);
    ASSERT_TRUE(results[0].hasList);
    EXPECT_EQ(results[0].list, (std::vector<Values>{{{L"CorpID", L"u:9"}, {L"CorpName", L"s:Nine"}},
                                                     {{L"CorpID", L"u:3"}, {L"CorpName", L"s:Three"}}}));
}

TEST_F(LoginResultTest, CorporationListWithoutAnArrayProducesNoSignal)
{
    const wchar_t* answers[] = {L"{\"code\": 0, \"data\": {\"corp_id\": 9}}", L"{\"code\": 0}",
                                L"{\"code\": 0, \"data\": \"[]\"}"};
    for (size_t i = 0; i < 3; ++i) {
        ASSERT_EQ(LoginApi::GetCorpList(L"tok"), 1);
        ASSERT_TRUE(service.Deliver(i, answers[i], 1));
    }
    EXPECT_TRUE(events.Results().empty());

    // An empty array is a list, only an empty one.
    ASSERT_EQ(LoginApi::GetCorpList(L"tok"), 1);
    ASSERT_TRUE(service.Deliver(3, L"{\"code\": 0, \"data\": []}", 1));
    const auto results = events.Results();
    ASSERT_EQ(results.size(), 1u);
    EXPECT_TRUE(results[0].hasList);
    EXPECT_TRUE(results[0].list.empty());
}

TEST_F(LoginResultTest, UnusableVerificationCodeAnswerStillTellsTheTypeAndFreesTheSlot)
{
    ASSERT_EQ(LoginApi::GetAccScode(L"138", 3), 1);
    ASSERT_TRUE(service.Deliver(0, L"Service Unavailable", 1));
    const auto results = events.Results();
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].code, -1);
    EXPECT_EQ(results[0].kind, RequestKind::kGetAccScode);
    EXPECT_EQ(results[0].values, (Values{{L"ReqType", L"u:3"}}));
    EXPECT_EQ(Mgr().SlotId(CLoginMgr::SLOT_GET_ACC_SCODE), 0u);
    EXPECT_EQ(LoginApi::GetAccScode(L"138", 3), 1);
}

TEST_F(LoginResultTest, SmallResultsCarryTheirOwnKeys)
{
    ASSERT_EQ(LoginApi::CorpCreate(L"t", L"Acme"), 1);
    ASSERT_EQ(LoginApi::ModifyUserProfile(L"t", L"New Nick", 5), 1);
    ASSERT_EQ(LoginApi::ChangePhone(L"t", L"139", L"1", L"", 1), 1);
    ASSERT_EQ(LoginApi::ModifyPassword(L"t", L"139", L"1", L"pw"), 1);
    ASSERT_EQ(LoginApi::WeChatUnBind(L"t"), 1);
    ASSERT_EQ(LoginApi::WeChatBind(L"t", L"at"), 1);
    ASSERT_TRUE(service.Deliver(0, L"{\"code\": 0, \"corp_id\": 31, \"corp_name\": \"Acme\"}", 1));
    ASSERT_TRUE(service.Deliver(1, L"{\"code\": 0, \"nick\": \"ignored\"}", 1));
    ASSERT_TRUE(service.Deliver(2, L"{\"code\": 0, \"secret\": \"sec-123456\"}", 1));
    ASSERT_TRUE(service.Deliver(3, L"{\"code\": 3, \"message\": \"wrong code\"}", 1));
    ASSERT_TRUE(service.Deliver(4, L"{\"code\": 0}", 1));
    ASSERT_TRUE(service.Deliver(5, L"{\"code\": 1008}", 1));
    const auto r = events.Results();
    ASSERT_EQ(r.size(), 6u);
    EXPECT_EQ(r[0].kind, RequestKind::kCorpCreate);
    EXPECT_EQ(r[0].values, (Values{{L"CorpID", L"u:31"}, {L"CorpName", L"s:Acme"}}));
    EXPECT_EQ(r[1].kind, RequestKind::kModifyUserProfile);
    EXPECT_EQ(r[1].values, (Values{{L"UserName", L"s:New Nick"}})) << "the nickname that was sent";
    EXPECT_EQ(r[2].kind, RequestKind::kChangePhone);
    EXPECT_EQ(r[2].values, (Values{{L"Secret", L"s:sec-123456"}, {L"ReqType", L"u:1"}}));
    EXPECT_EQ(r[3].kind, RequestKind::kModifyPassword);
    EXPECT_EQ(r[3].code, 3);
    EXPECT_TRUE(r[3].hasRecord);
    EXPECT_TRUE(r[3].values.empty());
    EXPECT_EQ(r[4].kind, RequestKind::kWeChatUnBind);
    EXPECT_TRUE(r[4].hasRecord);
    EXPECT_EQ(r[5].kind, RequestKind::kWeChatBind);
    EXPECT_EQ(r[5].code, 1008);
    EXPECT_TRUE(r[5].hasRecord);
}

struct FlagCase {
    const char* name;
    std::function<int()> send;
    unsigned kind;
    bool recordFromBody;     // a parsable body gives a record
    bool recordWithoutBody;  // no usable body still gives a record
};

// The exchange did not complete: -1 whatever the body says; which kinds
// still report a record follows the kind's rule.
TEST_F(LoginResultTest, CompletionFlagZeroGivesMinusOneForEveryKind)
{
    const FlagCase cases[] = {
        {"AccountLogin", [] { return LoginApi::AccountLogin(L"1", L"p"); }, 1, true, false},
        {"ScodeLogin", [] { return LoginApi::ScodeLogin(L"1", L"1", L""); }, 2, true, false},
        {"GetAccScode", [] { return LoginApi::GetAccScode(L"1", 1); }, 4, true, true},
        {"RegisterNow", [] { return LoginApi::RegisterNow(L"1", L"p", L"1", L"n", L"", L""); }, 3, true, false},
        {"GetCorpList", [] { return LoginApi::GetCorpList(L"t"); }, 5, true, false},
        {"RefreshToken", [] { return LoginApi::RefreshToken(L"t"); }, 6, true, false},
        {"GuestLogin", [] { return LoginApi::GuestLogin(L"g", L"n"); }, 7, true, false},
        {"CorpCreate", [] { return LoginApi::CorpCreate(L"t", L"n"); }, 8, true, false},
        {"ModifyUserProfile", [] { return LoginApi::ModifyUserProfile(L"t", L"n", 0); }, 18, true, true},
        {"ChangePhone", [] { return LoginApi::ChangePhone(L"t", L"1", L"1", L"", 1); }, 19, true, false},
        {"ModifyPassword", [] { return LoginApi::ModifyPassword(L"t", L"1", L"1", L"p"); }, 21, true, true},
        {"WeChatUnBind", [] { return LoginApi::WeChatUnBind(L"t"); }, 24, true, true},
        {"WeChatBind", [] { return LoginApi::WeChatBind(L"t", L"a"); }, 25, true, true},
    };
    size_t index = 0;
    for (const FlagCase& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(c.send(), 1);
        ASSERT_TRUE(service.Deliver(index++, L"{\"code\": 0, \"data\": [], \"token\": \"t\"}", 0));
        ASSERT_EQ(c.send(), 1);
        ASSERT_TRUE(service.Deliver(index++, L"", 0));
        const auto results = events.Results();
        ASSERT_EQ(results.size(), index);
        const auto& withBody = results[index - 2];
        const auto& withoutBody = results[index - 1];
        EXPECT_EQ(withBody.kind, c.kind);
        EXPECT_EQ(withBody.code, -1);
        EXPECT_EQ(withBody.hasRecord, c.recordFromBody);
        EXPECT_EQ(withoutBody.kind, c.kind);
        EXPECT_EQ(withoutBody.code, -1);
        EXPECT_EQ(withoutBody.hasRecord, c.recordWithoutBody);
    }
}

TEST_F(LoginResultTest, ResultWhoseSentBodyDoesNotParseIsDropped)
{
    ASSERT_EQ(LoginApi::AccountLogin(L"1", L"p"), 1);
    ASSERT_EQ(LoginApi::ScodeLogin(L"1", L"1", L""), 1);
    ASSERT_EQ(LoginApi::GetAccScode(L"1", 1), 1);
    ASSERT_EQ(LoginApi::RegisterNow(L"1", L"p", L"1", L"n", L"", L""), 1);
    ASSERT_EQ(LoginApi::ModifyUserProfile(L"t", L"n", 0), 1);
    ASSERT_EQ(LoginApi::ChangePhone(L"t", L"1", L"1", L"", 1), 1);
    for (size_t i = 0; i < 6; ++i)
        DeliverWithRequest(i, i % 2 == 0 ? L"" : L"phone=1", kFullUser, 1);
    EXPECT_TRUE(events.Results().empty());
    // The code operations were freed on arrival; the registration, never
    // reported, still counts as pending.
    EXPECT_EQ(Mgr().SlotId(CLoginMgr::SLOT_SCODE_LOGIN), 0u);
    EXPECT_EQ(Mgr().SlotId(CLoginMgr::SLOT_GET_ACC_SCODE), 0u);
    EXPECT_EQ(Mgr().SlotId(CLoginMgr::SLOT_REGISTER_NOW), service.SentRequests()[3].id);
}

TEST_F(LoginResultTest, SupersededPasswordSignInIsDropped)
{
    ASSERT_EQ(LoginApi::AccountLogin(L"111", L"a"), 1);
    ASSERT_EQ(LoginApi::AccountLogin(L"222", L"b"), 1);
    ASSERT_TRUE(service.Deliver(0, kFullUser, 1));
    EXPECT_TRUE(events.Results().empty());
    ASSERT_TRUE(service.Deliver(1, kFullUser, 1));
    const auto results = events.Results();
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].values.at(L"Phone"), L"s:222");
}

TEST_F(LoginResultTest, EmptyOrAbsentCodeReadsAsZeroAndNonJsonAsMinusOne)
{
    const wchar_t* answers[] = {L"{\"code\": \"\"}", L"{}", L"{\"code\": \"abc\"}", L"[1, 2]", L"{not json}"};
    const int codes[] = {0, 0, 0, -1, -1};
    for (size_t i = 0; i < 5; ++i) {
        ASSERT_EQ(LoginApi::CorpCreate(L"t", L"n"), 1);
        ASSERT_TRUE(service.Deliver(i, answers[i], 1));
        const auto results = events.Results();
        ASSERT_EQ(results.size(), i + 1);
        EXPECT_EQ(results.back().code, codes[i]) << i;
        EXPECT_EQ(results.back().hasRecord, codes[i] == 0) << i;
    }
}

}  // namespace
