// User family: the signed-in identity as the user cache hands it to the
// client, the per-machine configuration file, and the profile store that
// keeps a login item per user.

#include <cinttypes>
#include <fstream>
#include <string>
#include <vector>

#include "DemoSteps.h"
#include "pelbo/account/UserCache.h"
#include "pelbo/account/UserConfig.h"
#include "pelbo/compat/TextConvert.h"
#include "pelbo/corekit/Path.h"
#include "pelbo/keepsafe/Profile.h"

namespace Demo {

namespace {

bool StepIdentity(Context& context)
{
    const bool signedIn = EnsureSignedIn(context);
    BeginStep(context, "the signed-in user in the user cache");
    if (!signedIn) {
        Fail("nobody is signed in");
        return false;
    }
    Ok("user %u, guest %d, \"%s\", phone %s", Aux::UserCache::GetUserID(), Aux::UserCache::GetGuest(),
       ToUtf8(Aux::UserCache::GetUserNameW()).c_str(), ToUtf8(Aux::UserCache::GetUserPhone()).c_str());
    Ok("corporation %u, current %u \"%s\", token %s", Aux::UserCache::GetCorpID(), Aux::UserCache::GetCurCorpID(),
       ToUtf8(Aux::UserCache::GetCurCorpName()).c_str(), Mask(ToUtf8(Aux::UserCache::GetToken())).c_str());
    const std::string head = ToUtf8(Aux::UserCache::GetUserHeadURL());
    Ok("head picture %s", head.empty() ? "(none)" : head.c_str());
    if (ToUtf8(Aux::UserCache::GetToken()) != context.token) {
        Fail("the user cache holds another token than the signed-in one");
        return false;
    }
    return true;
}

bool StepConfiguration(Context& context)
{
    BeginStep(context, "the user configuration file");
    Aux::UserConfig::SetAutoLogin(1);
    Aux::UserConfig::SetCaremaDevName(L"Demo Camera");
    Aux::UserConfig::SetMicroDevName(L"Demo Microphone \u2116 2");
    Aux::UserConfig::SetUniqueID(Aux::UserCache::GetUserID());
    const bool same = Aux::UserConfig::GetAutoLogin() == 1 &&
                      Aux::UserConfig::GetCaremaDevName() == CStringW(L"Demo Camera") &&
                      Aux::UserConfig::GetMicroDevName() == CStringW(L"Demo Microphone \u2116 2") &&
                      Aux::UserConfig::GetUniqueID() == Aux::UserCache::GetUserID();
    Ok("auto sign-in %d, camera \"%s\", microphone \"%s\", last user %u", Aux::UserConfig::GetAutoLogin(),
       ToUtf8(Aux::UserConfig::GetCaremaDevName()).c_str(), ToUtf8(Aux::UserConfig::GetMicroDevName()).c_str(),
       Aux::UserConfig::GetUniqueID());
    Ok("chairman limit %d, material preview tip %d, last message %" PRId64,
       Aux::UserConfig::GetChairmainMaxCount(), Aux::UserConfig::GetMaterPreviewTip(),
       Aux::UserConfig::GetLastMsgID());
    if (!same) {
        Fail("a value read back differs from the one written");
        return false;
    }
    const std::string file = ToUtf8(Util::Path::GetDataFolder(0)) + "/GloabConfig.ini";
    std::ifstream in(file);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    if (lines.empty()) {
        Fail("%s is missing or empty", file.c_str());
        return false;
    }
    Ok("%s:", file.c_str());
    for (const std::string& line : lines)
        std::printf("            %s\n", line.c_str());
    return true;
}

bool StepProfileStore(Context& context)
{
    BeginStep(context, "login items in the profile store");
    std::vector<uint32_t> ids;
    if (Aux::Profile::Global::ListLoginItems(ids) == 0) {
        Fail("the profile store could not be read");
        return false;
    }
    std::string list;
    for (uint32_t id : ids)
        list += (list.empty() ? "" : ", ") + std::to_string(id);
    Ok("%s holds %zu login item(s): %s", ToUtf8(Aux::Profile::Global::GetStorePath()).c_str(), ids.size(),
       list.c_str());
    if (Aux::Profile::Global::HasLoginItem(Aux::UserCache::GetUserID()) == 0) {
        Fail("the signed-in user has no login item");
        return false;
    }
    return true;
}

}  // namespace

bool RunUserSteps(Context& context)
{
    return StepIdentity(context) && StepConfiguration(context) && StepProfileStore(context);
}

}  // namespace Demo
