// Account family: the sign-in token.

#include "DemoSteps.h"
#include "account/LoginApi.h"
#include "compat/TextConvert.h"
#include "core/RequestKind.h"

namespace Demo {

namespace {

bool StepRefreshToken(Context& context)
{
    BeginStep(context, ("refresh the sign-in token " + Mask(context.token)).c_str());
    const std::wstring token = ToWide(context.token.c_str(), CP_UTF8);
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
    Ok("code 0, new token %s", Mask(context.token).c_str());
    return true;
}

}  // namespace

bool RunAccountSteps(Context& context)
{
    return StepRefreshToken(context);
}

}  // namespace Demo
