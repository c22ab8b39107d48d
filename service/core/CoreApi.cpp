#include "pelbo/core/CoreApi.h"

#include "pelbo/account/LoginApi.h"
#include "pelbo/account/UserCache.h"
#include "pelbo/core/ExportGuard.h"
#include "pelbo/imgconv/ImgConvApi.h"
#include "pelbo/meetings/MaterApi.h"
#include "pelbo/meetings/MeetingApi.h"
#include "pelbo/session/WebsocketApi.h"
#include "pelbo/transfers/OssUploadApi.h"
#include "pelbo/transfers/OssUploadLogApi.h"
#include "pelbo/transfers/PicDownloadApi.h"
#include "pelbo/version/VersionApi.h"
#include "pelbo/wirelink/CSCenter.h"

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
