#include "pelbo/meetings/MeetingMgr.h"

#include <json/json.h>

#include "pelbo/compat/TextConvert.h"
#include "pelbo/compat/WtoI.h"
#include "pelbo/core/RequestKind.h"
#include "pelbo/core/RestRequest.h"
#include "pelbo/core/ServiceEvent.h"
#include "pelbo/corekit/Log.h"
#include "pelbo/corekit/XData.h"
#include "pelbo/meetings/ResultFields.h"

using namespace ResultFields;

namespace {
const wchar_t kTag[] = L"CMeetingMgr";
const wchar_t kRoomPath[] = L"/v1/conference/room";

const unsigned kKinds[CMeetingMgr::SLOT_COUNT] = {
    RequestKind::kCreateMeeting, RequestKind::kMeetingList, RequestKind::kHistoryList,
    RequestKind::kRecentList,    RequestKind::kMeetingInfo, RequestKind::kMeetingSummary,
    RequestKind::kModifyMeeting, RequestKind::kDeleteMeeting,
};

std::string Utf8(const wchar_t* text) { return ToMultiByte(text, CP_UTF8); }

const wchar_t* OrEmpty(const wchar_t* text) { return text != nullptr ? text : L""; }

wchar_t HexDigit(unsigned value) { return static_cast<wchar_t>(value < 10 ? L'0' + value : L'a' + value - 10); }

// A room code joins the address as one path segment. Codes the service hands
// out are digits; anything else is escaped so that a "/", "?" or "#" in a
// code cannot reach another address than the room's.
std::wstring PathSegment(const wchar_t* roomCode)
{
    std::wstring segment;
    for (unsigned char byte : Utf8(roomCode)) {
        const bool plain = (byte >= '0' && byte <= '9') || (byte >= 'a' && byte <= 'z') ||
                           (byte >= 'A' && byte <= 'Z') || byte == '-' || byte == '_' || byte == '.' || byte == '~';
        if (plain) {
            segment += static_cast<wchar_t>(byte);
        } else {
            segment += L'%';
            segment += HexDigit(byte >> 4);
            segment += HexDigit(byte & 0x0f);
        }
    }
    return segment;
}

std::wstring RoomPath(const wchar_t* roomCode, const wchar_t* suffix = L"")
{
    return std::wstring(kRoomPath) + L"/" + PathSegment(roomCode) + suffix;
}

// Values of the caller's meeting record; a missing key (or record) leaves
// the default.
uint32_t RecordU32(IXData* record, const wchar_t* key)
{
    uint32_t value = 0;
    if (record != nullptr)
        record->GetIXDataU32(key, value);
    return value;
}

bool RecordBool(IXData* record, const wchar_t* key)
{
    bool value = false;
    if (record != nullptr)
        record->GetIXDataBool(key, value);
    return value;
}

std::string RecordUtf8(IXData* record, const wchar_t* key)
{
    CStringW value;
    if (record != nullptr)
        record->GetIXDataStr(key, value);
    return Utf8(value);
}

// The members both create and modify send.
void SetRoomBody(Json::Value& body, IXData* meeting)
{
    body["title"] = RecordUtf8(meeting, L"MeetingName");
    body["start_time"] = RecordUtf8(meeting, L"StartTime");
    body["duration"] = RecordU32(meeting, L"Duration");
    body["is_close_host_video"] = RecordBool(meeting, L"CloseHostVideo");
    body["is_close_member_audio"] = RecordBool(meeting, L"CloseMemberAudio");
    body["is_close_member_video"] = RecordBool(meeting, L"CloseMemberVideo");
}

void Emit(int code, unsigned kind, const XDataPtr<IXData>& record)
{
    ServiceEvent::HttpsServiceEvent().emit(code, kind, record.get());
}
}  // namespace

CSingleton<CMeetingMgr>& CMeetingMgr::Instance()
{
    static CSingleton<CMeetingMgr> holder;
    return holder;
}

CMeetingMgr::~CMeetingMgr()
{
    DetachRoomCommands();
    DetachHttpsSink();
}

unsigned CMeetingMgr::KindOf(E_MEETING_SLOT slot) { return slot < SLOT_COUNT ? kKinds[slot] : 0; }

