#include "pelbo/meetings/MaterMgr.h"

#include <json/json.h>

#include "pelbo/compat/TextConvert.h"
#include "pelbo/compat/WtoI.h"
#include "pelbo/core/JsonBridge.h"
#include "pelbo/core/RequestKind.h"
#include "pelbo/core/ServiceEvent.h"
#include "pelbo/corekit/HttpSettings.h"
#include "pelbo/corekit/Log.h"
#include "pelbo/meetings/ResultFields.h"

using namespace ResultFields;

namespace {
const wchar_t kTag[] = L"CMaterMgr";

const wchar_t kListPath[] = L"/v1/account/material/list";
const wchar_t kAddPath[] = L"/v1/account/material/add";
const wchar_t kDelPath[] = L"/v1/account/material/del";
const wchar_t kDetailPath[] = L"/v1/account/material/detail";
const wchar_t kEditPath[] = L"/v1/account/material";

std::string Utf8(const wchar_t* text) { return ToMultiByte(text, CP_UTF8); }

void Emit(int code, unsigned kind, const XDataPtr<IXData>& record)
{
    ServiceEvent::HttpsServiceEvent().emit(code, kind, record.get());
}

// The material members of a list element or a detail answer, in the order
// the client's list shows them.
void SetMaterial(IXData* record, const Json::Value& source)
{
    record->SetIXDataU32(L"CorpID", U32(source, "corp_id"));
    record->SetIXDataU32(L"UserID", U32(source, "user_id"));
    record->SetIXDataStr(L"MaterName", Text(source, "title"));
    record->SetIXDataU32(L"FileID", U32(source, "file_id"));
    record->SetIXDataStr(L"FileUrl", Text(source, "file_url"));
    record->SetIXDataU64(L"AddTime", U64(source, "add_time"));
    record->SetIXDataU32(L"FileSize", U32(source, "file_size"));
    record->SetIXDataU32(L"ConverFlag", U32(source, "convert_flag"));
}

int64_t MaterIdOf(IXData* record)
{
    int64_t id = 0;
    if (record != nullptr)
        record->GetIXDataI64(L"MaterID", id);
    return id;
}

// Conversion states in which a material can be shown.
bool Converted(uint32_t flag) { return flag == 3 || flag == 4; }
}  // namespace

CSingleton<CMaterMgr>& CMaterMgr::Instance()
{
    static CSingleton<CMaterMgr> holder;
    return holder;
}

CMaterMgr::~CMaterMgr() { DetachHttpsSink(); }

std::wstring CMaterMgr::FileTitle(const wchar_t* path)
{
    const std::wstring text = path != nullptr ? path : L"";
    size_t cut = text.rfind(L'\\');
    if (cut == std::wstring::npos)
        cut = text.rfind(L'/');
    return cut == std::wstring::npos ? text : text.substr(cut + 1);
}

unsigned CMaterMgr::CurPage() const
{
    std::lock_guard<std::mutex> guard(m_cacheLock);
    return m_curPage;
}

unsigned CMaterMgr::TotalPage() const
{
    std::lock_guard<std::mutex> guard(m_cacheLock);
    return m_totalPage;
}

unsigned CMaterMgr::MaterCount() const
{
    std::lock_guard<std::mutex> guard(m_cacheLock);
    return m_count;
}

std::vector<XDataPtr<IXData>> CMaterMgr::ListCache() const
{
    std::lock_guard<std::mutex> guard(m_cacheLock);
    return m_cache;
}

std::wstring CMaterMgr::RequestUrl(unsigned id) const
{
    std::lock_guard<std::recursive_mutex> guard(m_tableLock);
    const auto it = m_requests.find(id);
    return it != m_requests.end() ? it->second : std::wstring();
}

int CMaterMgr::Send(E_REST_METHOD method, const wchar_t* path, const wchar_t* token, const Json::Value& body)
{
    const CRestRequest request = CRestRequest(method, path).Token(Utf8(token)).Body(body);
    std::lock_guard<std::recursive_mutex> guard(m_tableLock);
    unsigned id = 0;
    const int accepted = Util::HttpsRequest::Request(id, this, request.Info());
    if (accepted != 0)
        m_requests[id] = request.Info().strUrl;
    return accepted;
}

int CMaterMgr::GetMaterList(unsigned corpId, const wchar_t* token, unsigned page, unsigned pageSize)
{
    {
        std::lock_guard<std::mutex> guard(m_cacheLock);
        m_curPage = page;
        if (page == 1)
            m_cache.clear();
    }
    Json::Value body(Json::objectValue);
    body["corp_id"] = corpId;
    body["page"] = page;
    body["page_size"] = pageSize;
    return Send(REST_POST, kListPath, token, body);
}

