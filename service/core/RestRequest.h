#pragma once
// CRestRequest: builds the descriptor of one REST request the way every
// manager sends it: the service's base address followed by the operation's
// path, the method with its option integer, the "token" header of
// authorised operations and a JSON body written by Json::StyledWriter.

#include <string>

#include <json/json.h>

#include "pelbo/netcall/HttpsRequest.h"

enum E_REST_METHOD : int {
    REST_POST = 1,
    REST_GET = 2,
    REST_PUT = 3,
    REST_DELETE = 4,
};

class CRestRequest {
public:
    // path begins with "/" and is joined directly to Http::GetHttpUrlHead().
    CRestRequest(E_REST_METHOD method, const wchar_t* path);

    // Authorised operations: the UTF-8 token, also when it is empty.
    CRestRequest& Token(const std::string& token);
    // JSON body: members in ascending order of their names, three-space indent.
    CRestRequest& Body(const Json::Value& body);
    // GET parameters, without "?".
    CRestRequest& Query(const std::wstring& query);

    const ST_HttpsReqInfo& Info() const { return m_info; }

private:
    ST_HttpsReqInfo m_info;
};
