#include "pelbo/transfers/OssUploadMgr.h"

#include "pelbo/account/RequestToken.h"
#include "pelbo/account/UserCache.h"
#include "pelbo/compat/TextConvert.h"
#include "pelbo/core/RestRequest.h"

namespace {
const wchar_t* const kTag = L"COssUploadMgr";
}  // namespace

COssUploadMgr::~COssUploadMgr()
{
    Shutdown();
}

CSingleton<COssUploadMgr>& COssUploadMgr::Instance()
{
    static CSingleton<COssUploadMgr> instance;
    return instance;
}

int COssUploadMgr::SendTicketRequest(const std::wstring& path)
{
    const std::string token = ToMultiByte(Aux::UserCache::RequestToken(kTag, L"upload ticket"), CP_UTF8);
    return GetUploadInfo(Aux::UserCache::GetUserID(), path, token);
}

int COssUploadMgr::GetUploadInfo(unsigned userId, const std::wstring& path, const std::string& token)
{
    Util::Log::Info(kTag, L"GetUploadInfo:uUserID=%u,FilePath=%s", userId, path.c_str());
    if (path.empty() || !Util::Path::IsFileExist(path.c_str()))
        return 0;
    const std::wstring extension = Transfers::ExtensionOf(path);
    Json::Value body(Json::objectValue);
    body["name"] = ToMultiByte(Transfers::FileNameOf(path).c_str(), CP_UTF8);
    body["size"] = std::to_string(Transfers::FileSizeOf(path));
    body["ext"] = ToMultiByte(extension.c_str(), CP_UTF8);
    body["type"] = Transfers::ContentTypeOf(extension);
    body["user_id"] = Json::UInt(userId);
    const CRestRequest request = CRestRequest(REST_POST, L"/v1/account/ramupload").Token(token).Body(body);

    std::lock_guard<std::recursive_mutex> lock(m_lock);
    unsigned id = 0;
    const int result = Util::HttpsRequest::Request(id, this, request.Info());
    if (result != 0 && id != 0)
        EnterTicket(id, path);
    return result;
}

Transfers::TicketFields COssUploadMgr::ReadTicketFields(const Json::Value& root) const
{
    return Transfers::ReadTicket(root, "assume_role_response", "Credentials", "AccessKeyId", "AccessKeySecret",
                                 "SecurityToken");
}

void COssUploadMgr::OnTicketRead(const Transfers::TicketFields& ticket)
{
    Util::Log::Info(kTag, L"OnHttpsReqResult:FileID=%lld,FileUrl=%s", ticket.fileId, ticket.fileUrl.c_str());
}

void COssUploadMgr::OnStartReturned(const Transfers::TicketFields& ticket, unsigned result)
{
    Util::Log::Info(kTag, L"OnHttpsReqResult:OssUpload::Start FileID=%lld,Code=%u", ticket.fileId, result);
}
