#pragma once
// The signed-in user's token for a request the library sends on its own
// (the session's sign-in, an upload ticket). The user cache reads it from
// the user's login item, which the client saves after the sign-in; a client
// that skipped that sends an empty token and hears only the service's
// refusal, so the log says what is missing.

#include "pelbo/compat/StringW.h"

namespace Aux {
namespace UserCache {

// GetToken(); when it is empty, one line under tag names the request and
// the missing login item.
CStringW RequestToken(const wchar_t* tag, const wchar_t* request);

}  // namespace UserCache
}  // namespace Aux
