#pragma once
// COssUploadLogMgr: the manager behind OssUploadLogApi (log files). As
// COssUploadMgr, with the ticket request to "/v1/account/uploadlog" (no
// token, no user), the credentials under "credential", code 2 for a failed
// ticket and its own log lines.

#include <string>

#include "pelbo/core/Singleton.h"
#include "pelbo/transfers/OssUploadBase.h"
#include "pelbo/transfers/OssUploadLogApi.h"

class COssUploadLogMgr : public COssUploadBase<OssUploadLogApi::IUploadLogSink> {
public:
    COssUploadLogMgr() = default;
    ~COssUploadLogMgr() override;

    int GetUploadInfo(const std::wstring& path);

    static CSingleton<COssUploadLogMgr>& Instance();

private:
    int SendTicketRequest(const std::wstring& path) override { return GetUploadInfo(path); }
    Transfers::TicketFields ReadTicketFields(const Json::Value& root) const override;
    int TicketFailureCode() const override { return 2; }
    const wchar_t* Tag() const override { return L"COssUploadLogMgr"; }
    void OnTicketRead(const Transfers::TicketFields&) override {}
    void OnStartReturned(const Transfers::TicketFields& ticket, unsigned result) override;
};
