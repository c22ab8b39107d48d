#pragma once
// Preparing a caller's URL for libcurl. Callers build URLs by joining text
// (the base address, a path, a query), and some paths carry characters that
// libcurl refuses in a URL (the registration path ends in a space). Those
// characters are sent percent-encoded; everything else, including escapes
// the caller already wrote, passes unchanged.

#include <string>

namespace Netcall {

// Percent-encodes (upper-case hex) every byte that is a space, a control
// character (below 0x20 or 0x7F) or not ASCII (0x80 and above, i.e. each
// byte of a UTF-8 sequence).
std::string EncodeUrlForCurl(const std::string& utf8Url);

// Appends a query to a URL: joined with "?" or, when the URL already has a
// query, with "&". An empty query leaves the URL unchanged. A fragment stays
// at the end.
std::string JoinQuery(const std::string& url, const std::string& query);

// The address as a log line shows it: scheme, host, port and path, without
// the query, the fragment or a user name and password before the host
// (queries carry tokens and signatures).
std::string UrlForLog(const std::string& url);

}  // namespace Netcall
