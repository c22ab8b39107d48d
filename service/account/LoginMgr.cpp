#include "pelbo/account/LoginMgr.h"

#include <json/json.h>

#include "pelbo/compat/TextConvert.h"
#include "pelbo/compat/WtoI.h"
#include "pelbo/core/JsonBridge.h"
#include "pelbo/core/RequestKind.h"
#include "pelbo/core/RestRequest.h"
#include "pelbo/core/RestResult.h"
#include "pelbo/corekit/Log.h"
#include "pelbo/corekit/Text.h"
#include "pelbo/corekit/XData.h"

namespace {
const wchar_t kTag[] = L"CLoginMgr";

const unsigned kKinds[CLoginMgr::SLOT_COUNT] = {
    RequestKind::kAccountLogin,      RequestKind::kScodeLogin,    RequestKind::kGetAccScode,
    RequestKind::kRegisterNow,       RequestKind::kGetCorpList,   RequestKind::kRefreshToken,
    RequestKind::kGuestLogin,        RequestKind::kCorpCreate,    RequestKind::kModifyUserProfile,
    RequestKind::kChangePhone,       RequestKind::kModifyPassword, RequestKind::kWeChatUnBind,
    RequestKind::kWeChatBind,
};

std::string Utf8(const wchar_t* text) { return ToMultiByte(text, CP_UTF8); }

bool IsEmpty(const wchar_t* text) { return text == nullptr || text[0] == L'\0'; }

// Verification codes travel as numbers: the leading digits of the text, 0
// when there are none (the server then simply refuses the code).
int CodeNumber(const wchar_t* code) { return Compat::WtoI(code == nullptr ? L"" : code); }

// The service never sees the password itself, only the lower-case hex MD5
// of its UTF-8 bytes.
std::string PasswordDigest(const wchar_t* password)
{
    const std::string bytes = Utf8(password);
    return Util::MD5::BufferToMD5(bytes.data(), bytes.size());
}

uint32_t ToU32(const CStringW& text) { return static_cast<uint32_t>(Compat::WtoI(text)); }

// A member of the body that was sent. False when that body is not a JSON
// object: the result can then not be told apart and is dropped.
bool RequestMember(const std::wstring& request, const char* name, CStringW& value)
{
    Json::Value root;
    if (!JsonParse(CStringW(request), root) || !root.isObject())
        return false;
    value = JsonToText(root[name]);
    return true;
}

bool NewRecord(XDataPtr<IXData>& record) { return CreateIXData(record.Receive(), 0) != 0 && record; }
}  // namespace

CSingleton<CLoginMgr>& CLoginMgr::Instance()
{
    static CSingleton<CLoginMgr> holder;
    return holder;
}

CLoginMgr::~CLoginMgr() { DetachHttpsSink(); }

unsigned CLoginMgr::KindOf(E_LOGIN_SLOT slot) { return slot < SLOT_COUNT ? kKinds[slot] : 0; }

int CLoginMgr::AccountLogin(const wchar_t* phone, const wchar_t* password)
{
    Json::Value body(Json::objectValue);
    body["password"] = PasswordDigest(password);
    body["phone"] = Utf8(phone);
    return m_slots.Send(SLOT_ACCOUNT_LOGIN, this, CRestRequest(REST_POST, L"/v1/account/login").Body(body).Info());
}

int CLoginMgr::ScodeLogin(const wchar_t* phone, const wchar_t* code, const wchar_t* accessToken)
{
    if (m_slots.Get(SLOT_SCODE_LOGIN) != 0)
        return 0;
    Json::Value body(Json::objectValue);
    if (!IsEmpty(accessToken))
        body["access_token"] = Utf8(accessToken);
    body["code"] = CodeNumber(code);
    body["phone"] = Utf8(phone);
    return m_slots.Send(SLOT_SCODE_LOGIN, this, CRestRequest(REST_POST, L"/v1/account/login").Body(body).Info());
}

int CLoginMgr::GetAccScode(const wchar_t* phone, int type)
{
    if (m_slots.Get(SLOT_GET_ACC_SCODE) != 0)
        return 0;
    Json::Value body(Json::objectValue);
    body["phone"] = Utf8(phone);
    body["type"] = type;
    return m_slots.Send(SLOT_GET_ACC_SCODE, this, CRestRequest(REST_POST, L"/v1/account/pauth").Body(body).Info());
}

