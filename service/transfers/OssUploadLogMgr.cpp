#include "pelbo/transfers/OssUploadLogMgr.h"

#include "pelbo/compat/TextConvert.h"
#include "pelbo/core/RestRequest.h"

namespace {
const wchar_t* const kTag = L"COssUploadLogMgr";
}  // namespace

COssUploadLogMgr::~COssUploadLogMgr()
{
    Shutdown();
}

CSingleton<COssUploadLogMgr>& COssUploadLogMgr::Instance()
{
    static CSingleton<COssUploadLogMgr> instance;
    return instance;
}

int COssUploadLogMgr::GetUploadInfo(const std::wstring& path)
{
    Util::Log::Info(kTag, L"GetUploadInfo:FilePath=%s", path.c_str());
    if (path.empty() || !Util::Path::IsFileExist(path.c_str()))
        return 0;
    Json::Value body(Json::objectValue);
    body["name"] = ToMultiByte(Transfers::NameWithoutExtension(path).c_str(), CP_UTF8);
    body["ext"] = ToMultiByte(Transfers::ExtensionOf(path).c_str(), CP_UTF8);
    const CRestRequest request = CRestRequest(REST_POST, L"/v1/account/uploadlog").Body(body);

    std::lock_guard<std::recursive_mutex> lock(m_lock);
    unsigned id = 0;
    const int result = Util::HttpsRequest::Request(id, this, request.Info());
    if (result != 0 && id != 0)
        EnterTicket(id, path);
    return result;
}

Transfers::TicketFields COssUploadLogMgr::ReadTicketFields(const Json::Value& root) const
{
    return Transfers::ReadTicket(root, "credential", nullptr, "access_key_id", "access_key_secret",
                                 "security_token");
}

void COssUploadLogMgr::OnStartReturned(const Transfers::TicketFields& ticket, unsigned result)
{
    Util::Log::Info(kTag, L"OnHttpsReqResult:OssUpload::Start FileID=%lld,Code=%u,FileUrl=%s", ticket.fileId, result,
                    ticket.fileUrl.c_str());
}
