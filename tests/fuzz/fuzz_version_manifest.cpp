// The version manifest reader. The first byte's low bit marks an exchange
// that did not complete (the kept manifest then stands in), its next bit a
// manifest whose signature is not the publisher's; the rest is the manifest,
// delivered as the answer to the manager's real request, and its signature
// (made here with the local server's key, which this build trusts) as the
// answer to the other. A forged manifest never announces anything of its
// own; an announced release has a plain web address and whole digests, and
// is kept so that it verifies and reads back as the same values.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "pelbo/account/UserConfig.h"
#include "pelbo/core/JsonBridge.h"
#include "pelbo/core/ServiceEvent.h"
#include "pelbo/corekit/Signature.h"
#include "pelbo/corekit/Text.h"
#include "devserver/ReleaseSigningKey.h"
#include "pelbo/version/CheckVersionMgr.h"
#include "pelbo/version/SignedManifest.h"

namespace {

struct Announcement {
    bool heard = false;
    CStringW version;
    CStringW url;
    CStringW md5;
};

Announcement& Heard()
{
    static Announcement heard;
    return heard;
}

Fuzz::HttpsService& Service()
{
    static Fuzz::HttpsService service;
    return service;
}

const Util::Signature::Bytes& ServerKey()
{
    static const Util::Signature::Bytes key = [] {
        std::vector<Util::Signature::Bytes> keys;
        std::string error;
        Fuzz::Check(Util::Signature::ParseKeyFile(kReleaseSigningKey, keys, error) && keys.size() == 1,
                    "the local server's key parses");
        return keys.front();
    }();
    return key;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    Fuzz::PrivateRoot();
    Service();
    [[maybe_unused]] static event::connection announced = ServiceEvent::UpdatePelboVersion().connect(
        [](CStringW version, CStringW url, CStringW md5) { Heard() = Announcement{true, version, url, md5}; });
    const std::shared_ptr<CCheckVersionMgr> manager = CCheckVersionMgr::Instance().Get();
    const int completed = (data[0] & 1) != 0 ? 0 : 1;
    const bool forged = (data[0] & 2) != 0;
    const std::wstring manifest = Fuzz::Text(data + 1, size - 1);
    // What the manager receives is the wide text; the signature covers the
    // bytes that text stands for.
    const std::string bytes = Util::Convert::W_2_Utf8(manifest);
    const std::optional<Util::Signature::Bytes> signature =
        Util::Signature::Sign(ServerKey(), bytes.data(), bytes.size());
    Fuzz::Check(signature.has_value(), "signing works");
    std::wstring signatureText = Util::Convert::Utf8_2_W(Util::Signature::Base64Encode(*signature));
    if (forged)
        signatureText[0] = signatureText[0] == L'A' ? L'B' : L'A';

    const CStringW keptBefore = Aux::UserConfig::GetPelboVer();
    Heard() = Announcement();
    Fuzz::Check(manager->CheckVersion() != 0, "the requests go out");
    Fuzz::Check(Service().DeliverEarlier(manifest, completed), "the manifest reaches the manager");
    Fuzz::Check(Service().Deliver(signatureText, completed), "the signature reaches the manager");
    if (!Heard().heard)
        return 0;
    Fuzz::Check(CCheckVersionMgr::IsNewer(Heard().version.str(), CCheckVersionMgr::kBuiltInVersion),
                "only a newer release is announced");
    Fuzz::Check(CCheckVersionMgr::IsInstallerUrl(Heard().url.str()), "the installer address is a web address");
    Fuzz::Check(CCheckVersionMgr::IsMd5Digest(Heard().md5.str()), "the digest is whole");
    Fuzz::Check(CCheckVersionMgr::IsSha256Digest(manager->Sha256().str()), "the SHA-256 is whole");
    if (forged || completed == 0)
        Fuzz::Check(Heard().version == keptBefore, "a failed or forged check announces only the kept release");

    // What is kept for a later check that cannot reach the server: the
    // announced release, verifying, and when the release is new, this
    // manifest byte for byte.
    const std::optional<CSignedManifest> kept = CSignedManifest::LoadKept();
    Fuzz::Check(kept.has_value(), "the announced manifest is kept");
    Json::Value root;
    std::string reason;
    Fuzz::Check(kept->Check(0, root, reason) == CSignedManifest::Verdict::Trusted, "the kept manifest verifies");
    Fuzz::Check(root["version"].isString() &&
                    Util::Convert::Utf8_2_W(root["version"].asString()) == Heard().version.str(),
                "the kept manifest names the announced release");
    if (Heard().version != keptBefore)
        Fuzz::Check(kept->Bytes() == bytes, "a new release's manifest is kept byte for byte");
    const std::wstring line = Aux::UserConfig::GetVersionJson().str();
    Fuzz::Check(line.find_first_of(L"\r\n") == std::wstring::npos, "the remembered text is one line");
    return 0;
}
