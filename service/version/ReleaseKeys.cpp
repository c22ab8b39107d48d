#include "pelbo/version/ReleaseKeys.h"

#include <string>

#include "pelbo/corekit/Log.h"
#include "version/ReleaseKeysText.h"

namespace ReleaseKeys {
namespace {

std::vector<Util::Signature::Bytes> Parse()
{
    std::vector<Util::Signature::Bytes> keys;
    std::string error;
    if (!Util::Signature::ParseKeyFile(kReleaseKeysText, keys, error))
        Util::Log::Error(L"CCheckVersionMgr", L"the built-in release keys do not parse (%S): no manifest verifies",
                         error.c_str());
    else if (TrustsDevelopmentKey())
        Util::Log::Info(L"CCheckVersionMgr", L"this build trusts the local server's release signing key");
    return keys;
}

}  // namespace

const std::vector<Util::Signature::Bytes>& Trusted()
{
    static const std::vector<Util::Signature::Bytes> keys = Parse();
    return keys;
}

bool TrustsDevelopmentKey()
{
    return PELBO_TRUST_DEVSERVER_KEY != 0;
}

}  // namespace ReleaseKeys
