#pragma once
// Aux::Version: whether a newer client has been released. The check reads
// the version manifest at the address of the settings (Http::GetManifestUrl)
// and its signature (that address plus ".sig"); only a manifest signed by a
// release key built into this library and not expired is believed. When it
// names a release newer than this library's version, the release is
// remembered (Aux::UserConfig "Pelbo_Ver" and "Pelbo_Json", and the signed
// manifest in a file of its own in the data folder) and announced through
// ServiceEvent::UpdatePelboVersion with the version, the installer's address
// and its MD5 digest, on the HTTPS service's thread. When the manifest
// cannot be fetched or believed, the remembered one is announced again while
// its signature verifies and it has not expired. See docs/updater.md.

#include <vector>

#include "pelbo/compat/StringW.h"
#include "pelbo/core/ServiceExport.h"

namespace Aux {
namespace Version {

// Sends the manifest request; an answer to an earlier one still out is no
// longer delivered.
SERVICE_API void CheckVersion();
// The same request; returns 0.
SERVICE_API int StartPelboUpdate();
// The release notes of the last manifest read (empty before the first).
SERVICE_API std::vector<CStringW> GetUpdateMsg();
// The updater's command line for the release last announced, to pass to
// Tidewell as it stands: "--version=N --url=... --md5=... --size=N
// --sha256=... --installed-version=N" (no value holds a blank). Empty before
// a release was announced.
SERVICE_API CStringW GetUpdaterArguments();
// Destroys the family's manager; the next call creates a fresh one.
SERVICE_API void DoExit();

}  // namespace Version
}  // namespace Aux
