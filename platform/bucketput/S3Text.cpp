#include "S3Text.h"

namespace Bucketput {
namespace {

bool IsUnreserved(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
           c == '.' || c == '~';
}

// A bucket becomes a host name label in virtual-hosted addressing.
bool IsHostLabel(const std::string& text)
{
    if (text.empty() || text.front() == '-' || text.back() == '-')
        return false;
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.'))
            return false;
    }
    return true;
}

}  // namespace

std::string AwsUriEncode(const std::string& utf8, bool keepSlash)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(utf8.size() * 3);
    for (const char ch : utf8) {
        const auto c = static_cast<unsigned char>(ch);
        if (IsUnreserved(c) || (keepSlash && c == '/')) {
            out.push_back(ch);
        } else {
            out.push_back('%');
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 0x0F]);
        }
    }
    return out;
}

bool BuildObjectUrl(const std::string& endpoint, const std::string& bucket, const std::string& key, bool pathStyle,
                    std::string* url, std::string* error)
{
    std::string scheme;
    if (endpoint.compare(0, 7, "http://") == 0)
        scheme = "http://";
    else if (endpoint.compare(0, 8, "https://") == 0)
        scheme = "https://";
    else {
        *error = "the endpoint is not an http or https address";
        return false;
    }
    std::string host = endpoint.substr(scheme.size());
    while (!host.empty() && host.back() == '/')
        host.pop_back();
    if (host.empty() || host.find_first_of("/?#@ \t\r\n") != std::string::npos) {
        *error = "the endpoint has no plain host";
        return false;
    }
    const size_t keyStart = key.find_first_not_of('/');
    if (bucket.empty() || keyStart == std::string::npos) {
        *error = "bucket or object key is empty";
        return false;
    }
    const std::string encodedKey = AwsUriEncode(key.substr(keyStart), true);
    if (pathStyle) {
        *url = scheme + host + "/" + AwsUriEncode(bucket, false) + "/" + encodedKey;
        return true;
    }
    if (!IsHostLabel(bucket)) {
        *error = "the bucket cannot be part of a host name";
        return false;
    }
    *url = scheme + bucket + "." + host + "/" + encodedKey;
    return true;
}

std::string XmlElementText(const std::string& xml, const std::string& name)
{
    const std::string open = "<" + name + ">";
    const std::string close = "</" + name + ">";
    const size_t start = xml.find(open);
    if (start == std::string::npos)
        return std::string();
    const size_t textStart = start + open.size();
    const size_t end = xml.find(close, textStart);
    if (end == std::string::npos)
        return std::string();
    const std::string raw = xml.substr(textStart, end - textStart);
    static const std::pair<const char*, char> kEntities[] = {
        {"&quot;", '"'}, {"&apos;", '\''}, {"&lt;", '<'}, {"&gt;", '>'}, {"&amp;", '&'}};
    std::string out;
    out.reserve(raw.size());
    for (size_t i = 0; i < raw.size();) {
        bool replaced = false;
        if (raw[i] == '&') {
            for (const auto& entity : kEntities) {
                const std::string text = entity.first;
                if (raw.compare(i, text.size(), text) == 0) {
                    out.push_back(entity.second);
                    i += text.size();
                    replaced = true;
                    break;
                }
            }
        }
        if (!replaced)
            out.push_back(raw[i++]);
    }
    return out;
}

std::string XmlEscape(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&apos;"; break;
        default: out.push_back(c); break;
        }
    }
    return out;
}

std::string CompleteMultipartBody(const std::vector<std::pair<unsigned, std::string>>& parts)
{
    std::string body = "<CompleteMultipartUpload>";
    for (const auto& part : parts) {
        body += "<Part><PartNumber>" + std::to_string(part.first) + "</PartNumber><ETag>" + XmlEscape(part.second) +
                "</ETag></Part>";
    }
    body += "</CompleteMultipartUpload>";
    return body;
}

}  // namespace Bucketput
