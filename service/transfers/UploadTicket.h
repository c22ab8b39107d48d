#pragma once
// Pieces of an upload ticket request shared by the document and log
// managers: the parts of a local path, the content type of a document, and
// the reading of the ticket's members.

#include <string>

#include <json/json.h>

namespace Transfers {

// The file name with its extension: the text after the last "\", or after
// the last "/" when there is no "\"; the whole path when there is neither.
std::wstring FileNameOf(const std::wstring& path);
// The extension without its dot, found as PathFindExtensionW finds it: the
// last "." after the last separator ("\" or "/") or space; empty when none.
std::wstring ExtensionOf(const std::wstring& path);
// The file name cut before its last "."; the whole name when it has none.
std::wstring NameWithoutExtension(const std::wstring& path);
// "type" of a document by its extension, compared case-sensitively; empty
// for anything not in the table.
std::string ContentTypeOf(const std::wstring& extension);
// White space removed from both ends.
std::wstring TrimSpace(const std::wstring& text);
// Size in bytes, 0 when it cannot be read.
unsigned long long FileSizeOf(const std::wstring& path);

// What the managers read from a ticket.
struct TicketFields {
    long long fileId = 0;
    std::wstring endPoint;
    std::wstring bucket;
    std::wstring path;
    std::wstring fileUrl;
    std::wstring accessKeyId;
    std::wstring accessKeySecret;
    std::wstring securityToken;
};

// "code" as text, empty read as "0", converted with the wide atoi rule.
int TicketCode(const Json::Value& root);
// The common members, and the three credentials (trimmed) from
// root[group][subgroup] (subgroup may be null) under the given names.
TicketFields ReadTicket(const Json::Value& root, const char* group, const char* subgroup, const char* keyIdName,
                        const char* secretName, const char* tokenName);

}  // namespace Transfers
