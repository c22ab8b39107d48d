#include "UrlText.h"

namespace Netcall {

std::string EncodeUrlForCurl(const std::string& utf8Url)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(utf8Url.size());
    for (const char ch : utf8Url) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c <= 0x20 || c >= 0x7F) {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0x0F];
        } else {
            out += ch;
        }
    }
    return out;
}

std::string JoinQuery(const std::string& url, const std::string& query)
{
    if (query.empty()) {
        return url;
    }
    const size_t hash = url.find('#');
    std::string base = url.substr(0, hash);
    const std::string fragment = hash == std::string::npos ? std::string() : url.substr(hash);
    const bool hasQuery = base.find('?') != std::string::npos;
    if (!hasQuery) {
        base += '?';
    } else if (base.back() != '?' && base.back() != '&') {
        base += '&';
    }
    return base + query + fragment;
}

std::string UrlForLog(const std::string& url)
{
    std::string shown = url.substr(0, url.find_first_of("?#"));
    const size_t schemeEnd = shown.find("://");
    const size_t hostStart = schemeEnd == std::string::npos ? 0 : schemeEnd + 3;
    const size_t at = shown.find('@', hostStart);
    if (at != std::string::npos && at < shown.find('/', hostStart))
        shown.erase(hostStart, at + 1 - hostStart);
    return shown;
}

}  // namespace Netcall