int CMaterMgr::MaterAdd(unsigned corpId, const wchar_t* token, unsigned fileId, const wchar_t* filePath,
                        unsigned type, const wchar_t* roomCode)
{
    Json::Value body(Json::objectValue);
    body["corp_id"] = corpId;
    body["file_id"] = fileId;
    body["pc_file_path"] = Utf8(filePath);
    body["room_code"] = Utf8(roomCode);
    body["title"] = Utf8(FileTitle(filePath).c_str());
    body["type"] = type;
    return Send(REST_POST, kAddPath, token, body);
}

int CMaterMgr::MaterDel(int64_t materId, const wchar_t* token)
{
    Json::Value body(Json::objectValue);
    body["material_id"] = Json::Value(Json::arrayValue);
    body["material_id"].append(static_cast<Json::Int64>(materId));
    return Send(REST_POST, kDelPath, token, body);
}

int CMaterMgr::MaterDetail(int64_t materId, const wchar_t* token, unsigned type)
{
    Json::Value body(Json::objectValue);
    body["material_id"] = static_cast<Json::Int64>(materId);
    body["type_pc"] = type;
    return Send(REST_POST, kDetailPath, token, body);
}

int CMaterMgr::MaterEdit(int64_t materId, const wchar_t* token, const wchar_t* title)
{
    Json::Value body(Json::objectValue);
    body["material_id"] = static_cast<Json::Int64>(materId);
    body["title"] = Utf8(title);
    return Send(REST_PUT, kEditPath, token, body);
}

void CMaterMgr::OnHttpsReqResult(unsigned& id, const std::wstring& request, const std::wstring& response,
                                 int& completed)
{
    // A receiver may end the family during this result: the manager then
    // goes when the handler lets go of it.
    const Held held = Hold();
    if (!held)
        return;
    // Runs on the HTTPS service's delivery thread: nothing may escape.
    try {
        // The entry goes with its result: each request is answered once, and
        // a table that kept every address would grow for as long as the
        // client runs.
        std::wstring url;
        {
            std::lock_guard<std::recursive_mutex> guard(m_tableLock);
            const auto it = m_requests.find(id);
            if (it == m_requests.end())
                return;
            url = std::move(it->second);
            m_requests.erase(it);
        }
        Json::Value sent;
        if (!ParseObject(request, sent))
            return;
        const std::wstring base = Http::GetHttpUrlHead().str();
        if (url == base + kListPath)
            OnList(sent, response);
        else if (url == base + kAddPath)
            OnAdd(sent, response, completed);
        else if (url == base + kDelPath)
            OnDel(sent, response, completed);
        else if (url == base + kDetailPath)
            OnDetail(sent, response, completed);
        else if (url == base + kEditPath)
            OnEdit(sent, response);
    } catch (const std::exception& e) {
        Util::Log::Error(kTag, L"OnHttpsReqResult: result %u dropped: %S", id, e.what());
    } catch (...) {
        Util::Log::Error(kTag, L"OnHttpsReqResult: result %u dropped", id);
    }
}

void CMaterMgr::OnList(const Json::Value& sent, const std::wstring& response)
{
    const uint32_t pageSize = U32(sent, "page_size");
    Json::Value root;
    if (!ParseObject(response, root))
        return;
    const int code = Code(root);
    XDataPtr<IXData> record;
    XDataPtr<IXDataArray> list;
    if (!NewRecord(record) || !NewArray(list))
        return;
    std::vector<XDataPtr<IXData>> page;
    const Json::Value& data = Member(root, "data");
    if (data.isArray()) {
        for (Json::ArrayIndex i = 0; i < data.size(); ++i) {
            XDataPtr<IXData> item;
            if (!NewRecord(item))
                continue;
            item->SetIXDataI64(L"MaterID", I64(data[i], "id"));
            SetMaterial(item.get(), data[i]);
            list->Append(item.get());
            page.push_back(item);
        }
    }
    const CStringW countText = Text(root, "count");
    unsigned count = 0;
    {
        std::lock_guard<std::mutex> guard(m_cacheLock);
        m_cache.insert(m_cache.end(), page.begin(), page.end());
        if (!countText.IsEmpty())
            m_count = U32(root, "count");
        count = m_count;
        // A page size of 0 cannot split the list: it all counts as one page.
        m_totalPage = pageSize != 0 ? count / pageSize + 1 : 1;
    }
    ServiceEvent::UpdateMaterCount().emit(count);
    record->SetIXDataU32(L"PageCount", count);
    if (record->SetArray(L"ElementList", list.get()) == 0)
        return;
    Emit(code, RequestKind::kMaterList, record);
}

void CMaterMgr::OnAdd(const Json::Value& sent, const std::wstring& response, int completed)
{
    XDataPtr<IXData> record;
    if (!NewRecord(record))
        return;
    record->SetIXDataStr(L"FilePath", Text(sent, "pc_file_path"));
    int code = -1;
    Json::Value root;
    if (ParseObject(response, root)) {
        code = Code(root);
        record->SetIXDataI64(L"MaterID", I64(root, "material_id"));
        record->SetIXDataU32(L"Duration", U32(root, "predict_time"));
    }
    if (completed == 0)
        code = -1;
    Emit(code, RequestKind::kMaterAdd, record);
}

