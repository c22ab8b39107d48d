#pragma once
// CMeetingMgr: the manager behind MeetingApi's REST operations. Every
// operation owns a request-id slot; a result is recognised by comparing its
// identifier with the slots in operation order, so a result whose request
// was superseded by a newer one of the same operation is dropped. Each kind
// of result has its own rule for the code (see OnHttpsReqResult).
//
// The page counters are written on the HTTPS service's delivery thread and
// read on the client's thread, hence atomic.
//
// The room commands that travel over the websocket session ("room.join",
// "room.status.get") belong to this manager too; their two command sinks and
// the subscriber liveness marker are members of their own, set up in the
// constructor and detached in the destructor next to the HTTPS sink.

#include <atomic>
#include <string>

#include "pelbo/core/LastReference.h"
#include "pelbo/core/RequestSlots.h"
#include "pelbo/core/Singleton.h"
#include "pelbo/corekit/Event.h"
#include "pelbo/netcall/HttpsRequest.h"
#include "pelbo/wirelink/CSSinkHelper.h"

namespace Json {
class Value;
}
struct IXData;

class CMeetingMgr : public IHttpsRequestSink, public CLastReference {
public:
    // Slots in the order in which results are matched.
    enum E_MEETING_SLOT : unsigned {
        SLOT_CREATE,
        SLOT_LIST,
        SLOT_HISTORY,
        SLOT_RECENT,
        SLOT_INFO,
        SLOT_SUMMARY,
        SLOT_MODIFY,
        SLOT_DELETE,
        SLOT_COUNT
    };

    // Subscribes the room-command handlers to their sinks.
    CMeetingMgr();
    // Detaches from the HTTPS service before the slots go away, so a result
    // being delivered on another thread is waited for and no later one comes.
    ~CMeetingMgr() override;
    CMeetingMgr(const CMeetingMgr&) = delete;
    CMeetingMgr& operator=(const CMeetingMgr&) = delete;

    int CreateMeeting(const wchar_t* token, IXData* meeting);
    int GetMeetingList(const wchar_t* token, unsigned corpId, unsigned page, unsigned limit, const wchar_t* fromTime);
    int GetHistoryList(const wchar_t* token, unsigned corpId, unsigned days, unsigned page, unsigned limit);
    int GetRecentList(const wchar_t* token, unsigned corpId, unsigned days, unsigned page, unsigned limit);
    int GetMeetingInfo(const wchar_t* token, const wchar_t* roomCode);
    int GetMeetingSummary(const wchar_t* roomCode);
    int ModifyMeeting(const wchar_t* token, const wchar_t* roomCode, IXData* meeting);
    int DeleteMeeting(const wchar_t* token, const wchar_t* roomCode);

    // Room commands over the websocket session ("room.join",
    // "room.status.get"): the result of the sink's Send, 0 when nothing was
    // sent. Replies and time-outs arrive as ServiceEvent::EnterMeeting and
    // RoomStatusGet on the websocket library's thread.
    int JoinMeeting(const wchar_t* name, const wchar_t* roomCode, const wchar_t* avatarUrl);
    int RoomStatusGet();
    Aux::CSCenter::CCSSinkHelper& JoinSink() { return m_joinSink; }
    Aux::CSCenter::CCSSinkHelper& StatusSink() { return m_statusSink; }

    unsigned ListCurPage() const { return m_listCurPage.load(); }
    unsigned ListTotalPage() const { return m_listTotalPage.load(); }
    unsigned HistoryCurPage() const { return m_historyCurPage.load(); }
    unsigned HistoryTotalPage() const { return m_historyTotalPage.load(); }

    void OnHttpsReqResult(unsigned& id, const std::wstring& request, const std::wstring& response,
                          int& completed) override;

    // Identifier of the operation's latest request, 0 when none.
    unsigned SlotId(E_MEETING_SLOT slot) const { return m_slots.Get(slot); }

    static CSingleton<CMeetingMgr>& Instance();
    static unsigned KindOf(E_MEETING_SLOT slot);

    // The escaped form of a start time in a list query: every UTF-8 byte as
    // "%" and two lower-case hex digits.
    static std::wstring EscapeEveryByte(const wchar_t* text);

private:
    void OnCreate(unsigned id, const std::wstring& request, const std::wstring& response, int completed);
    void OnList(unsigned kind, const std::wstring& response);
    void OnRoom(E_MEETING_SLOT slot, unsigned id, const std::wstring& response, int completed);
    void OnDelete(unsigned id, const std::wstring& request, const std::wstring& response, int completed);

    void OnJoinReply(IXData* reply, IXData* command);
    void OnJoinTimeout(IXData* command);
    void OnStatusReply(IXData* reply, IXData* command);
    void OnStatusTimeout(IXData* command);
    void DetachRoomCommands();

    CRequestSlots<SLOT_COUNT> m_slots;
    std::atomic<unsigned> m_listCurPage{0};
    std::atomic<unsigned> m_listTotalPage{0};
    std::atomic<unsigned> m_historyCurPage{0};
    std::atomic<unsigned> m_historyTotalPage{0};
    Util::LivenessMarker m_roomMarker{this};
    Aux::CSCenter::CCSSinkHelper m_joinSink;
    Aux::CSCenter::CCSSinkHelper m_statusSink;
};
