// The request each LoginApi function hands to the HTTPS service: address,
// method, option integer, headers and the exact body bytes, and the pending
// guards of the three operations that may not overlap.

#include <functional>
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "FakeHttpsService.h"
#include "LogCapture.h"
#include "TypedEventRecorder.h"
#include "pelbo/account/LoginApi.h"
#include "pelbo/account/LoginMgr.h"
#include "pelbo/corekit/HttpSettings.h"

namespace {

const wchar_t kBase[] = L"https://rest.example.test:8443";
// MD5 of the UTF-8 bytes, lower-case hex.
const char kSecretMd5[] = "5ebe2294ecd0e0f08eab7690d2a6ee69";        // "secret"
const char kUmlautMd5[] = "9cb017269b4d82e205ab28e304372ea6";        // "p\u00e4ss"
const char kEmptyMd5[] = "d41d8cd98f00b204e9800998ecf8427e";         // ""

using Headers = std::map<std::string, std::string>;

struct RequestCase {
    const char* name;
    std::function<int()> send;
    const wchar_t* path;
    int method;
    int option1;
    Headers headers;
    std::string body;
};

std::wstring Wide(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

class LoginRequestTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        LogCapture::UseTemporaryRoot();
        Http::SetHttpUrlHead(kBase);
    }
    void TearDown() override
    {
        LoginApi::DoExit();
        Http::ResetSettings();
    }

    void ExpectSent(const RequestCase& c)
    {
        SCOPED_TRACE(c.name);
        const size_t before = service.SentRequests().size();
        ASSERT_EQ(c.send(), 1);
        const auto sent = service.SentRequests();
        ASSERT_EQ(sent.size(), before + 1);
        const ST_HttpsReqInfo& info = sent.back().info;
        EXPECT_EQ(info.strUrl, std::wstring(kBase) + c.path);
        EXPECT_EQ(info.nMethod, c.method);
        EXPECT_EQ(info.nOption1, c.option1);
        EXPECT_EQ(info.nOption2, ST_HttpsReqInfo().nOption2);
        EXPECT_EQ(Headers(info.mapHeaders.begin(), info.mapHeaders.end()), c.headers);
        EXPECT_EQ(info.strContent, Wide(c.body));
    }

    FakeHttpsService service;
};

TEST_F(LoginRequestTest, EveryOperationSendsItsOwnDescriptor)
{
    const std::string secretMd5 = kSecretMd5;
    const RequestCase cases[] = {
        {"AccountLogin", [] { return LoginApi::AccountLogin(L"13800000001", L"secret"); }, L"/v1/account/login", 1, 3,
         {}, "{\n   \"password\" : \"" + secretMd5 + "\",\n   \"phone\" : \"13800000001\"\n}\n"},
        {"ScodeLogin", [] { return LoginApi::ScodeLogin(L"13800000001", L"123456", L"wx-at"); },
         L"/v1/account/login", 1, 3, {},
         "{\n   \"access_token\" : \"wx-at\",\n   \"code\" : 123456,\n   \"phone\" : \"13800000001\"\n}\n"},
        {"GetAccScode", [] { return LoginApi::GetAccScode(L"13800000001", 2); }, L"/v1/account/pauth", 1, 3, {},
         "{\n   \"phone\" : \"13800000001\",\n   \"type\" : 2\n}\n"},
        {"RegisterNow",
         [] { return LoginApi::RegisterNow(L"13800000001", L"secret", L"654321", L"Ann", L"Acme", L"wx-at"); },
         L"/v1/account/register ", 1, 3, {},
         "{\n   \"access_token\" : \"wx-at\",\n   \"code\" : 654321,\n   \"corp_name\" : \"Acme\",\n"
         "   \"name\" : \"Ann\",\n   \"password\" : \"" +
             secretMd5 + "\",\n   \"phone\" : \"13800000001\"\n}\n"},
        {"GetCorpList", [] { return LoginApi::GetCorpList(L"tok"); }, L"/v1/account/corplist", 2, 7,
         {{"token", "tok"}}, ""},
        {"RefreshToken", [] { return LoginApi::RefreshToken(L"tok"); }, L"/v1/account/refreshtoken", 1, 3, {},
         "{\n   \"token\" : \"tok\"\n}\n"},
        {"GuestLogin", [] { return LoginApi::GuestLogin(L"{1234-abcd}", L"Guest"); }, L"/v1/account/guest", 1, 3,
         {}, "{\n   \"guid\" : \"{1234-abcd}\",\n   \"name\" : \"Guest\"\n}\n"},
        {"CorpCreate", [] { return LoginApi::CorpCreate(L"tok", L"Acme"); }, L"/v1/account/corp/create", 1, 3,
         {{"token", "tok"}}, "{\n   \"name\" : \"Acme\"\n}\n"},
        {"ModifyUserProfile", [] { return LoginApi::ModifyUserProfile(L"tok", L"Nick", 18446744073709551615ull); },
         L"/v1/account/profile", 3, 3, {{"token", "tok"}},
         "{\n   \"nick\" : \"Nick\",\n   \"picture_id\" : 18446744073709551615\n}\n"},
        {"ChangePhone", [] { return LoginApi::ChangePhone(L"tok", L"13900000002", L"111222", L"s3cr", 2); },
         L"/v1/account/phone", 3, 3, {{"token", "tok"}},
         "{\n   \"code\" : 111222,\n   \"phone\" : \"13900000002\",\n   \"secret\" : \"s3cr\",\n   \"step\" : 2\n}\n"},
        {"ModifyPassword", [] { return LoginApi::ModifyPassword(L"tok", L"13800000001", L"333444", L"n3w"); },
         L"/v1/account/password", 3, 3, {{"token", "tok"}},
         "{\n   \"code\" : 333444,\n   \"password\" : \"n3w\",\n   \"phone\" : \"13800000001\"\n}\n"},
        {"WeChatUnBind", [] { return LoginApi::WeChatUnBind(L"tok"); }, L"/v1/account/wechat/unbind", 3, 3,
         {{"token", "tok"}}, ""},
        {"WeChatBind", [] { return LoginApi::WeChatBind(L"tok", L"wx-at"); }, L"/v1/account/wechat/bind", 1, 3,
         {{"token", "tok"}}, "{\n   \"access_token\" : \"wx-at\"\n}\n"},
    };
    for (const RequestCase& c : cases)
        ExpectSent(c);
}

