#pragma once
// The Signature Version 4 set-up of a storage request, shared by every
// request of an upload and by the unit tests that check it against AWS's
// published examples.

#include <curl/curl.h>

#include <string>

namespace Bucketput {

// Makes libcurl sign the handle's request when it goes out (service "s3",
// region Util::OssUpload::kRegion): the access key and the secret become
// libcurl's user and password, the session token (when there is one) is
// sent as "x-amz-security-token" and payloadHash as "x-amz-content-sha256".
// Those lines are appended to *headers, which the handle then sends and the
// caller frees. False when a line cannot be added or libcurl refuses an
// option.
bool SignRequest(CURL* easy, const std::string& accessKeyId, const std::string& secret, const std::string& token,
                 const std::string& payloadHash, curl_slist** headers);

}  // namespace Bucketput
