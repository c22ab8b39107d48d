#pragma once
// A websocket address taken apart: "ws://host[:port][/path][?query]" or
// "wss://...", the host possibly an IPv6 literal in brackets.

#include <string>

namespace Wirelink {

struct WsUrl {
    bool tls = false;
    std::string host;    // without brackets
    std::string port;    // "80"/"443" unless given
    std::string target;  // path and query, "/" at least
    // The Host header: the host (bracketed for IPv6) and a port that is not
    // the scheme's default.
    std::string HostHeader() const;
};

// False for another scheme, an empty host, a bad port, or characters that
// have no place in an address (white space, control characters).
bool ParseWsUrl(const std::string& text, WsUrl* url);

}  // namespace Wirelink
