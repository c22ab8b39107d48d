#include "pelbo/core/RestResult.h"

#include "pelbo/compat/WtoI.h"
#include "pelbo/core/JsonBridge.h"
#include "pelbo/core/ServiceEvent.h"
#include "pelbo/corekit/Log.h"

namespace {

// Enough of the service's message to tell one refusal from another.
constexpr int kMessageChars = 200;

}  // namespace

CRestResult::CRestResult(const std::wstring& response, int completed)
{
    m_parsed = JsonParse(CStringW(response), m_root);
    if (m_parsed) {
        CStringW code = JsonToText(m_root["code"]);
        if (code.IsEmpty())
            code = L"0";
        m_code = Compat::WtoI(code);
    }
    m_completed = completed != 0;
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

void CRestResult::LogRefusal(const wchar_t* tag, const wchar_t* what) const
{
    if (m_code != 0)
        LogRefusedAnswer(tag, what, m_root, m_parsed, m_completed);
}

void LogRefusedAnswer(const wchar_t* tag, const wchar_t* what, const Json::Value& root, bool parsed, bool completed)
{
    if (!completed) {
        Util::Log::Info(tag, L"%s failed: no answer from the service", what);
    } else if (!parsed || !root.isObject()) {
        Util::Log::Info(tag, L"%s failed: the answer is not a JSON object", what);
    } else {
        const CStringW code = JsonToText(root["code"]);
        // Services name their text "msg"; some, the local server among
        // them, "message".
        const Json::Value& text = root.isMember("msg") ? root["msg"] : root["message"];
        const CStringW message = JsonToText(text).Left(kMessageChars);
        Util::Log::Info(tag, L"%s refused: code %s, msg \"%s\"", what, code.IsEmpty() ? L"0" : code.GetString(),
                        Util::Log::MaskSecrets(message.GetString()).c_str());
    }
}
