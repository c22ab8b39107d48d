#include "core/CoreApi.h"

#include "account/LoginApi.h"
#include "account/UserCache.h"
#include "core/ExportGuard.h"
#include "imgconv/ImgConvApi.h"
#include "meetings/MaterApi.h"
#include "meetings/MeetingApi.h"
#include "session/WebsocketApi.h"
#include "transfers/OssUploadApi.h"
#include "transfers/OssUploadLogApi.h"
#include "transfers/PicDownloadApi.h"
#include "version/VersionApi.h"
#include "wirelink/CSCenter.h"

namespace Aux {
namespace Core {

void DoExit()
{
    Frame::GuardExport(L"Aux::Core::DoExit", [] {
        // One line per family, in this order: picture downloads, image
        // conversion, login, materials, meetings, document uploads, log
        // uploads, user cache, websocket session, the websocket library,
        // image conversion once more (it may have been restarted by the
        // session's teardown), version check. Downloads and conversions stop
        // first because they report into the families that follow.
        PicDownloadApi::DoExit();
        Aux::ImgConv::Exit();
        LoginApi::DoExit();
        MaterApi::DoExit();
        MeetingApi::DoExit();
        OssUploadApi::DoExit();
        OssUploadLogApi::DoExit();
        Aux::UserCache::DoExit();
        WebsocketApi::DoExit();
        Aux::CSCenter::DoExit();
        Aux::ImgConv::Exit();
        Aux::Version::DoExit();
    });
}

}  // namespace Core
}  // namespace Aux
