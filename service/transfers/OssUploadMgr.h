#pragma once
// COssUploadMgr: the manager behind OssUploadApi (documents). The maps, the
// events and the stop functions are those of COssUploadBase; this class adds
// the ticket request to "/v1/account/ramupload" with the user's token and id,
// the credentials under "assume_role_response"/"Credentials", code 4 for a
// failed ticket and its log lines.

#include <string>

#include "pelbo/core/Singleton.h"
#include "pelbo/transfers/OssUploadApi.h"
#include "pelbo/transfers/OssUploadBase.h"

class COssUploadMgr : public COssUploadBase<OssUploadApi::IUploadFileSink> {
public:
    COssUploadMgr() = default;
    ~COssUploadMgr() override;

    // Sends the ticket request for the path; Request's result (0 when the
    // path is empty, the file is missing or the request was refused).
    int GetUploadInfo(unsigned userId, const std::wstring& path, const std::string& token);

    static CSingleton<COssUploadMgr>& Instance();

private:
    int SendTicketRequest(const std::wstring& path) override;
    Transfers::TicketFields ReadTicketFields(const Json::Value& root) const override;
    int TicketFailureCode() const override { return 4; }
    const wchar_t* Tag() const override { return L"COssUploadMgr"; }
    void OnTicketRead(const Transfers::TicketFields& ticket) override;
    void OnStartReturned(const Transfers::TicketFields& ticket, unsigned result) override;
};
