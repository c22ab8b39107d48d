#include "pelbo/account/LoginApi.h"

#include "pelbo/account/LoginMgr.h"
#include "pelbo/core/ExportGuard.h"

namespace LoginApi {
namespace {

// Runs one operation on the family's manager (created on first use); 0 when
// no manager could be made or anything went wrong on the way.
template <typename F>
int WithManager(const wchar_t* function, F&& call)
{
    return Frame::GuardExport(function, 0, [&call] {
        const auto mgr = CLoginMgr::Instance().Get();
        return mgr != nullptr ? call(*mgr) : 0;
    });
}

}  // namespace

int AccountLogin(const wchar_t* phone, const wchar_t* password)
{
    return WithManager(L"LoginApi::AccountLogin",
                       [&](CLoginMgr& mgr) { return mgr.AccountLogin(phone, password); });
}

int ScodeLogin(const wchar_t* phone, const wchar_t* code, const wchar_t* accessToken)
{
    return WithManager(L"LoginApi::ScodeLogin",
                       [&](CLoginMgr& mgr) { return mgr.ScodeLogin(phone, code, accessToken); });
}

int GetAccScode(const wchar_t* phone, int type)
{
    return WithManager(L"LoginApi::GetAccScode", [&](CLoginMgr& mgr) { return mgr.GetAccScode(phone, type); });
}

int RegisterNow(const wchar_t* phone, const wchar_t* password, const wchar_t* code, const wchar_t* name,
                const wchar_t* corpName, const wchar_t* accessToken)
{
    return WithManager(L"LoginApi::RegisterNow", [&](CLoginMgr& mgr) {
        return mgr.RegisterNow(phone, password, code, name, corpName, accessToken);
    });
}

int GetCorpList(const wchar_t* token)
{
    return WithManager(L"LoginApi::GetCorpList", [&](CLoginMgr& mgr) { return mgr.GetCorpList(token); });
}

int RefreshToken(const wchar_t* token)
{
    return WithManager(L"LoginApi::RefreshToken", [&](CLoginMgr& mgr) { return mgr.RefreshToken(token); });
}

int GuestLogin(const wchar_t* guid, const wchar_t* name)
{
    return WithManager(L"LoginApi::GuestLogin", [&](CLoginMgr& mgr) { return mgr.GuestLogin(guid, name); });
}

int CorpCreate(const wchar_t* token, const wchar_t* name)
{
    return WithManager(L"LoginApi::CorpCreate", [&](CLoginMgr& mgr) { return mgr.CorpCreate(token, name); });
}

int ModifyUserProfile(const wchar_t* token, const wchar_t* nick, uint64_t pictureId)
{
    return WithManager(L"LoginApi::ModifyUserProfile",
                       [&](CLoginMgr& mgr) { return mgr.ModifyUserProfile(token, nick, pictureId); });
}

int ChangePhone(const wchar_t* token, const wchar_t* phone, const wchar_t* code, const wchar_t* secret,
                unsigned step)
{
    return WithManager(L"LoginApi::ChangePhone",
                       [&](CLoginMgr& mgr) { return mgr.ChangePhone(token, phone, code, secret, step); });
}

int ModifyPassword(const wchar_t* token, const wchar_t* phone, const wchar_t* code, const wchar_t* password)
{
    return WithManager(L"LoginApi::ModifyPassword",
                       [&](CLoginMgr& mgr) { return mgr.ModifyPassword(token, phone, code, password); });
}

int WeChatUnBind(const wchar_t* token)
{
    return WithManager(L"LoginApi::WeChatUnBind", [&](CLoginMgr& mgr) { return mgr.WeChatUnBind(token); });
}

int WeChatBind(const wchar_t* token, const wchar_t* accessToken)
{
    return WithManager(L"LoginApi::WeChatBind",
                       [&](CLoginMgr& mgr) { return mgr.WeChatBind(token, accessToken); });
}

void DoExit()
{
    Frame::GuardExport(L"LoginApi::DoExit", [] { CLoginMgr::Instance().Exit(); });
}

}  // namespace LoginApi