int CLoginMgr::RegisterNow(const wchar_t* phone, const wchar_t* password, const wchar_t* code, const wchar_t* name,
                           const wchar_t* corpName, const wchar_t* accessToken)
{
    // A registration in flight counts as accepted: the caller waits for its
    // result instead of registering twice.
    if (m_slots.Get(SLOT_REGISTER_NOW) != 0)
        return 1;
    Json::Value body(Json::objectValue);
    if (!IsEmpty(accessToken))
        body["access_token"] = Utf8(accessToken);
    body["code"] = CodeNumber(code);
    body["corp_name"] = Utf8(corpName);
    body["name"] = Utf8(name);
    body["password"] = PasswordDigest(password);
    body["phone"] = Utf8(phone);
    // The service's registration path ends in a space; netcall encodes it.
    return m_slots.Send(SLOT_REGISTER_NOW, this,
                        CRestRequest(REST_POST, L"/v1/account/register ").Body(body).Info());
}

int CLoginMgr::GetCorpList(const wchar_t* token)
{
    const CRestRequest request = CRestRequest(REST_GET, L"/v1/account/corplist").Token(Utf8(token));
    return m_slots.Send(SLOT_GET_CORP_LIST, this, request.Info());
}

int CLoginMgr::RefreshToken(const wchar_t* token)
{
    Json::Value body(Json::objectValue);
    body["token"] = Utf8(token);
    const CRestRequest request = CRestRequest(REST_POST, L"/v1/account/refreshtoken").Body(body);
    return m_slots.Send(SLOT_REFRESH_TOKEN, this, request.Info());
}

int CLoginMgr::GuestLogin(const wchar_t* guid, const wchar_t* name)
{
    Json::Value body(Json::objectValue);
    body["guid"] = Utf8(guid);
    body["name"] = Utf8(name);
    return m_slots.Send(SLOT_GUEST_LOGIN, this, CRestRequest(REST_POST, L"/v1/account/guest").Body(body).Info());
}

int CLoginMgr::CorpCreate(const wchar_t* token, const wchar_t* name)
{
    Json::Value body(Json::objectValue);
    body["name"] = Utf8(name);
    const CRestRequest request = CRestRequest(REST_POST, L"/v1/account/corp/create").Token(Utf8(token)).Body(body);
    return m_slots.Send(SLOT_CORP_CREATE, this, request.Info());
}

int CLoginMgr::ModifyUserProfile(const wchar_t* token, const wchar_t* nick, uint64_t pictureId)
{
    Json::Value body(Json::objectValue);
    body["nick"] = Utf8(nick);
    if (pictureId != 0)
        body["picture_id"] = static_cast<Json::UInt64>(pictureId);
    const CRestRequest request = CRestRequest(REST_PUT, L"/v1/account/profile").Token(Utf8(token)).Body(body);
    return m_slots.Send(SLOT_MODIFY_USER_PROFILE, this, request.Info());
}

int CLoginMgr::ChangePhone(const wchar_t* token, const wchar_t* phone, const wchar_t* code, const wchar_t* secret,
                           unsigned step)
{
    Json::Value body(Json::objectValue);
    body["code"] = CodeNumber(code);
    body["phone"] = Utf8(phone);
    if (!IsEmpty(secret))
        body["secret"] = Utf8(secret);
    body["step"] = step;
    const CRestRequest request = CRestRequest(REST_PUT, L"/v1/account/phone").Token(Utf8(token)).Body(body);
    return m_slots.Send(SLOT_CHANGE_PHONE, this, request.Info());
}

int CLoginMgr::ModifyPassword(const wchar_t* token, const wchar_t* phone, const wchar_t* code,
                              const wchar_t* password)
{
    Json::Value body(Json::objectValue);
    body["code"] = CodeNumber(code);
    body["password"] = Utf8(password);
    body["phone"] = Utf8(phone);
    const CRestRequest request = CRestRequest(REST_PUT, L"/v1/account/password").Token(Utf8(token)).Body(body);
    return m_slots.Send(SLOT_MODIFY_PASSWORD, this, request.Info());
}

