#include "pelbo/transfers/QRCodeApi.h"

#include "pelbo/core/ExportGuard.h"
#include "pelbo/transfers/QRCodeDownloadMgr.h"

namespace QRCodeApi {

void QRCodeDonload(int width, const wchar_t* query)
{
    Frame::GuardExport(L"QRCodeApi::QRCodeDonload", [&] {
        if (const auto mgr = CQRCodeDownloadMgr::Instance().Get())
            mgr->QRCodeDonload(width, query);
    });
}

CStringW QRCodeFilePath(const wchar_t* query)
{
    return Frame::GuardExport(L"QRCodeApi::QRCodeFilePath", CStringW(), [&] {
        return CStringW(CQRCodeDownloadMgr::FilePath(query != nullptr ? query : L""));
    });
}

void DoExit()
{
    Frame::GuardExport(L"QRCodeApi::DoExit", [] { CQRCodeDownloadMgr::Instance().Exit(); });
}

}  // namespace QRCodeApi
