#pragma once
// LoginApi: the account operations of the REST service. Each function sends
// one request and returns non-zero when the HTTPS service accepted it; the
// outcome arrives later through ServiceEvent::HttpsServiceEvent with the
// operation's request kind (core/RequestKind.h). Text arguments are
// zero-terminated wide text; a null pointer counts as empty text. The keys
// of every result record are listed in docs/api-account.md.

#include <cstdint>

#include "pelbo/core/ServiceExport.h"

namespace LoginApi {

// Sign-in by password (sent as its MD5 digest). Kind 1, user record with
// "Phone" as sent.
SERVICE_API int AccountLogin(const wchar_t* phone, const wchar_t* password);

// Sign-in by verification code; an access token, when given, binds WeChat
// on the way. Kind 2, user record. Returns 0 without sending while the
// previous one is still out.
SERVICE_API int ScodeLogin(const wchar_t* phone, const wchar_t* code, const wchar_t* accessToken);

// Asks the service to send a verification code of the given type. Kind 4,
// record with "ReqType". Returns 0 without sending while the previous one
// is still out.
SERVICE_API int GetAccScode(const wchar_t* phone, int type);

// Registers a user (and a corporation when its name is given). Kind 3,
// user record. Returns 1 without sending while the previous one is still
// out: that registration's result is still to come.
SERVICE_API int RegisterNow(const wchar_t* phone, const wchar_t* password, const wchar_t* code, const wchar_t* name,
                            const wchar_t* corpName, const wchar_t* accessToken);

// The user's corporations. Kind 5, "ElementList" of records with "CorpID"
// and "CorpName".
SERVICE_API int GetCorpList(const wchar_t* token);

// Exchanges a token for a fresh one. Result kind 6 (RequestKind::kRefreshToken),
// record with "Token" when the service answered with JSON, null otherwise.
SERVICE_API int RefreshToken(const wchar_t* token);

// Guest sign-in under the installation's GUID. Kind 7, user record without
// "Phone".
SERVICE_API int GuestLogin(const wchar_t* guid, const wchar_t* name);

// Creates a corporation. Kind 8, record with "CorpID" and "CorpName".
SERVICE_API int CorpCreate(const wchar_t* token, const wchar_t* name);

// Changes the nickname and, when pictureId is not 0, the head picture.
// Kind 18, record with "UserName" (the nickname sent).
SERVICE_API int ModifyUserProfile(const wchar_t* token, const wchar_t* nick, uint64_t pictureId);

// Phone change in two steps: step 1 proves the old phone's code and gets a
// "Secret"; step 2 sends the new phone, its code and that secret. Kind 19,
// record with "Secret" and "ReqType" (the step).
SERVICE_API int ChangePhone(const wchar_t* token, const wchar_t* phone, const wchar_t* code, const wchar_t* secret,
                            unsigned step);

// Sets a new password, proven by a verification code. Kind 21, empty record.
SERVICE_API int ModifyPassword(const wchar_t* token, const wchar_t* phone, const wchar_t* code,
                               const wchar_t* password);

// Kind 24, empty record.
SERVICE_API int WeChatUnBind(const wchar_t* token);

// Kind 25, empty record.
SERVICE_API int WeChatBind(const wchar_t* token, const wchar_t* accessToken);

// Destroys the family's manager; the next call creates a fresh one.
// Outstanding requests are not cancelled, their results are dropped.
SERVICE_API void DoExit();

}  // namespace LoginApi
