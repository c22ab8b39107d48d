#include "S3Signing.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cctype>
#include <ctime>
#include <utility>

#include "pelbo/bucketput/OssUpload.h"

namespace Bucketput {
namespace {

const char* const kService = "s3";

std::string Hex(const unsigned char* bytes, size_t length)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(length * 2);
    for (size_t i = 0; i < length; ++i) {
        text.push_back(kDigits[bytes[i] >> 4]);
        text.push_back(kDigits[bytes[i] & 0x0F]);
    }
    return text;
}

std::string Sha256Hex(const std::string& data)
{
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(data.data()), data.size(), digest);
    return Hex(digest, sizeof(digest));
}

std::string Hmac(const std::string& key, const std::string& data)
{
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(data.data()),
         data.size(), out, &length);
    return std::string(reinterpret_cast<const char*>(out), length);
}

std::string Lower(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string TrimmedValue(const std::string& text)
{
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return std::string();
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// The Host line libcurl sends: the authority without a default port.
bool HostAndTarget(const std::string& url, std::string* host, std::string* path, std::string* query)
{
    const size_t schemeEnd = url.find("://");
    if (schemeEnd == std::string::npos)
        return false;
    const std::string scheme = Lower(url.substr(0, schemeEnd));
    const size_t authorityStart = schemeEnd + 3;
    const size_t pathStart = url.find('/', authorityStart);
    *host = Lower(url.substr(authorityStart, pathStart == std::string::npos ? std::string::npos
                                                                            : pathStart - authorityStart));
    if (host->empty() || host->find('@') != std::string::npos)
        return false;
    const std::string defaultPort = scheme == "https" ? ":443" : scheme == "http" ? ":80" : "";
    if (defaultPort.empty())
        return false;
    if (host->size() > defaultPort.size() &&
        host->compare(host->size() - defaultPort.size(), defaultPort.size(), defaultPort) == 0)
        host->resize(host->size() - defaultPort.size());
    const std::string target = pathStart == std::string::npos ? "/" : url.substr(pathStart);
    const size_t mark = target.find('?');
    *path = target.substr(0, mark);
    *query = mark == std::string::npos ? std::string() : target.substr(mark + 1);
    return true;
}

// Parameters sorted by name, each as "name=value" (a bare name gets "=").
std::string CanonicalQuery(const std::string& query)
{
    std::vector<std::pair<std::string, std::string>> pairs;
    size_t start = 0;
    while (start <= query.size() && !query.empty()) {
        const size_t end = std::min(query.find('&', start), query.size());
        const std::string item = query.substr(start, end - start);
        if (!item.empty()) {
            const size_t equals = item.find('=');
            pairs.emplace_back(item.substr(0, equals),
                               equals == std::string::npos ? std::string() : item.substr(equals + 1));
        }
        start = end + 1;
    }
    std::sort(pairs.begin(), pairs.end());
    std::string text;
    for (const auto& pair : pairs)
        text += (text.empty() ? "" : "&") + pair.first + "=" + pair.second;
    return text;
}

}  // namespace

std::string AmzDateNow()
{
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
#if defined(_WIN32)
    gmtime_s(&utc, &now);
#else
    gmtime_r(&now, &utc);
#endif
    char text[17];
    std::strftime(text, sizeof(text), "%Y%m%dT%H%M%SZ", &utc);
    return text;
}

bool SignedHeaderLines(const std::string& method, const std::string& url, const std::vector<std::string>& extraLines,
                       const std::string& payloadHash, const SigningKeys& keys, const std::string& amzDate,
                       std::vector<std::string>* lines, std::string* error)
{
    std::string host;
    std::string path;
    std::string query;
    if (amzDate.size() != 16 || !HostAndTarget(url, &host, &path, &query)) {
        *error = "the address cannot be signed";
        return false;
    }
    std::vector<std::pair<std::string, std::string>> signedHeaders = {
        {"host", host}, {"x-amz-content-sha256", payloadHash}, {"x-amz-date", amzDate}};
    if (!keys.token.empty())
        signedHeaders.emplace_back("x-amz-security-token", keys.token);
    for (const std::string& line : extraLines) {
        const size_t colon = line.find(':');
        if (colon == std::string::npos || colon == 0) {
            *error = "a header line cannot be signed";
            return false;
        }
        signedHeaders.emplace_back(Lower(line.substr(0, colon)), TrimmedValue(line.substr(colon + 1)));
    }
    std::sort(signedHeaders.begin(), signedHeaders.end());

    std::string canonicalHeaders;
    std::string signedList;
    for (const auto& header : signedHeaders) {
        canonicalHeaders += header.first + ":" + header.second + "\n";
        signedList += (signedList.empty() ? "" : ";") + header.first;
    }
    const std::string canonical = method + "\n" + path + "\n" + CanonicalQuery(query) + "\n" + canonicalHeaders +
                                  "\n" + signedList + "\n" + payloadHash;
    const std::string day = amzDate.substr(0, 8);
    const std::string scope = day + "/" + Util::OssUpload::kRegion + "/" + kService + "/aws4_request";
    const std::string toSign = "AWS4-HMAC-SHA256\n" + amzDate + "\n" + scope + "\n" + Sha256Hex(canonical);
    const std::string key =
        Hmac(Hmac(Hmac(Hmac("AWS4" + keys.secret, day), Util::OssUpload::kRegion), kService), "aws4_request");
    const std::string signature = Hmac(key, toSign);

    lines->clear();
    lines->push_back("x-amz-date: " + amzDate);
    lines->push_back("x-amz-content-sha256: " + payloadHash);
    if (!keys.token.empty())
        lines->push_back("x-amz-security-token: " + keys.token);
    lines->push_back("Authorization: AWS4-HMAC-SHA256 Credential=" + keys.accessKeyId + "/" + scope +
                     ", SignedHeaders=" + signedList + ", Signature=" +
                     Hex(reinterpret_cast<const unsigned char*>(signature.data()), signature.size()));
    return true;
}

}  // namespace Bucketput
