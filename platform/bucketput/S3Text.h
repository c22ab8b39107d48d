#pragma once
// Text pieces of the S3 protocol: object addresses, the encoding SigV4
// expects in paths and queries, and the few XML elements the upload reads and
// writes. Plain functions without libcurl, shared with the unit tests.

#include <string>
#include <utility>
#include <vector>

namespace Bucketput {

// Percent-encodes every byte but the unreserved characters (A-Z a-z 0-9
// - _ . ~), upper-case hex; '/' stays when keepSlash. This is the form the
// signature's canonical request uses, so a URL built from it is signed as
// sent.
std::string AwsUriEncode(const std::string& utf8, bool keepSlash);

// The object's address without a query: "<endpoint>/<bucket>/<key>" when
// pathStyle, else "<scheme>://<bucket>.<host[:port]>/<key>". The key loses
// leading slashes and is encoded with AwsUriEncode. False, with the reason,
// when the endpoint is not "http://host..." or "https://host...", or the
// bucket or key is empty or the bucket cannot be a host name label.
bool BuildObjectUrl(const std::string& endpoint, const std::string& bucket, const std::string& key, bool pathStyle,
                    std::string* url, std::string* error);

// Text of the first <name>...</name> element, with the five predefined XML
// entities decoded; empty when there is none.
std::string XmlElementText(const std::string& xml, const std::string& name);

// XML escaping of text content.
std::string XmlEscape(const std::string& text);

// Body of CompleteMultipartUpload: (part number, ETag) in the given order.
std::string CompleteMultipartBody(const std::vector<std::pair<unsigned, std::string>>& parts);

}  // namespace Bucketput
