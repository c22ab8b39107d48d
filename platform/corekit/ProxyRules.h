#pragma once
// The proxy of the settings: which addresses are taken, the form the
// no-proxy list is kept in, and which hosts go direct. The list follows
// libcurl's CURLOPT_NOPROXY rules, so that the websocket and the libcurl
// exchanges decide alike for every host. Narrow text is UTF-8.

#include <string>

namespace Http {
namespace ProxyRules {

// A proxy address is "http://", "socks5://" or "socks5h://", a host (an
// IPv6 literal in brackets) and a port 1..65535, at most a "/" after it.
// Empty when taken, with *canonical the form kept (scheme in lower case, no
// "/", the port without leading zeros); otherwise why it is refused. The
// reason never repeats the address, which may hold a password.
std::string CheckProxy(const std::string& text, std::string* canonical);

// The list as kept: entries split at commas and blanks, each without a port
// ("host:port", "[v6]:port", "[v6]" give the host), joined with ","; just
// "*" when any entry is "*", as libcurl takes "*" only as the whole list.
std::string NormalizeNoProxy(const std::string& text);

// True when host (a name, or an IPv4 or IPv6 literal, the latter with or
// without brackets) matches an entry of list: a name equal to the entry or
// ending in "." and the entry (a leading or trailing "." of the entry, a
// trailing "." of the name and letter case aside); an address equal to the
// entry's, or for IPv4 within it when the entry has a "/bits" prefix
// length (an IPv6 entry with one matches nothing, as in libcurl 7.88).
bool MatchesNoProxy(const std::string& host, const std::string& list);

}  // namespace ProxyRules
}  // namespace Http
