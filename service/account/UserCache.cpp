#include "pelbo/account/UserCache.h"

#include <memory>
#include <mutex>
#include <string>

#include "pelbo/account/UserCacheIdentity.h"
#include "pelbo/account/UserHeadCache.h"
#include "pelbo/core/ExportGuard.h"
#include "pelbo/corekit/Path.h"
#include "pelbo/corekit/XData.h"
#include "pelbo/keepsafe/Profile.h"

namespace Aux {
namespace UserCache {
namespace {

using Account::CUserCacheIdentity;
using Account::CUserHeadCache;

constexpr wchar_t kDefaultCorpName[] = L"Brenmoor";

// The head-picture cache is shared by whoever uses it: DoExit only lets go
// of the holder's reference, so a picture download still registering its
// file on another thread finishes on the cache it started with.
std::mutex g_headCacheLock;
std::shared_ptr<CUserHeadCache> g_headCache;

std::shared_ptr<CUserHeadCache> HeadCache()
{
    std::lock_guard<std::mutex> guard(g_headCacheLock);
    if (!g_headCache)
        g_headCache = std::make_shared<CUserHeadCache>();
    return g_headCache;
}

CUserCacheIdentity::Snapshot Identity()
{
    return CUserCacheIdentity::Instance().Get();
}

// The user's login item, null when the store has none.
XDataPtr<IXData> LoginItem(uint32_t userId)
{
    XDataPtr<IXData> item;
    if (Aux::Profile::Global::GetLoginItem(userId, item.Receive(), 0) == 0)
        item.Reset();
    return item;
}

// A text value of the user's item; an item without the key gives empty
// text, a missing item the fallback.
CStringW ItemText(uint32_t userId, const wchar_t* key, const wchar_t* noItem)
{
    XDataPtr<IXData> item = LoginItem(userId);
    if (!item)
        return CStringW(noItem);
    CStringW value;
    item->GetIXDataStr(key, value);
    return value;
}

unsigned ItemNumber(uint32_t userId, const wchar_t* key)
{
    XDataPtr<IXData> item = LoginItem(userId);
    uint32_t value = 0;
    if (item)
        item->GetIXDataU32(key, value);
    return value;
}

void WriteItemText(uint32_t userId, const wchar_t* key, const CStringW& value)
{
    XDataPtr<IXData> item = LoginItem(userId);
    if (item)
        item->SetIXDataStr(key, value);
}

std::wstring PictureFolder()
{
    return Util::Path::GetUserPicFolder().str();
}

}  // namespace

int SetUserID(uint32_t userId, int guest)
{
    return Frame::GuardExport(L"Aux::UserCache::SetUserID", 1, [&] {
        CUserCacheIdentity::Instance().Set(userId, guest);
        return 1;
    });
}

int GetGuest()
{
    return Frame::GuardExport(L"Aux::UserCache::GetGuest", 0, [] {
        const auto identity = Identity();
        return identity.userId != 0 ? identity.guest : 0;
    });
}

unsigned GetUserID()
{
    return Frame::GuardExport(L"Aux::UserCache::GetUserID", 0u, [] { return Identity().userId; });
}

CStringW GetUserNameW()
{
    return Frame::GuardExport(L"Aux::UserCache::GetUserNameW", CStringW(), [] {
        const auto identity = Identity();
        if (identity.guest != 0)
            return CStringW(identity.guestName);
        if (identity.userId == 0)
            return CStringW();
        return ItemText(identity.userId, L"name", L"");
    });
}

CStringW GetUserHeadURL()
{
    return Frame::GuardExport(L"Aux::UserCache::GetUserHeadURL", CStringW(), [] {
        const auto identity = Identity();
        if (identity.guest != 0 || identity.userId == 0)
            return CStringW();
        return ItemText(identity.userId, L"head_url", L"");
    });
}

CStringW GetUserPhone()
{
    return Frame::GuardExport(L"Aux::UserCache::GetUserPhone", CStringW(), [] {
        const uint32_t userId = Identity().userId;
        return userId != 0 ? ItemText(userId, L"phone", L"") : CStringW();
    });
}

unsigned GetCorpID()
{
    return Frame::GuardExport(L"Aux::UserCache::GetCorpID", 0u, [] {
        const uint32_t userId = Identity().userId;
        return userId != 0 ? ItemNumber(userId, L"corp_id") : 0u;
    });
}

unsigned GetCurCorpID()
{
    return Frame::GuardExport(L"Aux::UserCache::GetCurCorpID", 0u, [] {
        const uint32_t userId = Identity().userId;
        return userId != 0 ? ItemNumber(userId, L"cur_corp_id") : 0u;
    });
}

CStringW GetCurCorpName()
{
    return Frame::GuardExport(L"Aux::UserCache::GetCurCorpName", CStringW(kDefaultCorpName), [] {
        const auto identity = Identity();
        if (identity.userId == 0)
            return CStringW(kDefaultCorpName);
        if (identity.guest != 0)
            return CStringW();
        return ItemText(identity.userId, L"cur_corp_name", kDefaultCorpName);
    });
}

CStringW GetToken()
{
    return Frame::GuardExport(L"Aux::UserCache::GetToken", CStringW(), [] {
        const auto identity = Identity();
        if (identity.userId == 0)
            return CStringW();
        if (identity.guest != 0)
            return CStringW(identity.guestToken);
        return ItemText(identity.userId, L"token", L"");
    });
}

CStringW GetWeChatNick()
{
    return Frame::GuardExport(L"Aux::UserCache::GetWeChatNick", CStringW(), [] {
        const auto identity = Identity();
        // A guest has no WeChat binding, so no nickname: answering with the
        // guest's name would show it where a WeChat name is expected.
        if (identity.userId == 0 || identity.guest != 0)
            return CStringW();
        return ItemText(identity.userId, L"wechat_nick", L"");
    });
}

void SetUserName(CStringW name)
{
    Frame::GuardExport(L"Aux::UserCache::SetUserName", [&] {
        if (CUserCacheIdentity::Instance().SetGuestName(name.str()))
            return;
        const uint32_t userId = Identity().userId;
        if (userId != 0)
            WriteItemText(userId, L"name", name);
    });
}

void SetToken(CStringW token)
{
    Frame::GuardExport(L"Aux::UserCache::SetToken", [&] {
        if (CUserCacheIdentity::Instance().SetGuestToken(token.str()))
            return;
        // The store decides for user id 0 (it holds no item under it).
        WriteItemText(Identity().userId, L"token", token);
    });
}

void SetUserHeadURL(CStringW url)
{
    Frame::GuardExport(L"Aux::UserCache::SetUserHeadURL", [&] {
        const uint32_t userId = Identity().userId;
        if (userId != 0)
            WriteItemText(userId, L"head_url", url);
    });
}

void SetUserPhone(CStringW phone)
{
    Frame::GuardExport(L"Aux::UserCache::SetUserPhone", [&] {
        const uint32_t userId = Identity().userId;
        if (userId != 0)
            WriteItemText(userId, L"phone", phone);
    });
}

void LoadLocalHead()
{
    Frame::GuardExport(L"Aux::UserCache::LoadLocalHead", [] {
        const std::shared_ptr<CUserHeadCache> cache = HeadCache();
        if (cache != nullptr)
            cache->LoadFolder(PictureFolder());
    });
}

int SetUserHead(CStringW path)
{
    return Frame::GuardExport(L"Aux::UserCache::SetUserHead", 0, [&] {
        const std::shared_ptr<CUserHeadCache> cache = HeadCache();
        return cache != nullptr && cache->Add(path.str()) ? 1 : 0;
    });
}

int DelUserHead(uint32_t userId)
{
    return Frame::GuardExport(L"Aux::UserCache::DelUserHead", 0, [&] {
        const std::shared_ptr<CUserHeadCache> cache = HeadCache();
        return cache != nullptr && cache->DeleteUser(PictureFolder(), userId) ? 1 : 0;
    });
}

int ReplaceUserHead(uint32_t userId, CStringW path)
{
    return Frame::GuardExport(L"Aux::UserCache::ReplaceUserHead", 0, [&] {
        const std::shared_ptr<CUserHeadCache> cache = HeadCache();
        if (cache == nullptr)
            return 0;
        cache->Add(path.str());
        return cache->DeleteUser(PictureFolder(), userId, path.str()) ? 1 : 0;
    });
}

int IsExistUserHead(uint32_t userId, CStringW& path)
{
    return Frame::GuardExport(L"Aux::UserCache::IsExistUserHead", 0, [&] {
        const std::shared_ptr<CUserHeadCache> cache = HeadCache();
        std::wstring found;
        if (cache == nullptr || !cache->FindUser(PictureFolder(), userId, found))
            return 0;
        path = found;
        return 1;
    });
}

int IsExistUserHead(uint32_t userId, CStringW headUrl, CStringW& path)
{
    return Frame::GuardExport(L"Aux::UserCache::IsExistUserHead", 0, [&] {
        const std::shared_ptr<CUserHeadCache> cache = HeadCache();
        if (cache == nullptr)
            return 0;
        const std::wstring candidate = CUserHeadCache::PictureFor(PictureFolder(), userId, headUrl.str());
        if (candidate.empty())
            return 1;
        if (!cache->HasExisting(candidate))
            return 0;
        path = candidate;
        return 1;
    });
}

void DoExit()
{
    Frame::GuardExport(L"Aux::UserCache::DoExit", [] {
        std::shared_ptr<CUserHeadCache> released;
        std::lock_guard<std::mutex> guard(g_headCacheLock);
        released.swap(g_headCache);
    });
}

}  // namespace UserCache
}  // namespace Aux
