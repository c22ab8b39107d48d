#pragma once
// LoginApi: the account operations of the REST service. Each function sends
// one request and returns non-zero when the HTTPS service accepted it; the
// outcome arrives later through ServiceEvent::HttpsServiceEvent with the
// operation's request kind (core/RequestKind.h).

#include "core/ServiceExport.h"

namespace LoginApi {

// Exchanges a token for a fresh one. Result kind 6 (RequestKind::kRefreshToken),
// record with "Token" when the service answered with JSON, null otherwise.
SERVICE_API int RefreshToken(const wchar_t* token);

// Destroys the family's manager; the next call creates a fresh one.
// Outstanding requests are not cancelled, their results are dropped.
SERVICE_API void DoExit();

}  // namespace LoginApi