int CLoginMgr::WeChatUnBind(const wchar_t* token)
{
    const CRestRequest request = CRestRequest(REST_PUT, L"/v1/account/wechat/unbind").Token(Utf8(token));
    return m_slots.Send(SLOT_WECHAT_UNBIND, this, request.Info());
}

int CLoginMgr::WeChatBind(const wchar_t* token, const wchar_t* accessToken)
{
    Json::Value body(Json::objectValue);
    body["access_token"] = Utf8(accessToken);
    const CRestRequest request =
        CRestRequest(REST_POST, L"/v1/account/wechat/bind").Token(Utf8(token)).Body(body);
    return m_slots.Send(SLOT_WECHAT_BIND, this, request.Info());
}

void CLoginMgr::OnHttpsReqResult(unsigned& id, const std::wstring& request, const std::wstring& response,
                                 int& completed)
{
    // A receiver may end the family during this result: the manager then
    // goes when the handler lets go of it.
    const Held held = Hold();
    if (!held)
        return;
    // Runs on the HTTPS service's delivery thread: nothing may escape.
    try {
        const int slot = m_slots.Match(id);
        if (slot < 0)
            return;
        const auto which = static_cast<E_LOGIN_SLOT>(slot);
        // Freed before anything else so the client may ask again as soon as
        // it hears of the result, whatever the result was.
        if (which == SLOT_SCODE_LOGIN || which == SLOT_GET_ACC_SCODE)
            m_slots.Clear(which);
        if (which == SLOT_GUEST_LOGIN) {
            // The answer carries the guest's token: only its masked form is
            // written, although the log masks every line once more.
            Util::Log::Info(kTag, L"OnHttpsReqResult:GuestLogin:ResponceText=%s",
                            Util::Log::MaskSecrets(response).c_str());
        }
        const CRestResult result(response, completed);
        switch (which) {
        case SLOT_ACCOUNT_LOGIN:
        case SLOT_SCODE_LOGIN:
            OnUserResult(KindOf(which), request, result, true);
            break;
        case SLOT_REGISTER_NOW:
            OnUserResult(RequestKind::kRegisterNow, request, result, true);
            break;
        case SLOT_GET_ACC_SCODE:
            OnGetAccScode(request, result);
            break;
        case SLOT_GET_CORP_LIST:
            OnGetCorpList(result);
            break;
        case SLOT_REFRESH_TOKEN:
            OnRefreshToken(result);
            break;
        case SLOT_GUEST_LOGIN:
            OnUserResult(RequestKind::kGuestLogin, request, result, false);
            break;
        case SLOT_CORP_CREATE:
            OnCorpCreate(result);
            break;
        case SLOT_MODIFY_USER_PROFILE:
            OnModifyUserProfile(request, result);
            break;
        case SLOT_CHANGE_PHONE:
            OnChangePhone(request, result);
            break;
        case SLOT_MODIFY_PASSWORD:
        case SLOT_WECHAT_UNBIND:
        case SLOT_WECHAT_BIND:
            OnEmptyRecord(KindOf(which), result);
            break;
        case SLOT_COUNT:
            break;
        }
    } catch (const std::exception& e) {
        Util::Log::Error(kTag, L"OnHttpsReqResult: result %u dropped: %S", id, e.what());
    } catch (...) {
        Util::Log::Error(kTag, L"OnHttpsReqResult: result %u dropped", id);
    }
}

