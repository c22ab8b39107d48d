#include "account/LoginMgr.h"

#include <json/json.h>

#include "compat/TextConvert.h"
#include "core/RequestKind.h"
#include "core/RestRequest.h"
#include "core/RestResult.h"
#include "corekit/Log.h"
#include "corekit/XData.h"

namespace {
const wchar_t kTag[] = L"CLoginMgr";

const unsigned kKinds[CLoginMgr::SLOT_COUNT] = {
    RequestKind::kAccountLogin,      RequestKind::kScodeLogin,    RequestKind::kGetAccScode,
    RequestKind::kRegisterNow,       RequestKind::kGetCorpList,   RequestKind::kRefreshToken,
    RequestKind::kGuestLogin,        RequestKind::kCorpCreate,    RequestKind::kModifyUserProfile,
    RequestKind::kChangePhone,       RequestKind::kModifyPassword, RequestKind::kWeChatUnBind,
    RequestKind::kWeChatBind,
};
}  // namespace

CSingleton<CLoginMgr>& CLoginMgr::Instance()
{
    static CSingleton<CLoginMgr> holder;
    return holder;
}

CLoginMgr::~CLoginMgr() { DetachHttpsSink(); }

unsigned CLoginMgr::KindOf(E_LOGIN_SLOT slot) { return slot < SLOT_COUNT ? kKinds[slot] : 0; }

int CLoginMgr::RefreshToken(const wchar_t* token)
{
    Json::Value body(Json::objectValue);
    body["token"] = ToMultiByte(token, CP_UTF8);
    const CRestRequest request = CRestRequest(REST_POST, L"/v1/account/refreshtoken").Body(body);
    return m_slots.Send(SLOT_REFRESH_TOKEN, this, request.Info());
}

void CLoginMgr::OnHttpsReqResult(unsigned& id, const std::wstring& request, const std::wstring& response,
                                 int& completed)
{
    // Runs on the HTTPS service's delivery thread: nothing may escape.
    try {
        const int slot = m_slots.Match(id);
        if (slot < 0)
            return;
        const CRestResult result(response, completed);
        switch (static_cast<E_LOGIN_SLOT>(slot)) {
        case SLOT_REFRESH_TOKEN:
            OnRefreshToken(result);
            break;
        default:
            // Operations without a sender yet cannot have a request in flight.
            break;
        }
    } catch (const std::exception& e) {
        Util::Log::Error(kTag, L"OnHttpsReqResult: result %u dropped: %S", id, e.what());
    } catch (...) {
        Util::Log::Error(kTag, L"OnHttpsReqResult: result %u dropped", id);
    }
}

void CLoginMgr::OnRefreshToken(const CRestResult& result)
{
    XDataPtr<IXData> record;
    if (result.Parsed()) {
        if (CreateIXData(record.Receive(), 0) == 0 || !record)
            return;
        record->SetIXDataStr(L"Token", result.Text("token"));
    }
    result.Emit(RequestKind::kRefreshToken, record);
}
