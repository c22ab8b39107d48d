// Every LoginApi operation through libService against the local server over
// HTTPS: the life of one account from registration to token refresh, and
// the refusals the server answers with its own codes.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "pelbo/account/LoginApi.h"
#include "pelbo/compat/TextConvert.h"
#include "pelbo/core/CoreApi.h"
#include "pelbo/core/RequestKind.h"
#include "pelbo/core/ShutdownGuard.h"
#include "pelbo/corekit/HttpSettings.h"
#include "pelbo/corekit/Path.h"
#include "devserver/Routes.h"
#include "devserver/State.h"
#include "pelbo/netcall/HttpsRequest.h"
#include "pelbo/session/AuxNetMon.h"
#include "service/LogCapture.h"
#include "service/TypedEventRecorder.h"
#include "support/HttpClient.h"
#include "support/TestServer.h"

namespace {

using DevServer::ResultCode::Ok;
namespace ScodeType = DevServer::ScodeType;
using Result = TypedEventRecorder::Result;

std::wstring W(const std::string& text) { return ToWide(text.c_str(), CP_UTF8); }

// "s:abc" / "u:12" -> the value part.
std::string Value(const Result& r, const wchar_t* key)
{
    const auto it = r.values.find(key);
    if (it == r.values.end() || it->second.size() < 2)
        return std::string();
    return ToMultiByte(it->second.substr(2).c_str(), CP_UTF8);
}

class LoginFlowIntegration : public ::testing::Test {
protected:
    static void TearDownTestSuite() { Util::HttpsRequest::Shutdown(); }

    void SetUp() override
    {
        ASSERT_TRUE(server.Started()) << server.Error();
        Util::Path::SetRootFolder(server.Dir().Path().wstring().c_str());
        Http::SetCaBundle(W(server.CaFile()).c_str());
        Http::SetHttpUrlHead(W(server.BaseUrl()).c_str());
    }

    void TearDown() override
    {
        Aux::Core::DoExit();
        Http::ResetSettings();
    }

    // Sends, waits for the one result it causes and checks its kind.
    Result Call(unsigned kind, const std::function<int()>& send)
    {
        const size_t before = events.Results().size();
        EXPECT_NE(send(), 0) << "kind " << kind;
        EXPECT_TRUE(events.WaitFor(before + 1)) << "kind " << kind;
        const auto results = events.Results();
        if (results.size() <= before)
            return Result();
        EXPECT_EQ(results[before].kind, kind);
        return results[before];
    }

    // Asks for a code as the client does and reads it back from the server
    // (the developer's way: there is no SMS here).
    std::string Scode(const std::string& phone, int type)
    {
        const Result r = Call(RequestKind::kGetAccScode, [&] { return LoginApi::GetAccScode(W(phone).c_str(), type); });
        EXPECT_EQ(r.code, Ok);
        EXPECT_EQ(Value(r, L"ReqType"), std::to_string(type));
        return server.State().accounts.PeekCode(phone, type).value_or("");
    }

    std::string RegisterUser(const std::string& phone, const std::string& password, const std::string& corp)
    {
        const std::string code = Scode(phone, ScodeType::Register);
        const Result r = Call(RequestKind::kRegisterNow, [&] {
            return LoginApi::RegisterNow(W(phone).c_str(), W(password).c_str(), W(code).c_str(), L"Ann",
                                         W(corp).c_str(), L"");
        });
        EXPECT_EQ(r.code, Ok);
        return Value(r, L"Token");
    }

    Result PasswordLogin(const std::string& phone, const std::string& password)
    {
        return Call(RequestKind::kAccountLogin,
                    [&] { return LoginApi::AccountLogin(W(phone).c_str(), W(password).c_str()); });
    }

