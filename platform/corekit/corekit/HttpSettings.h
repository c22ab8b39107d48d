#pragma once
// Service addresses and transport settings. Values come from the settings
// file "<data folder>/ServiceSettings.ini" (section [Service], see
// docs/configuration.md) when it exists, and can be replaced in code with the
// setters (tests and the demo point them at the local server). Every getter
// returns a copy and is safe from any thread.

#include "pelbo/compat/StringW.h"
#include "pelbo/corekit/CorekitExport.h"

namespace Http {

// REST base address, joined directly with paths that begin with "/".
COREKIT_API CStringW GetHttpUrlHead();
COREKIT_API void SetHttpUrlHead(const wchar_t* url);
// Websocket command-session address (ws:// or wss://).
COREKIT_API CStringW GetWSSUrl();
COREKIT_API void SetWSSUrl(const wchar_t* url);
// Version manifest address.
COREKIT_API CStringW GetManifestUrl();
COREKIT_API void SetManifestUrl(const wchar_t* url);
// Object-storage domain suffix: "." and a host, a port allowed.
COREKIT_API CStringW GetOssDomainSuffix();
COREKIT_API void SetOssDomainSuffix(const wchar_t* suffix);
// Object-storage addressing: non-zero for path-style, 0 for virtual-hosted.
COREKIT_API int GetOssPathStyle();
COREKIT_API void SetOssPathStyle(int pathStyle);
// Scheme of the object-storage address an upload ticket's endpoint becomes:
// L"http" (the default: documents travel unencrypted) or L"https" (TLS,
// verified like every other exchange, against GetCaBundle's file or the
// system's store). "oss_scheme" in the settings file. SetOssScheme takes
// those two words in any letter case and returns non-zero; anything else is
// refused (0, logged) and the scheme stays.
COREKIT_API CStringW GetOssScheme();
COREKIT_API int SetOssScheme(const wchar_t* scheme);
// Updates come over https only: a version manifest or an installer at a
// plain http address is refused unless this development switch
// ("allow_http_updates" in the settings file) is on, for a local server
// without TLS. Non-zero when allowed.
COREKIT_API int GetAllowHttpUpdates();
COREKIT_API void SetAllowHttpUpdates(int allow);
// Non-zero when an update may be fetched from url: https always, http only
// with the switch above.
COREKIT_API int IsUpdateAddressAllowed(const wchar_t* url);
// File of trusted CA certificates (PEM); empty means the system's store.
COREKIT_API CStringW GetCaBundle();
COREKIT_API void SetCaBundle(const wchar_t* path);
// Time-outs in milliseconds. The settings file's values must lie within
// ranges (docs/configuration.md); in code any value from 1 is taken, and 0,
// which would mean no time-out at all, gives the default.
COREKIT_API unsigned GetConnectTimeoutMs();
COREKIT_API void SetConnectTimeoutMs(unsigned ms);
COREKIT_API unsigned GetRequestTimeoutMs();
COREKIT_API void SetRequestTimeoutMs(unsigned ms);

// The proxy every exchange goes through, "proxy" in the settings file:
// empty (the default) for none, else "http://host:port" (HTTP CONNECT),
// "socks5://host:port" (SOCKS5, names resolved here) or
// "socks5h://host:port" (SOCKS5, the proxy resolves names); an IPv6 host in
// brackets. The value is kept in the form libcurl's CURLOPT_PROXY takes.
// SetProxy returns non-zero when it took the address (null or empty: no
// proxy); another scheme, a path, user info or a missing port is refused
// (0, logged without the address when it may hold a password) and the proxy
// stays.
COREKIT_API CStringW GetProxy();
COREKIT_API int SetProxy(const wchar_t* proxy);
// Credentials for the proxy ("proxy_user", "proxy_password"): Basic for
// HTTP CONNECT, username/password (RFC 1929) for SOCKS5. Empty user: none.
COREKIT_API CStringW GetProxyUser();
COREKIT_API void SetProxyUser(const wchar_t* user);
COREKIT_API CStringW GetProxyPassword();
COREKIT_API void SetProxyPassword(const wchar_t* password);
// Hosts reached directly although a proxy is set ("no_proxy"), by
// libcurl's CURLOPT_NOPROXY rules: comma-separated entries, each matching
// the host of that name and its subdomains (letter case and a leading "."
// aside), an IP address exactly (an IPv4 one also as a "/bits" network),
// "*" every host.
// Kept normalised: blanks and ports dropped, "*" alone when listed.
COREKIT_API CStringW GetNoProxy();
COREKIT_API void SetNoProxy(const wchar_t* list);
// Non-zero when an exchange with host goes direct: no proxy is set, or the
// host matches the no-proxy list.
COREKIT_API int BypassesProxy(const wchar_t* host);

// Reads the settings file again (the setters' values are replaced by the
// file's where it has them); a null or empty path means the default file.
// Non-zero when a file was read.
COREKIT_API int LoadSettingsFile(const wchar_t* path);
// Back to the built-in defaults; the settings file is not read again unless
// LoadSettingsFile asks for it.
COREKIT_API void ResetSettings();

}  // namespace Http

namespace Util {
namespace Curl {
// Global libcurl initialisation, once per process; later calls do nothing.
COREKIT_API int Init();
}  // namespace Curl
}  // namespace Util
