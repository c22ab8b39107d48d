#pragma once
// CLoginMgr: the manager behind LoginApi. It turns each call into one REST
// request and each result into one HttpsServiceEvent. Every operation owns a
// request-id slot; a result is recognised by comparing its identifier with
// the slots in operation order, and a result whose request was superseded by
// a newer one of the same operation finds no slot and is dropped.

#include <string>

#include "core/RequestSlots.h"
#include "core/Singleton.h"
#include "netcall/HttpsRequest.h"

class CRestResult;

class CLoginMgr : public IHttpsRequestSink {
public:
    // Slots in the order in which results are matched.
    enum E_LOGIN_SLOT : unsigned {
        SLOT_ACCOUNT_LOGIN,
        SLOT_SCODE_LOGIN,
        SLOT_GET_ACC_SCODE,
        SLOT_REGISTER_NOW,
        SLOT_GET_CORP_LIST,
        SLOT_REFRESH_TOKEN,
        SLOT_GUEST_LOGIN,
        SLOT_CORP_CREATE,
        SLOT_MODIFY_USER_PROFILE,
        SLOT_CHANGE_PHONE,
        SLOT_MODIFY_PASSWORD,
        SLOT_WECHAT_UNBIND,
        SLOT_WECHAT_BIND,
        SLOT_COUNT
    };

    CLoginMgr() = default;
    // Detaches from the HTTPS service before the slots go away, so a result
    // being delivered on another thread is waited for and no later one comes.
    ~CLoginMgr() override;
    CLoginMgr(const CLoginMgr&) = delete;
    CLoginMgr& operator=(const CLoginMgr&) = delete;

    int RefreshToken(const wchar_t* token);

    void OnHttpsReqResult(unsigned& id, const std::wstring& request, const std::wstring& response,
                          int& completed) override;

    // Identifier of the operation's latest request, 0 when none.
    unsigned SlotId(E_LOGIN_SLOT slot) const { return m_slots.Get(slot); }

    // The family's holder: LoginApi's functions reach the manager through it.
    static CSingleton<CLoginMgr>& Instance();

    // Request kind reported for each slot.
    static unsigned KindOf(E_LOGIN_SLOT slot);

private:
    void OnRefreshToken(const CRestResult& result);

    CRequestSlots<SLOT_COUNT> m_slots;
};
