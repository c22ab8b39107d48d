#pragma once
// CLoginMgr: the manager behind LoginApi. It turns each call into one REST
// request and each result into one HttpsServiceEvent. Every operation owns a
// request-id slot; a result is recognised by comparing its identifier with
// the slots in operation order, and a result whose request was superseded by
// a newer one of the same operation finds no slot and is dropped.

#include <cstdint>
#include <string>

#include "pelbo/core/LastReference.h"
#include "pelbo/core/RequestSlots.h"
#include "pelbo/core/Singleton.h"
#include "pelbo/netcall/HttpsRequest.h"

class CRestResult;
struct IXData;

class CLoginMgr : public IHttpsRequestSink, public CLastReference {
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

    // Each sends one request and returns the HTTPS service's answer (non-zero
    // when accepted), or the operation's pending-guard value while its
    // previous request is still out.
    int AccountLogin(const wchar_t* phone, const wchar_t* password);
    int ScodeLogin(const wchar_t* phone, const wchar_t* code, const wchar_t* accessToken);
    int GetAccScode(const wchar_t* phone, int type);
    int RegisterNow(const wchar_t* phone, const wchar_t* password, const wchar_t* code, const wchar_t* name,
                    const wchar_t* corpName, const wchar_t* accessToken);
    int GetCorpList(const wchar_t* token);
    int RefreshToken(const wchar_t* token);
    int GuestLogin(const wchar_t* guid, const wchar_t* name);
    int CorpCreate(const wchar_t* token, const wchar_t* name);
    int ModifyUserProfile(const wchar_t* token, const wchar_t* nick, uint64_t pictureId);
    int ChangePhone(const wchar_t* token, const wchar_t* phone, const wchar_t* code, const wchar_t* secret,
                    unsigned step);
    int ModifyPassword(const wchar_t* token, const wchar_t* phone, const wchar_t* code, const wchar_t* password);
    int WeChatUnBind(const wchar_t* token);
    int WeChatBind(const wchar_t* token, const wchar_t* accessToken);

    void OnHttpsReqResult(unsigned& id, const std::wstring& request, const std::wstring& response,
                          int& completed) override;

    // Identifier of the operation's latest request, 0 when none.
    unsigned SlotId(E_LOGIN_SLOT slot) const { return m_slots.Get(slot); }

    // The family's holder: LoginApi's functions reach the manager through it.
    static CSingleton<CLoginMgr>& Instance();

    // Request kind reported for each slot.
    static unsigned KindOf(E_LOGIN_SLOT slot);

private:
    // One handler per shape of result; each emits at most once. `request`
    // is the body that was sent, for the kinds that echo one of its members.
    void OnUserResult(unsigned kind, const std::wstring& request, const CRestResult& result, bool echoPhone);
    void OnGetAccScode(const std::wstring& request, const CRestResult& result);
    void OnGetCorpList(const CRestResult& result);
    void OnRefreshToken(const CRestResult& result);
    void OnCorpCreate(const CRestResult& result);
    void OnModifyUserProfile(const std::wstring& request, const CRestResult& result);
    void OnChangePhone(const std::wstring& request, const CRestResult& result);
    void OnEmptyRecord(unsigned kind, const CRestResult& result);

    CRequestSlots<SLOT_COUNT> m_slots;
};