    TestSupport::TestServer server{TestSupport::TestServer::Https()};
    TypedEventRecorder events;
};

TEST_F(LoginFlowIntegration, OneAccountFromRegistrationToTokenRefresh)
{
    const std::string phone = "13800000001";
    // Registration with the code the server sent, and a corporation.
    const std::string code = Scode(phone, ScodeType::Register);
    ASSERT_EQ(code.size(), 6u);
    Result r = Call(RequestKind::kRegisterNow, [&] {
        return LoginApi::RegisterNow(W(phone).c_str(), L"pass-1", W(code).c_str(), L"Ann", L"Acme", L"");
    });
    ASSERT_EQ(r.code, Ok);
    const uint32_t userId = static_cast<uint32_t>(std::stoul(Value(r, L"UserID")));
    EXPECT_EQ(Value(r, L"Phone"), phone);
    EXPECT_EQ(Value(r, L"UserName"), "Ann");
    EXPECT_EQ(Value(r, L"CorpName"), "Acme");
    EXPECT_EQ(server.State().accounts.User(userId)->passwordDigest, DevServer::AccountBook::Md5Hex("pass-1"))
        << "the server holds the digest the client sent";

    // Sign-in by password.
    r = PasswordLogin(phone, "pass-1");
    ASSERT_EQ(r.code, Ok);
    std::string token = Value(r, L"Token");
    EXPECT_EQ(server.State().UserOfToken(token), std::optional<uint32_t>(userId));

    // Sign-in by code.
    const std::string loginCode = Scode(phone, ScodeType::Login);
    r = Call(RequestKind::kScodeLogin,
             [&] { return LoginApi::ScodeLogin(W(phone).c_str(), W(loginCode).c_str(), L""); });
    ASSERT_EQ(r.code, Ok);
    EXPECT_EQ(Value(r, L"UserID"), std::to_string(userId));

    // Corporations: the one from registration, then one more.
    r = Call(RequestKind::kGetCorpList, [&] { return LoginApi::GetCorpList(W(token).c_str()); });
    ASSERT_EQ(r.code, Ok);
    ASSERT_EQ(r.list.size(), 1u);
    EXPECT_EQ(r.list[0].at(L"CorpName"), L"s:Acme");
    r = Call(RequestKind::kCorpCreate, [&] { return LoginApi::CorpCreate(W(token).c_str(), L"Beta"); });
    ASSERT_EQ(r.code, Ok);
    EXPECT_EQ(Value(r, L"CorpName"), "Beta");
    const std::string betaId = Value(r, L"CorpID");
    r = Call(RequestKind::kGetCorpList, [&] { return LoginApi::GetCorpList(W(token).c_str()); });
    ASSERT_EQ(r.list.size(), 2u);
    EXPECT_EQ(r.list[1].at(L"CorpID"), L"u:" + W(betaId));

    // Profile.
    r = Call(RequestKind::kModifyUserProfile,
             [&] { return LoginApi::ModifyUserProfile(W(token).c_str(), L"Annie", 77); });
    ASSERT_EQ(r.code, Ok);
    EXPECT_EQ(Value(r, L"UserName"), "Annie");
    EXPECT_EQ(server.State().accounts.User(userId)->name, "Annie");
    EXPECT_EQ(server.State().accounts.User(userId)->pictureId, 77u);

    // Phone change in two steps.
    const std::string newPhone = "13900000002";
    const std::string oldCode = Scode(phone, ScodeType::Phone);
    r = Call(RequestKind::kChangePhone, [&] {
        return LoginApi::ChangePhone(W(token).c_str(), W(phone).c_str(), W(oldCode).c_str(), L"", 1);
    });
    ASSERT_EQ(r.code, Ok);
    EXPECT_EQ(Value(r, L"ReqType"), "1");
    const std::string secret = Value(r, L"Secret");
    ASSERT_FALSE(secret.empty());
    const std::string newCode = Scode(newPhone, ScodeType::Phone);
    r = Call(RequestKind::kChangePhone, [&] {
        return LoginApi::ChangePhone(W(token).c_str(), W(newPhone).c_str(), W(newCode).c_str(), W(secret).c_str(),
                                     2);
    });
    ASSERT_EQ(r.code, Ok);
    EXPECT_EQ(Value(r, L"ReqType"), "2");
    EXPECT_EQ(PasswordLogin(phone, "pass-1").code, DevServer::ResultCode::UnknownUser);
    EXPECT_EQ(PasswordLogin(newPhone, "pass-1").code, Ok);

    // Password change, proven by a code; the new password is sent as typed.
    const std::string passwordCode = Scode(newPhone, ScodeType::Password);
    r = Call(RequestKind::kModifyPassword, [&] {
        return LoginApi::ModifyPassword(W(token).c_str(), W(newPhone).c_str(), W(passwordCode).c_str(), L"pass-2");
    });
    EXPECT_EQ(r.code, Ok);
    EXPECT_TRUE(r.hasRecord);
    EXPECT_EQ(PasswordLogin(newPhone, "pass-1").code, DevServer::ResultCode::WrongPassword);
    EXPECT_EQ(PasswordLogin(newPhone, "pass-2").code, Ok);

    // WeChat binding shows in the next sign-in, and goes again.
    r = Call(RequestKind::kWeChatBind, [&] { return LoginApi::WeChatBind(W(token).c_str(), L"wx-access-1"); });
    EXPECT_EQ(r.code, Ok);
    r = PasswordLogin(newPhone, "pass-2");
    EXPECT_FALSE(Value(r, L"WeChatId").empty());
    EXPECT_FALSE(Value(r, L"WeChatNick").empty());
    // The picture set with the profile is an absolute address that answers.
    EXPECT_EQ(Value(r, L"UserHead"), server.Url("/pictures/avatar-77.png"));
    {
        TestSupport::HttpClient client;
        client.SetCaFile(server.CaFile());
        const auto head = client.Get(Value(r, L"UserHead"));
        ASSERT_TRUE(head.Ok());
        EXPECT_EQ(head.status, 200);
        EXPECT_EQ(head.body.compare(0, 4, "\x89PNG"), 0);
    }
    r = Call(RequestKind::kWeChatUnBind, [&] { return LoginApi::WeChatUnBind(W(token).c_str()); });
    EXPECT_EQ(r.code, Ok);
    r = Call(RequestKind::kWeChatUnBind, [&] { return LoginApi::WeChatUnBind(W(token).c_str()); });
    EXPECT_EQ(r.code, DevServer::ResultCode::WeChatNotBound);

    // Refresh: the old token stops working.
    r = Call(RequestKind::kRefreshToken, [&] { return LoginApi::RefreshToken(W(token).c_str()); });
    ASSERT_EQ(r.code, Ok);
    const std::string fresh = Value(r, L"Token");
    EXPECT_NE(fresh, token);
    r = Call(RequestKind::kGetCorpList, [&] { return LoginApi::GetCorpList(W(token).c_str()); });
    EXPECT_EQ(r.code, DevServer::ResultCode::TokenInvalid);
    r = Call(RequestKind::kGetCorpList, [&] { return LoginApi::GetCorpList(W(fresh).c_str()); });
    EXPECT_EQ(r.code, Ok);
    EXPECT_EQ(r.list.size(), 2u);
}

TEST_F(LoginFlowIntegration, GuestSignInIsTheSameGuestForTheSameGuid)
{
    Result first = Call(RequestKind::kGuestLogin, [] { return LoginApi::GuestLogin(L"{guid-1}", L"Visitor"); });
    ASSERT_EQ(first.code, Ok);
    EXPECT_EQ(Value(first, L"UserName"), "Visitor");
    EXPECT_EQ(first.values.count(L"Phone"), 0u);
    EXPECT_FALSE(Value(first, L"Token").empty());
    Result again = Call(RequestKind::kGuestLogin, [] { return LoginApi::GuestLogin(L"{guid-1}", L"Renamed"); });
    EXPECT_EQ(Value(again, L"UserID"), Value(first, L"UserID"));
    EXPECT_EQ(Value(again, L"UserName"), "Renamed");
    Result other = Call(RequestKind::kGuestLogin, [] { return LoginApi::GuestLogin(L"{guid-2}", L"Other"); });
    EXPECT_NE(Value(other, L"UserID"), Value(first, L"UserID"));

    // A guest has no corporations and may not make one.
    const std::string token = Value(first, L"Token");
    Result corps = Call(RequestKind::kGetCorpList, [&] { return LoginApi::GetCorpList(W(token).c_str()); });
    EXPECT_EQ(corps.code, Ok);
    EXPECT_TRUE(corps.hasList);
    EXPECT_TRUE(corps.list.empty());
    Result create = Call(RequestKind::kCorpCreate, [&] { return LoginApi::CorpCreate(W(token).c_str(), L"X"); });
    EXPECT_EQ(create.code, DevServer::ResultCode::GuestNotAllowed);
}

TEST_F(LoginFlowIntegration, RefusalsCarryTheServersOwnCodes)
{
    const std::string phone = "13700000007";
    const std::string token = RegisterUser(phone, "pw", "");
    ASSERT_FALSE(token.empty());

    // The phone is taken: no registration code for it.
    Result r = Call(RequestKind::kGetAccScode, [&] { return LoginApi::GetAccScode(W(phone).c_str(), ScodeType::Register); });
    EXPECT_EQ(r.code, DevServer::ResultCode::PhoneRegistered);
    EXPECT_EQ(PasswordLogin("13000000000", "pw").code, DevServer::ResultCode::UnknownUser);
    const LogCapture log;
    EXPECT_EQ(PasswordLogin(phone, "wrong").code, DevServer::ResultCode::WrongPassword);
    // The log says why, in the service's own words, in one line.
    const std::string why = "sign-in refused: code " + std::to_string(DevServer::ResultCode::WrongPassword) + ", msg \"";
    const std::string text = log.Text();
    ASSERT_EQ(log.Count(why), 1u) << text;
    EXPECT_NE(text[text.find(why) + why.size()], '"') << "no message: " << text;

    // A wrong code, then a non-numeric one (sent as 0), then the right one,
    // which works once only.
    const std::string code = Scode(phone, ScodeType::Login);
    const std::string wrong = code == "123456" ? "654321" : "123456";
    r = Call(RequestKind::kScodeLogin, [&] { return LoginApi::ScodeLogin(W(phone).c_str(), W(wrong).c_str(), L""); });
    EXPECT_EQ(r.code, DevServer::ResultCode::WrongCode);
    r = Call(RequestKind::kScodeLogin, [&] { return LoginApi::ScodeLogin(W(phone).c_str(), L"abc", L""); });
    EXPECT_EQ(r.code, DevServer::ResultCode::WrongCode);
    r = Call(RequestKind::kScodeLogin, [&] { return LoginApi::ScodeLogin(W(phone).c_str(), W(code).c_str(), L""); });
    EXPECT_EQ(r.code, Ok);
    r = Call(RequestKind::kScodeLogin, [&] { return LoginApi::ScodeLogin(W(phone).c_str(), W(code).c_str(), L""); });
    EXPECT_EQ(r.code, DevServer::ResultCode::WrongCode);

    // Tokens: none, unknown, expired.
    r = Call(RequestKind::kGetCorpList, [] { return LoginApi::GetCorpList(L""); });
    EXPECT_EQ(r.code, DevServer::ResultCode::TokenInvalid);
    EXPECT_TRUE(r.hasList);
    EXPECT_TRUE(r.list.empty());
    const auto userId = server.State().UserOfToken(token);
    ASSERT_TRUE(userId.has_value());
    const std::string expired = server.State().IssueToken(*userId, std::chrono::seconds(0)).token;
    r = Call(RequestKind::kModifyUserProfile,
             [&] { return LoginApi::ModifyUserProfile(W(expired).c_str(), L"x", 0); });
    EXPECT_EQ(r.code, DevServer::ResultCode::TokenInvalid);

    // Step 2 of a phone change without the secret of step 1.
    const std::string newCode = Scode("13600000006", ScodeType::Phone);
    r = Call(RequestKind::kChangePhone, [&] {
        return LoginApi::ChangePhone(W(token).c_str(), L"13600000006", W(newCode).c_str(), L"made-up", 2);
    });
    EXPECT_EQ(r.code, DevServer::ResultCode::SecretInvalid);
}

// The guard's end cancels what is in flight (nothing is delivered after it)
// and closes the monitor; the request families start again on next use.
TEST_F(LoginFlowIntegration, ShutdownGuardEndsWhatIsInFlight)
{
    DevServer::Fault slow;
    slow.delayMs = 1000;
    slow.remaining = 1;
    ASSERT_TRUE(server.Server().SetFault("POST", "/v1/account/login", slow));
    {
        Aux::Core::ShutdownGuard guard;
        ASSERT_NE(Aux::AuxNetMon::GetNetMon(), nullptr);
        EXPECT_NE(LoginApi::AccountLogin(L"13500000009", L"pass-1"), 0);
    }
    EXPECT_EQ(Aux::AuxNetMon::GetNetMon(), nullptr);
    EXPECT_FALSE(events.WaitFor(1, std::chrono::seconds(2))) << "a result after the guard ended";

    EXPECT_EQ(PasswordLogin("13500000009", "pass-1").code, DevServer::ResultCode::UnknownUser);
}

TEST_F(LoginFlowIntegration, DevelopmentRouteTellsTheLastCodeSentToAPhone)
{
    const std::string code = Scode("13500000005", ScodeType::Register);
    TestSupport::HttpClient client;
    client.SetCaFile(server.CaFile());
    const auto answer = client.Get(server.Url("/_dev/scode?phone=13500000005"));
    ASSERT_TRUE(answer.Ok());
    EXPECT_NE(answer.body.find("\"scode\":\"" + code + "\""), std::string::npos) << answer.body;
    const auto none = client.Get(server.Url("/_dev/scode?phone=10000000000"));
    ASSERT_TRUE(none.Ok());
    EXPECT_EQ(none.status, 404);
}

}  // namespace
