#pragma once
// AWS Signature Version 4 as the storage endpoint checks it: the canonical
// request rebuilt from what arrived, the string to sign and the signature.
// Pure functions over OpenSSL, so they can be checked against AWS's
// published examples.

#include <map>
#include <string>
#include <vector>

namespace DevServer {
namespace SigV4 {

// The parts of an "Authorization: AWS4-HMAC-SHA256 Credential=...,
// SignedHeaders=..., Signature=..." header.
struct Authorization {
    std::string accessKeyId;
    std::string date;     // YYYYMMDD of the credential scope
    std::string region;
    std::string service;
    std::string terminator;  // "aws4_request"
    std::vector<std::string> signedHeaders;  // lower case, as listed
    std::string signature;   // lower-case hex
};

// False when the header is not in that form.
bool ParseAuthorization(const std::string& header, Authorization* out);

std::string Sha256Hex(const std::string& bytes);
std::string UriEncode(const std::string& bytes, bool keepSlash);

// Path as canonical URI: decoded, then encoded again the AWS way (each
// segment, "/" kept). False on a bad escape.
bool CanonicalUri(const std::string& rawPath, std::string* out);
// Query as canonical query string: names and values decoded, encoded the AWS
// way, sorted by name then value, "name=value" joined with "&".
bool CanonicalQuery(const std::string& rawQuery, std::string* out);

// headers: names in lower case. The values of the signed headers, trimmed,
// runs of spaces collapsed. False when a signed header is missing.
bool CanonicalRequest(const std::string& method, const std::string& rawTarget,
                      const std::map<std::string, std::string>& headers, const std::vector<std::string>& signedHeaders,
                      const std::string& payloadHash, std::string* out);

std::string StringToSign(const std::string& amzDate, const std::string& scope, const std::string& canonicalRequest);

// Lower-case hex HMAC-SHA256 signature with the key derived from the secret.
std::string Signature(const std::string& secret, const std::string& date, const std::string& region,
                      const std::string& service, const std::string& stringToSign);

// Comparison that takes the same time wherever the texts differ.
bool SameText(const std::string& a, const std::string& b);

}  // namespace SigV4
}  // namespace DevServer