std::wstring CMeetingMgr::EscapeEveryByte(const wchar_t* text)
{
    const std::string bytes = Utf8(text);
    if (bytes.empty())
        return OrEmpty(text);
    std::wstring escaped;
    escaped.reserve(bytes.size() * 3);
    for (unsigned char byte : bytes) {
        escaped += L'%';
        escaped += HexDigit(byte >> 4);
        escaped += HexDigit(byte & 0x0f);
    }
    return escaped;
}

int CMeetingMgr::CreateMeeting(const wchar_t* token, IXData* meeting)
{
    Json::Value body(Json::objectValue);
    body["corp_id"] = RecordU32(meeting, L"CorpID");
    SetRoomBody(body, meeting);
    body["type"] = 0;
    const uint32_t type = RecordU32(meeting, L"Type");
    body["pc_type"] = type;
    const CRestRequest request = CRestRequest(REST_POST, kRoomPath).Token(Utf8(token)).Body(body);
    const int accepted = m_slots.Send(SLOT_CREATE, this, request.Info());
    CStringW name;
    if (meeting != nullptr)
        meeting->GetIXDataStr(L"MeetingName", name);
    Util::Log::Info(kTag, L"CreateMeeting:CreateMeetingKey=%u,MeetingName=%s,Type=%u", m_slots.Get(SLOT_CREATE),
                    name.GetString(), type);
    return accepted;
}

int CMeetingMgr::GetMeetingList(const wchar_t* token, unsigned corpId, unsigned page, unsigned limit,
                                const wchar_t* fromTime)
{
    m_listCurPage = page;
    const std::wstring query = L"corp_id=" + std::to_wstring(corpId) + L"&page=" + std::to_wstring(page) +
                               L"&limit=" + std::to_wstring(limit) + L"&from_time=" + EscapeEveryByte(fromTime);
    const CRestRequest request = CRestRequest(REST_GET, kRoomPath).Token(Utf8(token)).Query(query);
    return m_slots.Send(SLOT_LIST, this, request.Info());
}

int CMeetingMgr::GetHistoryList(const wchar_t* token, unsigned corpId, unsigned days, unsigned page,
                                unsigned limit)
{
    m_historyCurPage = page;
    // A first page starts the history over: its total is unknown until the
    // answer comes.
    if (page == 1)
        m_historyTotalPage = 0;
    const std::wstring query = L"corp_id=" + std::to_wstring(corpId) + L"&days=" + std::to_wstring(days) +
                               L"&page=" + std::to_wstring(page) + L"&limit=" + std::to_wstring(limit);
    const CRestRequest request =
        CRestRequest(REST_GET, (std::wstring(kRoomPath) + L"/history").c_str()).Token(Utf8(token)).Query(query);
    return m_slots.Send(SLOT_HISTORY, this, request.Info());
}

int CMeetingMgr::GetRecentList(const wchar_t* token, unsigned corpId, unsigned days, unsigned page, unsigned limit)
{
    const std::wstring query = L"corp_id=" + std::to_wstring(corpId) + L"&days=" + std::to_wstring(days) +
                               L"&page=" + std::to_wstring(page) + L"&limit=" + std::to_wstring(limit);
    const CRestRequest request = CRestRequest(REST_GET, (std::wstring(kRoomPath) + L"/arrangement").c_str())
                                     .Token(Utf8(token))
                                     .Query(query);
    return m_slots.Send(SLOT_RECENT, this, request.Info());
}

int CMeetingMgr::GetMeetingInfo(const wchar_t* token, const wchar_t* roomCode)
{
    const CRestRequest request = CRestRequest(REST_GET, RoomPath(roomCode).c_str()).Token(Utf8(token));
    return m_slots.Send(SLOT_INFO, this, request.Info());
}

int CMeetingMgr::GetMeetingSummary(const wchar_t* roomCode)
{
    // Anyone holding the room code may read the summary: no header at all.
    const CRestRequest request(REST_GET, RoomPath(roomCode, L"/summary").c_str());
    return m_slots.Send(SLOT_SUMMARY, this, request.Info());
}