// Members that are left out when their argument says "none", empty tokens
// that still travel as a header, and arguments that are not what they claim.
TEST_F(LoginRequestTest, OptionalMembersAndOddArgumentsAreSentAsTheServiceExpects)
{
    const std::string emptyMd5 = kEmptyMd5;
    const RequestCase cases[] = {
        {"ScodeLogin without access token", [] { return LoginApi::ScodeLogin(L"138", L"42", L""); },
         L"/v1/account/login", 1, 3, {}, "{\n   \"code\" : 42,\n   \"phone\" : \"138\"\n}\n"},
        {"RegisterNow with null access token and empty password",
         [] { return LoginApi::RegisterNow(L"138", L"", L"7", L"", nullptr, nullptr); }, L"/v1/account/register ", 1,
         3, {},
         "{\n   \"code\" : 7,\n   \"corp_name\" : \"\",\n   \"name\" : \"\",\n   \"password\" : \"" + emptyMd5 +
             "\",\n   \"phone\" : \"138\"\n}\n"},
        {"ModifyUserProfile with picture id 0", [] { return LoginApi::ModifyUserProfile(L"tok", L"Nick", 0); },
         L"/v1/account/profile", 3, 3, {{"token", "tok"}}, "{\n   \"nick\" : \"Nick\"\n}\n"},
        {"ChangePhone with empty secret", [] { return LoginApi::ChangePhone(L"tok", L"139", L"5", L"", 1); },
         L"/v1/account/phone", 3, 3, {{"token", "tok"}},
         "{\n   \"code\" : 5,\n   \"phone\" : \"139\",\n   \"step\" : 1\n}\n"},
        {"non-numeric code", [] { return LoginApi::ModifyPassword(L"tok", L"138", L"abc123", L"p"); },
         L"/v1/account/password", 3, 3, {{"token", "tok"}},
         "{\n   \"code\" : 0,\n   \"password\" : \"p\",\n   \"phone\" : \"138\"\n}\n"},
        {"code with leading blanks and trailing letters",
         [] { return LoginApi::ChangePhone(L"tok", L"139", L"  -12x", nullptr, 1); }, L"/v1/account/phone", 3, 3,
         {{"token", "tok"}}, "{\n   \"code\" : -12,\n   \"phone\" : \"139\",\n   \"step\" : 1\n}\n"},
        {"GetCorpList with empty token", [] { return LoginApi::GetCorpList(L""); }, L"/v1/account/corplist", 2, 7,
         {{"token", ""}}, ""},
        {"WeChatUnBind with null token", [] { return LoginApi::WeChatUnBind(nullptr); },
         L"/v1/account/wechat/unbind", 3, 3, {{"token", ""}}, ""},
        {"WeChatBind with empty access token", [] { return LoginApi::WeChatBind(L"tok", L""); },
         L"/v1/account/wechat/bind", 1, 3, {{"token", "tok"}}, "{\n   \"access_token\" : \"\"\n}\n"},
    };
    for (const RequestCase& c : cases)
        ExpectSent(c);
}

