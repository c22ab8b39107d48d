#include "devserver/SigV4.h"

#include <algorithm>
#include <utility>

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>

namespace DevServer {
namespace SigV4 {
namespace {

std::string Hex(const unsigned char* bytes, size_t length)
{
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(length * 2);
    for (size_t i = 0; i < length; ++i) {
        out.push_back(kHex[bytes[i] >> 4]);
        out.push_back(kHex[bytes[i] & 0x0F]);
    }
    return out;
}

std::string Hmac(const std::string& key, const std::string& data)
{
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(data.data()),
         data.size(), out, &length);
    return std::string(reinterpret_cast<const char*>(out), length);
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool Decode(const std::string& text, std::string* out)
{
    out->clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out->push_back(text[i]);
            continue;
        }
        if (i + 2 >= text.size())
            return false;
        const int high = HexValue(text[i + 1]);
        const int low = HexValue(text[i + 2]);
        if (high < 0 || low < 0)
            return false;
        out->push_back(static_cast<char>(high * 16 + low));
        i += 2;
    }
    return true;
}

std::string Trim(const std::string& text)
{
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return std::string();
    const size_t last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

std::vector<std::string> Split(const std::string& text, char separator)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos)
            return parts;
        start = end + 1;
    }
}

}  // namespace

bool ParseAuthorization(const std::string& header, Authorization* out)
{
    const std::string kAlgorithm = "AWS4-HMAC-SHA256 ";
    if (header.compare(0, kAlgorithm.size(), kAlgorithm) != 0)
        return false;
    std::map<std::string, std::string> fields;
    for (const std::string& piece : Split(header.substr(kAlgorithm.size()), ',')) {
        const std::string field = Trim(piece);
        const size_t eq = field.find('=');
        if (eq == std::string::npos)
            return false;
        fields[field.substr(0, eq)] = field.substr(eq + 1);
    }
    const std::vector<std::string> scope = Split(fields["Credential"], '/');
    if (scope.size() != 5 || fields["SignedHeaders"].empty() || fields["Signature"].size() != 64)
        return false;
    out->accessKeyId = scope[0];
    out->date = scope[1];
    out->region = scope[2];
    out->service = scope[3];
    out->terminator = scope[4];
    out->signedHeaders = Split(fields["SignedHeaders"], ';');
    out->signature = fields["Signature"];
    return !out->accessKeyId.empty() && out->date.size() == 8;
}

std::string Sha256Hex(const std::string& bytes)
{
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), digest);
    return Hex(digest, sizeof(digest));
}

std::string UriEncode(const std::string& bytes, bool keepSlash)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                                c == '-' || c == '_' || c == '.' || c == '~';
        if (unreserved || (keepSlash && c == '/')) {
            out.push_back(ch);
        } else {
            out.push_back('%');
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 0x0F]);
        }
    }
    return out;
}

bool CanonicalUri(const std::string& rawPath, std::string* out)
{
    std::string decoded;
    if (!Decode(rawPath, &decoded))
        return false;
    *out = decoded.empty() ? "/" : UriEncode(decoded, true);
    return true;
}

bool CanonicalQuery(const std::string& rawQuery, std::string* out)
{
    std::vector<std::pair<std::string, std::string>> pairs;
    if (!rawQuery.empty()) {
        for (const std::string& piece : Split(rawQuery, '&')) {
            if (piece.empty())
                continue;
            const size_t eq = piece.find('=');
            std::string name;
            std::string value;
            if (!Decode(piece.substr(0, eq), &name))
                return false;
            if (eq != std::string::npos && !Decode(piece.substr(eq + 1), &value))
                return false;
            pairs.emplace_back(UriEncode(name, false), UriEncode(value, false));
        }
    }
    std::sort(pairs.begin(), pairs.end());
    out->clear();
    for (const auto& pair : pairs) {
        if (!out->empty())
            out->push_back('&');
        *out += pair.first + "=" + pair.second;
    }
    return true;
}

bool CanonicalRequest(const std::string& method, const std::string& rawTarget,
                      const std::map<std::string, std::string>& headers, const std::vector<std::string>& signedHeaders,
                      const std::string& payloadHash, std::string* out)
{
    const size_t mark = rawTarget.find('?');
    std::string uri;
    std::string query;
    if (!CanonicalUri(rawTarget.substr(0, mark), &uri))
        return false;
    if (!CanonicalQuery(mark == std::string::npos ? std::string() : rawTarget.substr(mark + 1), &query))
        return false;
    std::string canonicalHeaders;
    std::string signedList;
    for (const std::string& name : signedHeaders) {
        auto it = headers.find(name);
        if (it == headers.end())
            return false;
        std::string value;
        bool space = false;
        for (const char c : Trim(it->second)) {
            if (c == ' ' || c == '\t') {
                space = true;
                continue;
            }
            if (space)
                value.push_back(' ');
            space = false;
            value.push_back(c);
        }
        canonicalHeaders += name + ":" + value + "\n";
        signedList += (signedList.empty() ? "" : ";") + name;
    }
    *out = method + "\n" + uri + "\n" + query + "\n" + canonicalHeaders + "\n" + signedList + "\n" + payloadHash;
    return true;
}

std::string StringToSign(const std::string& amzDate, const std::string& scope, const std::string& canonicalRequest)
{
    return "AWS4-HMAC-SHA256\n" + amzDate + "\n" + scope + "\n" + Sha256Hex(canonicalRequest);
}

std::string Signature(const std::string& secret, const std::string& date, const std::string& region,
                      const std::string& service, const std::string& stringToSign)
{
    const std::string dateKey = Hmac("AWS4" + secret, date);
    const std::string regionKey = Hmac(dateKey, region);
    const std::string serviceKey = Hmac(regionKey, service);
    const std::string signingKey = Hmac(serviceKey, "aws4_request");
    const std::string signature = Hmac(signingKey, stringToSign);
    return Hex(reinterpret_cast<const unsigned char*>(signature.data()), signature.size());
}

bool SameText(const std::string& a, const std::string& b)
{
    if (a.size() != b.size())
        return false;
    unsigned char diff = 0;
    for (size_t i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

}  // namespace SigV4
}  // namespace DevServer
