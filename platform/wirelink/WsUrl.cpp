#include "WsUrl.h"

#include <cctype>

namespace Wirelink {
namespace {

bool StartsWithNoCase(const std::string& text, const char* prefix)
{
    for (std::size_t i = 0; prefix[i] != '\0'; ++i) {
        if (i >= text.size() ||
            std::tolower(static_cast<unsigned char>(text[i])) != static_cast<unsigned char>(prefix[i]))
            return false;
    }
    return true;
}

bool ValidPort(const std::string& port)
{
    if (port.empty() || port.size() > 5)
        return false;
    unsigned value = 0;
    for (char c : port) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    return value >= 1 && value <= 65535;
}

}  // namespace

std::string WsUrl::HostHeader() const
{
    std::string header = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    if (port != (tls ? "443" : "80"))
        header += ":" + port;
    return header;
}

bool ParseWsUrl(const std::string& text, WsUrl* url)
{
    for (char c : text) {
        if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7f)
            return false;
    }
    WsUrl parsed;
    std::size_t pos = 0;
    if (StartsWithNoCase(text, "wss://")) {
        parsed.tls = true;
        pos = 6;
    } else if (StartsWithNoCase(text, "ws://")) {
        pos = 5;
    } else {
        return false;
    }
    const std::size_t end = text.find_first_of("/?#", pos);
    const std::string authority = text.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
    if (authority.find('@') != std::string::npos)
        return false;
    std::string port;
    if (!authority.empty() && authority[0] == '[') {
        const std::size_t close = authority.find(']');
        if (close == std::string::npos)
            return false;
        parsed.host = authority.substr(1, close - 1);
        const std::string rest = authority.substr(close + 1);
        if (!rest.empty()) {
            if (rest[0] != ':')
                return false;
            port = rest.substr(1);
            if (!ValidPort(port))
                return false;
        }
    } else {
        const std::size_t colon = authority.find(':');
        parsed.host = authority.substr(0, colon);
        if (colon != std::string::npos) {
            port = authority.substr(colon + 1);
            if (!ValidPort(port))
                return false;
        }
    }
    if (parsed.host.empty())
        return false;
    parsed.port = port.empty() ? (parsed.tls ? "443" : "80") : port;
    std::string target = end == std::string::npos ? std::string() : text.substr(end);
    const std::size_t fragment = target.find('#');
    if (fragment != std::string::npos)
        target.erase(fragment);
    if (target.empty() || target[0] != '/')
        target.insert(0, "/");
    parsed.target = target;
    *url = parsed;
    return true;
}

}  // namespace Wirelink
