#pragma once
// Aux::Version: whether a newer client has been released. The check reads
// the version manifest at the address of the settings (Http::GetManifestUrl);
// when it names a release newer than this library's version, the release is
// remembered in the configuration file (Aux::UserConfig "Pelbo_Ver" and
// "Pelbo_Json") and announced through ServiceEvent::UpdatePelboVersion with
// the version, the installer's address and its MD5 digest, on the HTTPS
// service's thread. When the manifest cannot be fetched, the remembered one
// is announced again. See docs/updater.md.

#include <vector>

#include "compat/StringW.h"
#include "core/ServiceExport.h"

namespace Aux {
namespace Version {

// Sends the manifest request; an answer to an earlier one still out is no
// longer delivered.
SERVICE_API void CheckVersion();
// The same request; returns 0.
SERVICE_API int StartPelboUpdate();
// The release notes of the last manifest read (empty before the first).
SERVICE_API std::vector<CStringW> GetUpdateMsg();
// Destroys the family's manager; the next call creates a fresh one.
SERVICE_API void DoExit();

}  // namespace Version
}  // namespace Aux
