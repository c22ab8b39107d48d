// The version manifest reader. The first byte's low bit marks an exchange
// that did not complete (the remembered manifest then stands in); the rest
// is the manifest, delivered as the answer to the manager's real request.
// A manifest kept for later is one line that reads back as the same values,
// and a release is announced only with a plain web address and a digest.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "FuzzSupport.h"
#include "account/UserConfig.h"
#include "core/JsonBridge.h"
#include "core/ServiceEvent.h"
#include "version/CheckVersionMgr.h"

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
    const std::wstring manifest = Fuzz::Text(data + 1, size - 1);
    Heard() = Announcement();
    Fuzz::Check(manager->CheckVersion() != 0, "the request goes out");
    Fuzz::Check(Service().Deliver(manifest, completed), "the answer reaches the manager");
    if (!Heard().heard)
        return 0;
    Fuzz::Check(CCheckVersionMgr::IsNewer(Heard().version.str(), CCheckVersionMgr::kBuiltInVersion),
                "only a newer release is announced");
    Fuzz::Check(CCheckVersionMgr::IsInstallerUrl(Heard().url.str()), "the installer address is a web address");
    Fuzz::Check(CCheckVersionMgr::IsMd5Digest(Heard().md5.str()), "the digest is whole");

    // What was kept for a later check that cannot reach the server.
    const std::wstring kept = Aux::UserConfig::GetVersionJson().str();
    Fuzz::Check(kept.find_first_of(L"\r\n") == std::wstring::npos, "the kept manifest is one line");
    // The configuration file gives text back as at most 259 characters: a
    // longer manifest is announced only while it can be fetched.
    if (kept.size() >= 259)
        return 0;
    Json::Value original;
    Json::Value reread;
    // The manager reads an answer up to its first zero, if it has one.
    const std::wstring read = completed != 0 ? std::wstring(manifest.c_str()) : kept;
    Fuzz::Check(JsonParse(CStringW(read), original), "the announced manifest parses");
    Fuzz::Check(JsonParse(CStringW(kept), reread), "the kept manifest parses");
    Fuzz::Check(reread == original, "the kept manifest reads back as the same values");
    return 0;
}
