#pragma once
// Signature Version 4 of a storage request (service "s3", region
// Util::OssUpload::kRegion), shared by every request of an upload and by the
// unit tests that check it against AWS's published examples.
//
// The library signs rather than libcurl: libcurl's own signing also signs
// the "Expect:" line that only tells libcurl not to send that header, and a
// storage then finds a signed header missing from the request.

#include <string>
#include <vector>

namespace Bucketput {

struct SigningKeys {
    std::string accessKeyId;
    std::string secret;
    std::string token;  // session token; empty when there is none
};

// "YYYYMMDDTHHMMSSZ" of this moment, UTC.
std::string AmzDateNow();

// The header lines that sign a request to url (as sent: its path and query
// already encoded the way the signature reads them): "x-amz-date",
// "x-amz-content-sha256", "x-amz-security-token" with a token, and
// "Authorization". The signature covers the host, those "x-amz-" lines and
// every line of extraLines ("Name: value"), which the caller sends too.
// False, with the reason, when the address or a line cannot be read.
bool SignedHeaderLines(const std::string& method, const std::string& url, const std::vector<std::string>& extraLines,
                       const std::string& payloadHash, const SigningKeys& keys, const std::string& amzDate,
                       std::vector<std::string>* lines, std::string* error);

}  // namespace Bucketput
