#include "pelbo/core/RestResult.h"

#include "pelbo/compat/WtoI.h"
#include "pelbo/core/JsonBridge.h"
#include "pelbo/core/ServiceEvent.h"

CRestResult::CRestResult(const std::wstring& response, int completed)
{
    m_parsed = JsonParse(CStringW(response), m_root);
    if (m_parsed) {
        CStringW code = JsonToText(m_root["code"]);
        if (code.IsEmpty())
            code = L"0";
        m_code = Compat::WtoI(code);
    }
    if (completed == 0)
        m_code = -1;
}

CStringW CRestResult::Text(const char* member) const
{
    if (!m_parsed || !m_root.isObject())
        return CStringW();
    return JsonToText(m_root[member]);
}

void CRestResult::Emit(unsigned kind, XDataPtr<IXData> record) const
{
    ServiceEvent::HttpsServiceEvent().emit(m_code, kind, record.get());
}