void CMaterMgr::OnDel(const Json::Value& sent, const std::wstring& response, int completed)
{
    const Json::Value& ids = Member(sent, "material_id");
    if (!ids.isNull() && !ids.isArray())
        return;
    const int64_t deleted = ids.isArray() && ids.size() > 0 ? Compat::WtoI64(JsonToText(ids[0])) : 0;
    int code = -1;
    Json::Value root;
    if (ParseObject(response, root))
        code = Code(root);
    if (completed == 0)
        code = -1;
    if (code == 0) {
        unsigned count = 0;
        {
            std::lock_guard<std::mutex> guard(m_cacheLock);
            for (auto it = m_cache.begin(); it != m_cache.end(); ++it) {
                if (*it && MaterIdOf(it->get()) == deleted) {
                    m_cache.erase(it);
                    break;
                }
            }
            // The service has one fewer, whether or not this client had
            // it cached; the count cannot go below none.
            m_count = m_count > 0 ? m_count - 1 : 0;
            count = m_count;
        }
        ServiceEvent::UpdateMaterCount().emit(count);
    }
    XDataPtr<IXData> record;
    if (!NewRecord(record))
        return;
    record->SetIXDataI64(L"MaterID", deleted);
    Emit(code, RequestKind::kMaterDel, record);
}

void CMaterMgr::OnDetail(const Json::Value& sent, const std::wstring& response, int completed)
{
    const uint32_t typePc = U32(sent, "type_pc");
    const int64_t requested = I64(sent, "material_id");
    XDataPtr<IXData> record;
    if (!NewRecord(record))
        return;
    record->SetIXDataU32(L"ReqType", typePc);
    record->SetIXDataI64(L"MaterID", requested);
    int code = -1;
    bool sameMaterial = false;
    uint32_t convertFlag = 0;
    uint32_t corpId = 0;
    Json::Value root;
    if (ParseObject(response, root)) {
        code = Code(root);
        sameMaterial = I64(root, "id") == requested;
        if (!sameMaterial)
            code = 1;
        XDataPtr<IXDataArray> images;
        if (!NewArray(images))
            return;
        const Json::Value& pages = Member(root, "images");
        if (pages.isArray()) {
            for (Json::ArrayIndex i = 0; i < pages.size(); ++i) {
                XDataPtr<IXData> image;
                if (!NewRecord(image))
                    continue;
                image->SetIXDataU32(L"FileID", U32(pages[i], "file_id"));
                image->SetIXDataStr(L"FileUrl", Text(pages[i], "file_url"));
                image->SetIXDataU32(L"ImageWidth", U32(pages[i], "width"));
                image->SetIXDataU32(L"ImageHeight", U32(pages[i], "height"));
                images->Append(image.get());
            }
        }
        SetMaterial(record.get(), root);
        record->SetArray(L"ElementList", images.get());
        convertFlag = U32(root, "convert_flag");
        corpId = U32(root, "corp_id");
    }
    if (completed == 0)
        code = -1;
    Emit(code, RequestKind::kMaterDetail, record);
    // A material the client added (type 0) that has finished converting
    // joins the list, whatever the code. An answer about another material
    // than the one asked for would put that material's data under the
    // requested id, so it never joins.
    if (sameMaterial && typePc == 0 && Converted(convertFlag) && corpId != 0) {
        unsigned count = 0;
        {
            std::lock_guard<std::mutex> guard(m_cacheLock);
            ++m_count;
            count = m_count;
            m_cache.insert(m_cache.begin(), record);
        }
        ServiceEvent::UpdateMaterCount().emit(count);
        ServiceEvent::AddMaterItem().emit(record.get());
    }
}

void CMaterMgr::OnEdit(const Json::Value& sent, const std::wstring& response)
{
    const int64_t materId = I64(sent, "material_id");
    const CStringW title = Text(sent, "title");
    Json::Value root;
    if (!ParseObject(response, root))
        return;
    const int code = Code(root);
    XDataPtr<IXData> record;
    if (!NewRecord(record))
        return;
    record->SetIXDataI64(L"MaterID", materId);
    record->SetIXDataStr(L"MaterName", title);
    // The cached name follows the request whatever the service answered, so
    // the list shows what the user typed until it is next fetched.
    XDataPtr<IXData> cached;
    {
        std::lock_guard<std::mutex> guard(m_cacheLock);
        for (const auto& item : m_cache) {
            if (item && MaterIdOf(item.get()) == materId) {
                cached = item;
                break;
            }
        }
    }
    if (cached)
        cached->SetIXDataStr(L"MaterName", title);
    Emit(code, RequestKind::kMaterEdit, record);
}
