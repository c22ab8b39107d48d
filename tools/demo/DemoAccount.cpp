// Account family: registration, sign-in by password, the signed-in identity
// kept in the user cache, profile, corporations, guest sign-in and the
// sign-in token. Against another deployment (--server) the account of
// --phone signs in and only steps that change nothing there follow: the
// verification code of a registration arrives by SMS there.

#include <string>

#include "DemoSteps.h"
#include "pelbo/account/LoginApi.h"
#include "pelbo/account/UserCache.h"
#include "pelbo/compat/TextConvert.h"
#include "pelbo/core/RequestKind.h"
#include "devserver/AccountBook.h"
#include "devserver/DevServer.h"
#include "devserver/State.h"
#include "pelbo/keepsafe/Profile.h"

namespace Demo {

namespace {

const char kPhone[] = "13800138000";
const char kPassword[] = "demo-Passw0rd";

std::wstring Wide(const std::string& text) { return ToWide(text.c_str(), CP_UTF8); }

std::string Text(const RestOutcome& outcome, const wchar_t* key)
{
    CStringW value;
    if (!outcome.record || !outcome.record->GetIXDataStr(key, value))
        return std::string();
    return ToUtf8(value);
}

uint32_t Number(const RestOutcome& outcome, const wchar_t* key)
{
    uint32_t value = 0;
    if (outcome.record)
        outcome.record->GetIXDataU32(key, value);
    return value;
}

bool StepRegister(Context& context)
{
    BeginStep(context, (std::string("register ") + kPhone).c_str());
    const std::wstring phone = Wide(kPhone);
    const auto asked = CallRest(context, RequestKind::kGetAccScode,
                                [&] { return LoginApi::GetAccScode(phone.c_str(), DevServer::ScodeType::Register); });
    if (!asked)
        return false;
    // The local server "sends" the code by keeping it; a developer reads it
    // from the server's log or /_dev/scode.
    const auto code = context.localServer->GetState().accounts.PeekCode(kPhone, DevServer::ScodeType::Register);
    if (!code) {
        Fail("the server issued no verification code");
        return false;
    }
    Ok("verification code %s issued", Mask(*code).c_str());
    const std::wstring password = Wide(kPassword);
    const std::wstring codeText = Wide(*code);
    const auto outcome = CallRest(context, RequestKind::kRegisterNow, [&] {
        return LoginApi::RegisterNow(phone.c_str(), password.c_str(), codeText.c_str(), L"Demo Ann", L"Demo Works",
                                     L"");
    });
    if (!outcome)
        return false;
    Ok("code 0, user %u \"%s\" of \"%s\"", Number(*outcome, L"UserID"), Text(*outcome, L"UserName").c_str(),
       Text(*outcome, L"CorpName").c_str());
    return true;
}

// What the client does with a sign-in: the login item in the profile store
// (keepsafe) holds the user's data, and the user cache reads and writes it.
bool KeepSignedInUser(const RestOutcome& outcome, uint32_t userId, const std::string& token)
{
    XDataPtr<IXData> values;
    if (CreateIXData(values.Receive(), 0) == 0 || !values) {
        Fail("no record for the login item");
        return false;
    }
    values->SetIXDataStr(L"name", CStringW(Wide(Text(outcome, L"UserName"))));
    values->SetIXDataStr(L"head_url", CStringW(Wide(Text(outcome, L"UserHead"))));
    values->SetIXDataStr(L"phone", CStringW(Wide(Text(outcome, L"Phone"))));
    values->SetIXDataU32(L"corp_id", Number(outcome, L"CorpID"));
    values->SetIXDataU32(L"cur_corp_id", Number(outcome, L"CorpID"));
    values->SetIXDataStr(L"cur_corp_name", CStringW(Wide(Text(outcome, L"CorpName"))));
    values->SetIXDataStr(L"token", CStringW(Wide(token)));
    values->SetIXDataStr(L"wechat_nick", CStringW(Wide(Text(outcome, L"WeChatNick"))));
    if (Aux::Profile::Global::SaveLoginItem(userId, values.get()) == 0) {
        Fail("the profile store did not keep the login item of user %u", userId);
        return false;
    }
    Aux::UserCache::SetUserID(userId, 0);
    Ok("login item saved in %s", ToUtf8(Aux::Profile::Global::GetStorePath()).c_str());
    Ok("user cache: user %u \"%s\", phone %s, corporation %u \"%s\", token %s", Aux::UserCache::GetUserID(),
       ToUtf8(Aux::UserCache::GetUserNameW()).c_str(), ToUtf8(Aux::UserCache::GetUserPhone()).c_str(),
       Aux::UserCache::GetCurCorpID(), ToUtf8(Aux::UserCache::GetCurCorpName()).c_str(),
       Mask(ToUtf8(Aux::UserCache::GetToken())).c_str());
    return Aux::UserCache::GetUserID() == userId && ToUtf8(Aux::UserCache::GetToken()) == token;
}

bool StepPasswordLogin(Context& context, const std::string& phoneText, const std::string& passwordText,
                       uint32_t& userId)
{
    BeginStep(context, "sign in by password");
    const std::wstring phone = Wide(phoneText);
    const std::wstring password = Wide(passwordText);
    const auto outcome = CallRest(context, RequestKind::kAccountLogin,
                                  [&] { return LoginApi::AccountLogin(phone.c_str(), password.c_str()); });
    if (!outcome)
        return false;
    const std::string token = Text(*outcome, L"Token");
    if (token.empty()) {
        Fail("code 0 but the answer held no token");
        return false;
    }
    context.token = token;
    userId = Number(*outcome, L"UserID");
    Ok("code 0, user %u, phone %s, token %s", userId, Text(*outcome, L"Phone").c_str(), Mask(token).c_str());
    if (!KeepSignedInUser(*outcome, userId, token)) {
        Fail("the user cache does not show the signed-in user");
        return false;
    }
    return true;
}

bool StepProfile(Context& context)
{
    BeginStep(context, "change the profile");
    const std::wstring token = Wide(context.token);
    const auto outcome = CallRest(context, RequestKind::kModifyUserProfile,
                                  [&] { return LoginApi::ModifyUserProfile(token.c_str(), L"Ann the Demo", 42); });
    if (!outcome)
        return false;
    Ok("code 0, nickname \"%s\", picture 42", Text(*outcome, L"UserName").c_str());
    Aux::UserCache::SetUserName(CStringW(Wide(Text(*outcome, L"UserName"))));
    Ok("user cache: name \"%s\"", ToUtf8(Aux::UserCache::GetUserNameW()).c_str());
    return true;
}

bool StepCorporations(Context& context, bool create)
{
    const std::wstring token = Wide(context.token);
    if (create) {
        BeginStep(context, "create a corporation");
        const auto made = CallRest(context, RequestKind::kCorpCreate,
                                   [&] { return LoginApi::CorpCreate(token.c_str(), L"Demo Labs"); });
        if (!made)
            return false;
        Ok("code 0, corporation %u \"%s\"", Number(*made, L"CorpID"), Text(*made, L"CorpName").c_str());
    }
    BeginStep(context, "list the corporations");
    const auto listed =
        CallRest(context, RequestKind::kGetCorpList, [&] { return LoginApi::GetCorpList(token.c_str()); });
    if (!listed)
        return false;
    XDataPtr<IXDataArray> list;
    if (!listed->record || !listed->record->GetArray(L"ElementList", list.Receive()) || !list) {
        Fail("code 0 but no list");
        return false;
    }
    Ok("code 0, %u corporation(s)", list->GetCount());
    for (unsigned i = 0; i < list->GetCount(); ++i) {
        XDataPtr<IXData> item;
        uint32_t id = 0;
        CStringW name;
        if (list->GetAt(i, item.Receive()) && item && item->GetIXDataU32(L"CorpID", id) &&
            item->GetIXDataStr(L"CorpName", name))
            Ok("  %u %s", id, ToUtf8(name).c_str());
    }
    return true;
}

bool StepGuestLogin(Context& context, uint32_t userId)
{
    BeginStep(context, "sign in as a guest");
    const auto outcome = CallRest(context, RequestKind::kGuestLogin,
                                  [] { return LoginApi::GuestLogin(L"{6f1c2a8e-demo-guest}", L"Demo Guest"); });
    if (!outcome)
        return false;
    Ok("code 0, guest %u \"%s\", token %s", Number(*outcome, L"UserID"), Text(*outcome, L"UserName").c_str(),
       Mask(Text(*outcome, L"Token")).c_str());

    // A guest lives in the user cache's memory only: no login item.
    Aux::UserCache::SetUserID(Number(*outcome, L"UserID"), 1);
    Aux::UserCache::SetUserName(CStringW(Wide(Text(*outcome, L"UserName"))));
    Aux::UserCache::SetToken(CStringW(Wide(Text(*outcome, L"Token"))));
    Ok("user cache: guest %d, name \"%s\", token %s, corporation \"%s\", WeChat \"%s\"",
       Aux::UserCache::GetGuest(), ToUtf8(Aux::UserCache::GetUserNameW()).c_str(),
       Mask(ToUtf8(Aux::UserCache::GetToken())).c_str(), ToUtf8(Aux::UserCache::GetCurCorpName()).c_str(),
       ToUtf8(Aux::UserCache::GetWeChatNick()).c_str());
    const bool guestShown = Aux::UserCache::GetGuest() == 1 && Aux::UserCache::GetUserNameW() == L"Demo Guest";
    if (userId != 0) {
        Aux::UserCache::SetUserID(userId, 0);
        Ok("user cache: back to user %u \"%s\"", Aux::UserCache::GetUserID(),
           ToUtf8(Aux::UserCache::GetUserNameW()).c_str());
    }
    if (!guestShown)
        Fail("the user cache does not show the guest");
    return guestShown;
}

bool StepRefreshToken(Context& context)
{
    BeginStep(context, ("refresh the sign-in token " + Mask(context.token)).c_str());
    const std::wstring token = Wide(context.token);
    const auto outcome = CallRest(context, RequestKind::kRefreshToken,
                                  [&] { return LoginApi::RefreshToken(token.c_str()); });
    if (!outcome)
        return false;
    CStringW fresh;
    if (!outcome->record || !outcome->record->GetIXDataStr(L"Token", fresh) || fresh.IsEmpty()) {
        Fail("code 0 but the answer held no token");
        return false;
    }
    context.token = ToUtf8(fresh);
    Aux::UserCache::SetToken(fresh);
    Ok("code 0, new token %s", Mask(context.token).c_str());
    return true;
}

}  // namespace

bool RunAccountSteps(Context& context)
{
    uint32_t userId = 0;
    if (context.localServer == nullptr) {
        // Another deployment's accounts are real: nothing is registered or
        // changed there.
        if (!StepPasswordLogin(context, context.options.phone, context.options.password, userId))
            return false;
        const bool listed = StepCorporations(context, false);
        const bool guest = StepGuestLogin(context, userId);
        return StepRefreshToken(context) && listed && guest;
    }
    return StepRegister(context) && StepPasswordLogin(context, kPhone, kPassword, userId) && StepProfile(context) &&
           StepCorporations(context, true) && StepGuestLogin(context, userId) && StepRefreshToken(context);
}

bool EnsureSignedIn(Context& context)
{
    const CStringW token(Wide(context.token));
    if (context.localServer != nullptr) {
        const auto user = context.localServer->GetState().UserOfToken(context.token);
        if (!user) {
            Fail("the local server does not know the sign-in token");
            return false;
        }
        if (Aux::UserCache::GetUserID() != *user || Aux::UserCache::GetToken() != token) {
            // The login item in the profile store holds the token.
            XDataPtr<IXData> item;
            if (CreateIXData(item.Receive(), 0) == 0 || !item) {
                Fail("no record for the login item");
                return false;
            }
            item->SetIXDataStr(L"token", token);
            Aux::Profile::Global::SaveLoginItem(*user, item.get());
            Aux::UserCache::SetUserID(*user, 0);
        }
    } else if (context.token.empty() || Aux::UserCache::GetUserID() == 0 || Aux::UserCache::GetGuest() != 0 ||
               Aux::UserCache::GetToken() != token) {
        uint32_t userId = 0;
        if (!StepPasswordLogin(context, context.options.phone, context.options.password, userId))
            return false;
    }
    if (Aux::UserCache::GetUserID() == 0) {
        Fail("nobody is signed in");
        return false;
    }
    return true;
}

}  // namespace Demo