TEST_F(LoginRequestTest, PasswordDigestIsTakenOverUtf8BytesButModifyPasswordSendsItPlain)
{
    ASSERT_EQ(LoginApi::AccountLogin(L"138", L"p\u00e4ss"), 1);
    EXPECT_NE(service.SentRequests().back().info.strContent.find(Wide(kUmlautMd5)), std::wstring::npos);
    ASSERT_EQ(LoginApi::ModifyPassword(L"tok", L"138", L"1", L"p\u00e4ss"), 1);
    const std::wstring body = service.SentRequests().back().info.strContent;
    EXPECT_EQ(body.find(Wide(kUmlautMd5)), std::wstring::npos);
    EXPECT_NE(body.find(L"\"password\" : \"p\\u00e4ss\""), std::wstring::npos) << "the writer escapes non-ASCII";
}

TEST_F(LoginRequestTest, PendingScodeLoginAndGetAccScodeRefuseWithZeroUntilTheirResultArrives)
{
    ASSERT_EQ(LoginApi::ScodeLogin(L"138", L"1", nullptr), 1);
    EXPECT_EQ(LoginApi::ScodeLogin(L"138", L"2", nullptr), 0);
    ASSERT_EQ(LoginApi::GetAccScode(L"138", 1), 1);
    EXPECT_EQ(LoginApi::GetAccScode(L"138", 1), 0);
    EXPECT_EQ(service.SentRequests().size(), 2u) << "refused calls send nothing";

    TypedEventRecorder events;
    ASSERT_TRUE(service.Deliver(0, L"{\"code\": 1005}", 1));
    ASSERT_TRUE(service.Deliver(1, L"{\"code\": 0}", 1));
    EXPECT_EQ(events.Results().size(), 2u);
    EXPECT_EQ(LoginApi::ScodeLogin(L"138", L"3", nullptr), 1);
    EXPECT_EQ(LoginApi::GetAccScode(L"138", 1), 1);
    EXPECT_EQ(service.SentRequests().size(), 4u);
}

TEST_F(LoginRequestTest, PendingRegisterNowAnswersOneWithoutSendingUntilItsResultWasReported)
{
    ASSERT_EQ(LoginApi::RegisterNow(L"138", L"pw", L"1", L"Ann", L"", L""), 1);
    EXPECT_EQ(LoginApi::RegisterNow(L"138", L"pw", L"1", L"Ann", L"", L""), 1);
    EXPECT_EQ(service.SentRequests().size(), 1u);

    // While the result is being reported, the registration still counts as
    // pending: a receiver that registers again at once is told 1.
    int fromReceiver = -1;
    event::scoped_connection again = ServiceEvent::HttpsServiceEvent().connect([&](int, unsigned kind, IXData*) {
        if (kind == 3)
            fromReceiver = LoginApi::RegisterNow(L"138", L"pw", L"1", L"Ann", L"", L"");
    });
    ASSERT_TRUE(service.Deliver(0, L"{\"code\": 0, \"user_id\": 5}", 1));
    EXPECT_EQ(fromReceiver, 1);
    EXPECT_EQ(service.SentRequests().size(), 1u);
    EXPECT_EQ(CLoginMgr::Instance().Peek()->SlotId(CLoginMgr::SLOT_REGISTER_NOW), 0u);

    EXPECT_EQ(LoginApi::RegisterNow(L"138", L"pw", L"1", L"Ann", L"", L""), 1);
    EXPECT_EQ(service.SentRequests().size(), 2u);
}

TEST_F(LoginRequestTest, OperationsWithoutGuardMaySendAgainWhileOneIsOut)
{
    ASSERT_EQ(LoginApi::AccountLogin(L"138", L"a"), 1);
    ASSERT_EQ(LoginApi::AccountLogin(L"138", L"b"), 1);
    ASSERT_EQ(LoginApi::CorpCreate(L"t", L"x"), 1);
    ASSERT_EQ(LoginApi::CorpCreate(L"t", L"y"), 1);
    const auto sent = service.SentRequests();
    ASSERT_EQ(sent.size(), 4u);
    const auto mgr = CLoginMgr::Instance().Peek();
    EXPECT_EQ(mgr->SlotId(CLoginMgr::SLOT_ACCOUNT_LOGIN), sent[1].id);
    EXPECT_EQ(mgr->SlotId(CLoginMgr::SLOT_CORP_CREATE), sent[3].id);
}

TEST_F(LoginRequestTest, RefusedRequestLeavesTheGuardOpen)
{
    service.accept = false;
    EXPECT_EQ(LoginApi::RegisterNow(L"138", L"pw", L"1", L"Ann", L"", L""), 0);
    EXPECT_EQ(LoginApi::ScodeLogin(L"138", L"1", L""), 0);
    service.accept = true;
    EXPECT_EQ(LoginApi::RegisterNow(L"138", L"pw", L"1", L"Ann", L"", L""), 1);
    EXPECT_EQ(LoginApi::ScodeLogin(L"138", L"1", L""), 1);
    EXPECT_EQ(service.SentRequests().size(), 2u);
}

}  // namespace
