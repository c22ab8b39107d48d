#pragma once
// The scheme of a download's address, compared without case as URLs are.

#include <cctype>
#include <string>

namespace Fetcher {

enum class UrlScheme { kOther, kHttp, kHttps };

inline UrlScheme SchemeOf(const std::string& url)
{
    std::string head;
    for (size_t i = 0; i < url.size() && i < 8; ++i) {
        head += static_cast<char>(std::tolower(static_cast<unsigned char>(url[i])));
    }
    if (head.rfind("https://", 0) == 0) {
        return UrlScheme::kHttps;
    }
    return head.rfind("http://", 0) == 0 ? UrlScheme::kHttp : UrlScheme::kOther;
}

}  // namespace Fetcher
