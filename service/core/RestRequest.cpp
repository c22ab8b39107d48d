#include "pelbo/core/RestRequest.h"

#include "pelbo/compat/StringW.h"
#include "pelbo/core/JsonBridge.h"
#include "pelbo/corekit/HttpSettings.h"

namespace {
// The HTTPS service's first option integer: 3 for requests with a body,
// 7 for those without.
int OptionFor(E_REST_METHOD method) { return method == REST_POST || method == REST_PUT ? 3 : 7; }
}  // namespace

CRestRequest::CRestRequest(E_REST_METHOD method, const wchar_t* path)
{
    m_info.strUrl = Http::GetHttpUrlHead().str();
    if (path != nullptr)
        m_info.strUrl += path;
    m_info.nMethod = method;
    m_info.nOption1 = OptionFor(method);
}

CRestRequest& CRestRequest::Token(const std::string& token)
{
    m_info.mapHeaders["token"] = token;
    return *this;
}

CRestRequest& CRestRequest::Body(const Json::Value& body)
{
    m_info.strContent = JsonToStyledText(body).str();
    return *this;
}

CRestRequest& CRestRequest::Query(const std::wstring& query)
{
    m_info.strContent = query;
    return *this;
}