int CMeetingMgr::ModifyMeeting(const wchar_t* token, const wchar_t* roomCode, IXData* meeting)
{
    Json::Value body(Json::objectValue);
    SetRoomBody(body, meeting);
    body["room_code"] = RecordUtf8(meeting, L"RoomCode");
    const CRestRequest request = CRestRequest(REST_PUT, RoomPath(roomCode).c_str()).Token(Utf8(token)).Body(body);
    const int accepted = m_slots.Send(SLOT_MODIFY, this, request.Info());
    Util::Log::Info(kTag, L"ModifyMeeting:ModifyMeeting=%u,RoomCode=%s", m_slots.Get(SLOT_MODIFY),
                    OrEmpty(roomCode));
    return accepted;
}

int CMeetingMgr::DeleteMeeting(const wchar_t* token, const wchar_t* roomCode)
{
    Json::Value body(Json::objectValue);
    body["room_code"] = Utf8(roomCode);
    const CRestRequest request =
        CRestRequest(REST_DELETE, RoomPath(roomCode).c_str()).Token(Utf8(token)).Body(body);
    return m_slots.Send(SLOT_DELETE, this, request.Info());
}

void CMeetingMgr::OnHttpsReqResult(unsigned& id, const std::wstring& request, const std::wstring& response,
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
        switch (static_cast<E_MEETING_SLOT>(slot)) {
        case SLOT_CREATE:
            OnCreate(id, request, response, completed);
            break;
        case SLOT_LIST:
        case SLOT_HISTORY:
        case SLOT_RECENT:
            OnList(KindOf(static_cast<E_MEETING_SLOT>(slot)), response);
            break;
        case SLOT_INFO:
        case SLOT_SUMMARY:
        case SLOT_MODIFY:
            OnRoom(static_cast<E_MEETING_SLOT>(slot), id, response, completed);
            break;
        case SLOT_DELETE:
            OnDelete(id, request, response, completed);
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

void CMeetingMgr::OnCreate(unsigned id, const std::wstring& request, const std::wstring& response, int completed)
{
    // The service does not echo the client's room type: the one sent is it.
    Json::Value sent;
    if (!ParseObject(request, sent))
        return;
    const uint32_t reqType = U32(sent, "pc_type");
    int code = -1;
    XDataPtr<IXData> record;
    Json::Value root;
    if (ParseObject(response, root)) {
        code = Code(root);
        if (!NewRecord(record))
            return;
        record->SetIXDataStr(L"RoomCode", Text(root, "room_code"));
        record->SetIXDataU32(L"CorpID", U32(root, "corp_id"));
        record->SetIXDataU32(L"ReqType", reqType);
        record->SetIXDataStr(L"RoomName", Text(root, "title"));
        record->SetIXDataStr(L"StartTime", Text(root, "start_time"));
        record->SetIXDataU32(L"Duration", U32(root, "duration"));
        record->SetIXDataI64(L"CreatorID", I64(root, "creator_id"));
        record->SetIXDataStr(L"RoomURL", Text(root, "room_url"));
    }
    if (completed == 0)
        code = -1;
    Util::Log::Info(kTag, L"OnHttpsReqResult:CreateMeetingKey=%u,Code=%d", id, code);
    Emit(code, RequestKind::kCreateMeeting, record);
}

void CMeetingMgr::OnList(unsigned kind, const std::wstring& response)
{
    // Lists are reported from whatever answer parsed, whether or not the
    // exchange completed; an answer that did not parse is not reported.
    Json::Value root;
    if (!ParseObject(response, root))
        return;
    const wchar_t* line = kind == RequestKind::kMeetingList   ? L"MeetingList:%s"
                          : kind == RequestKind::kHistoryList ? L"HistoryListKey:%s"
                                                              : L"RecentListKey:%s";
    Util::Log::Info(kTag, line, response.c_str());
    const int code = Code(root);
    const CStringW totalPage = Text(root, "total_page");
    if (!totalPage.IsEmpty()) {
        const auto total = static_cast<unsigned>(Compat::WtoI(totalPage));
        if (kind == RequestKind::kHistoryList)
            m_historyTotalPage = total;
        else
            m_listTotalPage = total;
    }
    XDataPtr<IXData> record;
    XDataPtr<IXDataArray> list;
    if (!NewRecord(record) || !NewArray(list))
        return;
    const Json::Value& rooms = Member(root, "room_list");
    if (rooms.isArray()) {
        for (Json::ArrayIndex i = 0; i < rooms.size(); ++i) {
            const Json::Value& room = rooms[i];
            XDataPtr<IXData> item;
            if (!NewRecord(item))
                continue;
            item->SetIXDataStr(L"RoomCode", Text(room, "room_code"));
            item->SetIXDataU32(L"CorpID", U32(room, "corp_id"));
            item->SetIXDataU32(L"ReqType", U32(room, "type"));
            item->SetIXDataStr(L"RoomName", Text(room, "title"));
            item->SetIXDataStr(L"StartTime", Text(room, "start_time"));
            item->SetIXDataU32(L"Duration", U32(room, "duration"));
            item->SetIXDataI64(L"CreatorID", I64(room, "creator_id"));
            item->SetIXDataStr(L"RoomURL", Text(room, "room_url"));
            if (kind == RequestKind::kRecentList)
                item->SetIXDataBool(L"IsExample", U32(room, "is_example") != 0);
            list->Append(item.get());
        }
    }
    if (record->SetArray(L"ElementList", list.get()) == 0)
        return;
    Emit(code, kind, record);
}

void CMeetingMgr::OnRoom(E_MEETING_SLOT slot, unsigned id, const std::wstring& response, int completed)
{
    // An empty answer to a modify is how the service may confirm it: the
    // modify's code starts at 0, the others' at -1.
    int code = slot == SLOT_MODIFY ? 0 : -1;
    XDataPtr<IXData> record;
    Json::Value root;
    if (ParseObject(response, root)) {
        if (slot == SLOT_MODIFY)
            Util::Log::Info(kTag, L"ModifyMeeting:%s", response.c_str());
        code = Code(root);
        if (!NewRecord(record))
            return;
        record->SetIXDataStr(L"RoomCode", Text(root, "room_code"));
        if (slot == SLOT_SUMMARY) {
            record->SetIXDataStr(L"RoomName", Text(root, "title"));
            record->SetIXDataStr(L"StartTime", Text(root, "start_time"));
            record->SetIXDataU32(L"Duration", U32(root, "duration"));
            record->SetIXDataStr(L"RoomURL", Text(root, "room_url"));
            record->SetIXDataStr(L"CreatorNick", Text(root, "creator_nick"));
        } else {
            record->SetIXDataU32(L"CorpID", U32(root, "corp_id"));
            record->SetIXDataU32(L"ReqType", U32(root, "type"));
            record->SetIXDataStr(L"RoomName", Text(root, "title"));
            record->SetIXDataStr(L"StartTime", Text(root, "start_time"));
            record->SetIXDataU32(L"Duration", U32(root, "duration"));
            record->SetIXDataU32(L"CloseHostVideo", U32(root, "is_close_host_video"));
            record->SetIXDataU32(L"CloseMemVideo", U32(root, "is_close_member_video"));
            record->SetIXDataU32(L"CloseMemAudio", U32(root, "is_close_member_audio"));
            record->SetIXDataI64(L"CreatorID", I64(root, "creator_id"));
            record->SetIXDataStr(L"RoomURL", Text(root, "room_url"));
        }
    }
    if (completed == 0)
        code = -1;
    const wchar_t* line = slot == SLOT_MODIFY    ? L"OnHttpsReqResult:ModifyMeeting=%u,Code=%d"
                          : slot == SLOT_SUMMARY ? L"OnHttpsReqResult:MeetingSummaryKey=%u,Code=%d"
                                                 : L"OnHttpsReqResult:MeetingInfoKey=%u,Code=%d";
    Util::Log::Info(kTag, line, id, code);
    Emit(code, KindOf(slot), record);
}

void CMeetingMgr::OnDelete(unsigned id, const std::wstring& request, const std::wstring& response, int completed)
{
    Json::Value sent;
    if (!ParseObject(request, sent))
        return;
    XDataPtr<IXData> record;
    if (!NewRecord(record))
        return;
    record->SetIXDataStr(L"RoomCode", Text(sent, "room_code"));
    // A completed exchange counts as done (the service may answer a delete
    // with an empty body), 1 when it failed. A refusal the service does
    // state (a non-zero "code") is passed on, so that a room the user may
    // not delete is never reported as deleted.
    int code = completed != 0 ? 0 : 1;
    Json::Value root;
    if (completed != 0 && ParseObject(response, root) && Code(root) != 0)
        code = Code(root);
    Util::Log::Info(kTag, L"OnHttpsReqResult:DeleteMeeting=%u,Code=%d", id, code);
    Emit(code, RequestKind::kDeleteMeeting, record);
}
