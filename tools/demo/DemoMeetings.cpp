// Meetings and materials: a room made, listed, inspected, changed and
// removed; materials added, waited for while they convert, listed page by
// page, renamed and deleted, with the material count as the service tells it.

#include <atomic>
#include <chrono>
#include <thread>

#include "DemoSteps.h"
#include "pelbo/account/LoginApi.h"
#include "pelbo/compat/TextConvert.h"
#include "pelbo/core/RequestKind.h"
#include "pelbo/meetings/MaterApi.h"
#include "pelbo/meetings/MeetingApi.h"

namespace Demo {

namespace {

// The local server keeps rooms and materials for any corporation number; a
// real deployment is asked which corporations the user works in.
constexpr unsigned kLocalCorp = 501;
constexpr unsigned kPageSize = 2;

CStringW Str(IXData* record, const wchar_t* key)
{
    CStringW value;
    if (record != nullptr)
        record->GetIXDataStr(key, value);
    return value;
}

int64_t MaterId(IXData* record)
{
    int64_t id = 0;
    if (record != nullptr)
        record->GetIXDataI64(L"MaterID", id);
    return id;
}

std::vector<XDataPtr<IXData>> Elements(IXData* record)
{
    std::vector<XDataPtr<IXData>> items;
    XDataPtr<IXDataArray> list;
    if (record == nullptr || !record->GetArray(L"ElementList", list.Receive()) || !list)
        return items;
    for (unsigned i = 0; i < list->GetCount(); ++i) {
        XDataPtr<IXData> item;
        if (list->GetAt(i, item.Receive()) && item)
            items.push_back(item);
    }
    return items;
}

bool FindCorporation(Context& context, const std::wstring& token, unsigned& corp)
{
    if (context.localServer != nullptr) {
        corp = kLocalCorp;
        return true;
    }
    BeginStep(context, "find the user's corporation");
    const auto outcome =
        CallRest(context, RequestKind::kGetCorpList, [&] { return LoginApi::GetCorpList(token.c_str()); });
    if (!outcome)
        return false;
    const auto corps = Elements(outcome->record.get());
    if (corps.empty() || !corps[0]->GetIXDataU32(L"CorpID", corp)) {
        Fail("the user works in no corporation");
        return false;
    }
    Ok("corporation %u", corp);
    return true;
}

XDataPtr<IXData> MeetingRecord(unsigned corp, const wchar_t* name, const wchar_t* start)
{
    XDataPtr<IXData> record;
    if (CreateIXData(record.Receive(), 0) == 0)
        return record;
    record->SetIXDataU32(L"CorpID", corp);
    record->SetIXDataStr(L"MeetingName", name);
    record->SetIXDataStr(L"StartTime", start);
    record->SetIXDataU32(L"Duration", 45);
    record->SetIXDataBool(L"CloseMemberVideo", true);
    record->SetIXDataU32(L"Type", 1);
    return record;
}

bool MeetingSteps(Context& context, const std::wstring& token, unsigned corp)
{
    BeginStep(context, "create a meeting");
    const XDataPtr<IXData> meeting = MeetingRecord(corp, L"Pelbo demo meeting", L"2031-06-01 10:00:00");
    auto outcome = CallRest(context, RequestKind::kCreateMeeting,
                            [&] { return MeetingApi::CreateMeeting(token.c_str(), meeting.get()); });
    if (!outcome)
        return false;
    const CStringW code = Str(outcome->record.get(), L"RoomCode");
    if (code.IsEmpty()) {
        Fail("code 0 but no room code");
        return false;
    }
    Ok("room %s at %s", ToUtf8(code).c_str(), ToUtf8(Str(outcome->record.get(), L"RoomURL")).c_str());

    BeginStep(context, "list the corporation's meetings from 2031 on");
    outcome = CallRest(context, RequestKind::kMeetingList, [&] {
        return MeetingApi::GetMeetingList(token.c_str(), corp, 1, 10, L"2031-01-01 00:00:00");
    });
    if (!outcome)
        return false;
    bool listed = false;
    for (const auto& room : Elements(outcome->record.get()))
        listed = listed || Str(room.get(), L"RoomCode") == code;
    if (!listed) {
        Fail("the new room is not in the list");
        return false;
    }
    Ok("%zu room(s), page %u of %u, the new one among them", Elements(outcome->record.get()).size(),
       MeetingApi::GetMeetingListCurPage(), MeetingApi::GetMeetingListTotalPage());

    BeginStep(context, "inspect the meeting");
    outcome = CallRest(context, RequestKind::kMeetingInfo,
                       [&] { return MeetingApi::GetMeetingInfo(token.c_str(), code); });
    if (!outcome)
        return false;
    uint32_t duration = 0;
    outcome->record->GetIXDataU32(L"Duration", duration);
    Ok("\"%s\" starts %s for %u minutes", ToUtf8(Str(outcome->record.get(), L"RoomName")).c_str(),
       ToUtf8(Str(outcome->record.get(), L"StartTime")).c_str(), duration);

    BeginStep(context, "move the meeting an hour later");
    XDataPtr<IXData> change = MeetingRecord(corp, L"Pelbo demo meeting (moved)", L"2031-06-01 11:00:00");
    change->SetIXDataStr(L"RoomCode", code);
    outcome = CallRest(context, RequestKind::kModifyMeeting,
                       [&] { return MeetingApi::ModifyMeeting(token.c_str(), code, change.get()); });
    if (!outcome)
        return false;
    Ok("now \"%s\" at %s", ToUtf8(Str(outcome->record.get(), L"RoomName")).c_str(),
       ToUtf8(Str(outcome->record.get(), L"StartTime")).c_str());

    BeginStep(context, "read the summary anyone with the code sees");
    outcome = CallRest(context, RequestKind::kMeetingSummary, [&] { return MeetingApi::GetMeetingSummary(code); });
    if (!outcome)
        return false;
    Ok("\"%s\" by %s", ToUtf8(Str(outcome->record.get(), L"RoomName")).c_str(),
       ToUtf8(Str(outcome->record.get(), L"CreatorNick")).c_str());

    BeginStep(context, "delete the meeting");
    outcome = CallRest(context, RequestKind::kDeleteMeeting,
                       [&] { return MeetingApi::DeleteMeeting(token.c_str(), code); });
    if (!outcome)
        return false;
    Ok("room %s deleted", ToUtf8(code).c_str());
    return true;
}

// Asks for the material's detail until the service has converted it.
bool AwaitConversion(Context& context, const std::wstring& token, int64_t id)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(context.options.timeoutSeconds);
    for (;;) {
        const auto outcome = CallRest(context, RequestKind::kMaterDetail,
                                      [&] { return MaterApi::MaterDetail(id, token.c_str(), 0); });
        if (!outcome)
            return false;
        uint32_t flag = 0;
        outcome->record->GetIXDataU32(L"ConverFlag", flag);
        if (flag == 3 || flag == 4) {
            Ok("converted into %zu page image(s)", Elements(outcome->record.get()).size());
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            Fail("still converting after %d s", context.options.timeoutSeconds);
            return false;
        }
        Ok("converting (flag %u), asking again", flag);
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
}

bool MaterialSteps(Context& context, const std::wstring& token, unsigned corp)
{
    std::atomic<unsigned> count{0};
    event::scoped_connection counting(
        ServiceEvent::UpdateMaterCount().connect([&count](unsigned value) { count = value; }));

    const wchar_t* files[] = {L"C:\\Users\\ann\\Documents\\Quarterly plan.pdf", L"/home/ann/slides.pptx",
                              L"notes.docx"};
    std::vector<int64_t> ids;
    for (const wchar_t* file : files) {
        BeginStep(context, ("add the material " + ToUtf8(file)).c_str());
        const auto outcome = CallRest(context, RequestKind::kMaterAdd,
                                      [&] { return MaterApi::MaterAdd(corp, token.c_str(), 1, file, 0, L""); });
        if (!outcome)
            return false;
        uint32_t seconds = 0;
        outcome->record->GetIXDataU32(L"Duration", seconds);
        ids.push_back(MaterId(outcome->record.get()));
        Ok("material %lld, ready in about %u s", static_cast<long long>(ids.back()), seconds);
    }

    BeginStep(context, "wait for the first material to convert");
    if (!AwaitConversion(context, token, ids.front()))
        return false;

    for (unsigned page = 1;; ++page) {
        BeginStep(context, ("list materials, page " + std::to_string(page)).c_str());
        const auto outcome = CallRest(context, RequestKind::kMaterList,
                                      [&] { return MaterApi::GetMaterList(corp, token.c_str(), page, kPageSize); });
        if (!outcome)
            return false;
        for (const auto& item : Elements(outcome->record.get()))
            Ok("%lld  %s", static_cast<long long>(MaterId(item.get())), ToUtf8(Str(item.get(), L"MaterName")).c_str());
        Ok("page %u of %u, %u material(s) in all, %zu cached", MaterApi::GetMaterListCurPage(),
           MaterApi::GetMaterListTotalPage(), count.load(), MaterApi::GetMaterListCache().size());
        if (page >= MaterApi::GetMaterListTotalPage() || Elements(outcome->record.get()).empty())
            break;
    }

    BeginStep(context, "rename a material");
    auto outcome = CallRest(context, RequestKind::kMaterEdit,
                            [&] { return MaterApi::MaterEdit(ids[1], token.c_str(), L"Slides, final"); });
    if (!outcome)
        return false;
    Ok("material %lld is now \"%s\"", static_cast<long long>(ids[1]),
       ToUtf8(Str(outcome->record.get(), L"MaterName")).c_str());

    BeginStep(context, "delete a material");
    outcome = CallRest(context, RequestKind::kMaterDel, [&] { return MaterApi::MaterDel(ids[2], token.c_str()); });
    if (!outcome)
        return false;
    Ok("material %lld deleted; %u material(s) left, %zu cached", static_cast<long long>(ids[2]), count.load(),
       MaterApi::GetMaterListCache().size());
    return true;
}

}  // namespace

bool RunMeetingsSteps(Context& context)
{
    if (context.localServer == nullptr && !EnsureSignedIn(context))
        return false;
    const std::wstring token = ToWide(context.token.c_str(), CP_UTF8);
    unsigned corp = 0;
    return FindCorporation(context, token, corp) && MeetingSteps(context, token, corp);
}

bool RunMaterialsSteps(Context& context)
{
    if (context.localServer == nullptr && !EnsureSignedIn(context))
        return false;
    const std::wstring token = ToWide(context.token.c_str(), CP_UTF8);
    unsigned corp = 0;
    return FindCorporation(context, token, corp) && MaterialSteps(context, token, corp);
}

}  // namespace Demo
