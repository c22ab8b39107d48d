#include "pelbo/account/RequestToken.h"

#include "pelbo/account/UserCache.h"
#include "pelbo/corekit/Log.h"

namespace Aux {
namespace UserCache {

CStringW RequestToken(const wchar_t* tag, const wchar_t* request)
{
    CStringW token = GetToken();
    if (token.IsEmpty()) {
        Util::Log::Warn(tag,
                        L"%s: no token to send: user %u has no login item holding one (the client saves it "
                        L"with Aux::Profile::Global::SaveLoginItem after the sign-in), so the service will refuse",
                        request, GetUserID());
    }
    return token;
}

}  // namespace UserCache
}  // namespace Aux
