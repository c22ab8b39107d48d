#include "S3Signing.h"

#include <vector>

#include "pelbo/bucketput/OssUpload.h"

namespace Bucketput {

bool SignRequest(CURL* easy, const std::string& accessKeyId, const std::string& secret, const std::string& token,
                 const std::string& payloadHash, curl_slist** headers)
{
    std::vector<std::string> lines;
    if (!token.empty())
        lines.push_back("x-amz-security-token: " + token);
    lines.push_back("x-amz-content-sha256: " + payloadHash);
    for (const std::string& line : lines) {
        curl_slist* grown = curl_slist_append(*headers, line.c_str());
        if (grown == nullptr)
            return false;
        *headers = grown;
    }
    const std::string provider = std::string("aws:amz:") + Util::OssUpload::kRegion + ":s3";
    return curl_easy_setopt(easy, CURLOPT_HTTPHEADER, *headers) == CURLE_OK &&
           curl_easy_setopt(easy, CURLOPT_AWS_SIGV4, provider.c_str()) == CURLE_OK &&
           curl_easy_setopt(easy, CURLOPT_USERNAME, accessKeyId.c_str()) == CURLE_OK &&
           curl_easy_setopt(easy, CURLOPT_PASSWORD, secret.c_str()) == CURLE_OK;
}

}  // namespace Bucketput