void CLoginMgr::OnUserResult(unsigned kind, const std::wstring& request, const CRestResult& result, bool echoPhone)
{
    // The service does not echo the phone number: the one that was sent is
    // the signed-in user's.
    CStringW phone;
    if (echoPhone && !RequestMember(request, "phone", phone))
        return;
    result.LogRefusal(kTag, kind == RequestKind::kRegisterNow ? L"registration" : L"sign-in");
    XDataPtr<IXData> record;
    if (result.Parsed()) {
        if (!NewRecord(record))
            return;
        record->SetIXDataU32(L"UserID", ToU32(result.Text("user_id")));
        record->SetIXDataStr(L"UserName", result.Text("name"));
        record->SetIXDataStr(L"Token", result.Text("token"));
        record->SetIXDataU32(L"CorpID", ToU32(result.Text("corp_id")));
        record->SetIXDataStr(L"CorpName", result.Text("corp_name"));
        record->SetIXDataStr(L"UserHead", result.Text("avatar"));
        if (echoPhone)
            record->SetIXDataStr(L"Phone", phone);
        record->SetIXDataStr(L"WeChatNick", result.Text("wechat_nick"));
        record->SetIXDataStr(L"WeChatId", result.Text("wechat_union_id"));
    }
    result.Emit(kind, record);
    // A registration is pending until its outcome has been heard; only then
    // may the next one go out.
    if (kind == RequestKind::kRegisterNow)
        m_slots.Clear(SLOT_REGISTER_NOW);
}

void CLoginMgr::OnGetAccScode(const std::wstring& request, const CRestResult& result)
{
    CStringW type;
    if (!RequestMember(request, "type", type))
        return;
    // The caller learns which kind of code was asked for even when the
    // answer was unusable.
    XDataPtr<IXData> record;
    if (!NewRecord(record))
        return;
    record->SetIXDataU32(L"ReqType", ToU32(type));
    result.Emit(RequestKind::kGetAccScode, record);
}

void CLoginMgr::OnGetCorpList(const CRestResult& result)
{
    XDataPtr<IXData> record;
    if (result.Parsed()) {
        const Json::Value& data = result.Root()["data"];
        if (!data.isArray())
            return;
        XDataPtr<IXDataArray> list;
        if (!NewRecord(record) || CreateIXDataArray(list.Receive(), 0) == 0 || !list)
            return;
        for (Json::ArrayIndex i = 0; i < data.size(); ++i) {
            const Json::Value& element = data[i];
            if (!element.isObject())
                continue;
            const uint32_t corpId = ToU32(JsonToText(element["corp_id"]));
            if (corpId == 0)
                continue;
            XDataPtr<IXData> item;
            if (!NewRecord(item))
                continue;
            item->SetIXDataU32(L"CorpID", corpId);
            item->SetIXDataStr(L"CorpName", JsonToText(element["corp_name"]));
            list->Append(item.get());
        }
        if (record->SetArray(L"ElementList", list.get()) == 0)
            return;
    }
    result.Emit(RequestKind::kGetCorpList, record);
}

void CLoginMgr::OnRefreshToken(const CRestResult& result)
{
    XDataPtr<IXData> record;
    if (result.Parsed()) {
        if (!NewRecord(record))
            return;
        record->SetIXDataStr(L"Token", result.Text("token"));
    }
    result.Emit(RequestKind::kRefreshToken, record);
}

void CLoginMgr::OnCorpCreate(const CRestResult& result)
{
    XDataPtr<IXData> record;
    if (result.Parsed()) {
        if (!NewRecord(record))
            return;
        record->SetIXDataU32(L"CorpID", ToU32(result.Text("corp_id")));
        record->SetIXDataStr(L"CorpName", result.Text("corp_name"));
    }
    result.Emit(RequestKind::kCorpCreate, record);
}

void CLoginMgr::OnModifyUserProfile(const std::wstring& request, const CRestResult& result)
{
    CStringW nick;
    if (!RequestMember(request, "nick", nick))
        return;
    XDataPtr<IXData> record;
    if (!NewRecord(record))
        return;
    record->SetIXDataStr(L"UserName", nick);
    result.Emit(RequestKind::kModifyUserProfile, record);
}

void CLoginMgr::OnChangePhone(const std::wstring& request, const CRestResult& result)
{
    CStringW step;
    if (!RequestMember(request, "step", step))
        return;
    XDataPtr<IXData> record;
    if (result.Parsed()) {
        if (!NewRecord(record))
            return;
        record->SetIXDataStr(L"Secret", result.Text("secret"));
        record->SetIXDataU32(L"ReqType", ToU32(step));
    }
    result.Emit(RequestKind::kChangePhone, record);
}

void CLoginMgr::OnEmptyRecord(unsigned kind, const CRestResult& result)
{
    XDataPtr<IXData> record;
    if (!NewRecord(record))
        return;
    result.Emit(kind, record);
}
