#pragma once
// Aux::UserCache: who is signed in, the signed-in user's profile values and
// the head pictures on disk.
//
// The user id, the guest flag and a guest's name and token live in memory
// for the life of the library. The other profile values are read from and
// written to the user's login item in the profile store (keepsafe), which
// keeps them across runs. Head pictures are files "<user id>_<name>.png" in
// the user picture folder; the head-picture cache remembers their full
// paths, filled by LoadLocalHead and SetUserHead.
//
// Getters answer with the first rule that applies, in this order (the table
// is in docs/api-user.md): GetUserNameW and GetUserHeadURL look at the
// guest flag first, then at the user id; GetCurCorpName, GetToken and
// GetWeChatNick look at the user id first, then at the guest flag;
// GetUserPhone, GetCorpID and GetCurCorpID look at the user id only. A
// value missing from the login item reads as empty text or 0; a user
// without a login item reads as the getter's default ("Brenmoor" for
// GetCurCorpName, empty or 0 otherwise).
//
// Every function is thread-safe: picture downloads register their files
// from another thread than the client's.

#include <cstdint>

#include "pelbo/compat/StringW.h"
#include "pelbo/core/ServiceExport.h"

namespace Aux {
namespace UserCache {

// Stores the user id when it is not 0 (0 keeps the stored one) and always
// the guest flag (non-zero: a guest sign-in). Returns 1.
SERVICE_API int SetUserID(uint32_t userId, int guest);
// The guest flag when a user id is stored, else 0.
SERVICE_API int GetGuest();
// The stored user id; 0 when nobody signed in.
SERVICE_API unsigned GetUserID();

// A guest's own name for a guest (even before any user id); else "name".
SERVICE_API CStringW GetUserNameW();
// Empty for a guest; else "head_url".
SERVICE_API CStringW GetUserHeadURL();
SERVICE_API CStringW GetUserPhone();
SERVICE_API unsigned GetCorpID();
SERVICE_API unsigned GetCurCorpID();
// "Brenmoor" without a user id or login item; empty for a guest.
SERVICE_API CStringW GetCurCorpName();
// The guest's token for a guest with a user id; else "token".
SERVICE_API CStringW GetToken();
// Empty for a guest, who has no WeChat nickname; else "wechat_nick".
SERVICE_API CStringW GetWeChatNick();

// For a guest: the guest's name; else "name" of the signed-in user's item.
SERVICE_API void SetUserName(CStringW name);
// For a guest: the guest's token; else "token" of the signed-in user's item.
SERVICE_API void SetToken(CStringW token);
// "head_url" and "phone" of the signed-in user's item, guest or not.
SERVICE_API void SetUserHeadURL(CStringW url);
SERVICE_API void SetUserPhone(CStringW phone);

// Adds every visible file directly in the user picture folder to the
// head-picture cache (subfolders and hidden files are left out).
SERVICE_API void LoadLocalHead();
// Adds a full path to the cache: 1 when added, 0 when it was there.
SERVICE_API int SetUserHead(CStringW path);
// Deletes the user's head-picture files known to the cache and forgets
// them: 1 when at least one file was deleted, else 0.
SERVICE_API int DelUserHead(uint32_t userId);
// Inside Service, for the picture download: registers path as in
// SetUserHead, then deletes and forgets the user's other head-picture files
// as DelUserHead does; 1 when at least one of those was deleted. The caller
// has put the new file in place first, so the user never lacks a picture.
int ReplaceUserHead(uint32_t userId, CStringW path);
// 1 with the path of one existing head picture of the user, else 0 with
// path unchanged.
SERVICE_API int IsExistUserHead(uint32_t userId, CStringW& path);
// Whether the picture of this head URL is on disk: 1 with its path, else 0.
// An empty URL has no picture to look for and answers 1, path unchanged.
SERVICE_API int IsExistUserHead(uint32_t userId, CStringW headUrl, CStringW& path);

// Forgets the head-picture cache (LoadLocalHead fills it again); the
// identity stays.
SERVICE_API void DoExit();

}  // namespace UserCache
}  // namespace Aux
